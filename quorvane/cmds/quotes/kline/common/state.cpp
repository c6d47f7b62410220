#include "common/state.hpp"

#include "bridge/errors.hpp"

namespace kline {
namespace {

const State* instance = nullptr;

nb::object interned(const char* name) { return bridge::steal_or_raise(PyUnicode_InternFromString(name)); }

PandasObjects pandas_objects(nb::handle pandas) {
    nb::object arrays = pandas.attr("arrays");
    return {
        pandas.attr("DataFrame"),
        pandas.attr("Series"),
        pandas.attr("DatetimeIndex"),
        arrays.attr("FloatingArray"),
        arrays.attr("IntegerArray"),
        nb::make_tuple(pandas.attr("Float32Dtype"), pandas.attr("Float64Dtype"), pandas.attr("Int8Dtype"),
                       pandas.attr("Int16Dtype"), pandas.attr("Int32Dtype"), pandas.attr("Int64Dtype"),
                       pandas.attr("UInt8Dtype"), pandas.attr("UInt16Dtype"), pandas.attr("UInt32Dtype"),
                       pandas.attr("UInt64Dtype"), pandas.attr("BooleanDtype")),
        pandas.attr("DatetimeTZDtype"),
        pandas.attr("NA"),
        pandas.attr("NaT"),
    };
}

NumpyObjects numpy_objects(nb::handle numpy) {
    nb::object dtype = numpy.attr("dtype");
    return {
        dtype,         numpy.attr("frombuffer"), numpy.attr("zeros"), numpy.attr("ones"), dtype("float64"),
        dtype("int64")};
}

}  // namespace

const State& state() { return *instance; }

void init_state(nb::handle module) {
    nb::module_ pandas = nb::module_::import_("pandas");
    instance = new State{
        nb::borrow<nb::dict>(module.attr("__dict__")),
        Libraries{
            pandas,
            nb::module_::import_("asyncio"),
            nb::module_::import_("copy"),
            nb::module_::import_("datetime"),
            nb::module_::import_("math"),
            nb::module_::import_("dataclasses"),
            nb::module_::import_("inspect"),
            nb::module_::import_("functools"),
        },
        pandas_objects(pandas),
        numpy_objects(nb::module_::import_("numpy")),
        ZoneObjects{nb::module_::import_("zoneinfo").attr("ZoneInfo"), interned("utcoffset"),
                    interned("fromutc")},
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
