// Resolving an awaitable into the iterator that `await` steps.
#include "bridge/task.hpp"

namespace kline::bridge {

nb::object await_iterator(nb::handle awaitable) {
    PyObject* object = awaitable.ptr();
    // Native coroutines are their own iterators; their __await__ wrapper
    // lacks the am_send fast path, so step the coroutine itself.
    if (PyCoro_CheckExact(object)) return nb::borrow(awaitable);

    // Generators decorated with @types.coroutine are awaitable as they are.
    if (PyGen_CheckExact(object)) {
        auto code = nb::steal(PyObject_GetAttrString(object, "gi_code"));
        if (code.is_valid() &&
            (reinterpret_cast<PyCodeObject*>(code.ptr())->co_flags & CO_ITERABLE_COROUTINE))
            return nb::borrow(awaitable);
        PyErr_Clear();
    }

    PyAsyncMethods* async = Py_TYPE(object)->tp_as_async;
    if (async == nullptr || async->am_await == nullptr)
        raise_format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     Py_TYPE(object)->tp_name);

    nb::object iterator = steal_or_raise(async->am_await(object));
    if (PyCoro_CheckExact(iterator.ptr())) raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(iterator.ptr()))
        raise_format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iterator.ptr())->tp_name);
    return iterator;
}

}  // namespace kline::bridge
