// yfinance's history frame, reshaped into the bar table's columns.
#include "bridge/errors.hpp"
#include "fallback/coroutines.hpp"

namespace kline::fallback {

nb::object normalize_yfinance_df(nb::handle hist) {
    nb::object frame = hist.attr("reset_index")();
    // The former index becomes `date`, whatever its label was.
    nb::object index_label = nb::str(frame.attr("columns")[nb::int_(0)]);
    nb::dict names;
    names[index_label] = "date";
    names["Open"] = "open";
    names["High"] = "high";
    names["Low"] = "low";
    names["Close"] = "close";
    names["Volume"] = "volume";
    frame = frame.attr("rename")(nb::arg("columns") = names);
    for (const char* dropped : {"Dividends", "Stock Splits"}) {
        int present = PySequence_Contains(frame.attr("columns").ptr(), nb::str(dropped).ptr());
        bridge::check(present >= 0);
        if (present == 1) {
            nb::list columns;
            columns.append(dropped);
            frame = frame.attr("drop")(nb::arg("columns") = columns);
        }
    }
    frame["average"] = frame["close"].attr("astype")(nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type)));
    frame["barCount"] = 1;
    try {
        frame["date"] = frame["date"].attr("dt").attr("tz_localize")(nb::none());
    } catch (nb::python_error& error) {
        // Values that are not time stamps keep their form; nothing else is excused.
        if (!error.matches(PyExc_AttributeError) && !error.matches(PyExc_TypeError)) throw;
    }
    return frame.attr("convert_dtypes")();
}

}  // namespace kline::fallback
