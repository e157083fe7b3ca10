// Method signatures and the unpacking of a call against them.
#pragma once

#include "binding/core.hpp"

#include <cstddef>

namespace brimsel::py {

struct Signature {
    const char* qualname;       // "Gate.from_name", used in call-shape errors
    const char* const* names;   // parameter names in order
    const bool* required;       // per parameter
    std::size_t nparams;
};

// Fills out[0..nparams) with borrowed references (null where a parameter was
// left out); raises TypeError for a call of the wrong shape.
void unpack_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out);
void unpack_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Rewrites a pending TypeError as "argument '<name>': <message>".
void wrap_argument_error(const char* name);

}  // namespace brimsel::py
