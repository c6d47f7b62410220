#include "table/nullable_arrays.hpp"

#include <cstdint>

#include "bridge/errors.hpp"
#include "common/python.hpp"
#include "common/state.hpp"
#include "table/numpy_arrays.hpp"

namespace kline::table {
namespace {

nb::object complete(nb::handle array_type, nb::object values) {
    nb::object mask = state().numpy.zeros(length(values), nb::arg("dtype") = "bool");
    return array_type(std::move(values), std::move(mask));
}

FloatShape shape_of(nb::handle values) {
    const ArrayView view{nb::borrow(values)};
    FloatShape shape;
    for (Py_ssize_t row = 0, size = PyObject_Length(values.ptr()); row < size; ++row)
        shape.see(view.at<double>(row));
    return shape;
}

}  // namespace

nb::object nullable_floats(nb::object values) {
    return complete(state().pandas.floating_array, std::move(values));
}
nb::object nullable_integers(nb::object values) {
    return complete(state().pandas.integer_array, std::move(values));
}

nb::object converted(nb::object values, const FloatShape& shape) {
    if (shape.stays_float()) return nullable_floats(std::move(values));
    if (shape.becomes_int()) return nullable_integers(values.attr("astype")(state().numpy.int64));
    return state()
        .pandas.series(std::move(values), nb::arg("copy") = false)
        .attr("convert_dtypes")()
        .attr("array");
}

nb::object converted(nb::object values) {
    nb::object dtype = values.attr("dtype");
    if (dtype.is(state().numpy.int64)) return nullable_integers(std::move(values));
    if (dtype.is(state().numpy.float64)) return converted(values, shape_of(values));
    return state()
        .pandas.series(std::move(values), nb::arg("copy") = false)
        .attr("convert_dtypes")()
        .attr("array");
}

nb::object converted_copy(nb::handle column) {
    nb::object dtype = column.attr("dtype");
    if (dtype.is(state().numpy.int64) || dtype.is(state().numpy.float64))
        return converted(column.attr("to_numpy")(nb::arg("copy") = true));
    return column.attr("convert_dtypes")().attr("array").attr("copy")();
}

}  // namespace kline::table
