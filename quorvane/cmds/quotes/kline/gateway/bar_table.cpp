#include "gateway/bar_table.hpp"

#include <datetime.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "bridge/errors.hpp"
#include "front/dates.hpp"
#include "front/globals.hpp"

namespace kline::bar_table {
namespace {

using bridge::steal_or_raise;

// The fields of ib_async's bar record, in its order: the table's columns.
constexpr std::array<const char*, 8> kFields = {
    "date", "open", "high", "low", "close", "volume", "average", "barCount"};
constexpr size_t kFloatFields = 6;  // open .. average

struct PandasTypes {
    nb::object masked_dtypes;  // tuple of the nullable numeric/boolean dtype classes
    nb::object datetime_tz_dtype;
    nb::object numpy_dtype;
    nb::object frombuffer;
    std::array<nb::object, kFields.size()> field_names;  // interned
    nb::object bar_type;  // last type confirmed to have exactly kFields
};
PandasTypes* types = nullptr;  // set up once, never released

// ---- bar objects to columns -----------------------------------------------

struct BarColumns {
    nb::list dates;
    std::array<std::vector<double>, kFloatFields> prices;
    std::vector<int64_t> bar_counts;
};

// A dataclass whose fields are exactly the bar record's, in order.
bool is_bar_type(PyTypeObject* type) {
    if (types->bar_type.ptr() == reinterpret_cast<PyObject*>(type)) return true;
    nb::handle cls(reinterpret_cast<PyObject*>(type));
    PyObject* fields = PyObject_GetAttrString(cls.ptr(), "__dataclass_fields__");
    if (fields == nullptr) {
        PyErr_Clear();
        return false;
    }
    nb::object names = steal_or_raise(PySequence_List(nb::steal(fields).ptr()));
    if (PyList_GET_SIZE(names.ptr()) != static_cast<Py_ssize_t>(kFields.size())) return false;
    for (size_t i = 0; i < kFields.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(PyList_GET_ITEM(names.ptr(), i), kFields[i]) != 0)
            return false;
    }
    types->bar_type = nb::borrow(cls);
    return true;
}

// One bar's fields into the columns; false when a value is not of the type
// the decoder produces (the plain pipeline then decides what it becomes).
bool append_bar(PyObject* bar, Py_ssize_t row, BarColumns& columns) {
    std::array<nb::object, kFields.size()> values;
    for (size_t f = 0; f < kFields.size(); ++f) {
        PyObject* value = PyObject_GetAttr(bar, types->field_names[f].ptr());
        if (value == nullptr) {
            PyErr_Clear();
            return false;
        }
        values[f] = nb::steal(value);
    }
    for (size_t f = 1; f <= kFloatFields; ++f) {
        if (!PyFloat_CheckExact(values[f].ptr())) return false;
        columns.prices[f - 1].push_back(PyFloat_AS_DOUBLE(values[f].ptr()));
    }
    if (!PyLong_CheckExact(values[7].ptr())) return false;
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(values[7].ptr(), &overflow);
    if (overflow != 0) return false;
    columns.bar_counts.push_back(count);
    PyList_SET_ITEM(columns.dates.ptr(), row, values[0].release().ptr());
    return true;
}

std::optional<BarColumns> extract_columns(nb::handle bars) {
    nb::object sequence = steal_or_raise(PySequence_Fast(bars.ptr(), "bars must be a sequence"));
    Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.ptr());
    PyObject** items = PySequence_Fast_ITEMS(sequence.ptr());
    if (size == 0 || !is_bar_type(Py_TYPE(items[0]))) return std::nullopt;

    BarColumns columns{nb::steal<nb::list>(steal_or_raise(PyList_New(size)).release()), {}, {}};
    for (auto& column : columns.prices) column.reserve(static_cast<size_t>(size));
    columns.bar_counts.reserve(static_cast<size_t>(size));
    for (Py_ssize_t row = 0; row < size; ++row) {
        if (Py_TYPE(items[row]) != Py_TYPE(items[0])) return std::nullopt;
        // An abandoned date list may hold empty slots: lists release those fine.
        if (!append_bar(items[row], row, columns)) return std::nullopt;
    }
    return columns;
}

// A writable numpy array holding a copy of `values`.
template <typename T>
nb::object numpy_array(const std::vector<T>& values, const char* dtype) {
    nb::object buffer = steal_or_raise(PyByteArray_FromStringAndSize(
        reinterpret_cast<const char*>(values.data()),
        static_cast<Py_ssize_t>(values.size() * sizeof(T))));
    return types->frombuffer(buffer, nb::arg("dtype") = dtype);
}

nb::object frame_from_columns(const BarColumns& columns) {
    nb::dict data;
    data[types->field_names[0]] = columns.dates;
    for (size_t f = 0; f < kFloatFields; ++f)
        data[types->field_names[f + 1]] = numpy_array(columns.prices[f], "float64");
    data[types->field_names[7]] = numpy_array(columns.bar_counts, "int64");
    return libraries().pandas.attr("DataFrame")(data);
}

// ---- table to records -----------------------------------------------------

// Exact types whose values to_dict passes through unchanged in object columns.
bool passes_unboxed(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return value == Py_None || type == &PyUnicode_Type || type == &PyFloat_Type ||
           type == &PyLong_Type || type == &PyBool_Type || type == PyDateTimeAPI->DateType ||
           type == PyDateTimeAPI->DateTimeType;
}

// The values one column contributes to the records, exactly as
// DataFrame.itertuples hands them to to_dict; an invalid object when the
// column's dtype is not one the fast path knows.
nb::object column_values(nb::handle frame, Py_ssize_t index) {
    nb::object column = frame.attr("iloc")[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()),
                                                          nb::int_(index))];
    nb::object dtype = column.attr("dtype");
    if (PyObject_IsInstance(dtype.ptr(), types->masked_dtypes.ptr()) == 1)
        return column.attr("to_numpy")(nb::arg("dtype") = "object").attr("tolist")();
    if (PyObject_IsInstance(dtype.ptr(), types->datetime_tz_dtype.ptr()) == 1)
        return steal_or_raise(PySequence_List(column.ptr()));
    if (PyObject_IsInstance(dtype.ptr(), types->numpy_dtype.ptr()) != 1) return {};

    nb::object kind = dtype.attr("kind");
    auto is_kind = [&kind](const char* code) {
        return PyUnicode_CompareWithASCIIString(kind.ptr(), code) == 0;
    };
    if (is_kind("f") || is_kind("i") || is_kind("u") || is_kind("b"))
        return column.attr("to_numpy")().attr("tolist")();
    if (is_kind("M")) return steal_or_raise(PySequence_List(column.ptr()));
    if (is_kind("O")) {
        nb::object values = column.attr("to_numpy")().attr("tolist")();
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(values.ptr()); i < n; ++i)
            if (!passes_unboxed(PyList_GET_ITEM(values.ptr(), i))) return {};
        return values;
    }
    return {};
}

nb::object plain_records(nb::handle frame) { return frame.attr("to_dict")(nb::arg("orient") = "records"); }

}  // namespace

void init() {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) throw nb::python_error();
    nb::module_ pandas = libraries().pandas;
    nb::module_ numpy = nb::module_::import_("numpy");
    types = new PandasTypes{};
    types->masked_dtypes = nb::make_tuple(
        pandas.attr("Float32Dtype"), pandas.attr("Float64Dtype"), pandas.attr("Int8Dtype"),
        pandas.attr("Int16Dtype"), pandas.attr("Int32Dtype"), pandas.attr("Int64Dtype"),
        pandas.attr("UInt8Dtype"), pandas.attr("UInt16Dtype"), pandas.attr("UInt32Dtype"),
        pandas.attr("UInt64Dtype"), pandas.attr("BooleanDtype"));
    types->datetime_tz_dtype = pandas.attr("DatetimeTZDtype");
    types->numpy_dtype = numpy.attr("dtype");
    types->frombuffer = numpy.attr("frombuffer");
    for (size_t f = 0; f < kFields.size(); ++f)
        types->field_names[f] = steal_or_raise(PyUnicode_InternFromString(kFields[f]));
}

nb::object from_bars(nb::handle bars) {
    nb::object frame;
    if (auto columns = extract_columns(bars))
        frame = frame_from_columns(*columns);
    else
        frame = libraries().pandas.attr("DataFrame")(bars);
    return dates::strip_tz(frame.attr("convert_dtypes")());
}

nb::object records(nb::handle frame) {
    nb::object columns = frame.attr("columns");
    if (!nb::cast<bool>(columns.attr("is_unique"))) return plain_records(frame);
    nb::object keys = columns.attr("tolist")();
    Py_ssize_t width = PyList_GET_SIZE(keys.ptr());
    Py_ssize_t height = nb::cast<Py_ssize_t>(frame.attr("shape")[0]);

    std::vector<nb::object> values;
    values.reserve(static_cast<size_t>(width));
    for (Py_ssize_t c = 0; c < width; ++c) {
        values.push_back(column_values(frame, c));
        if (!values.back().is_valid()) return plain_records(frame);
    }

    nb::object result = steal_or_raise(PyList_New(height));
    for (Py_ssize_t row = 0; row < height; ++row) {
        nb::object record = steal_or_raise(PyDict_New());
        for (Py_ssize_t c = 0; c < width; ++c) {
            bridge::check(PyDict_SetItem(record.ptr(), PyList_GET_ITEM(keys.ptr(), c),
                                         PyList_GET_ITEM(values[c].ptr(), row)) == 0);
        }
        PyList_SET_ITEM(result.ptr(), row, record.release().ptr());
    }
    return result;
}

}  // namespace kline::bar_table
