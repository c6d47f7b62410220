// Bar records of any table: its rows as dicts, as to_dict(orient="records") makes them.
//
// to_dict walks the frame row by row (itertuples) and boxes the values of
// extension and object columns a second time. Here numeric columns are read
// straight from their arrays and boxed once, other columns are turned into
// lists of the values to_dict would give, and each record is filled from
// those. Columns of dtypes not handled here go through to_dict itself.
#include "table/bar_table.hpp"

#include <memory>
#include <vector>

#include "bridge/errors.hpp"
#include "common/python.hpp"
#include "common/state.hpp"
#include "table/datetime_api.hpp"
#include "table/numeric_column.hpp"
#include "table/record_rows.hpp"

namespace kline::table {
namespace {

using bridge::steal_or_raise;

// Exact types that to_dict passes through unchanged in object columns.
bool passes_unboxed(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return value == Py_None || type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyLong_Type ||
           type == &PyBool_Type || type == PyDateTimeAPI->DateType || type == PyDateTimeAPI->DateTimeType;
}

// An object column's values with pandas.NA as None, as to_dict boxes them;
// an invalid object when a value would be converted some other way.
nb::object boxed_objects(nb::handle column) {
    nb::object values = column.attr("to_numpy")().attr("tolist")();
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(values.ptr()); i < n; ++i) {
        PyObject* value = PyList_GET_ITEM(values.ptr(), i);
        if (value == state().pandas.na.ptr())
            bridge::check(PyList_SetItem(values.ptr(), i, Py_NewRef(Py_None)) == 0);
        else if (!passes_unboxed(value))
            return {};
    }
    return values;
}

// One column's contribution to the records: boxed numbers or a value list.
struct ColumnValues {
    std::unique_ptr<NumericColumn> numbers;
    nb::object list;
    bool zoned = false;  // time stamps with a zone, which the collector keeps tracking

    bool is_valid() const { return numbers || list.is_valid(); }

    PyObject* take(Py_ssize_t row) const {  // new reference
        if (numbers) return numbers->box(row);
        PyObject* value = PyList_GET_ITEM(list.ptr(), row);
        if (!zoned && value != state().pandas.nat.ptr()) untrack(value);  // a naive time stamp
        return Py_NewRef(value);
    }
};

// Time stamps: Timestamp objects (NaT for missing), as iteration yields them.
ColumnValues time_stamps(nb::handle column, bool zoned) {
    return {nullptr, steal_or_raise(PySequence_List(column.ptr())), zoned};
}

// An invalid result when the column's dtype is not one handled here.
ColumnValues column_values(nb::handle column) {
    nb::object dtype = column.attr("dtype");
    if (is_instance(dtype, state().pandas.datetime_tz_dtype)) return time_stamps(column, true);
    const bool nullable = is_instance(dtype, state().pandas.masked_dtypes);
    if (!nullable && !is_instance(dtype, state().numpy.dtype)) return {};

    const char kind = static_cast<char>(PyUnicode_READ_CHAR(dtype.attr("kind").ptr(), 0));
    if (NumericColumn::widest(kind) != nullptr)
        return {nullable ? NumericColumn::of_masked(column.attr("array"), kind)
                         : NumericColumn::of_numpy(column, kind),
                {}};
    if (kind == 'M') return time_stamps(column, false);
    if (kind == 'O') return {nullptr, boxed_objects(column)};
    return {};
}

nb::object rows(nb::handle keys, const std::vector<ColumnValues>& columns, Py_ssize_t height) {
    const RecordTemplate blank(keys);
    bool zoned = false;
    for (const ColumnValues& column : columns) zoned = zoned || column.zoned;
    nb::object result = steal_or_raise(PyList_New(height));
    for (Py_ssize_t row = 0; row < height; ++row) {
        nb::object record = blank.make();
        for (size_t c = 0; c < columns.size(); ++c) {
            nb::object value = steal_or_raise(columns[c].take(row));
            bridge::check(PyDict_SetItem(record.ptr(), PyList_GET_ITEM(keys.ptr(), c), value.ptr()) == 0);
        }
        if (!zoned) untrack(record.ptr());
        PyList_SET_ITEM(result.ptr(), row, record.release().ptr());
    }
    return result;
}

nb::object plain_records(nb::handle frame) { return frame.attr("to_dict")(nb::arg("orient") = "records"); }

}  // namespace

nb::object records(nb::handle frame) {
    import_datetime_api();
    nb::object columns = frame.attr("columns");
    // Repeated names collapse into one key; to_dict settles which value wins.
    if (!nb::cast<bool>(columns.attr("is_unique"))) return plain_records(frame);
    nb::object keys = columns.attr("tolist")();

    CollectorPause pause;
    std::vector<ColumnValues> values;
    values.reserve(static_cast<size_t>(PyList_GET_SIZE(keys.ptr())));
    for (nb::handle item : frame.attr("items")()) {
        values.push_back(column_values(nb::object(item[1])));
        if (!values.back().is_valid()) return plain_records(frame);
    }
    return rows(keys, values, nb::cast<Py_ssize_t>(frame.attr("shape")[0]));
}

}  // namespace kline::table
