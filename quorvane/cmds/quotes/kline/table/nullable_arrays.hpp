// The nullable arrays convert_dtypes makes of numeric columns, built directly.
#pragma once

#include <nanobind/nanobind.h>

#include <cmath>

namespace kline::table {

namespace nb = nanobind;

// What decides convert_dtypes' choice for float values. Values of which one
// has a fraction and none is NaN stay Float64; values that are all whole
// numbers an int64 holds become Int64. Others it decides itself.
class FloatShape {
   public:
    void see(double value) {
        if (std::isnan(value)) {
            has_nan_ = true;
            return;
        }
        const bool whole = std::isfinite(value) && value == std::trunc(value);
        if (std::isfinite(value) && !whole) has_fraction_ = true;
        if (!whole || value < -0x1p63 || value >= 0x1p63) all_int64_ = false;
        seen_ = true;
    }
    bool stays_float() const { return has_fraction_ && !has_nan_; }
    bool becomes_int() const { return seen_ && all_int64_ && !has_nan_; }

   private:
    bool seen_ = false, has_nan_ = false, has_fraction_ = false, all_int64_ = true;
};

// Float64 / Int64 arrays taking over float64 / int64 numpy values, none missing.
nb::object nullable_floats(nb::object values);
nb::object nullable_integers(nb::object values);

// The array convert_dtypes makes of float64 values of this shape, taking them over.
nb::object converted(nb::object values, const FloatShape& shape);

// The array convert_dtypes makes of numpy values, taking them over.
nb::object converted(nb::object values);

// The array convert_dtypes makes of another frame's column, sharing no memory with it.
nb::object converted_copy(nb::handle column);

}  // namespace kline::table
