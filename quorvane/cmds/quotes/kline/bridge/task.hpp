// Task: the return type of every C++ coroutine that Python awaits.
//
// A Task starts suspended and suspends again when it finishes, so its owner
// (the Python coroutine object in coroutine.hpp) decides when the frame runs
// and when it is destroyed. Inside a Task, `co_await awaited(obj)` suspends
// on any Python awaitable: the owner steps that awaitable from the event loop
// and resumes the frame with its result, or with its exception rethrown as
// nb::python_error.
#pragma once

#include <array>
#include <coroutine>
#include <exception>
#include <type_traits>
#include <utility>
#include <variant>

#include "bridge/errors.hpp"

namespace kline::bridge {

class Task {
   public:
    struct promise_type {
        // Sees the coroutine's parameters, as copied into the frame, and
        // remembers the Python ones so the cycle collector can be shown
        // them (see roots). Being user-declared, it also stops g++ 12 from
        // building the promise out of those arguments by aggregate init.
        template <typename... Params>
        explicit promise_type(Params&... params) noexcept {
            static_assert((0 + ... + std::is_base_of_v<nb::handle, Params>) <= kMaxRoots,
                          "more Python parameters than the collector is shown: raise kMaxRoots");
            (remember(params), ...);
        }

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

        // The frame's Python parameters. Together with `awaiting` they are
        // the references of a suspended frame that may close a cycle, and
        // the coroutine object reports them to the collector. (Bodies keep
        // nothing else across a suspension that could lead back to the
        // coroutine: only text, numbers, dates, word lists and cache keys.)
        static constexpr size_t kMaxRoots = 4;
        std::array<const nb::handle*, kMaxRoots> roots{};
        size_t root_count = 0;

        nb::object awaiting;  // iterator of the awaitable being awaited
        Delivery delivery;
        nb::object result;
        std::exception_ptr error;

       private:
        template <typename Param>
        void remember(const Param& param) noexcept {
            if constexpr (std::is_base_of_v<nb::handle, Param>) roots[root_count++] = &param;
        }
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
// It takes the awaitable over and lets go of it before the frame suspends:
// from then on only the promise (visible to the collector) holds it. Pass a
// call's result directly or std::move a local.
inline Awaited awaited(nb::object awaitable) {
    nb::object iterator = await_iterator(awaitable);
    awaitable.reset();
    return Awaited(std::move(iterator));
}

}  // namespace kline::bridge
