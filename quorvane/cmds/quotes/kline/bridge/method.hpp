// Methods of the command class that are written in C++.
//
// nanobind functions do not bind to instances when stored in a class, and
// asyncio/inspect cannot mark them as coroutine functions. CoroutineMethod is
// a small descriptor that fixes both: it binds like a function (through
// types.MethodType), carries a __dict__, __signature__ and a code object
// flagged as a coroutine, and forwards calls to the wrapped function.
#pragma once

#include <nanobind/nanobind.h>

namespace kline::bridge {

namespace nb = nanobind;

// Creates the descriptor type and adds it to `module`. Call once at import.
void register_method_type(nb::handle module);

struct MethodInfo {
    const char* name;      // attribute name in the class
    const char* qualname;  // e.g. "IOpKline.run"
    const char* module;    // __module__ of the class
    nb::object signature;  // an inspect.Signature
    nb::dict annotations;  // __annotations__
    const char* doc;       // may be null
};

// Wraps `function` (called as function(self, *args, **kwargs), returning a
// coroutine) as a coroutine method.
nb::object coroutine_method(nb::object function, const MethodInfo& info);

// Wraps `function` as a plain method that binds to instances.
nb::object plain_method(nb::handle function);

}  // namespace kline::bridge
