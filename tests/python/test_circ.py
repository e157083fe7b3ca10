"""The class Circ: each operation against the unitary it must have, and the class's conventions."""
import random

import numpy as np
import pytest

from brimsel import Circ, Gate, IdentityCirc, Instr
from support import panics

h, x, t, tdg, s = (Gate.from_name(n) for n in ("h", "x", "t", "tdg", "s"))
cx, cz, swap, cs = (Gate.from_name(n) for n in ("cx", "cz", "swap", "cs"))
ONE_QUBIT = [Gate.from_name(n) for n in ("h", "x", "z", "y", "t", "tdg", "s", "sdg", "rz(pi/3)", "t1/2")]
TWO_QUBIT = [cx, cz, swap, cs, Gate.from_name("csdg")]


# ---- the reference: unitaries built with NumPy ----------------------------------------------

def gate_operator(instr, n):
    """The 2^n operator of one instruction: qubit q is bit q of the index, and the
    instruction's first qubit is the most significant bit of its matrix index."""
    m = np.asarray(instr.gate.matrix)
    qubits = list(instr.qargs)
    k = len(qubits)
    dim = 1 << n
    out = np.zeros((dim, dim), dtype=complex)
    for col in range(dim):
        sub_col = sum(((col >> q) & 1) << (k - 1 - i) for i, q in enumerate(qubits))
        rest = col
        for q in qubits:
            rest &= ~(1 << q)
        for sub_row in range(1 << k):
            row = rest
            for i, q in enumerate(qubits):
                row |= ((sub_row >> (k - 1 - i)) & 1) << q
            out[row, col] += m[sub_row, sub_col]
    return out


def perm_operator(perm, n):
    """Moves the content of qubit k to qubit perm[k]; positions past the permutation stay."""
    images = list(perm) + list(range(len(perm), n))
    dim = 1 << n
    out = np.zeros((dim, dim))
    for col in range(dim):
        row = sum(((col >> k) & 1) << images[k] for k in range(n))
        out[row, col] = 1
    return out


def unitary(instrs, perm, n):
    u = np.eye(1 << n, dtype=complex)
    for i in instrs:
        u = gate_operator(i, n) @ u
    return perm_operator(perm, n) @ u


def U(c, n=None):
    return unitary(c.instrs, c.perm, c.nqubits() if n is None else n)


def relabel_operator(p, n):
    return perm_operator(p, n)


def equal_up_to_phase(a, b):
    k = np.unravel_index(np.argmax(np.abs(b)), b.shape)
    return np.allclose(a * (b[k] / a[k]), b, atol=1e-9) and np.isclose(abs(b[k] / a[k]), 1)


def random_circuit(rng, n, length, identity_perm=False):
    instrs = []
    for _ in range(length):
        if n >= 2 and rng.random() < 0.4:
            a, b = rng.sample(range(n), 2)
            instrs.append(Instr(rng.choice(TWO_QUBIT), [a, b]))
        else:
            instrs.append(Instr(rng.choice(ONE_QUBIT), [rng.randrange(n)]))
    perm = list(range(n))
    if not identity_perm:
        rng.shuffle(perm)
    return Circ(instrs, perm)


def random_perm(rng, n):
    p = list(range(n))
    rng.shuffle(p)
    return p


CASES = [(seed, 1 + seed % 4, seed % 7) for seed in range(40)]


# ---- meaning of each operation ---------------------------------------------------------------

@pytest.mark.parametrize("seed, n, length", CASES)
def test_operations_have_their_unitaries(seed, n, length):
    rng = random.Random(seed)
    c = random_circuit(rng, n, length)
    u = U(c)

    # permut: conjugation by the relabelling; a longer relabelling widens the circuit.
    for m in (n, n + 1):
        p = random_perm(rng, m)
        q = relabel_operator(p, m)
        assert np.allclose(U(c.permut(p), m), q @ U(c, m) @ q.T), (c, p)

    # remove_swaps and instrs_with_swaps keep the unitary exactly.
    assert np.allclose(U(c.remove_swaps(), n), u)
    assert swap not in [i.gate for i in c.remove_swaps().instrs]
    assert np.allclose(unitary(c.instrs_with_swaps(), list(range(n)), n), u)

    # inverse: the adjoint.
    assert np.allclose(U(c.inverse()) @ u, np.eye(1 << n), atol=1e-9)

    # rotate(k): conjugation by the first k instructions; rotate(-k) by the last k, relabelled.
    for k in range(len(c) + 1):
        first = unitary(c.instrs[:k], list(range(n)), n)
        assert np.allclose(U(c.rotate(k)), first @ u @ first.conj().T), (c, k)
        last = unitary(c.instrs[len(c) - k:], list(range(n)), n)
        moved = perm_operator(c.perm, n) @ last @ perm_operator(c.perm, n).T
        assert np.allclose(U(c.rotate(-k)), moved.conj().T @ u @ moved), (c, -k)

    # a + b: a, then b.
    d = random_circuit(rng, n + seed % 2, length)
    w = max(c.nqubits(), d.nqubits())
    assert np.allclose(U(c + d, w), U(d, w) @ U(c, w))


@pytest.mark.parametrize("seed, n, length", CASES)
def test_canonical_forms_keep_the_action(seed, n, length):
    rng = random.Random(1000 + seed)
    c = random_circuit(rng, n, max(length, 1))
    rep, applied = c.representative_with_perm()
    # The representative (reordered, SWAPs folded, idle top qubits dropped) acts as the
    # relabelled circuit does; the dropped qubits are idle.
    w = c.nqubits()
    q = relabel_operator(applied, w)
    assert np.allclose(U(rep, w), q @ U(c) @ q.T), (c, rep, applied)
    assert rep == c.representative()
    # Invariant under relabelling.
    assert c.permut(random_perm(rng, n)).representative() == rep

    # Identities: the canonical identity is an identity, whatever rotation and relabelling.
    ident = c + c.inverse()
    ident = ident.rotate(rng.randrange(len(ident) + 1)).permut(random_perm(rng, n))
    canon = ident.rotate_representative()
    assert isinstance(canon, IdentityCirc)
    assert equal_up_to_phase(U(canon.inner), np.eye(1 << canon.nqubits()))
    assert ident.rotate(-rng.randrange(len(ident) + 1)).rotate_representative() == canon


# ---- the class --------------------------------------------------------------------------------

def test_construction():
    c = Circ([Instr(h, [0])])
    assert c.perm == (0,) and c.nqubits() == 1
    e = Circ([])
    assert e.perm == () and e.nqubits() == 0 and e.is_empty() and len(e) == 0
    with panics("Permutation length must be greater than the max qubit index."):
        Circ([Instr(h, [2])], (0, 1))
    wide = Circ([Instr(h, [2])], perm=(0, 1, 2))
    assert wide.perm == (0, 1, 2) and wide.instrs[0].qargs == b"\x02"
    assert Circ(instrs=(Instr(cx, [0, 3]),), perm=None).perm == (0, 1, 2, 3)
    assert Circ([], range(3)).perm == (0, 1, 2)


@pytest.mark.parametrize("args, error, message", [
    (("hx",), TypeError, "argument 'instrs': Can't extract `str` to `Vec`"),
    ((5,), TypeError, "argument 'instrs': 'int' object cannot be converted to 'Sequence'"),
    (([5],), TypeError, "argument 'instrs': 'int' object cannot be converted to 'Instr'"),
    (([], "01"), TypeError, "argument 'perm': Can't extract `str` to `Vec`"),
    (([], [0, 256]), OverflowError, "out of range integral type conversion attempted"),
])
def test_construction_argument_errors(args, error, message):
    with pytest.raises(error) as e:
        Circ(*args)
    assert str(e.value) == message


@pytest.mark.parametrize("perm, message", [
    ((0, 8), "Permutation values must be less than 8"),
    ((1, 1), "Permutation values must be unique"),
])
def test_permutation_failures(perm, message):
    with panics(message):
        Circ([], perm)
    with panics(message):
        Circ([Instr(h, [0])]).permut(perm)


def test_indexing_and_iteration():
    c = Circ([Instr(h, [0]), Instr(t, [1]), Instr(cx, [0, 1])])
    assert str(c[-1]) == "cx(0, 1)" and str(c[3]) == "h(0)" and str(c[-4]) == "cx(0, 1)"
    assert str(c[10**9]) == str(c[10**9 % 3])
    # One pass, then the end: for loops, list and `in` terminate.
    assert [str(i) for i in c] == ["h(0)", "t(1)", "cx(0, 1)"]
    assert len(list(c)) == 3
    assert (5 in c) is False
    it = iter(c)
    next(it), next(it), next(it)
    with pytest.raises(StopIteration):
        next(it)
    with panics("attempt to calculate the remainder with a divisor of zero"):
        Circ([])[0]
    assert list(Circ([])) == []
    with pytest.raises(TypeError, match="^argument 'idx': "):
        c[0:2]
    with pytest.raises(TypeError, match="^argument 'idx': "):
        c["0"]
    # Copies, never views.
    assert c.instrs is not c.instrs and c[0] is not c[0]


def test_operators_and_comparisons():
    a = Circ([Instr(h, [0])], (0, 1))
    b = Circ([Instr(h, [0])], (1, 0))
    with pytest.raises(TypeError):
        a + 1
    with pytest.raises(TypeError):
        1 + a
    assert (a == 1) is False and (a != 1) is True
    with pytest.raises(TypeError):
        a < 1
    assert a != b and b < a  # same instructions: by the word, (1 0) first
    assert Circ([Instr(h, [0])], (0, 1)) == a and hash(Circ([Instr(h, [0])], (0, 1))) == hash(a)
    assert Circ([], (0, 1)) < Circ([Instr(x, [0])], (0,))  # fewer instructions first
    assert Circ([Instr(cx, [0, 1])]) < Circ([Instr(h, [0])], (0, 1))  # an empty slot sorts last
    ordered = sorted([Circ([Instr(h, [1]), Instr(h, [0])]), Circ([Instr(t, [0])]), Circ([]), a, b])
    assert [str(c) for c in ordered] == [
        "Circuit { () }", "Circuit { h(0) (1 0) }", "Circuit { h(0) (0 1) }", "Circuit { t(0) (0) }",
        "Circuit { h(1) h(0) (0 1) }"]
    assert a <= a and a >= a and not a > a


def test_hash_matches_identity_hash():
    for c in (Circ([]), Circ([Instr(h, [0]), Instr(h, [0])]), Circ([Instr(cx, [1, 0]), Instr(cx, [1, 0])])):
        value = IdentityCirc(c).hash_value()
        signed = value - (1 << 64) if value >= 1 << 63 else value
        assert hash(c) == (-2 if signed == -1 else signed)


def test_results_and_edge_cases():
    c = Circ([Instr(h, [0]), Instr(cx, [0, 1])])
    assert str(c) == "Circuit { h(0) cx(0, 1) (0 1) }"
    assert repr(c) == "Circ { instrs: [h(0), cx(0, 1)], perm: (0 1) }"
    assert str(Circ([])) == "Circuit { () }"
    assert c.rotate(0) == c and c.rotate(0) is not c
    with panics("range start index 3 out of range for slice of length 2"):
        c.rotate(3)
    with pytest.raises(TypeError, match="^argument 'n': "):
        c.rotate(1.5)
    e = Circ([], (1, 0))
    rep, perm = e.representative_with_perm()
    assert rep == e and perm == ()
    assert e.representative() == e
    rep, perm = Circ([Instr(h, [0]), Instr(h, [1])]).representative_with_perm()
    assert perm == (1, 0)  # both relabellings give the same circuit: the smaller word
    assert c.len() == 2 and not c.is_empty()
    assert [str(i) for i in Circ([Instr(h, [0])], (2, 0, 1)).instrs_with_swaps()] == [
        "h(0)", "swap(0, 2)", "swap(0, 1)"]
    removed = Circ([Instr(swap, [0, 1])], (0, 1)).remove_swaps()
    assert removed.is_empty() and removed.perm == (1, 0)
    with pytest.raises(AttributeError):
        c.perm = (0, 1)
    with pytest.raises(AttributeError):
        c.instrs = []
    with pytest.raises(TypeError):
        c.len(1)
    with pytest.raises(TypeError, match="^argument 'perm': Can't extract `str` to `Vec`$"):
        c.permut("10")


def test_rotate_representative_of_a_non_identity_fails():
    with panics("IdentityCirc: circuit is not identity [", prefix=True):
        Circ([Instr(t, [0]), Instr(t, [0])]).rotate_representative()
    canon = Circ([Instr(swap, [0, 1])], (1, 0)).rotate_representative()
    assert canon.inner == Circ([], (0, 1))


def test_remove_swaps_of_a_swap_without_qubits():
    loaded = IdentityCirc.from_python({"instrs": [("swap", (0, 255))], "perm": {"raw": 0x02000008}})
    with panics("Index out of bounds"):
        loaded.inner.remove_swaps()


def test_docstrings():
    assert Circ.__doc__ == "Circuit with an explicit trailing qubit permutation."
    assert Circ.__text_signature__ == "(instrs, perm=None)"
    docs = {
        "nqubits": "Number of qubits tracked by the permutation.",
        "rotate_representative": "Returns canonical identity representative across rotations/permutations.",
        "representative": "Returns canonical circuit representative.",
        "representative_with_perm": "Returns `(representative, applied_perm)` used in canonicalization.",
        "permut": "Applies a qubit permutation to this circuit.",
        "remove_swaps": "Removes explicit swap gates into the stored trailing permutation.",
        "inverse": "Returns inverse circuit.",
        "rotate": "Circularly rotates instruction order by `n`.",
        "len": "Number of instructions.",
        "is_empty": "Returns whether the circuit is empty.",
        "instrs_with_swaps": "Returns instructions plus swaps needed for stored permutation.",
    }
    params = {"permut": ", perm", "rotate": ", n"}
    for name, text in docs.items():
        method = getattr(Circ, name)
        assert method.__doc__ == text, name
        assert method.__text_signature__ == "($self" + params.get(name, "") + ")", name
    assert Circ.instrs.__doc__ is None and Circ.perm.__doc__ is None
    names = [n for n in Circ.__dict__ if n in docs]
    assert names == list(docs)
