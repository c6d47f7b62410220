// Bar records: a table's rows as dicts, as to_dict(orient="records") makes them.
//
// to_dict walks the frame row by row (itertuples) and boxes the values of
// extension and object columns a second time. Here numeric columns are read
// straight from their arrays and boxed once, other columns are turned into
// lists of the values to_dict would give, and each record is filled from
// those. Columns of dtypes not handled here go through to_dict itself.
#include "gateway/bar_table.hpp"

#include <datetime.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "bridge/errors.hpp"
#include "front/globals.hpp"
#include "gateway/numpy_arrays.hpp"

namespace kline::bar_table {
namespace {

using bridge::steal_or_raise;

struct RecordTypes {
    RecordTypes() {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) throw nb::python_error();
        nb::module_ pandas = libraries().pandas;
        masked_dtypes = nb::make_tuple(
            pandas.attr("Float32Dtype"), pandas.attr("Float64Dtype"), pandas.attr("Int8Dtype"),
            pandas.attr("Int16Dtype"), pandas.attr("Int32Dtype"), pandas.attr("Int64Dtype"),
            pandas.attr("UInt8Dtype"), pandas.attr("UInt16Dtype"), pandas.attr("UInt32Dtype"),
            pandas.attr("UInt64Dtype"), pandas.attr("BooleanDtype"));
        datetime_tz_dtype = pandas.attr("DatetimeTZDtype");
        numpy_dtype = nb::module_::import_("numpy").attr("dtype");
        na = pandas.attr("NA");
    }
    nb::object masked_dtypes;  // the nullable numeric and boolean dtypes
    nb::object datetime_tz_dtype;
    nb::object numpy_dtype;
    nb::object na;
};

// Looked up on first use; never released.
const RecordTypes& types() {
    static const RecordTypes* const instance = new RecordTypes();
    return *instance;
}

bool is_instance(nb::handle value, nb::handle classes) {
    int result = PyObject_IsInstance(value.ptr(), classes.ptr());
    bridge::check(result >= 0);
    return result == 1;
}

// ---- numeric columns, boxed from their arrays -----------------------------

// Values as to_dict gives them for a numeric column: Python float, int or
// bool (what numpy's item() and pandas' maybe_box_native make of each
// width), and None where a nullable column is missing a value.
class NumericColumn {
public:
    NumericColumn(char kind, nb::object values, nb::object missing)
        : kind_(kind), values_(std::move(values)) {
        if (missing.is_valid()) missing_.emplace(std::move(missing));
    }

    PyObject* box(Py_ssize_t row) const {  // new reference
        if (missing_ && missing_->at<bool>(row)) return Py_NewRef(Py_None);
        switch (kind_) {
            case 'f': return PyFloat_FromDouble(values_.at<double>(row));
            case 'i': return PyLong_FromLongLong(values_.at<int64_t>(row));
            case 'u': return PyLong_FromUnsignedLongLong(values_.at<uint64_t>(row));
            default: return PyBool_FromLong(values_.at<bool>(row));
        }
    }

private:
    char kind_;
    numpy_arrays::View values_;
    std::optional<numpy_arrays::View> missing_;
};

// Every width of a kind widens losslessly to these, as item() does.
const char* widest(char kind) {
    switch (kind) {
        case 'f': return "float64";
        case 'i': return "int64";
        case 'u': return "uint64";
        case 'b': return "bool";
        default: return nullptr;
    }
}

std::unique_ptr<NumericColumn> numeric_column(nb::handle column, char kind, bool nullable) {
    if (!nullable)
        return std::make_unique<NumericColumn>(kind, column.attr("to_numpy")(nb::arg("dtype") = widest(kind)),
                                               nb::object());
    // A nullable array's isna() is its mask as a numpy array.
    nb::object array = column.attr("array");
    return std::make_unique<NumericColumn>(
        kind, array.attr("to_numpy")(nb::arg("dtype") = widest(kind), nb::arg("na_value") = 0),
        array.attr("isna")());
}

// ---- other columns, as lists of values ------------------------------------

// Exact types that to_dict passes through unchanged in object columns.
bool passes_unboxed(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return value == Py_None || type == &PyUnicode_Type || type == &PyFloat_Type ||
           type == &PyLong_Type || type == &PyBool_Type || type == PyDateTimeAPI->DateType ||
           type == PyDateTimeAPI->DateTimeType;
}

// An object column's values with pandas.NA as None, as to_dict boxes them;
// an invalid object when a value would be converted some other way.
nb::object boxed_objects(nb::handle column) {
    nb::object values = column.attr("to_numpy")().attr("tolist")();
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(values.ptr()); i < n; ++i) {
        PyObject* value = PyList_GET_ITEM(values.ptr(), i);
        if (value == types().na.ptr())
            bridge::check(PyList_SetItem(values.ptr(), i, Py_NewRef(Py_None)) == 0);
        else if (!passes_unboxed(value))
            return {};
    }
    return values;
}

// ---- records --------------------------------------------------------------

// One column's contribution to the records: boxed numbers or a value list.
struct ColumnValues {
    std::unique_ptr<NumericColumn> numbers;
    nb::object list;

    bool is_valid() const { return numbers || list.is_valid(); }

    PyObject* take(Py_ssize_t row) const {  // new reference
        return numbers ? numbers->box(row) : Py_NewRef(PyList_GET_ITEM(list.ptr(), row));
    }
};

// An invalid result when the column's dtype is not one handled here.
ColumnValues column_values(nb::handle column) {
    nb::object dtype = column.attr("dtype");
    const bool nullable = is_instance(dtype, types().masked_dtypes);
    // Time stamps: Timestamp objects (NaT for missing), as iteration yields them.
    if (is_instance(dtype, types().datetime_tz_dtype))
        return {nullptr, steal_or_raise(PySequence_List(column.ptr()))};
    if (!nullable && !is_instance(dtype, types().numpy_dtype)) return {};

    const char kind = static_cast<char>(PyUnicode_READ_CHAR(dtype.attr("kind").ptr(), 0));
    if (widest(kind) != nullptr) return {numeric_column(column, kind, nullable), {}};
    if (kind == 'M') return {nullptr, steal_or_raise(PySequence_List(column.ptr()))};
    if (kind == 'O') return {nullptr, boxed_objects(column)};
    return {};
}

// One dict per row, keys in column order. Each record starts as a copy of
// a template holding the keys: one key-table allocation, where inserting
// more than five keys into an empty dict allocates a table and regrows it.
nb::object rows(nb::handle keys, const std::vector<ColumnValues>& columns, Py_ssize_t height) {
    const Py_ssize_t width = PyList_GET_SIZE(keys.ptr());
    nb::object blank = steal_or_raise(PyDict_New());
    for (Py_ssize_t c = 0; c < width; ++c)
        bridge::check(PyDict_SetItem(blank.ptr(), PyList_GET_ITEM(keys.ptr(), c), Py_None) == 0);

    nb::object result = steal_or_raise(PyList_New(height));
    for (Py_ssize_t row = 0; row < height; ++row) {
        nb::object record = steal_or_raise(PyDict_Copy(blank.ptr()));
        for (Py_ssize_t c = 0; c < width; ++c) {
            nb::object value = steal_or_raise(columns[c].take(row));
            bridge::check(PyDict_SetItem(record.ptr(), PyList_GET_ITEM(keys.ptr(), c), value.ptr()) == 0);
        }
        PyList_SET_ITEM(result.ptr(), row, record.release().ptr());
    }
    return result;
}

// The records hold no reference cycles, yet every container allocated
// while building them counts towards a collection, and each collection
// rescans the bars and the records made so far.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    bool was_enabled_;
};

nb::object plain_records(nb::handle frame) { return frame.attr("to_dict")(nb::arg("orient") = "records"); }

}  // namespace

nb::object records(nb::handle frame) {
    nb::object columns = frame.attr("columns");
    // Repeated names collapse into one key; to_dict settles which value wins.
    if (!nb::cast<bool>(columns.attr("is_unique"))) return plain_records(frame);
    nb::object keys = columns.attr("tolist")();
    const Py_ssize_t width = PyList_GET_SIZE(keys.ptr());

    CollectorPause pause;
    std::vector<ColumnValues> values;
    values.reserve(static_cast<size_t>(width));
    for (nb::handle item : frame.attr("items")()) {
        values.push_back(column_values(nb::object(item[1])));
        if (!values.back().is_valid()) return plain_records(frame);
    }
    return rows(keys, values, nb::cast<Py_ssize_t>(frame.attr("shape")[0]));
}

}  // namespace kline::bar_table
