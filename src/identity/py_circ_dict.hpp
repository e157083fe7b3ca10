// The Python-dict form of circuits: {"instrs": [(gate text, (q0, q1)), ...], "perm": {"raw": word}}.
#pragma once

#include "binding/core.hpp"
#include "identity/circuit.hpp"

namespace brimsel::py {

// A new dict holding the circuit's fields.
Ref circ_to_dict(const Circ& c);

// Reads the dict form (any mapping) with the error texts that readers of the form expect
// (types, missing fields, lengths); checks the qubit bytes and the permutation word.
Circ circ_from_dict(PyObject* obj);

}  // namespace brimsel::py
