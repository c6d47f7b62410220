// Building bar records: one dict per row, all with the same keys.
#pragma once

#include <nanobind/nanobind.h>

#include "bridge/errors.hpp"

namespace kline::table {

namespace nb = nanobind;

// Pauses the cyclic garbage collector for a scope. Every container
// allocated while records are built counts towards a collection, and each
// collection would rescan the bars and the records made so far.
class CollectorPause {
   public:
    CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }

   private:
    bool was_enabled_;
};

// New records with the given keys, in order, each value None until set.
// Copying a template costs one key-table allocation, where inserting more
// than five keys into an empty dict allocates a table and regrows it.
class RecordTemplate {
   public:
    explicit RecordTemplate(nb::handle keys) : blank_(bridge::steal_or_raise(PyDict_New())) {
        for (nb::handle key : keys) bridge::check(PyDict_SetItem(blank_.ptr(), key.ptr(), Py_None) == 0);
    }

    nb::object make() const { return bridge::steal_or_raise(PyDict_Copy(blank_.ptr())); }

   private:
    nb::object blank_;
};

// Records hold numbers, text, calendar dates and naive time stamps, none of
// which refers to anything that could lead back to a record, so no
// reference cycle passes through them and the collector need never walk
// them. A dict tracks itself again once a container is stored in it.
inline void untrack(PyObject* object) {
    if (PyObject_GC_IsTracked(object)) PyObject_GC_UnTrack(object);
}

}  // namespace kline::table
