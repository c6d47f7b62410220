// The module's state: its globals, as Python code in this module would see
// them, and the library objects the extension calls into.
//
// Host names (printFrame, logger, KlineCache, Future...) and the cache slot
// are read from the module's own namespace at each use, the way a Python
// module resolves its globals, so a host or a test can rebind them.
// Library modules, classes and functions are looked up once, at import.
#pragma once

#include <nanobind/nanobind.h>

namespace kline {

namespace nb = nanobind;

struct Libraries {
    nb::module_ pandas;
    nb::module_ asyncio;
    nb::module_ copy;
    nb::module_ datetime;
    nb::module_ math;
    nb::module_ dataclasses;
    nb::module_ inspect;
    nb::module_ functools;
};

struct PandasObjects {
    nb::object data_frame, series, datetime_index;
    nb::object floating_array, integer_array;  // pandas.arrays' nullable arrays
    nb::object masked_dtypes;                  // the nullable numeric and boolean dtypes
    nb::object datetime_tz_dtype;
    nb::object na;
    nb::object nat;  // one object for the whole process, not ours to untrack
};

struct NumpyObjects {
    nb::object dtype, frombuffer, zeros, ones;
    nb::object float64, int64;  // dtypes of native byte order are singletons
};

struct ZoneObjects {
    nb::object zone_info;           // zoneinfo.ZoneInfo
    nb::object utcoffset, fromutc;  // interned method names
};

// Built once by module initialisation and deliberately never destroyed. The
// extension is never unloaded, so the state lives as long as the process;
// freeing it from a C++ destructor would release references after the
// interpreter has finalised, which is not safe.
struct State {
    nb::dict namespace_;  // the module's __dict__
    Libraries libraries;
    PandasObjects pandas;
    NumpyObjects numpy;
    ZoneObjects zones;
};

const State& state();
void init_state(nb::handle module);

// The current value of the module global `name`; a missing name raises
// NameError as a Python global lookup would.
nb::object global(const char* name);
void set_global(const char* name, nb::handle value);

inline const Libraries& libraries() { return state().libraries; }

}  // namespace kline
