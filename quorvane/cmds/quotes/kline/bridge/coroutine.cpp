// The coroutine object: steps a C++ Task on behalf of the event loop.
//
// Stepping works like `yield from`: while the frame waits on a Python
// awaitable, send() and throw() go to that awaitable's iterator and whatever
// it yields goes up to the event loop unchanged. When the iterator finishes,
// its result (or exception) is delivered into the frame, which runs on until
// its next co_await or its end.
#include "bridge/coroutine.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <memory>
#include <new>
#include <utility>

namespace kline::bridge {
namespace {

using Promise = Task::promise_type;

// A C struct to Python; its object members are built by placement new in
// make_coroutine and destroyed in dealloc.
struct CoroutineObject {
    PyObject_HEAD Task::Handle frame;  // null once finished or closed
    nb::object qualname;
    nb::object origin;        // cr_origin, fixed at creation
    nb::object frame_object;  // cr_frame, made when first asked for
    PyObject* weakrefs;
    bool started;
    bool running;
};

PyTypeObject* coroutine_type = nullptr;  // lives as long as the process

CoroutineObject* as_coroutine(PyObject* object) { return reinterpret_cast<CoroutineObject*>(object); }

// ---- error translation ----------------------------------------------------

void set_builtin_error(const nb::builtin_exception& error) noexcept {
    PyObject* type = PyExc_RuntimeError;
    switch (error.type()) {
        case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
        case nb::exception_type::index_error: type = PyExc_IndexError; break;
        case nb::exception_type::key_error: type = PyExc_KeyError; break;
        case nb::exception_type::value_error: type = PyExc_ValueError; break;
        case nb::exception_type::type_error: type = PyExc_TypeError; break;
        case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
        case nb::exception_type::import_error: type = PyExc_ImportError; break;
        case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
        default: break;
    }
    PyErr_SetString(type, error.what());
}

// Turns whatever left the C++ frame into the pending Python error.
void restore_exception(const std::exception_ptr& error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const nb::builtin_exception& e) {
        set_builtin_error(e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception left a kline coroutine");
    }
}

// A StopIteration escaping the body would read as a normal return to the
// awaiting code, so it becomes a RuntimeError, as in native coroutines.
void replace_stop_iteration() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    nb::object stop = SavedError().take();
    PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
    SavedError replacement;  // raised again, with its cause, at scope exit
    PyException_SetCause(replacement.value().ptr(), Py_NewRef(stop.ptr()));   // steals
    PyException_SetContext(replacement.value().ptr(), stop.release().ptr());  // steals
}

// Raises StopIteration(value) as a real instance, so a tuple result is not
// unpacked into constructor arguments.
void set_stop_iteration(PyObject* value) noexcept {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    auto stop = nb::steal(PyObject_CallOneArg(PyExc_StopIteration, value));
    if (stop.is_valid()) PyErr_SetObject(PyExc_StopIteration, stop.ptr());
}

// ---- frame lifetime -------------------------------------------------------

// Destroying a suspended frame runs the destructors of its live locals
// (releasing their references) without entering any catch block.
void destroy_frame(CoroutineObject* self) noexcept {
    if (auto frame = std::exchange(self->frame, {})) frame.destroy();
    self->frame_object.reset();
}

// Closes the awaitable the frame waits on, then destroys the frame. Leaves
// the awaitable's own close() failure, if any, as the pending error.
bool close_frame(CoroutineObject* self) noexcept {
    bool ok = true;
    if (self->frame && self->started) {
        nb::object iterator = std::move(self->frame.promise().awaiting);
        if (iterator.is_valid()) {
            auto close = nb::steal(PyObject_GetAttrString(iterator.ptr(), "close"));
            if (close.is_valid())
                ok = nb::steal(PyObject_CallNoArgs(close.ptr())).is_valid();
            else
                PyErr_Clear();
        }
    }
    SavedError failure;  // the frame's destructors must not see or clobber it
    destroy_frame(self);
    return ok;
}

// ---- stepping -------------------------------------------------------------

// The frame has run to its end: hand its result or exception to Python.
PySendResult finish(CoroutineObject* self, PyObject** out) {
    Promise& promise = self->frame.promise();
    nb::object result = std::move(promise.result);
    std::exception_ptr error = std::move(promise.error);
    destroy_frame(self);  // before setting an error a destructor could clobber
    if (error) {
        restore_exception(error);
        replace_stop_iteration();
        return PYGEN_ERROR;
    }
    *out = result.is_valid() ? result.release().ptr() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// Feeds the outcome of one step of the awaited iterator into the frame and
// runs it; repeats until something must go up to the event loop.
PySendResult drive(CoroutineObject* self, PySendResult step, PyObject* value, PyObject** out) {
    for (;;) {
        if (step == PYGEN_NEXT) {
            *out = value;
            return PYGEN_NEXT;
        }
        Promise& promise = self->frame.promise();
        if (step == PYGEN_RETURN)
            promise.delivery.emplace<nb::object>(nb::steal(value));
        else
            promise.delivery.emplace<nb::python_error>();  // fetched before any release
        promise.awaiting.reset();

        self->frame.resume();
        if (self->frame.done()) return finish(self, out);

        step = PyIter_Send(promise.awaiting.ptr(), Py_None, &value);
    }
}

// Runs the frame from its start to its first suspension or its end.
PySendResult start(CoroutineObject* self, PyObject** out) {
    self->started = true;
    self->frame.resume();
    if (self->frame.done()) return finish(self, out);
    PyObject* value = nullptr;
    PySendResult step = PyIter_Send(self->frame.promise().awaiting.ptr(), Py_None, &value);
    return drive(self, step, value, out);
}

bool refuse_reentry(CoroutineObject* self) {
    if (!self->running) return false;
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return true;
}

// Marks the coroutine as executing for the whole of one step, including the
// time spent inside the awaitable it forwards to.
class RunningGuard {
   public:
    explicit RunningGuard(CoroutineObject* self) noexcept : self_(self) { self_->running = true; }
    ~RunningGuard() { self_->running = false; }
    RunningGuard(const RunningGuard&) = delete;
    RunningGuard& operator=(const RunningGuard&) = delete;

   private:
    CoroutineObject* self_;
};

PySendResult send_value(CoroutineObject* self, PyObject* value, PyObject** out) {
    if (refuse_reentry(self)) return PYGEN_ERROR;
    if (!self->frame) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    RunningGuard guard(self);
    if (!self->started) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        return start(self, out);
    }
    PyObject* result = nullptr;
    PySendResult step = PyIter_Send(self->frame.promise().awaiting.ptr(), value, &result);
    return drive(self, step, result, out);
}

// Forwards `error` into the awaited iterator's throw(). A StopIteration
// coming out of it is the iterator's return value, not a failure.
PySendResult throw_into(PyObject* iterator, PyObject* error, PyObject** out) {
    auto method = nb::steal(PyObject_GetAttrString(iterator, "throw"));
    if (!method.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PYGEN_ERROR;
        PyErr_Clear();
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
        return PYGEN_ERROR;
    }
    PyObject* result = PyObject_CallOneArg(method.ptr(), error);
    if (result != nullptr) {
        *out = result;
        return PYGEN_NEXT;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return PYGEN_ERROR;
    nb::python_error stop;
    PyObject* value = PyObject_GetAttrString(stop.value().ptr(), "value");
    if (value == nullptr) return PYGEN_ERROR;
    *out = value;
    return PYGEN_RETURN;
}

PySendResult throw_error(CoroutineObject* self, PyObject* error, PyObject** out) {
    if (refuse_reentry(self)) return PYGEN_ERROR;
    if (!self->frame || !self->started) {
        // Never started or already over: the error simply comes back out.
        destroy_frame(self);
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
        return PYGEN_ERROR;
    }
    RunningGuard guard(self);
    PyObject* value = nullptr;
    PySendResult step = throw_into(self->frame.promise().awaiting.ptr(), error, &value);
    return drive(self, step, value, out);
}

// Maps a PySendResult onto the send()/__next__ convention.
PyObject* as_next_result(PySendResult step, PyObject* value) {
    if (step == PYGEN_NEXT) return value;
    if (step == PYGEN_RETURN) set_stop_iteration(nb::steal(value).ptr());
    return nullptr;
}

// Builds the exception instance that throw(type[, value[, traceback]]) names;
// an invalid handle, with the error pending, when they name none.
nb::object exception_from_args(PyObject* type, PyObject* value, PyObject* traceback) {
    nb::object error;
    if (PyExceptionInstance_Check(type)) {
        if (value != nullptr && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return {};
        }
        error = nb::borrow(type);
    } else if (PyExceptionClass_Check(type)) {
        if (value != nullptr && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type)))
            error = nb::borrow(value);
        else if (value == nullptr || value == Py_None)
            error = nb::steal(PyObject_CallNoArgs(type));
        else
            error = nb::steal(PyObject_CallOneArg(type, value));
        if (!error.is_valid()) return {};
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return {};
    }
    if (traceback != nullptr && traceback != Py_None && PyException_SetTraceback(error.ptr(), traceback) < 0)
        return {};
    return error;
}

// ---- type slots and methods ----------------------------------------------

PySendResult am_send(PyObject* self, PyObject* value, PyObject** out) {
    return send_value(as_coroutine(self), value, out);
}

PyObject* iternext(PyObject* self) {
    PyObject* value = nullptr;
    PySendResult step = send_value(as_coroutine(self), Py_None, &value);
    return as_next_result(step, value);
}

PyObject* method_send(PyObject* self, PyObject* value) {
    PyObject* result = nullptr;
    PySendResult step = send_value(as_coroutine(self), value, &result);
    return as_next_result(step, result);
}

PyObject* method_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected 1 to 3 arguments, got %zd", nargs);
        return nullptr;
    }
    nb::object error = exception_from_args(args[0], nargs > 1 ? args[1] : nullptr,
                                           nargs > 2 ? args[2] : nullptr);
    if (!error.is_valid()) return nullptr;
    PyObject* result = nullptr;
    PySendResult step = throw_error(as_coroutine(self), error.ptr(), &result);
    return as_next_result(step, result);
}

PyObject* method_close(PyObject* self, PyObject*) {
    CoroutineObject* coroutine = as_coroutine(self);
    if (refuse_reentry(coroutine)) return nullptr;
    RunningGuard guard(coroutine);
    if (!close_frame(coroutine)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* self_reference(PyObject* self) { return Py_NewRef(self); }
PyObject* method_await(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->qualname.ptr()); }

// The last dotted part of the qualified name, as for functions.
nb::object name_of(CoroutineObject* self) {
    auto parts = steal_or_raise(PyUnicode_RSplit(self->qualname.ptr(), nb::str(".").ptr(), 1));
    return nb::borrow(PyList_GET_ITEM(parts.ptr(), PyList_GET_SIZE(parts.ptr()) - 1));
}

PyObject* get_name(PyObject* self, void*) {
    try {
        return name_of(as_coroutine(self)).release().ptr();
    } catch (nb::python_error& error) {
        error.restore();
        return nullptr;
    }
}

PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coroutine(self)->running); }

// Paused at a co_await, between two steps.
PyObject* get_suspended(PyObject* self, void*) {
    CoroutineObject* coroutine = as_coroutine(self);
    return PyBool_FromLong(coroutine->frame && coroutine->started && !coroutine->running);
}

PyObject* get_origin(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->origin.ptr()); }

// The C++ frame has no Python frame to show, but inspect tells a created
// coroutine from a closed one by whether cr_frame is None. So, until the
// frame ends, cr_frame is a stand-in Python frame that never runs: its code
// is named after the coroutine and it has no locals.
nb::object stand_in_frame(CoroutineObject* self) {
    auto code = steal_or_raise(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty("<kline>", nb::str(name_of(self)).c_str(), 0)));
    nb::dict globals;
    return steal_or_raise(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.ptr()), globals.ptr(), nullptr)));
}

PyObject* get_frame(PyObject* self, void*) {
    CoroutineObject* coroutine = as_coroutine(self);
    if (!coroutine->frame) Py_RETURN_NONE;
    try {
        if (!coroutine->frame_object.is_valid()) coroutine->frame_object = stand_in_frame(coroutine);
    } catch (nb::python_error& error) {
        error.restore();
        return nullptr;
    }
    return Py_NewRef(coroutine->frame_object.ptr());
}

PyObject* get_awaited(PyObject* self, void*) {
    CoroutineObject* coroutine = as_coroutine(self);
    if (coroutine->frame && coroutine->frame.promise().awaiting.is_valid())
        return Py_NewRef(coroutine->frame.promise().awaiting.ptr());
    Py_RETURN_NONE;
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<kline coroutine %U at %p>", as_coroutine(self)->qualname.ptr(), self);
}

// Closing an abandoned coroutine runs Python code (the awaitable's close and
// the destructors of the frame's locals), so it happens in tp_finalize,
// where the object is still whole.
void finalize(PyObject* self) {
    SavedError pending;
    if (!close_frame(as_coroutine(self))) PyErr_WriteUnraisable(self);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* coroutine = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(coroutine->qualname.ptr());
    Py_VISIT(coroutine->origin.ptr());
    Py_VISIT(coroutine->frame_object.ptr());
    if (coroutine->frame) {
        const Promise& promise = coroutine->frame.promise();
        Py_VISIT(promise.awaiting.ptr());
        Py_VISIT(promise.result.ptr());
        for (size_t i = 0; i < promise.root_count; ++i) Py_VISIT(promise.roots[i]->ptr());
    }
    return 0;
}

int clear(PyObject* self) {
    CoroutineObject* coroutine = as_coroutine(self);
    if (coroutine->frame) coroutine->frame.promise().awaiting.reset();
    destroy_frame(coroutine);
    return 0;
}

void dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    CoroutineObject* coroutine = as_coroutine(self);
    if (coroutine->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    destroy_frame(coroutine);
    std::destroy_at(&coroutine->qualname);
    std::destroy_at(&coroutine->origin);
    std::destroy_at(&coroutine->frame_object);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"send", method_send, METH_O, "send(value) -> steps the coroutine with `value`."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_throw)), METH_FASTCALL,
     "throw(exception) -> raises `exception` where the coroutine waits."},
    {"close", method_close, METH_NOARGS, "close() -> abandons the coroutine, releasing its frame."},
    {"__await__", method_await, METH_NOARGS, "Returns the coroutine itself."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_awaited, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_origin", get_origin, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroutineObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_am_await, reinterpret_cast<void*>(self_reference)},
    {Py_am_send, reinterpret_cast<void*>(am_send)},
    {Py_tp_iter, reinterpret_cast<void*>(self_reference)},
    {Py_tp_iternext, reinterpret_cast<void*>(iternext)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_finalize, reinterpret_cast<void*>(finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

PyType_Spec spec = {
    "quorvane.cmds.quotes.kline.Coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

// cr_origin, recorded as the interpreter records it for its own coroutines:
// with sys.set_coroutine_origin_tracking_depth(n) above 0 (asyncio's debug
// mode sets it), a tuple of (filename, line, function) for up to n calling
// Python frames, innermost first; otherwise None, at no cost beyond asking.
nb::object creation_origin() {
    PyObject* tracking_depth = PySys_GetObject("get_coroutine_origin_tracking_depth");  // borrowed
    if (tracking_depth == nullptr) return nb::none();
    int depth = nb::cast<int>(nb::handle(tracking_depth)());
    if (depth <= 0) return nb::none();
    nb::list origin;
    auto frame = nb::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
    for (; frame.is_valid() && nb::len(origin) < static_cast<size_t>(depth);) {
        auto* current = reinterpret_cast<PyFrameObject*>(frame.ptr());
        auto code = nb::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(current)));
        auto* fields = reinterpret_cast<PyCodeObject*>(code.ptr());
        origin.append(nb::make_tuple(nb::borrow(fields->co_filename), PyFrame_GetLineNumber(current),
                                     nb::borrow(fields->co_name)));
        frame = nb::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(current)));
    }
    return nb::tuple(origin);
}

}  // namespace

void register_coroutine_type(nb::handle module) {
    coroutine_type = reinterpret_cast<PyTypeObject*>(steal_or_raise(PyType_FromSpec(&spec)).release().ptr());
    module.attr("Coroutine") = nb::borrow(reinterpret_cast<PyObject*>(coroutine_type));
}

nb::object make_coroutine(Task task, nb::handle qualname) {
    nb::object origin = creation_origin();
    auto* self = PyObject_GC_New(CoroutineObject, coroutine_type);
    if (self == nullptr) throw nb::python_error();
    self->frame = task.release();
    new (&self->qualname) nb::object(nb::borrow(qualname));
    new (&self->origin) nb::object(std::move(origin));
    new (&self->frame_object) nb::object();
    self->weakrefs = nullptr;
    self->started = false;
    self->running = false;
    PyObject_GC_Track(self);
    return nb::steal(reinterpret_cast<PyObject*>(self));
}

}  // namespace kline::bridge
