// The Python face of a Task: a coroutine object that asyncio accepts.
//
// It has __await__, send, throw and close (so collections.abc.Coroutine,
// asyncio.iscoroutine, create_task and asyncio.run take it), plus the
// am_send slot through which the event loop's task steps it cheaply.
#pragma once

#include "bridge/task.hpp"

namespace kline::bridge {

// Creates the coroutine type and adds it to `module`. Call once at import.
void register_coroutine_type(nb::handle module);

// Wraps a fresh, not yet started Task. `qualname` names it in reprs.
nb::object make_coroutine(Task task, nb::handle qualname);

}  // namespace kline::bridge
