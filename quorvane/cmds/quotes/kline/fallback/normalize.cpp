// yfinance's history frame, reshaped into the bar table's columns.
//
// The reshaping step by step (reset_index, rename, drop, astype,
// tz_localize, convert_dtypes) copies the frame at each step and infers
// every column's type anew: milliseconds before the first row counts. A
// frame of the shape yfinance returns is assembled column by column
// instead; any other frame takes the steps.
#include <optional>
#include <string_view>

#include "bridge/errors.hpp"
#include "common/python.hpp"
#include "common/state.hpp"
#include "fallback/normalize.hpp"
#include "table/nullable_arrays.hpp"

namespace kline::fallback {
namespace {

constexpr std::pair<std::string_view, const char*> kRenamed[] = {
    {"Open", "open"}, {"High", "high"}, {"Low", "low"}, {"Close", "close"}, {"Volume", "volume"}};
constexpr std::string_view kDropped[] = {"Dividends", "Stock Splits"};
// Names the table gives its columns: a frame already using one would collide.
constexpr std::string_view kTableNames[] = {"date",  "open",   "high",    "low",
                                            "close", "volume", "average", "barCount"};

template <typename Names>
bool among(std::string_view name, const Names& names) {
    for (std::string_view entry : names)
        if (name == entry) return true;
    return false;
}

std::string_view text_of(nb::handle word) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(word.ptr(), &size);
    if (text == nullptr) throw nb::python_error();
    return {text, static_cast<size_t>(size)};
}

nb::object table_name(std::string_view name) {
    for (const auto& [from, to] : kRenamed)
        if (name == from) return nb::str(to);
    return nb::str(name.data(), name.size());
}

// The steps as written, for any frame.
nb::object reshaped(nb::handle hist) {
    nb::object frame = hist.attr("reset_index")();
    // The former index becomes `date`, whatever its label was.
    nb::object index_label = nb::str(frame.attr("columns")[nb::int_(0)]);
    nb::dict names;
    names[index_label] = "date";
    for (const auto& [from, to] : kRenamed) names[nb::str(from.data(), from.size())] = to;
    frame = frame.attr("rename")(nb::arg("columns") = names);
    for (std::string_view dropped : kDropped) {
        nb::str name(dropped.data(), dropped.size());
        int present = PySequence_Contains(frame.attr("columns").ptr(), name.ptr());
        bridge::check(present >= 0);
        if (present == 1) {
            nb::list columns;
            columns.append(name);
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

// The column names, when the steps would only rename, drop and append
// (text names, none colliding with the index or the table's own names).
std::optional<nb::object> plain_names(nb::handle hist, nb::handle index) {
    nb::object label = index.attr("name");
    if (!label.is_none() && !PyUnicode_CheckExact(label.ptr())) return std::nullopt;
    std::string_view index_name = label.is_none() ? "index" : text_of(label);
    nb::object columns = hist.attr("columns");
    if (!nb::cast<bool>(columns.attr("is_unique"))) return std::nullopt;
    nb::object names = columns.attr("tolist")();
    bool has_close = false;
    for (nb::handle name : names) {
        if (!PyUnicode_CheckExact(name.ptr())) return std::nullopt;
        std::string_view text = text_of(name);
        if (text == index_name || among(text, kTableNames)) return std::nullopt;
        has_close = has_close || text == "Close";
    }
    if (among(index_name, kTableNames) || !has_close) return std::nullopt;  // steps raise KeyError
    for (const auto& [from, to] : kRenamed)
        if (index_name == from) return std::nullopt;
    return names;
}

// A time-stamp index's wall-clock times, zone dropped, as a new array.
nb::object stripped_dates(nb::handle index) {
    if (index.attr("tz").is_none()) return index.attr("array").attr("copy")();
    return index.attr("tz_localize")(nb::none()).attr("array");
}

std::optional<nb::object> assembled(nb::handle hist) {
    nb::object index = hist.attr("index");
    if (!is_instance(index, libraries().pandas.attr("DatetimeIndex"))) return std::nullopt;
    auto names = plain_names(hist, index);
    if (!names) return std::nullopt;

    nb::dict columns;
    columns["date"] = stripped_dates(index);
    for (nb::handle name : *names) {
        std::string_view text = text_of(name);
        if (among(text, kDropped)) continue;
        columns[table_name(text)] = table::converted_copy(hist[name]);
    }
    nb::object close = hist["Close"].attr("astype")(nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type)));
    columns["average"] = table::converted(close.attr("to_numpy")(nb::arg("copy") = true));
    nb::object ones = nb::module_::import_("numpy").attr("ones")(length(index), nb::arg("dtype") = "int64");
    columns["barCount"] = table::nullable_integers(ones);
    return libraries().pandas.attr("DataFrame")(columns, nb::arg("copy") = false);
}

}  // namespace

nb::object normalize_yfinance_df(nb::handle hist) {
    if (auto table = assembled(hist)) return std::move(*table);
    return reshaped(hist);
}

}  // namespace kline::fallback
