#include "common/globals.hpp"

#include "bridge/errors.hpp"

namespace kline {
namespace {
Globals* instance = nullptr;
}

Globals& globals() { return *instance; }

void init_globals(nb::module_ module) {
    instance = new Globals{
        nb::borrow<nb::dict>(module.attr("__dict__")),
        Libraries{
            nb::module_::import_("pandas"),
            nb::module_::import_("asyncio"),
            nb::module_::import_("copy"),
            nb::module_::import_("datetime"),
            nb::module_::import_("math"),
            nb::module_::import_("dataclasses"),
            nb::module_::import_("inspect"),
            nb::module_::import_("functools"),
        },
    };
}

nb::object global(const char* name) {
    PyObject* value = PyDict_GetItemString(instance->namespace_.ptr(), name);
    if (value == nullptr) bridge::raise_format(PyExc_NameError, "name '%s' is not defined", name);
    return nb::borrow(value);
}

void set_global(const char* name, nb::handle value) {
    bridge::check(PyDict_SetItemString(instance->namespace_.ptr(), name, value.ptr()) == 0);
}

}  // namespace kline
