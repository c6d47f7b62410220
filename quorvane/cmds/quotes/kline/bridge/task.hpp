// Task: the return type of every C++ coroutine that Python awaits.
//
// A Task starts suspended and suspends again when it finishes, so its owner
// (the Python coroutine object in coroutine.hpp) decides when the frame runs
// and when it is destroyed. Inside a Task, `co_await awaited(obj)` suspends
// on any Python awaitable: the owner steps that awaitable from the event loop
// and resumes the frame with its result, or with its exception rethrown as
// nb::python_error.
#pragma once

#include <coroutine>
#include <exception>
#include <utility>
#include <variant>

#include "bridge/errors.hpp"

namespace kline::bridge {

class Task {
public:
    struct promise_type {
        // A user-declared constructor stops g++ 12 from building the promise
        // out of the coroutine's own arguments (parenthesised aggregate init).
        promise_type() noexcept {}

        Task get_return_object() noexcept {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(nb::object value) noexcept { result = std::move(value); }
        void unhandled_exception() noexcept { error = std::current_exception(); }

        // What the owner hands back on resumption: the awaited result, or
        // the exception the awaitable raised.
        using Delivery = std::variant<std::monostate, nb::object, nb::python_error>;

        nb::object awaiting;  // iterator of the awaitable being awaited
        Delivery delivery;
        nb::object result;
        std::exception_ptr error;
    };
    using Handle = std::coroutine_handle<promise_type>;

    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&&) = delete;
    ~Task() {
        if (handle_) handle_.destroy();
    }

    // Hands the frame over to a new owner.
    Handle release() noexcept { return std::exchange(handle_, {}); }

private:
    explicit Task(Handle handle) noexcept : handle_(handle) {}
    Handle handle_;
};

// Resolves `awaitable` the way the `await` expression does and returns the
// iterator to step: a native coroutine is its own iterator, anything else
// goes through __await__.
nb::object await_iterator(nb::handle awaitable);

// The awaiter behind `co_await awaited(obj)`.
class Awaited {
public:
    explicit Awaited(nb::object iterator) noexcept : iterator_(std::move(iterator)) {}

    bool await_ready() const noexcept { return false; }
    void await_suspend(Task::Handle frame) noexcept {
        promise_ = &frame.promise();
        promise_->awaiting = std::move(iterator_);
    }
    nb::object await_resume() {
        auto delivery = std::move(promise_->delivery);
        promise_->delivery.emplace<std::monostate>();
        if (auto* error = std::get_if<nb::python_error>(&delivery)) throw std::move(*error);
        return std::get<nb::object>(std::move(delivery));
    }

private:
    nb::object iterator_;
    Task::promise_type* promise_ = nullptr;
};

// `co_await awaited(obj)` inside a Task awaits the Python awaitable `obj`.
inline Awaited awaited(nb::handle awaitable) { return Awaited(await_iterator(awaitable)); }

}  // namespace kline::bridge
