// The nullable arrays convert_dtypes makes of numeric columns, built directly.
#pragma once

#include <nanobind/nanobind.h>

#include <cmath>

namespace kline::nullable_arrays {

namespace nb = nanobind;

// What decides convert_dtypes' choice for float values: a float column
// stays Float64, value for value, when one value has a fraction and none
// is NaN. Others it may make Int64 (whole numbers) or give NA for NaN.
class FloatShape {
public:
    void see(double value) {
        if (std::isnan(value))
            has_nan_ = true;
        else if (std::isfinite(value) && value != std::trunc(value))
            has_fraction_ = true;
    }
    bool stays_float() const { return has_fraction_ && !has_nan_; }

private:
    bool has_nan_ = false, has_fraction_ = false;
};

// Float64 / Int64 arrays taking over float64 / int64 numpy values, none missing.
nb::object floats(nb::object values);
nb::object integers(nb::object values);

// The array convert_dtypes makes of numpy values, taking them over.
nb::object converted(nb::object values);

// The array convert_dtypes makes of another frame's column, sharing no memory with it.
nb::object converted_copy(nb::handle column);

}  // namespace kline::nullable_arrays
