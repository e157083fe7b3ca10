"""What the prover answers: plainly true identities are proved, and every proof it exports is a
DAG of exact identities ending in assumptions or the empty identity.

The provers are built from stored class files, so that the identities and answers are the same
in every run.
"""
import pathlib
import random

import numpy as np
import pytest

from brimsel import Circ, ECCs, Gate, IdentityCirc, IdentityProver, Instr

DATA = pathlib.Path(__file__).resolve().parents[1] / "data" / "eccs"
H, T, TDG, CX = (Gate.from_name(n) for n in ("h", "t", "tdg", "cx"))


@pytest.fixture(scope="module", params=["h_t_cx_3q_3", "h_t_cx_3q_4"])
def stored(request):
    eccs = ECCs.from_postcard(str(DATA / f"{request.param}.postcard"))
    return eccs, IdentityProver.build_from_eccs(eccs)


def unitary(circ: Circ) -> np.ndarray:
    """The circuit's matrix: qubit q is bit q of a basis index, a gate's first qubit the high bit
    of its own matrix, and the trailing permutation moves qubit k to qubit perm[k]."""
    perm = circ.perm
    dim = 1 << len(perm)
    u = np.eye(dim, dtype=complex)
    for instr in circ.instrs:
        qubits = list(instr.qargs)
        m = instr.gate.matrix
        step = np.zeros((dim, dim), dtype=complex)
        for col in range(dim):
            sub = 0
            for q in qubits:
                sub = (sub << 1) | ((col >> q) & 1)
            for out_sub in range(len(qubits) and 1 << len(qubits)):
                row = col
                for k, q in enumerate(qubits):
                    bit = (out_sub >> (len(qubits) - 1 - k)) & 1
                    row = (row & ~(1 << q)) | (bit << q)
                step[row, col] += m[out_sub, sub]
        u = step @ u
    move = np.zeros((dim, dim))
    for col in range(dim):
        row = 0
        for k, target in enumerate(perm):
            row |= ((col >> k) & 1) << target
        move[row, col] = 1
    return move @ u


def is_exact_identity(ident: IdentityCirc) -> bool:
    u = unitary(ident.inner)
    phase = u[0, 0]
    return bool(abs(abs(phase) - 1) < 1e-9 and np.allclose(u, phase * np.eye(len(u)), atol=1e-9))


def is_empty_identity(ident: IdentityCirc) -> bool:
    return len(ident) == 0 and ident.inner.perm == tuple(range(len(ident.inner.perm)))


def check_proof(prover, root, extra, limit):
    proof = prover.export_proof(root, extra, limit)
    assert proof is not None, root
    entries = proof.raw
    assumed = set(prover.get_assumed())
    assert entries[0][0] == root
    for k, (ident, dep) in enumerate(entries):
        assert is_exact_identity(ident), ident
        if dep is None:
            assert ident in assumed or is_empty_identity(ident), ident
        else:
            assert all(0 <= d < len(entries) and d != k for d in dep), (k, dep)
    return entries


def seeded_identity(seed):
    """c + c^-1 in canonical form, c of 1 to 5 random instructions of h, t and cx on 3 qubits."""
    rng = random.Random(seed)
    body = []
    for _ in range(rng.randint(1, 5)):
        gate = rng.choice([H, T, CX])
        body.append(Instr(gate, rng.sample(range(3), gate.nqargs)))
    c = Circ(body, [0, 1, 2])
    return (c + c.inverse()).rotate_representative()


def unchecked(instrs, perm):
    """An identity circuit as stored, without the identity check."""
    raw = len(perm) << 24
    for k, image in enumerate(perm):
        raw |= image << (3 * k)
    return IdentityCirc.from_python({"instrs": [(str(i.gate), tuple(i.qargs) + (255,) * (2 - len(i.qargs)))
                                                for i in instrs],
                                     "perm": {"raw": raw}})


def test_dense_check_tells_identities_apart():
    # h on both qubits turns a CNOT around; the qubits' roles and the permutation must be kept apart.
    hh = [Instr(H, [0]), Instr(H, [1])]
    flip = hh + [Instr(CX, [0, 1])] + hh
    assert is_exact_identity(unchecked(flip + [Instr(CX, [1, 0])], [0, 1]))
    assert not is_exact_identity(unchecked(flip + [Instr(CX, [0, 1])], [0, 1]))
    assert not is_exact_identity(unchecked([Instr(H, [0])], [0]))
    # cx(0,1) cx(1,0) cx(0,1) swaps the qubits: an identity once the permutation swaps them back.
    swap = [Instr(CX, [0, 1]), Instr(CX, [1, 0]), Instr(CX, [0, 1])]
    assert is_exact_identity(unchecked(swap, [1, 0]))
    assert not is_exact_identity(unchecked(swap, [0, 1]))
    assert is_exact_identity(unchecked([Instr(T, [0])] * 8, [0]))  # t^8 = 1


def test_circuits_followed_by_their_inverse_are_proved_and_exported(stored):
    _, prover = stored
    for seed in range(300):
        root = seeded_identity(seed)
        assert prover.prove_identity(root, 2, 20_000) is None, (seed, root)
        check_proof(prover, root, 2, 20_000)


@pytest.mark.parametrize("body", [
    [Instr(H, [0]), Instr(H, [0])],
    [Instr(T, [0]), Instr(TDG, [0])],
    [Instr(CX, [0, 1]), Instr(CX, [0, 1]), Instr(H, [1]), Instr(H, [1])],
], ids=["h h", "t tdg", "cx cx h h"])
def test_plainly_true_identities_are_proved(stored, body):
    _, prover = stored
    root = Circ(body, [0, 1, 2]).rotate_representative()
    assert prover.prove_identity(root, 2, 20_000) is None
    check_proof(prover, root, 2, 20_000)


def test_assumed_identities_are_proved_alone(stored):
    _, prover = stored
    for assumed in prover.get_assumed():
        result, visited = prover.prove_identity_with_visited(assumed, 2, 0)
        assert result is None and visited == {assumed}
        assert prover.export_proof(assumed, 2, 0).raw == [(assumed, None)]


def test_empty_identity_is_proved_by_nothing(stored):
    _, prover = stored
    empty = unchecked([], [0, 1, 2])
    assert prover.prove_identity_with_visited(empty, 0, 0) == (None, {empty})
    assert str(prover.export_proof(empty, 0, 0)) == f"0: {empty} <- ASSUME\n"
    # No instructions but a swap is no identity: nothing holds it, nothing rewrites it.
    swapped = unchecked([], [1, 0, 2])
    assert prover.prove_identity(swapped, 2, 100) == swapped
    assert prover.export_proof(swapped, 2, 100) is None


def drawn_and_pairs(eccs):
    drawn = list(dict.fromkeys(i for i, _, _ in eccs.to_identity_circuits() if len(i) > 0))
    pairs = [(a.inner + b.inner).rotate_representative() for a in drawn for b in drawn
             if len(a) + len(b) <= 10]
    return list(dict.fromkeys(drawn + pairs))


def test_whatever_the_search_proves_is_exported_under_the_same_limits(stored):
    eccs, prover = stored
    exported = 0
    for root in drawn_and_pairs(eccs):
        for extra, limit in ((1, 30), (2, 200)):
            if prover.prove_identity(root, extra, limit) is None:
                check_proof(prover, root, extra, limit)
                exported += 1
    assert exported > 100
