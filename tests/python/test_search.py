"""The evaluator, the breadth-first search, raw classes and their normalisation into ECCs."""
import itertools
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from brimsel import ECC, ECCs, Evaluator, Gate, Instr, RawECCs, StateVec
from support import panics, run_child

h, x, s, t, cx = (Gate.from_name(n) for n in ["h", "x", "s", "t", "cx"])


# ---- an independent reference: orbits of exact unitaries ------------------------------------

def placement_unitary(gate, qubits, n):
    """The 2^n unitary of a gate on `qubits`: qubit q is bit q of the index, the gate's first
    qubit argument the most significant bit of its own matrix index."""
    g = gate.matrix
    k = len(qubits)
    dim = 2 ** n
    u = np.zeros((dim, dim), dtype=complex)
    for col in range(dim):
        sub_in = sum(((col >> q) & 1) << (k - 1 - m) for m, q in enumerate(qubits))
        rest = col
        for q in qubits:
            rest &= ~(1 << q)
        for sub_out in range(2 ** k):
            row = rest
            for m, q in enumerate(qubits):
                if (sub_out >> (k - 1 - m)) & 1:
                    row |= 1 << q
            u[row, col] += g[sub_out, sub_in]
    return u


def permutation_unitary(perm, n):
    """Moves the content of qubit k to qubit perm[k]."""
    dim = 2 ** n
    p = np.zeros((dim, dim))
    for i in range(dim):
        j = sum(((i >> k) & 1) << perm[k] for k in range(n))
        p[j, i] = 1
    return p


def phase_key(u):
    flat = u.flatten()
    first = flat[np.argmax(np.abs(flat) > 1e-6)]
    v = flat * (abs(first) / first)
    return tuple(np.round(v.real, 5) + 0.0) + tuple(np.round(v.imag, 5) + 0.0)


def reference_class_count(gates, n, max_size):
    placements = []
    gate_list = list(gates)
    for g in gates:
        if g.adjoint() not in gate_list:
            gate_list.append(g.adjoint())
    for g in gate_list:
        if g.nqargs == 1:
            placements += [placement_unitary(g, [q], n) for q in range(n)]
        else:
            placements += [placement_unitary(g, [i, j], n) for i in range(n) for j in range(n) if i != j]
    perms = [permutation_unitary(p, n) for p in itertools.permutations(range(n))]
    seen = {phase_key(np.eye(2 ** n))}
    frontier = [np.eye(2 ** n, dtype=complex)]
    reached = list(frontier)
    for _ in range(max_size):
        nxt = []
        for u in frontier:
            for p in placements:
                v = p @ u
                k = phase_key(v)
                if k not in seen:
                    seen.add(k)
                    nxt.append(v)
        reached += nxt
        frontier = nxt
    orbits = set()
    for u in reached:
        orbits.add(min(phase_key(a @ u @ b) for a in perms for b in perms))
    return len(orbits)


@pytest.mark.parametrize("n, gates, max_size", [
    (1, [h, t], 3),
    (2, [h, cx], 2),
    (2, [h, s, cx], 3),
    (3, [h, cx], 2),
    (3, [h, t, cx], 2),
    (3, [h, t, cx], 3),
    (2, [h, t, cx], 4),
])
def test_class_counts_match_brute_force(n, gates, max_size):
    raw, counters = RawECCs.generate(Evaluator(n), gates, max_size)
    assert len(raw.simplify()) == reference_class_count(gates, n, max_size)
    assert raw.simplify().check() == []


# ---- the search's own behaviour ---------------------------------------------------------------

def test_counters_of_small_searches():
    ev = Evaluator(2)
    raw, counters = RawECCs.search(ev, [], 3)
    assert counters == [1, 0, 0]
    assert len(raw.simplify()) == 1
    raw, counters = RawECCs.generate(ev, [h], 0)
    assert counters == [1, 2, 2]
    assert len(raw.simplify()) == 2
    # Static methods work on an instance as on the class.
    raw2, counters2 = raw.generate(ev, [h], 0)
    assert counters2 == [1, 2, 2]
    _, naive = RawECCs.generate_naive(ev, [h, cx], 2)
    assert naive[1] == naive[2]


def test_search_with_explicit_placements():
    ev = Evaluator(2)
    raw, counters = RawECCs.search(ev, [h(0), h(1), cx(0, 1)], 2)
    assert counters[1] == 3 * counters[0]
    eccs = raw.simplify()
    assert eccs.nqubits == 2
    assert len(eccs) >= 4
    raw_n, counters_n = RawECCs.search_naive(ev, [h(0), h(1), cx(0, 1)], 2)
    assert len(raw_n.simplify()) >= len(eccs)


def test_progress_lines_on_stdout():
    code = textwrap.dedent("""
        import brimsel
        ev = brimsel.Evaluator(2)
        raw, counters = brimsel.RawECCs.generate(ev, [brimsel.Gate.from_name('h')], 2)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    lines = out.stdout.splitlines()
    assert lines[0] == "#0 Exploring  (0 queued, 1 ECCs, 0 circs, 0 circs perm)"


def test_raw_constructor_and_simplify():
    eccs = RawECCs(Evaluator(3)).simplify()
    assert isinstance(eccs, ECCs)
    assert len(eccs) == 1 and eccs.nqubits == 3
    (only,) = eccs.to_list()
    assert isinstance(only, ECC)
    assert only.circuits() == [[]]
    assert str(eccs) == ""
    assert str(only) == "ECC {\n\t,\n}"


def test_eccs_members_and_texts():
    raw, _ = RawECCs.generate(Evaluator(2), [h, x], 2)
    eccs = raw.simplify()
    assert eccs == eccs and eccs != RawECCs(Evaluator(2)).simplify()
    assert (eccs == 1) is False
    multi = eccs.filter_single()
    assert multi.nqubits == eccs.nqubits
    assert all(len(e.circuits()) > 1 for e in multi.to_list())
    assert len(multi) <= len(eccs)
    assert str(multi) == str(eccs)
    assert str(eccs) == " & ".join(str(e) for e in multi.to_list())
    for e in multi.to_list():
        text = str(e)
        assert text.startswith("ECC {\n\t") and text.endswith(",\n}")
        circuits = e.circuits()
        assert all(isinstance(i, Instr) for c in circuits for i in c)
        assert text.count(",\n") == len(circuits)
    with pytest.raises(AttributeError):
        eccs.nqubits = 3
    with pytest.raises(TypeError):
        ECCs()
    with pytest.raises(TypeError):
        ECC()


def test_evaluator():
    ev = Evaluator(3)
    assert ev == ev and ev != Evaluator(3)
    assert ev.nqubits() == 3
    canonical, front, back, forward = ev.evaluate([h(0), cx(0, 1)])
    assert isinstance(canonical, StateVec) and isinstance(forward, StateVec)
    assert isinstance(front, tuple) and len(front) == 3 and len(back) == 3
    assert sorted(front) == [0, 1, 2]
    # Relabelling and global phase do not change the canonical state.
    c1, *_ = ev.evaluate([h(2), cx(2, 0)])
    assert c1 == canonical
    z = Gate.from_name("z")
    c2, *_ = ev.evaluate([z(1), x(1), z(1), x(1)])
    assert c2.hash_value() == ev.initial_key()
    assert Evaluator(5).initial_key() >= 0
    with pytest.raises(TypeError):
        ev < ev
    with pytest.raises(OverflowError):
        Evaluator(-1)


def test_evaluator_limits():
    with panics("index out of bounds: the len is 16 but the index is 31"):
        Evaluator(6).initial_key()
    with panics("Number of qubits too large, resulting in overflow for state vector size."):
        Evaluator(2 ** 32)
    with panics("Number of qubits too large, resulting in overflow for state vector size."):
        Evaluator(64)
    with panics("capacity overflow"):
        Evaluator(60)


def test_evaluator_beyond_8_qubits_fails_before_drawing_states():
    # Two states of 2^n amplitudes would be 2 GiB at 26 qubits and 32 GiB at 30; in a child, whose
    # peak memory must not grow and which must live to report every case.
    out = run_child(textwrap.dedent("""
        import resource
        import brimsel
        def peak():
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB
        before = peak()
        for n in (9, 26, 30, 59):
            try:
                brimsel.Evaluator(n)
                print(n, "built")
            except BaseException as e:
                print(n, type(e).__name__, e)
        print("grew", peak() - before < 64 * 1024)
    """))
    assert out.stdout.splitlines() == [
        f"{n} PanicException Permutation length must be less than or equal to 8" for n in (9, 26, 30, 59)
    ] + ["grew True"], out.stdout + out.stderr


def test_argument_errors():
    ev = Evaluator(2)
    with pytest.raises(TypeError, match=r"^argument 'evaluator': 'int' object cannot be converted to 'Evaluator'$"):
        RawECCs.generate(1, [h], 2)
    with pytest.raises(TypeError, match=r"^argument 'gates': "):
        RawECCs.generate(ev, [1], 2)
    with pytest.raises(TypeError, match=r"^argument 'instrs': "):
        RawECCs.search(ev, [h], 2)
    with pytest.raises(OverflowError):
        RawECCs.generate(ev, [h], -1)
    with pytest.raises(TypeError, match=r"^argument 'evaluator': "):
        RawECCs(None)
    with panics("Only 1 and 2 qubit instructions are supported"):
        RawECCs.generate(ev, [Gate("g0", [], np.array([[1j]]))], 1)


def test_docstrings():
    assert RawECCs.__text_signature__ == "(evaluator)"
    assert RawECCs.__doc__ == ("Mutable ECC map keyed by evaluator hash.\n\n"
                               "This is the direct output of the search algorithm before final simplification.")
    assert RawECCs.search.__text_signature__ == "(evaluator, instrs, max_size)"
    assert RawECCs.generate.__doc__ == ("Generates ECCs from a gate set using the optimized search.\n\n"
                                        "Adjoint gates are added automatically if missing.")
    assert RawECCs.simplify.__text_signature__ == "($self)"
    assert Evaluator.__text_signature__ == "(nqubits)"
    assert Evaluator.__doc__ == "Randomized evaluator used to hash circuits and recover permutation metadata."
    assert Evaluator.initial_key.__doc__ == "Hash key for the empty circuit under this evaluator."
    assert ECC.__doc__ == "One equivalence class of circuits."
    assert ECC.circuits.__doc__ == "Returns all circuits in this class with swap instructions materialized."
    assert ECCs.__doc__ == "Collection of equivalence classes for a fixed number of qubits."
    assert ECCs.filter_single.__doc__ == "Removes classes with only one circuit."
