#include "table/zone_offsets.hpp"

#include <chrono>

#include "bridge/errors.hpp"
#include "common/state.hpp"
#include "table/datetime_api.hpp"

namespace kline::table {
namespace {

using bridge::steal_or_raise;

constexpr int64_t kHour = 3'600'000'000LL;
constexpr int64_t kDay = 24 * kHour;

int64_t floor_div(int64_t value, int64_t unit) {
    int64_t quotient = value / unit;
    return quotient * unit > value ? quotient - 1 : quotient;
}

int64_t hour_of(int64_t micros) { return floor_div(micros, kHour) * kHour; }

// A datetime with the wall-clock fields of `micros` (since 1970-01-01) in
// `zone`; none outside the years datetime can hold.
std::optional<nb::object> datetime_at(int64_t micros, nb::handle zone, int fold) {
    using namespace std::chrono;
    const int64_t day = floor_div(micros, kDay);
    const year_month_day date{sys_days{days{day}}};
    const int year_number = static_cast<int>(date.year());
    if (year_number < 1 || year_number > 9999) return std::nullopt;
    int64_t rest = micros - day * kDay;
    const int hour = static_cast<int>(rest / kHour);
    rest %= kHour;
    const int minute = static_cast<int>(rest / 60'000'000);
    rest %= 60'000'000;
    return steal_or_raise(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
        year_number, static_cast<int>(static_cast<unsigned>(date.month())),
        static_cast<int>(static_cast<unsigned>(date.day())), hour, minute, static_cast<int>(rest / 1'000'000),
        static_cast<int>(rest % 1'000'000), zone.ptr(), fold, PyDateTimeAPI->DateTimeType));
}

// A utcoffset() answer in microseconds; none for anything but a timedelta.
std::optional<int64_t> micros_of(nb::handle delta) {
    if (!PyDelta_Check(delta.ptr())) return std::nullopt;
    return (PyDateTime_DELTA_GET_DAYS(delta.ptr()) * 86'400LL + PyDateTime_DELTA_GET_SECONDS(delta.ptr())) *
               1'000'000LL +
           PyDateTime_DELTA_GET_MICROSECONDS(delta.ptr());
}

std::optional<int64_t> offset_of(nb::handle datetime) {
    return micros_of(
        steal_or_raise(PyObject_CallMethodNoArgs(datetime.ptr(), state().zones.utcoffset.ptr())));
}

// The offset of a wall-clock time in the zone, as its datetime's utcoffset().
std::optional<int64_t> offset_of_wall(int64_t wall, nb::handle zone, int fold) {
    auto datetime = datetime_at(wall, zone, fold);
    return datetime ? offset_of(*datetime) : std::nullopt;
}

// The zone's offset at an instant: utcoffset() of the instant read as local time.
std::optional<int64_t> offset_at_instant(int64_t instant, nb::handle zone) {
    auto in_utc = datetime_at(instant, zone, 0);
    if (!in_utc) return std::nullopt;
    nb::object local = steal_or_raise(
        PyObject_CallMethodOneArg(zone.ptr(), state().zones.fromutc.ptr(), in_utc->ptr()));
    return offset_of(local);
}

}  // namespace

ZoneOffsets::ZoneOffsets(nb::handle zone) : zone_(nb::borrow(zone)) {
    import_datetime_api();
    if (Py_TYPE(zone.ptr()) == Py_TYPE(PyDateTimeAPI->TimeZone_UTC))
        fixed_ = micros_of(
            steal_or_raise(PyObject_CallMethodOneArg(zone.ptr(), state().zones.utcoffset.ptr(), Py_None)));
}

std::optional<int64_t> ZoneOffsets::instant(PyObject* datetime, int64_t wall) {
    if (fixed_) return wall - *fixed_;
    const int fold = PyDateTime_DATE_GET_FOLD(datetime);
    const int64_t start = hour_of(wall);
    if (wall_hour_.start != start || wall_hour_.fold != fold) {
        auto first = offset_of_wall(start, zone_, fold);
        auto last = offset_of_wall(start + kHour - 1, zone_, fold);
        wall_hour_ = {start, fold, first == last ? first : std::nullopt};
    }
    // An hour with a transition: the datetime's own offset.
    auto offset = wall_hour_.offset ? wall_hour_.offset : offset_of(nb::handle(datetime));
    if (!offset) return std::nullopt;
    return wall - *offset;
}

std::optional<int64_t> ZoneOffsets::wall_time(int64_t instant) {
    if (fixed_) return instant + *fixed_;
    const int64_t start = hour_of(instant);
    if (instant_hour_.start != start) {
        auto first = offset_at_instant(start, zone_);
        auto last = offset_at_instant(start + kHour - 1, zone_);
        instant_hour_ = {start, 0, first == last ? first : std::nullopt};
    }
    auto offset = instant_hour_.offset ? instant_hour_.offset : offset_at_instant(instant, zone_);
    if (!offset) return std::nullopt;
    return instant + *offset;
}

}  // namespace kline::table
