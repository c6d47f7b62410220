#include "common/words.hpp"

#include "bridge/errors.hpp"
#include "common/dates.hpp"
#include "common/vocabulary.hpp"

namespace kline::words {
namespace {

// Reads `rest` front to back; `at()` is the word under the cursor.
class Cursor {
   public:
    explicit Cursor(nb::handle rest, Py_ssize_t start = 0) : rest_(rest), index_(start) {}
    bool has_word() const { return index_ < PyList_GET_SIZE(rest_.ptr()); }
    nb::object at() const { return nb::borrow(PyList_GET_ITEM(rest_.ptr(), index_)); }
    nb::object take() { return nb::borrow(PyList_GET_ITEM(rest_.ptr(), index_++)); }
    void skip() { ++index_; }

   private:
    nb::handle rest_;
    Py_ssize_t index_;
};

// int(word), or an invalid object when the word is no integer (ValueError).
nb::object integer_or_nothing(nb::handle word) {
    PyObject* value = PyNumber_Long(word.ptr());
    if (value != nullptr) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
    PyErr_Clear();
    return {};
}

nb::object default_count(nb::handle period) {
    return vocabulary::lookup("PERIOD_DEFAULT_COUNT", period, nb::int_(100));
}

}  // namespace

void require_list(nb::handle rest, const char* function) {
    if (!PyList_CheckExact(rest.ptr()))
        bridge::raise_format(PyExc_TypeError, "%s() word list must be a list, not %.100s", function,
                             Py_TYPE(rest.ptr())->tp_name);
}

Latest read_latest(nb::handle rest) {
    Latest words{nb::str("day"), {}, nb::str("none")};
    words.count = default_count(words.period);
    Cursor cursor(rest);
    if (cursor.has_word() && vocabulary::is_period(cursor.at())) {
        words.period = cursor.take();
        words.count = default_count(words.period);
    }
    if (cursor.has_word()) {
        if (nb::object count = integer_or_nothing(cursor.at()); count.is_valid()) {
            words.count = std::move(count);
            cursor.skip();
        }
    }
    if (cursor.has_word()) words.adjust = cursor.take();
    return words;
}

Range read_range(nb::handle rest) {
    nb::object first = bridge::steal_or_raise(PySequence_GetItem(rest.ptr(), 0));
    Range words{dates::parse_date(first), {}, nb::str("day"), nb::str("none")};
    Cursor cursor(rest, 1);
    if (cursor.has_word() && dates::is_date(cursor.at())) words.end = dates::parse_date(cursor.take());
    if (cursor.has_word() && vocabulary::is_period(cursor.at())) words.period = cursor.take();
    if (cursor.has_word()) words.adjust = cursor.take();
    if (!words.end.is_valid()) words.end = dates::today();
    return words;
}

Mode choose_mode(nb::handle rest) {
    if (PyList_GET_SIZE(rest.ptr()) == 0) return Mode::Latest;
    nb::object first = nb::borrow(PyList_GET_ITEM(rest.ptr(), 0));
    int intraday = PyObject_RichCompareBool(first.ptr(), nb::str("intraday").ptr(), Py_EQ);
    bridge::check(intraday >= 0);
    if (intraday == 1) return Mode::Intraday;
    return dates::is_date(first) ? Mode::History : Mode::Latest;
}

}  // namespace kline::words
