"""The Python class Gate: lookup, registration from NumPy, attributes, adjoints, calling conventions."""
import inspect
import math

import numpy as np
import pytest

from brimsel import Gate
from support import panics

BUILTINS = [
    "i", "h", "x", "z", "y", "s", "sdg", "t", "tdg", "cx", "cz", "cy", "cs", "csdg", "swap",
    "t1/2", "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)", "rz(-pi/5)", "rz(pi/16)", "rz(-pi/16)",
]
ADJOINTS = [0, 1, 2, 3, 4, 6, 5, 8, 7, 9, 10, 11, 13, 12, 14, 16, 15, 18, 17, 20, 19, 22, 21]

X = np.array([[0, 1], [1, 0]], dtype=np.complex128)


def index_of(gate):
    return BUILTINS.index(str(gate)) if str(gate) in BUILTINS else None


def test_builtins_by_display_text():
    gates = [Gate.from_name(t) for t in BUILTINS]
    assert [str(g) for g in gates] == BUILTINS
    assert len(set(gates)) == 23
    assert Gate.from_name("rz") is None
    assert Gate.from_name("") is None
    assert Gate.from_name("rz(pi / 3)") is None


def test_adjoints_of_builtins():
    for i, text in enumerate(BUILTINS):
        assert Gate.from_name(text).adjoint() == Gate.from_name(BUILTINS[ADJOINTS[i]]), text


def test_h_lookup_values():
    h = Gate.from_name("h")
    h2 = Gate.from_name("h")
    assert h == h2 and h is not h2
    assert not (h != h2)
    assert str(h) == "h"
    assert hash(h) == -7945920514361384455
    assert h.nqargs == 1
    assert h.params == []
    assert h.params_f == []
    assert h.name == "h"
    assert repr(h).startswith("<builtins.Gate object at")


def test_rz_parameters():
    rz = Gate.from_name("rz(pi/3)")
    assert rz.name == "rz"
    assert rz.params == ["pi/3"]
    assert rz.params_f == [1.0471975511965976]
    assert Gate.from_name("rz(-pi/16)").params_f == [-math.pi / 16]
    rz.params.append("mutated")
    assert rz.params == ["pi/3"]


def test_matrices():
    t = Gate.from_name("t").matrix
    assert t.dtype == np.complex128 and t.shape == (2, 2)
    assert t[1, 1] == complex(0.7071067811865476, 0.7071067811865475)
    assert t[0, 0] == 1 and t[0, 1] == 0 and t[1, 0] == 0
    s = Gate.from_name("s")
    a, b = s.matrix, s.matrix
    assert a is not b
    assert a.flags.f_contiguous
    np.testing.assert_array_equal(a, [[1, 0], [0, 1j]])
    a[0, 0] = 5
    assert s.matrix[0, 0] == 1
    cx = Gate.from_name("cx").matrix
    np.testing.assert_array_equal(cx, [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]])


def test_registration_merges_by_matrix():
    x = Gate.from_name("x")
    assert Gate("flip", [], X) == x
    assert str(Gate("myx", [], X)) == "x"
    assert Gate("flip", [], X + 1e-9) == x
    new = Gate("flip6", [], X + 1e-6)
    assert new != x and str(new) == "flip6"
    # A nested list holding a complex number goes through numpy.asarray.
    assert Gate("flip", [], [[0j, 1], [1, 0]]) == x


@pytest.mark.parametrize("matrix, message", [
    (np.zeros((0, 0), dtype=complex), "Matrix must have a number of rows that is a power of two"),
    (np.zeros((3, 3), dtype=complex), "Matrix must have a number of rows that is a power of two"),
    (np.zeros((3, 4), dtype=complex), "Matrix must have a number of rows that is a power of two"),
    (np.zeros((2, 4), dtype=complex), "Matrix must be squared"),
    (np.zeros((4, 2), dtype=complex), "Matrix must be squared"),
    (np.eye(2, dtype=complex)[::-1], "called `Option::unwrap()` on a `None` value"),
])
def test_registration_failures(matrix, message):
    with panics(message):
        Gate("bad", [], matrix)


def test_strided_views():
    base = np.zeros((4, 4), dtype=complex)
    base[0, 2] = base[2, 0] = 1  # x on the even rows and columns
    assert Gate("v", [], base[::2, ::2]) == Gate.from_name("x")
    y = np.array([[0, -1j], [1j, 0]])
    assert Gate("yt", [], np.asfortranarray(y).T.T) == Gate.from_name("y")
    assert Gate("ytr", [], y.conj().T) == Gate.from_name("y")  # y is Hermitian
    one = Gate("scalar", [], np.array([[1j]]))
    assert one.nqargs == 0


@pytest.mark.parametrize("matrix", [
    [[0, 1], [1, 0]],
    np.array([[0, 1], [1, 0]], dtype=float),
    np.array([0, 1], dtype=complex),
    np.zeros((2, 2, 2), dtype=complex),
    np.array([[0, 1], [1, 0]], dtype=np.complex64),
    "xx",
])
def test_matrix_type_errors(matrix):
    with pytest.raises(TypeError, match=r"^argument 'matrix': "):
        Gate("bad", [], matrix)


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^argument 'name': 'int' object cannot be converted to 'PyString'$"):
        Gate(1, [], X)
    with pytest.raises(TypeError, match=r"^argument 'params': Can't extract `str` to `Vec`$"):
        Gate("a", "pi", X)
    with pytest.raises(TypeError, match=r"^argument 'params': 'int' object cannot be converted to 'PyString'$"):
        Gate("a", [1], X)
    with pytest.raises(TypeError, match=r"^argument 'name': "):
        Gate.from_name(None)
    with pytest.raises(TypeError, match="unexpected keyword argument 'nam'"):
        Gate.from_name(nam="h")
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'name'"):
        Gate.from_name()
    with pytest.raises(TypeError, match=r"takes 1 positional arguments but 2 were given"):
        Gate.from_name("h", "x")
    with pytest.raises(TypeError, match=r"got multiple values for argument 'name'"):
        Gate.from_name("h", name="h")
    with pytest.raises(TypeError, match=r"missing 2 required positional arguments: 'params' and 'matrix'"):
        Gate("a")
    with pytest.raises(TypeError):
        Gate.from_name("h").adjoint(1)
    # Keywords work for every parameter.
    assert Gate(name="k", params=[], matrix=X) == Gate.from_name("x")
    assert Gate.from_name(name="h") == Gate.from_name("h")


def test_text_signatures_and_docs():
    assert Gate.__text_signature__ == "(name, params, matrix)"
    assert Gate.__doc__ == "Parameterized quantum gate definition used by both search and Python APIs."
    assert str(inspect.signature(Gate)) == "(name, params, matrix)"
    assert Gate.from_name.__text_signature__ == "(name)"
    assert Gate.from_name.__doc__ == "Looks up a built-in gate by display name."
    assert Gate.adjoint.__text_signature__ == "($self)"
    assert Gate.adjoint.__doc__ == "Returns the adjoint (inverse) gate."
    docs = {
        "name": "Gate name.",
        "params": "Symbolic parameter list.",
        "params_f": "Numeric parameters evaluated with support for `pi` expressions.",
        "matrix": "Dense unitary matrix.",
        "nqargs": "Number of qubit arguments required by this gate.",
    }
    for attr, doc in docs.items():
        assert getattr(Gate, attr).__doc__ == doc


def test_read_only_attributes():
    h = Gate.from_name("h")
    with pytest.raises(AttributeError):
        h.name = "x"
    with pytest.raises(AttributeError):
        h.other = 1


def test_comparisons():
    h = Gate.from_name("h")
    assert (h == 1) is False
    assert (h != 1) is True
    with pytest.raises(TypeError):
        h < Gate.from_name("x")
    assert {h: 1}[Gate.from_name("h")] == 1


@pytest.mark.parametrize("text, message", [("1/0", "DivisionByZero"), ("theta", "theta")])
def test_params_f_errors(text, message):
    g = Gate("p_" + text, [text], np.array([[1, 0], [0, np.exp(0.123j * len(text))]]))
    with pytest.raises(ValueError) as info:
        g.params_f
    assert str(info.value) == message


def test_params_f_stops_at_first_failure():
    g = Gate("two", ["x", "1/0"], np.array([[1, 0], [0, np.exp(0.77j)]]))
    with pytest.raises(ValueError, match="^x$"):
        g.params_f


def test_adjoint_of_new_gate():
    u = np.array([[0.6, 0.8j], [0.8, -0.6j]])
    g = Gate("u", ["a"], u)
    adj = g.adjoint()
    assert str(adj) == "u\u2020(a)"
    assert adj.params == ["a"]
    assert adj.adjoint() == g
    m = adj.matrix
    np.testing.assert_array_equal(m, u.conj().T)
    assert math.copysign(1.0, m[0, 0].imag) == -1.0  # 0.0 flipped to -0.0
    assert g.adjoint() == adj


def test_no_constructor_bypass():
    with pytest.raises(TypeError):
        Gate.__new__(Gate)


def test_refused_shapes_are_not_copied():
    # Broadcast views describe huge matrices without memory; a refused shape
    # fails with its own message before any copy is attempted.
    with panics("Matrix must have a number of rows that is a power of two"):
        Gate("odd", [], np.broadcast_to(np.complex128(1), (3, 2 ** 40)))
    with panics("Matrix must be squared"):
        Gate("wide", [], np.broadcast_to(np.complex128(1), (4, 2 ** 40)))
    with pytest.raises(MemoryError):
        Gate("huge", [], np.broadcast_to(np.complex128(1), (2 ** 22, 2 ** 22)))
