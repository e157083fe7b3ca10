"""Proof, IdentityProver.export_proof, and storing and loading provers."""
import os
import subprocess
import sys

import pytest

from brimsel import ECCs, Circ, Evaluator, Gate, IdentityCirc, IdentityProver, Instr, Proof, RawECCs
from brimsel import brimsel as ext
from support import panics

H, T, CX = (Gate.from_name(n) for n in ("h", "t", "cx"))

# The worked example: h(0) h(0) assumed and proved, no rules.
HH_FILE = bytes.fromhex("01 02 01 68 00 FF 01 68 00 FF 80 80 80 08 01 02 01 68 00 FF 01 68 00 FF 80 80 80 08 00")


def identity(*instrs, perm=None):
    return IdentityCirc(Circ(list(instrs), perm))


HH = identity(Instr(H, [0]), Instr(H, [0]))
TTDG = identity(Instr(T, [0]), Instr(Gate.from_name("tdg"), [0]))


def classes(names, nqubits, size):
    raw, _ = RawECCs.generate(Evaluator(nqubits), [Gate.from_name(n) for n in names], size)
    return raw.simplify()


# The classes and provers of the must-show sets: h, t, cx up to 3 instructions, and a larger set.
SETS = {"h t cx / 3": (("h", "t", "cx"), 3, 3), "h s t cx / 3": (("h", "s", "t", "cx"), 3, 3)}


@pytest.fixture(scope="module", params=list(SETS))
def built(request):
    eccs = classes(*SETS[request.param])
    return eccs, IdentityProver.build_from_eccs(eccs)


@pytest.fixture(scope="module")
def small():
    eccs = classes(*SETS["h t cx / 3"])
    return eccs, IdentityProver.build_from_eccs(eccs)


def load_bytes(tmp_path, data, name="prover.postcard"):
    path = tmp_path / name
    path.write_bytes(data)
    return IdentityProver.from_postcard(str(path))


# ---- the class Proof -----------------------------------------------------------------------------

def test_proof_class_surface():
    assert ext.__all__[12] == "Proof" and len(ext.__all__) == 13
    assert Proof.__text_signature__ == "(data)"
    assert Proof.__doc__ == (
        "Exported proof DAG.\n\nEach entry stores:\n- an identity circuit,\n"
        "- either `None` (assumption) or `(lhs_idx, rhs_idx)` showing how it is derived.")
    assert Proof.raw.__doc__ == "Returns raw proof entries."
    assert Proof.__hash__ is None
    with pytest.raises(TypeError):
        hash(Proof([]))
    with pytest.raises(TypeError):
        type("Sub", (Proof,), {})
    signatures = {
        "export_proof": "($self, identity, additional_size, count_limit)",
        "from_postcard": "(filepath)",
        "dump_postcard": "($self, filepath)",
    }
    for name, sig in signatures.items():
        assert getattr(IdentityProver, name).__text_signature__ == sig, name
    methods = [n for n in IdentityProver.__dict__ if not n.startswith("_")]
    assert methods == ["build_from_eccs", "par_apply_rules", "add_identity", "add_identity_search",
                       "prove_identity", "prove_identity_with_visited", "export_proof", "get_assumed",
                       "from_postcard", "dump_postcard"]
    assert IdentityProver.export_proof.__doc__ == \
        "Exports a proof DAG when `identity` is derivable under the given limits."
    assert IdentityProver.from_postcard.__doc__ == "Loads a prover from postcard serialization."
    assert IdentityProver.dump_postcard.__doc__ == "Stores a prover as postcard serialization."


def test_proof_displays():
    empty = Proof([])
    assert str(empty) == "" and repr(empty) == "0" and empty.raw == []
    assert str(Proof([(HH, None)])) == f"0: {HH} <- ASSUME\n"
    # Dependencies are kept as given, whether or not they name entries.
    loose = Proof([(HH, (5, 7))])
    assert str(loose) == f"0: {HH} <- 5, 7\n"
    three = Proof([(HH, (1, 2)), (TTDG, None), (HH, None)])
    assert str(three) == f"0: {HH} <- 1, 2\n1: {TTDG} <- ASSUME\n2: {HH} <- ASSUME\n"
    assert repr(three) == "3"
    raw = three.raw
    assert raw == [(HH, (1, 2)), (TTDG, None), (HH, None)]
    assert all(type(i) is IdentityCirc and i is not HH for i, _ in raw)
    assert Proof(raw) == three and str(Proof(raw)) == str(three)
    raw.clear()
    assert len(three.raw) == 3  # a copy each time
    assert Proof(((HH, None),)) == Proof([(HH, None)])  # any sequence


@pytest.mark.parametrize("data,exc,text", [
    ("ab", TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (5, TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
    ([[HH, None]], TypeError, "argument 'data': 'list' object cannot be converted to 'PyTuple'"),
    ([(HH.inner, None)], TypeError, "argument 'data': 'Circ' object cannot be converted to 'IdentityCirc'"),
    ([(HH, None, None)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([(HH,)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ([(HH, (1, 2, 3))], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([(HH, (1, -2))], OverflowError, None),
    ([(HH, (2**64, 0))], OverflowError, None),
    ([(HH, (1, "2"))], TypeError, None),
])
def test_proof_constructor_errors(data, exc, text):
    with pytest.raises(exc) as info:
        Proof(data)
    if text is not None:
        assert str(info.value) == text


def test_proof_order():
    a, b = sorted([HH, TTDG])
    assert Proof([]) < Proof([(a, None)])
    assert Proof([(a, None)]) < Proof([(a, (0, 0))]) < Proof([(a, (0, 1))]) < Proof([(a, (1, 0))])
    assert Proof([(a, (9, 9))]) < Proof([(b, None)])
    assert Proof([(a, None)]) < Proof([(a, None), (a, None)])
    assert Proof([(b, None)]) > Proof([(a, None), (b, None)])
    p, q = Proof([(a, None)]), Proof([(a, None)])
    assert p == q and not p != q and p <= q and p >= q and not p < q
    assert (Proof([]) == "x") is False and (Proof([]) != 3) is True
    with pytest.raises(TypeError):
        Proof([]) < HH


# ---- export_proof ----------------------------------------------------------------------------------

def roots_of(eccs, prover):
    roots = [i for i, _, _ in eccs.to_identity_circuits()]
    # Further identities: drawn identities followed by another one, rotated into canonical form.
    roots += [(a.inner + b.inner).rotate_representative() for a, b in zip(roots[::7], roots[3::11])
              if a.nqubits() == b.nqubits()]
    return [r for r in dict.fromkeys(roots) if 0 < len(r) < 20]


def test_exported_proofs_are_sound(built, capfd):
    eccs, prover = built
    assumed = set(prover.get_assumed())
    exported = derived = 0
    for root in roots_of(eccs, prover):
        expect = prover.prove_identity(root, 2, 3000)
        capfd.readouterr()
        proof = prover.export_proof(root, 2, 3000)
        out, _ = capfd.readouterr()
        assert (proof is None) == (expect is not None), root
        if proof is None:
            assert out == ""
            continue
        exported += 1
        entries = proof.raw
        assert entries[0][0] == root
        assert len({i for i, _ in entries}) == len(entries)  # a shared premise is listed once
        for k, (ident, dep) in enumerate(entries):
            assert ident.check()
            if dep is None:  # proved by nothing: an assumption or the empty identity
                assert ident in assumed or (len(ident) == 0 and ident.inner.perm == tuple(range(ident.nqubits())))
            else:
                assert all(0 <= d < len(entries) and d != k for d in dep)
        if root in assumed:
            assert len(entries) == 1 and out == ""
        else:
            derived += 1
            lines = out.splitlines()
            assert lines and all(line.startswith("Exploring ") for line in lines)
            assert lines[0] == f"Exploring {root.hash_value():x} {len(root)} {root} (0 queued)"
    assert exported > 5 and derived > 2


def test_count_limit_bounds_only_the_proving_search(small, capfd):
    eccs, prover = small
    assumed = set(prover.get_assumed())
    targets = [i for i in roots_of(eccs, prover) if i not in assumed and prover.prove_identity(i, 2, 0) is None]
    assert targets
    for target in targets:
        capfd.readouterr()
        proof = prover.export_proof(target, 2, 0)
        out, _ = capfd.readouterr()
        assert proof is not None and proof.raw[0][0] == target
        assert "exceeded" not in out


def test_export_argument_conversion(small):
    _, prover = small
    with pytest.raises(TypeError, match="^argument 'identity': "):
        prover.export_proof(HH.inner, 1, 1)
    with pytest.raises(OverflowError):
        prover.export_proof(HH, -1, 1)
    with pytest.raises(OverflowError):
        prover.export_proof(HH, 1, 2**64)


# ---- prover files ----------------------------------------------------------------------------------

def test_worked_example_loads_and_stores_the_same_bytes(tmp_path):
    p = load_bytes(tmp_path, HH_FILE)
    assert p.get_assumed() == [HH]
    out = tmp_path / "again.postcard"
    p.dump_postcard(str(out))
    assert out.read_bytes() == HH_FILE
    # Bytes after the record are not read.
    assert load_bytes(tmp_path, HH_FILE + b"\x07trailing", "long.postcard").get_assumed() == [HH]


def test_empty_prover_is_three_zero_bytes(tmp_path):
    empty = tmp_path / "empty-eccs.postcard"
    empty.write_bytes(b"\x00\x00")
    p = IdentityProver.build_from_eccs(ECCs.from_postcard(str(empty)))
    path = tmp_path / "empty.postcard"
    p.dump_postcard(str(path))
    assert path.read_bytes() == b"\x00\x00\x00"
    q = IdentityProver.from_postcard(str(path))
    assert q.get_assumed() == []
    assert q.prove_identity(HH, 3, 100) == HH
    assert q.export_proof(HH, 3, 100) is None


def test_stored_prover_answers_alike(built, tmp_path):
    eccs, prover = built
    path = tmp_path / "prover.postcard"
    prover.dump_postcard(str(path))
    loaded = IdentityProver.from_postcard(str(path))
    assert loaded.get_assumed() == prover.get_assumed()
    for root in roots_of(eccs, prover)[::3]:
        assert loaded.prove_identity(root, 2, 2000) == prover.prove_identity(root, 2, 2000)
        assert loaded.prove_identity_with_visited(root, 1, 500) == prover.prove_identity_with_visited(root, 1, 500)
        assert loaded.par_apply_rules(root, 1) == prover.par_apply_rules(root, 1)
    # Storing over an existing file replaces it.
    loaded.dump_postcard(str(path))
    assert IdentityProver.from_postcard(str(path)).get_assumed() == prover.get_assumed()


@pytest.mark.parametrize("data,text", [
    (HH_FILE[:13], "Hit the end of buffer, expected more data"),
    (b"", "Hit the end of buffer, expected more data"),
    (b"\xff\xff\xff\xff\x0f\x00\x00", "Hit the end of buffer, expected more data"),
    (b"\x80" * 10 + b"\x01", "Found a varint that didn't terminate. Is the usize too big for this platform?"),
    (b"\x01\x01\x01\xff\x00\xff\x80\x80\x80\x08\x00\x00", "Tried to parse invalid utf-8"),
    (b"\x01\x01\x01h\x09\xff\x80\x80\x80\x08\x00\x00", "Qubit index must be less than 8"),
    (b"\x00\x01\x00\x80\x80\x80\x10\x00", "Permutation values must be unique"),
    # images (4 3) at or past the length 2, as an assumed identity and in a rule list
    (b"\x01\x00\x9c\x80\x80\x10\x00\x00", "Permutation values must be less than its length: (4 3)"),
    (b"\x00\x00\x01\x00\x00\x01\x00\x9c\x80\x80\x10", "Permutation values must be less than its length: (4 3)"),
])
def test_bad_files_raise_value_errors(tmp_path, data, text):
    with pytest.raises(ValueError) as info:
        load_bytes(tmp_path, data)
    assert str(info.value) == "Failed to read postcard data: " + text


def test_file_failures(tmp_path, small):
    _, prover = small
    with pytest.raises(OSError) as info:
        IdentityProver.from_postcard(str(tmp_path / "missing.postcard"))
    assert str(info.value) == "Failed to open file: No such file or directory (os error 2)"
    with pytest.raises(OSError) as info:
        prover.dump_postcard(str(tmp_path / "no" / "dir.postcard"))
    assert str(info.value).startswith("Failed to create file: ")
    with pytest.raises(TypeError, match="^argument 'filepath': "):
        IdentityProver.from_postcard(b"x")
    with pytest.raises(TypeError, match="^argument 'filepath': "):
        prover.dump_postcard(None)
    stored = tmp_path / "stored"
    stored.write_bytes(HH_FILE)
    for path in (str(stored) + "\0.bin", "\0"):
        with pytest.raises(OSError) as info:
            prover.dump_postcard(path)
        assert str(info.value) == "Failed to create file: file name contained an unexpected NUL byte"
        with pytest.raises(OSError) as info:
            IdentityProver.from_postcard(path)
        assert str(info.value) == "Failed to open file: file name contained an unexpected NUL byte"
    assert stored.read_bytes() == HH_FILE
    # Reading goes only as far as the value: an endless file of zeros is the empty prover.
    assert IdentityProver.from_postcard("/dev/zero").get_assumed() == []
    unknown = b"\x01\x01\x02zz\x00\xff\x80\x80\x80\x08\x00\x00"
    with panics("Failed to deserialize Gate16 from zz"):
        load_bytes(tmp_path, unknown)
    if os.path.exists("/dev/full"):
        with pytest.raises(ValueError) as info:
            prover.dump_postcard("/dev/full")
        assert str(info.value) == "Failed to write postcard data: The serialize buffer is full"


LOADING_REGISTERS_ADJOINTS = """
import sys
import numpy as np
from brimsel import Gate, IdentityProver
Gate("w", [], np.array([[1, 0], [0, np.exp(0.3j)]]))
assert Gate.from_name("w\\u2020") is None
IdentityProver.from_postcard(sys.argv[1])
print(Gate.from_name("w\\u2020"))
"""


def test_loading_registers_the_adjoints_of_the_rules(tmp_path):
    # A fresh process that has registered the gate w of the rule table, but not its adjoint.
    path = tmp_path / "w.postcard"
    path.write_bytes(b"\x00\x00\x01\x01\x01w\x00\xff\x80\x80\x80\x08\x00")
    run = subprocess.run([sys.executable, "-c", LOADING_REGISTERS_ADJOINTS, str(path)],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "w\u2020\n"
