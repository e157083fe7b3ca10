"""The Python class StateVec: construction, random draws, gates against NumPy, display, stable hash, errors."""
import inspect
import itertools
import math
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

from brimsel import Gate, Instr, StateVec
from support import panics

BUILTINS = [
    "i", "h", "x", "z", "y", "s", "sdg", "t", "tdg", "cx", "cz", "cy", "cs", "csdg", "swap",
    "t1/2", "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)", "rz(-pi/5)", "rz(pi/16)", "rz(-pi/16)",
]
KERNEL_GATES = ["h", "x", "z", "t", "tdg", "s", "sdg", "swap", "cx"]


def amplitudes(s):
    return np.array([s[k] for k in range(s.len())], dtype=np.complex128)


def from_array(psi):
    psi = np.asarray(psi, dtype=np.complex128)
    return StateVec(list(psi.real), list(psi.imag))


def full_unitary(u, qargs, n):
    """The 2^n x 2^n operator of u on qargs, built with kron.

    kron(u, I) acts on a virtual order whose most significant bits are the
    arguments (first argument highest), followed by the other qubits from the
    highest down; P maps an actual amplitude index to its virtual index.
    """
    k = len(qargs)
    rest = [q for q in reversed(range(n)) if q not in qargs]
    order = list(qargs) + rest  # virtual bit n-1-j holds qubit order[j]
    op = np.kron(u, np.eye(2 ** (n - k)))
    p = np.zeros((2 ** n, 2 ** n))
    for actual in range(2 ** n):
        virtual = 0
        for j, q in enumerate(order):
            virtual |= ((actual >> q) & 1) << (n - 1 - j)
        p[virtual, actual] = 1
    return p.T @ op @ p


def key(x):
    """The tolerant-real key: x * 2^24 rounded half away from zero, saturated, as unsigned."""
    if math.isnan(x):
        v = 0
    else:
        y = x * 16777216.0
        if math.isinf(y):
            v = -2 ** 63 if y < 0 else 2 ** 63 - 1
        else:
            v = math.floor(abs(y) + 0.5) * (1 if y >= 0 else -1)
            v = max(-2 ** 63, min(2 ** 63 - 1, v))
    return v & (2 ** 64 - 1)


def byte_feed(re, im):
    out = struct.pack("<Q", len(re)) + b"".join(struct.pack("<Q", key(x)) for x in re)
    return out + struct.pack("<Q", len(im)) + b"".join(struct.pack("<Q", key(x)) for x in im)


# ---- construction and the plain members ------------------------------------------------------

def test_construction_keeps_values():
    s = StateVec([1.0, 0.0], [0.0, 0.0])
    assert s.check() and s.nqubits() == 1 and s.len() == 2
    assert str(s) == "[1.0000, 0.0000]"
    one = StateVec([1.0], [0.0])
    assert one.nqubits() == 0 and one.len() == 1
    raw = StateVec(re=[3, 4], im=(0, 0))
    assert raw[1] == 4 and not raw.check()
    raw.normalize()
    assert raw.check() and raw[0] == pytest.approx(0.6) and raw[1] == pytest.approx(0.8)


@pytest.mark.parametrize("re, im, message", [
    ([1.0, 0.0], [0.0], "assertion `left == right` failed: Real and imaginary parts must have "
                        "the same length\n  left: 2\n right: 1"),
    ([1.0, 2.0, 3.0], [0.0, 0.0], "assertion `left == right` failed: Real and imaginary parts "
                                  "must have the same length\n  left: 3\n right: 2"),
    ([], [], "Length must be a power of 2"),
    ([1.0] * 6, [0.0] * 6, "Length must be a power of 2"),
])
def test_construction_failures(re, im, message):
    with panics(message):
        StateVec(re, im)


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^argument 're': Can't extract `str` to `Vec`$"):
        StateVec("10", [0.0, 0.0])
    with pytest.raises(TypeError, match=r"^argument 'im': "):
        StateVec([1.0], [None])
    with pytest.raises(TypeError, match=r"^argument 'num_qubits': "):
        StateVec.random("3")
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        StateVec.random(-1)
    with pytest.raises(TypeError):
        StateVec.random(num=3)
    with pytest.raises(TypeError):
        StateVec([1.0], [0.0]).nqubits(1)


def test_docstrings_and_signatures():
    assert StateVec.__doc__ == "Complex state vector used for randomized circuit evaluation."
    assert StateVec.__text_signature__ == "(re, im)"
    docs = {
        "hash_value": "Hashes the current normalized state.",
        "random": "Creates a random normalized state.",
        "random_symmetric": "Creates a random state tailored for symmetry-aware evaluator use.",
        "nqubits": "Returns qubit count.",
        "len": "Returns vector length (`2^nqubits`).",
        "normalize_arg": "Canonicalizes global phase for stable equality/hash comparison.",
        "clone": "Returns a deep copy.",
        "check": "Checks unit-norm invariant.",
    }
    for name, doc in docs.items():
        assert getattr(StateVec, name).__doc__ == doc, name
    assert StateVec.normalize.__doc__.startswith("Normalizes the state vector in place.\n\n")
    assert StateVec.normalize.__doc__.endswith("If the vector has zero length, this function does nothing.")
    assert "   the complex amplitudes is 1 (i.e., `sum(|psi_i|^2) = 1`).\n" in StateVec.normalize.__doc__
    assert str(inspect.signature(StateVec.random)) == "(num_qubits)"
    assert str(inspect.signature(StateVec.hash_value)) == "(self, /)"
    assert StateVec.__module__ == "builtins"
    with pytest.raises(TypeError):
        type("Sub", (StateVec,), {})


# ---- random states ---------------------------------------------------------------------------

def test_random_states():
    a, b = StateVec.random(3), StateVec.random(num_qubits=3)
    assert a.check() and a.len() == 8 and a.nqubits() == 3
    assert a != b
    for s in (a, StateVec.random_symmetric(3), StateVec.random(0)):
        assert s[0].imag == 0.0 and math.copysign(1.0, s[0].imag) == 1.0
        assert s[0].real > 0
    assert StateVec.random(0)[0] == pytest.approx(1.0)

    sym = StateVec.random_symmetric(3)
    assert sym.check()
    assert sym[1] == sym[2] == sym[4]
    assert sym[3] == sym[5] == sym[6]
    assert sym[0] != sym[1] != sym[3] != sym[7]
    assert StateVec.random_symmetric(0).len() == 1


@pytest.mark.parametrize("n, message", [
    (64, "Number of qubits too large, resulting in overflow for state vector size."),
    (2 ** 32 - 1, "Number of qubits too large, resulting in overflow for state vector size."),
    (60, "capacity overflow"),
    (63, "capacity overflow"),
])
def test_random_size_limits(n, message):
    with panics(message):
        StateVec.random(n)
    with panics(message):
        StateVec.random_symmetric(n)


def test_states_beyond_memory_raise_memory_error():
    with pytest.raises(MemoryError):
        StateVec.random(40)
    with pytest.raises(MemoryError):
        StateVec.random_symmetric(59)


# ---- gates against NumPy ---------------------------------------------------------------------

def arrangements(gate):
    """(qargs, n): every argument arrangement on 1 to 4 qubits, and a few on 5."""
    k = gate.nqargs
    for n in range(k, 5):
        for qargs in itertools.permutations(range(n), k):
            yield qargs, n
    for qargs in [(4,), (0,), (2,)] if k == 1 else [(4, 0), (1, 3), (3, 2)]:
        yield qargs, 5


@pytest.mark.parametrize("name", BUILTINS)
def test_gates_against_kron_unitaries(name):
    gate = Gate.from_name(name)
    for qargs, n in arrangements(gate):
        s = StateVec.random(n)
        psi = amplitudes(s)
        expected = full_unitary(gate.matrix, qargs, n) @ psi
        alias = s
        s *= Instr(gate, list(qargs))
        assert s is alias
        np.testing.assert_allclose(amplitudes(s), expected, rtol=0, atol=1e-14,
                                   err_msg=f"{name} on {qargs} of {n} qubits")


def test_registered_gates_use_their_matrices():
    theta = 0.37
    u = np.array([[math.cos(theta), -1j * math.sin(theta)],
                  [-1j * math.sin(theta), math.cos(theta)]], dtype=np.complex128)
    rx = Gate("test_statevec_rx", ["0.37"], u)
    u2 = np.kron(u, np.array([[0, 1], [1, 0]])) @ np.diag([1, 1j, -1, -1j])
    g2 = Gate("test_statevec_2q", [], u2)
    for gate, qargs, m in [(rx, [2], u), (rx, [0], u), (g2, [2, 0], u2), (g2, [0, 3], u2)]:
        s = StateVec.random(4)
        expected = full_unitary(m, qargs, 4) @ amplitudes(s)
        s *= Instr(gate, qargs)
        np.testing.assert_allclose(amplitudes(s), expected, rtol=0, atol=1e-14)


def test_kernels_and_dense_path_agree_as_tolerant_reals():
    # A gate registered with a matrix that differs from a kernel gate's in
    # every entry by more than the key resolution takes the dense path.
    for name in KERNEL_GATES:
        gate = Gate.from_name(name)
        m = gate.matrix
        theta = 1e-6
        twin = Gate("test_statevec_twin_" + name, [], m * complex(math.cos(theta), math.sin(theta)))
        assert twin != gate
        n = 4
        for qargs in itertools.permutations(range(n), gate.nqargs):
            a = StateVec.random(n)
            b = a.clone()
            a *= Instr(gate, list(qargs))
            b *= Instr(twin, list(qargs))
            np.testing.assert_allclose(amplitudes(b), amplitudes(a) * complex(math.cos(theta), math.sin(theta)),
                                       rtol=0, atol=1e-14)
            a.normalize_arg()
            b.normalize_arg()
            assert a == b


def test_cx_and_swap_move_amplitudes():
    s = StateVec([0.1, 0.2, 0.3, 0.4], [0.5, 0.6, 0.7, 0.8])
    s *= Instr(Gate.from_name("cx"), [0, 1])
    assert [s[k] for k in range(4)] == [0.1 + 0.5j, 0.4 + 0.8j, 0.3 + 0.7j, 0.2 + 0.6j]
    s *= Instr(Gate.from_name("swap"), [0, 1])
    assert [s[k] for k in range(4)] == [0.1 + 0.5j, 0.3 + 0.7j, 0.4 + 0.8j, 0.2 + 0.6j]


@pytest.mark.parametrize("n, gate, qargs, message", [
    (2, "h", [2], "index out of bounds: the len is 4 but the index is 4"),
    (2, "h", [7], "index out of bounds: the len is 4 but the index is 128"),
    (2, "cx", [0, 5], "index out of bounds: the len is 4 but the index is 32"),
    (1, "cx", [0, 1], "index out of bounds: the len is 2 but the index is 2"),
    (0, "x", [0], "index out of bounds: the len is 1 but the index is 1"),
    (3, "cz", [3, 0], "index out of bounds: the len is 8 but the index is 8"),
    (2, "y", [2], "index out of bounds: the len is 4 but the index is 4"),
])
def test_gate_failures_leave_the_state_unchanged(n, gate, qargs, message):
    s = StateVec.random(n)
    before = amplitudes(s)
    with panics(message):
        s *= Instr(Gate.from_name(gate), qargs)
    assert np.array_equal(amplitudes(s), before)
    if n:
        s *= Instr(Gate.from_name("x"), [0])  # the object is still usable
        assert s[1] == before[0]


def test_imul_with_other_operands():
    s = StateVec.random(1)
    with pytest.raises(TypeError, match="unsupported operand"):
        s *= 2
    with pytest.raises(TypeError, match="unsupported operand"):
        s *= StateVec.random(1)
    with pytest.raises(TypeError):
        s * Instr(Gate.from_name("h"), [0])


# ---- items, comparison, hashing, display -----------------------------------------------------

def test_items():
    s = StateVec([0.0, 0.0], [0.0, 0.0])
    s[0] = 1 + 2j
    s[1] = 3
    assert s[0] == 1 + 2j and s[1] == 3 + 0j
    assert isinstance(s[1], complex)
    with panics("index out of bounds: the len is 2 but the index is 2"):
        s[2]
    with panics("index out of bounds: the len is 2 but the index is 5"):
        s[5] = 1j
    assert [s[0], s[1]] == [1 + 2j, 3]
    with pytest.raises(NotImplementedError, match="^can't delete item$"):
        del s[0]
    with pytest.raises(OverflowError):
        s[-1]
    with pytest.raises(TypeError, match=r"^argument 'index': "):
        s["0"]
    with pytest.raises(TypeError, match=r"^argument 'value': "):
        s[0] = "1"


def test_iteration_makes_one_pass():
    s = StateVec([0.6, 0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 0.8])
    assert list(s) == [0.6, 0j, 0j, 0.8j]
    assert [a for a in s] == list(s) and all(type(a) is complex for a in s)
    assert 0.8j in s and 0.6 in s and 1j not in s
    one = StateVec([1.0], [0.0])
    assert list(one) == [1 + 0j]
    # Iterating only reads: a borrow-free state stays writable afterwards.
    it = iter(s)
    s[0] = 2.0
    assert next(it) == 0.6 and s[0] == 2.0


def test_comparison_and_hash_value():
    s = StateVec.random(2)
    c = s.clone()
    assert c is not s
    assert s == c and not (s != c)
    assert s.hash_value() == c.hash_value()
    c[3] = c[3] + 2 ** -30  # within one key bucket... or across a border: compare keys
    assert (s == c) == all(key(a.real) == key(b.real) and key(a.imag) == key(b.imag)
                           for a, b in zip(amplitudes(s), amplitudes(c)))
    c[3] = c[3] + 0.001
    assert s != c
    assert (s == 1) is False and (s != "x") is True
    with pytest.raises(TypeError):
        s < c
    with pytest.raises(TypeError):
        hash(s)
    assert StateVec([1.0, 0.0], [0.0, 0.0]) == StateVec([1.0 + 2 ** -27, -0.0], [2 ** -26, 0.0])
    assert StateVec([1.0], [0.0]) != StateVec([1.0, 0.0], [0.0, 0.0])


def test_clone_is_independent():
    s = StateVec.random(2)
    c = s.clone()
    c[0] = 5
    c.normalize()
    assert s[0] != c[0]


@pytest.mark.parametrize("re, im, text", [
    ([0.6, 0.0], [0.0, 0.8], "[0.6000, 0.8000j]"),
    ([1, 0], [0, 1], "[1.0000, 1.0000j]"),
    ([0.1, 0.0], [-0.2, 0.0], "[0.1000-0.2000j, 0.0000]"),
    ([0.7071067811865476, -0.5], [0.7071067811865476, 0.25], "[0.7071+0.7071j, -0.5000+0.2500j]"),
    ([-2 ** -30, -0.0], [2 ** -26, -0.00004], "[-0.0000, -0.0000j]"),
    ([0.00005, 0.00015], [0.0, 0.0], "[0.0001, 0.0001]"),
    ([float("nan"), 0.5], [0.0, float("nan")], "[NaN, 0.5000NaNj]"),
    ([float("inf"), 0.0], [0.0, float("-inf")], "[inf, -infj]"),
])
def test_display(re, im, text):
    assert str(StateVec(re, im)) == text


def test_display_after_normalisation():
    s = StateVec([1.0, 1.0], [0.0, 0.0])
    s.normalize()
    assert str(s) == "[0.7071, 0.7071]"
    s *= Instr(Gate.from_name("s"), [0])
    assert str(s) == "[0.7071, 0.7071j]"
    s *= Instr(Gate.from_name("t"), [0])
    assert str(s) == "[0.7071, -0.5000+0.5000j]"


HASH_CASES = [
    ([1.0, 0.0], [0.0, 0.0]),
    ([1.0], [0.0]),
    ([0.5, -0.5, 0.5, -0.5], [0.0, 2 ** -25, -2 ** -25, float("nan")]),
    ([1e12, -1e12, float("inf"), float("-inf")], [2.5 * 2 ** -24, -2.5 * 2 ** -24, 0.0, -0.0]),
]


def test_hash_value_against_cpython_siphash():
    states = [StateVec(re, im) for re, im in HASH_CASES] + [StateVec.random(n) for n in range(5)]
    feeds = [byte_feed([s[k].real for k in range(s.len())], [s[k].imag for k in range(s.len())])
             for s in states]
    code = "import sys\nfor line in sys.stdin:\n    print(hash(bytes.fromhex(line.strip())))\n"
    env = dict(os.environ, PYTHONHASHSEED="0")
    out = subprocess.run([sys.executable, "-c", code], input="\n".join(f.hex() for f in feeds),
                         env=env, capture_output=True, text=True, check=True).stdout.split()
    assert len(out) == len(states)
    for s, oracle in zip(states, out):
        h = s.hash_value()
        assert 0 <= h < 2 ** 64
        signed = h - 2 ** 64 if h >= 2 ** 63 else h
        assert (signed if signed != -1 else -2) == int(oracle)


def test_normalize_and_phase():
    s = StateVec([0.0, 3.0], [4.0, 0.0])
    s.normalize()
    assert s.check()
    assert s[0] == pytest.approx(0.8) and s[0].imag == 0.0
    assert s[1] == pytest.approx(-0.6j)
    t = from_array(amplitudes(s) * np.exp(1.3j))
    t.normalize_arg()
    assert t == s and t.hash_value() == s.hash_value()

    # Amplitude 0 near zero: the last amplitude becomes the real reference.
    u = StateVec([2 ** -26, 0.6], [0.0, 0.8])
    u.normalize_arg()
    assert u[1] == pytest.approx(1.0) and u[0].imag == 0.0

    # A vector without norm becomes |0...0>, as the docstring says.
    for parts in ([0.0] * 2, [-0.0] * 4, [0.0, 1e-200, 0.0, 0.0]):
        z = StateVec(parts, [0.0] * len(parts))
        z.normalize()
        assert [(math.copysign(1, a.real), a) for a in z] == \
            [(1, 1 + 0j)] + [(1, 0j)] * (len(parts) - 1)
        assert z.check() and z == StateVec([1.0] + [0.0] * (len(parts) - 1), [0.0] * len(parts))
