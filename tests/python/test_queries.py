"""Queries, re-evaluation and the parallel cross-check of raw classes."""
import gc
import itertools
import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from brimsel import ECC, Evaluator, Gate, RawECCs
from support import panics

h, x, t, cx = (Gate.from_name(n) for n in ["h", "x", "t", "cx"])
MISSING = "assertion failed: ecc1.contains_key(&bv.hash_value())"


# ---- exact unitaries, independent of the module's states ---------------------------------------

def unitary(instrs, n):
    """Qubit q is bit q of the index; a gate's first qubit argument is the high bit of its matrix."""
    dim = 2 ** n
    u = np.eye(dim, dtype=complex)
    for ins in instrs:
        qubits = list(ins.qargs)
        g = ins.gate.matrix
        k = len(qubits)
        step = np.zeros((dim, dim), dtype=complex)
        for col in range(dim):
            sub_in = sum(((col >> q) & 1) << (k - 1 - m) for m, q in enumerate(qubits))
            rest = col & ~sum(1 << q for q in qubits)
            for sub_out in range(2 ** k):
                row = rest | sum(1 << q for m, q in enumerate(qubits) if (sub_out >> (k - 1 - m)) & 1)
                step[row, col] += g[sub_out, sub_in]
        u = step @ u
    return u


def permutation_unitary(perm):
    """Moves the content of qubit k to qubit perm[k]."""
    dim = 2 ** len(perm)
    p = np.zeros((dim, dim))
    for i in range(dim):
        p[sum(((i >> k) & 1) << perm[k] for k in range(len(perm))), i] = 1
    return p


def alike(a, b):
    """Equal up to a global phase."""
    k = np.argmax(np.abs(a.flatten()))
    phase = b.flatten()[k] / a.flatten()[k]
    return abs(abs(phase) - 1) < 1e-9 and np.allclose(a * phase, b, atol=1e-9)


def placements(n):
    return ([g(q) for g in (h, t, t.adjoint()) for q in range(n)]
            + [cx(a, b) for a in range(n) for b in range(n) if a != b])


@pytest.fixture(scope="module")
def searched():
    ev = Evaluator(3)
    raw, _ = RawECCs.generate(ev, [h, t, cx], 3)
    return ev, raw


def random_circuits(n, count, max_len, seed):
    rng = random.Random(seed)
    pl = placements(n)
    return [[rng.choice(pl) for _ in range(rng.randint(0, max_len))] for _ in range(count)]


# ---- the members and their texts ---------------------------------------------------------------

@pytest.mark.parametrize("name, signature, doc", [
    ("find_equivalents", "($self, evaluator, instrs)",
     "Python wrapper returning equivalent circuits for a candidate program."),
    ("compute_next_key", "($self, evaluator, current_key, instr)",
     "Computes the next reachable ECC hash after appending one instruction.\n\n"
     "Returns `None` when the resulting state was not discovered in this map."),
    ("switch_evaluator", "($self, new_evaluator)",
     "Re-evaluates all stored circuits under a new evaluator.\n\n"
     "Useful for cross-checking evaluator-independence of discovered classes."),
    ("check_identity_subset", "($self, ecc1, evaluator)",
     "Checks that every identity in `self` is representable in `ecc1`."),
])
def test_signatures_and_docstrings(name, signature, doc):
    method = getattr(RawECCs, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_argument_errors(searched):
    ev, raw = searched
    cases = [
        (lambda: raw.find_equivalents(raw, []), TypeError,
         r"^argument 'evaluator': 'RawECCs' object cannot be converted to 'Evaluator'$"),
        (lambda: raw.find_equivalents(ev, [h]), TypeError, r"^argument 'instrs': "),
        (lambda: raw.compute_next_key(ev, -1, h(0)), OverflowError, ""),
        (lambda: raw.compute_next_key(ev, 2 ** 64, h(0)), OverflowError, ""),
        (lambda: raw.compute_next_key(ev, 0, "h"), TypeError, r"^argument 'instr': "),
        (lambda: raw.switch_evaluator(None), TypeError, r"^argument 'new_evaluator': "),
        (lambda: raw.check_identity_subset(ev, ev), TypeError,
         r"^argument 'ecc1': 'Evaluator' object cannot be converted to 'RawECCs'$"),
        (lambda: raw.check_identity_subset(raw, raw), TypeError, r"^argument 'evaluator': "),
        (lambda: raw.check_identity_subset(ecc1=raw), TypeError, ""),
    ]
    for call, exc, pattern in cases:
        with pytest.raises(exc, match=pattern):
            call()
    # Keywords work as well.
    assert raw.compute_next_key(evaluator=ev, current_key=ev.initial_key(), instr=h(0)) is not None
    assert raw.check_identity_subset(ecc1=raw, evaluator=ev) is None


# ---- find_equivalents and compute_next_key ------------------------------------------------------

def test_find_equivalents(searched):
    ev, raw = searched
    assert RawECCs(ev).find_equivalents(ev, [h(0)]) is None
    assert raw.find_equivalents(ev, [t(0), h(0), t(0), h(0), t(0), h(0), t(0)]) is None
    empty = raw.find_equivalents(ev, [])
    assert isinstance(empty, ECC)
    assert empty.circuits()[0] == []

    perms = [permutation_unitary(p) for p in itertools.permutations(range(3))]
    found = 0
    for c in random_circuits(3, 150, 3, seed=1):
        e = raw.find_equivalents(ev, c)
        if e is None:
            continue
        found += 1
        circuits = e.circuits()
        # Members are read relative to the first one, which is the circuit up to a relabelling
        # after it.
        first = unitary(circuits[0], 3)
        assert all(alike(unitary(m, 3), first) for m in circuits[1:]), c
        assert any(alike(p @ first, unitary(c, 3)) for p in perms), c
    assert found > 50


def test_compute_next_key(searched):
    ev, raw = searched
    key = lambda c: ev.evaluate(c)[0].hash_value()
    assert raw.compute_next_key(ev, Evaluator(3).initial_key(), h(0)) is None
    assert raw.compute_next_key(ev, ev.initial_key(), h(2)) == key([h(0)])
    kh = key([h(0)])
    # The class's first circuit, h on qubit 0, is extended in its own labels.
    assert raw.compute_next_key(ev, kh, cx(0, 1)) == key([h(0), cx(0, 1)])
    assert raw.compute_next_key(ev, kh, cx(1, 0)) == key([h(0), cx(1, 0)])
    assert key([h(0), cx(0, 1)]) != key([h(0), cx(1, 0)])
    small, _ = RawECCs.generate(ev, [h, t, cx], 1)
    assert small.compute_next_key(ev, kh, t(0)) is None
    assert small.compute_next_key(ev, kh, h(0)) == ev.initial_key()


# ---- switch_evaluator ---------------------------------------------------------------------------

def member_gates(e):
    """The gate names of every member, without the exchanges materialised after them."""
    out = []
    for c in e.circuits():
        names = [str(i.gate) for i in c]
        while names and names[-1] == "swap":
            names.pop()
        out.append(names)
    return out


def test_switch_evaluator_keeps_classes_and_their_order(searched):
    ev, raw = searched
    ev2 = Evaluator(3)
    sw = raw.switch_evaluator(ev2)
    assert isinstance(sw, RawECCs) and sw is not raw
    assert len(sw.simplify()) == len(raw.simplify())
    assert sw.simplify().check() == []
    assert sw.find_equivalents(ev, [h(0)]) is None  # keyed by the new evaluator
    for c in [[]] + [[p] for p in placements(3)] + random_circuits(3, 60, 3, seed=2):
        a, b = raw.find_equivalents(ev, c), sw.find_equivalents(ev2, c)
        assert (a is None) == (b is None), c
        if a is not None:
            # The same stored lists in the same order.
            assert member_gates(a) == member_gates(b), c
    # The classes rebuild in the source, which carries every tying placement.
    sw.check_identity_subset(raw, ev)


def test_switch_evaluator_outlives_its_source():
    ev = Evaluator(2)
    raw, _ = RawECCs.generate(ev, [h, t, cx], 3)
    expected = len(raw.simplify())
    sw = raw.switch_evaluator(Evaluator(2))
    again = sw.switch_evaluator(ev)
    del raw
    gc.collect()
    assert len(sw.simplify()) == expected
    assert len(again.simplify()) == expected
    del sw
    gc.collect()
    assert again.find_equivalents(ev, [h(0), h(0)]) is not None


def test_switch_evaluator_inconsistencies():
    # The naive search keeps h(0) and h(1) apart; a relabelling-invariant evaluator cannot.
    naive, _ = RawECCs.generate_naive(Evaluator(2), [h], 1)
    with panics("Hash collision detected during evaluator switch: CircuitECC { size: 1, ", prefix=True):
        naive.switch_evaluator(Evaluator(2))
    # Circuits on qubits the new evaluator does not have.
    with panics():
        RawECCs.generate(Evaluator(3), [h, cx], 2)[0].switch_evaluator(Evaluator(2))


# ---- check_identity_subset ----------------------------------------------------------------------

@pytest.mark.parametrize("n, gates, max_size", [
    (1, [h, t], 5),
    (2, [h, x, cx], 4),
    (2, [h, t, cx], 4),
    (3, [h, t, cx], 4),
])
def test_check_identity_subset_on_search_results(n, gates, max_size):
    ev = Evaluator(n)
    raw, _ = RawECCs.generate(ev, gates, max_size)
    assert raw.check_identity_subset(raw, ev) is None
    small, _ = RawECCs.generate(ev, gates, max_size - 1)
    small.check_identity_subset(raw, ev)
    # Classes that are not all there, or keyed by another evaluator, are found out.
    with panics(MISSING):
        raw.check_identity_subset(small, ev)
    with panics(MISSING):
        raw.check_identity_subset(RawECCs(ev), ev)
    with panics(MISSING):
        raw.check_identity_subset(raw, Evaluator(n))
    with panics(MISSING):
        raw.check_identity_subset(RawECCs.generate(Evaluator(n), gates, max_size)[0], ev)


def test_cross_check_does_not_depend_on_the_thread_count():
    script = textwrap.dedent("""
        import os
        from brimsel import Evaluator, Gate, RawECCs
        h, t, cx = (Gate.from_name(n) for n in ["h", "t", "cx"])
        ev = Evaluator(3)
        raw, _ = RawECCs.generate(ev, [h, t, cx], 5)
        small, _ = RawECCs.generate(ev, [h, t, cx], 3)
        results = []
        for a, b in [(raw, raw), (small, raw), (raw, small), (small, small)]:
            try:
                results.append(repr(a.check_identity_subset(b, ev)))
            except BaseException as e:
                results.append(type(e).__name__ + ": " + str(e))
        print("RESULT", results)
        print("THREADS", len(os.listdir("/proc/self/task")))
    """)
    outputs = {}
    for env_vars in [{"RAYON_NUM_THREADS": "1"}, {"RAYON_NUM_THREADS": "8"},
                     {"RAYON_RS_NUM_CPUS": "2"}, {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "1"}]:
        env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
        env.update(env_vars)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env,
                             check=True).stdout.splitlines()
        result = [line for line in out if line.startswith("RESULT")]
        threads = [int(line.split()[1]) for line in out if line.startswith("THREADS")]
        outputs[tuple(env_vars.items())] = (result, threads[0])
    (expected, _), *_ = outputs.values()
    assert expected == ["RESULT " + repr(["None", "None", "PanicException: " + MISSING, "None"])]
    for key, (result, threads) in outputs.items():
        assert result == expected, key
    # The pool holds the calling thread and the workers asked for.
    assert outputs[(("RAYON_NUM_THREADS", "1"),)][1] == 1
    assert outputs[(("RAYON_RS_NUM_CPUS", "2"),)][1] == 2
    assert outputs[(("RAYON_NUM_THREADS", "8"),)][1] > 2
    # 0 asks for one thread per CPU; the older variable is then not read.
    if len(os.sched_getaffinity(0)) > 1:
        assert outputs[(("RAYON_NUM_THREADS", "0"), ("RAYON_RS_NUM_CPUS", "1"))][1] > 1


def test_cross_check_in_a_forked_child():
    # A child forked after the pool has run keeps working (on its calling thread).
    import os
    code = textwrap.dedent("""
        import os, sys
        from brimsel import Evaluator, Gate, RawECCs
        gates = [Gate.from_name(n) for n in ("h", "t", "cx")]
        ev = Evaluator(3)
        raw, _ = RawECCs.generate(ev, gates, 5)  # several chunks of classes
        raw.check_identity_subset(raw, ev)
        pid = os.fork()
        if pid == 0:
            raw.check_identity_subset(raw, ev)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip().splitlines()[-1] == "0"
