// A zone's UTC offsets for a run of datetimes, as pandas applies them.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>

namespace kline::table {

namespace nb = nanobind;

// pandas finds a zoned datetime's instant with the datetime's own
// utcoffset(), and reads an instant back as wall-clock time with the zone's
// offset at that instant (fromutc). Both offsets change only at the zone's
// transitions, which lie many hours apart, so an hour whose two ends share
// an offset has the same offset throughout: each is asked once per hour.
// Bars come oldest first, so remembering the last hour is enough.
class ZoneOffsets {
   public:
    // `zone`: a zoneinfo.ZoneInfo or a datetime.timezone.
    explicit ZoneOffsets(nb::handle zone);

    // The instant of a datetime in the zone, as microseconds since the
    // epoch; `wall` is its wall-clock time in the same unit.
    std::optional<int64_t> instant(PyObject* datetime, int64_t wall);

    // The wall-clock time an instant reads as in the zone.
    std::optional<int64_t> wall_time(int64_t instant);

   private:
    struct Hour {
        int64_t start = INT64_MIN;
        int fold = 0;
        std::optional<int64_t> offset;  // none while the hour holds a transition
    };

    nb::object zone_;
    std::optional<int64_t> fixed_;  // a datetime.timezone's one offset
    Hour wall_hour_, instant_hour_;
};

}  // namespace kline::table
