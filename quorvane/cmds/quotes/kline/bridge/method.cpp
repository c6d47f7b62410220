// The CoroutineMethod descriptor.
#include "bridge/method.hpp"

#include <structmember.h>

#include "bridge/errors.hpp"

namespace kline::bridge {
namespace {

struct MethodObject {
    PyObject_HEAD PyObject* function;
    PyObject* dict;
    vectorcallfunc vectorcall;
};

PyTypeObject* method_type = nullptr;  // lives as long as the process

MethodObject* as_method(PyObject* object) { return reinterpret_cast<MethodObject*>(object); }

PyObject* forward_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return PyObject_Vectorcall(as_method(self)->function, args, nargsf, kwnames);
}

// Looked up on a class the descriptor is itself; on an instance it binds.
PyObject* descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* set_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "__set_name__ takes an owner and a name");
        return nullptr;
    }
    auto owner_qualname = nb::steal(PyObject_GetAttrString(args[0], "__qualname__"));
    if (!owner_qualname.is_valid()) return nullptr;
    auto qualname = nb::steal(PyUnicode_FromFormat("%U.%U", owner_qualname.ptr(), args[1]));
    if (!qualname.is_valid()) return nullptr;
    if (PyDict_SetItemString(as_method(self)->dict, "__qualname__", qualname.ptr()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* repr(PyObject* self) {
    PyObject* qualname = PyDict_GetItemString(as_method(self)->dict, "__qualname__");
    if (qualname == nullptr) return PyUnicode_FromFormat("<coroutine method at %p>", self);
    return PyUnicode_FromFormat("<coroutine method %U at %p>", qualname, self);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_method(self)->function);
    Py_VISIT(as_method(self)->dict);
    return 0;
}

int clear(PyObject* self) {
    Py_CLEAR(as_method(self)->function);
    Py_CLEAR(as_method(self)->dict);
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"__set_name__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_name)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(MethodObject, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {Py_tp_getattro, reinterpret_cast<void*>(PyObject_GenericGetAttr)},
    {Py_tp_setattro, reinterpret_cast<void*>(PyObject_GenericSetAttr)},
    {Py_tp_methods, methods},
    {Py_tp_members, members},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

PyType_Spec spec = {
    "quorvane.cmds.quotes.kline.CoroutineMethod",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

// A code object flagged as a coroutine: inspect (3.11) recognises a
// coroutine function by the flags of a function-like object's __code__.
nb::object coroutine_code(const MethodInfo& info) {
    auto empty = steal_or_raise(reinterpret_cast<PyObject*>(PyCode_NewEmpty("<kline>", info.name, 1)));
    return empty.attr("replace")(nb::arg("co_flags") = CO_OPTIMIZED | CO_NEWLOCALS | CO_COROUTINE);
}

}  // namespace

void register_method_type(nb::handle module) {
    method_type = reinterpret_cast<PyTypeObject*>(steal_or_raise(PyType_FromSpec(&spec)).release().ptr());
    module.attr("CoroutineMethod") = nb::borrow(reinterpret_cast<PyObject*>(method_type));
}

nb::object coroutine_method(nb::object function, const MethodInfo& info) {
    nb::dict dict;
    dict["__name__"] = info.name;
    dict["__qualname__"] = info.qualname;
    dict["__module__"] = info.module;
    dict["__doc__"] = info.doc ? nb::object(nb::str(info.doc)) : nb::none();
    dict["__code__"] = coroutine_code(info);
    dict["__defaults__"] = nb::none();
    dict["__kwdefaults__"] = nb::none();
    dict["__annotations__"] = info.annotations;
    dict["__signature__"] = info.signature;

    auto* self = PyObject_GC_New(MethodObject, method_type);
    if (self == nullptr) throw nb::python_error();
    self->function = function.release().ptr();
    self->dict = dict.release().ptr();
    self->vectorcall = forward_call;
    PyObject_GC_Track(self);
    return nb::steal(reinterpret_cast<PyObject*>(self));
}

nb::object plain_method(nb::handle function) { return steal_or_raise(PyInstanceMethod_New(function.ptr())); }

}  // namespace kline::bridge
