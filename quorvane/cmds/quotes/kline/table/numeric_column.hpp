// A numeric column's values boxed as to_dict boxes them.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "table/numpy_arrays.hpp"

namespace kline::table {

namespace nb = nanobind;

// Python float, int or bool (what numpy's item() and pandas'
// maybe_box_native make of each width), and None where a nullable column
// is missing a value.
class NumericColumn {
   public:
    // `kind`: the dtype kind, one of "fiub". `missing`: a nullable column's
    // mask as a numpy array, or an invalid object.
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

    // Every width of a kind widens losslessly to these, as item() does.
    static const char* widest(char kind) {
        switch (kind) {
            case 'f': return "float64";
            case 'i': return "int64";
            case 'u': return "uint64";
            case 'b': return "bool";
            default: return nullptr;
        }
    }

    // A nullable (masked) array's values; its isna() is its mask.
    static std::unique_ptr<NumericColumn> of_masked(nb::handle array, char kind) {
        return std::make_unique<NumericColumn>(
            kind, array.attr("to_numpy")(nb::arg("dtype") = widest(kind), nb::arg("na_value") = 0),
            array.attr("isna")());
    }

    // A numpy-backed column's values.
    static std::unique_ptr<NumericColumn> of_numpy(nb::handle column, char kind) {
        return std::make_unique<NumericColumn>(kind, column.attr("to_numpy")(nb::arg("dtype") = widest(kind)),
                                               nb::object());
    }

   private:
    char kind_;
    ArrayView values_;
    std::optional<ArrayView> missing_;
};

}  // namespace kline::table
