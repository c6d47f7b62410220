// The module's globals, as Python code in this module would see them.
//
// Host names (printFrame, logger, KlineCache, Future...) and the cache slot
// are read from the module's own namespace at each use, the way a Python
// module resolves its globals, so a host or a test can rebind them.
// Library modules the code calls into are held once, for speed.
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

// Set up once by module initialisation; deliberately never destroyed, so no
// reference is released after the interpreter has shut down.
struct Globals {
    nb::dict namespace_;  // the module's __dict__
    Libraries libraries;
};

Globals& globals();
void init_globals(nb::module_ module);

// The current value of the module global `name`; a missing name raises
// NameError as a Python global lookup would.
nb::object global(const char* name);
void set_global(const char* name, nb::handle value);

inline const Libraries& libraries() { return globals().libraries; }

}  // namespace kline
