"""IdentityProver: construction from classes, rewriting rounds and the bounded searches."""
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

from brimsel import ECCs, Circ, Evaluator, Gate, IdentityCirc, IdentityProver, Instr, RawECCs
from brimsel import brimsel as ext
from support import panics

H, T, CX = (Gate.from_name(n) for n in ("h", "t", "cx"))


@pytest.fixture(scope="module")
def eccs():
    raw, _ = RawECCs.generate(Evaluator(3), [H, T, CX], 3)
    return raw.simplify()


@pytest.fixture(scope="module")
def prover(eccs):
    return IdentityProver.build_from_eccs(eccs)


def identity(*instrs, perm=None):
    return IdentityCirc(Circ(list(instrs), perm))


def test_class_surface():
    assert ext.__all__[11] == "IdentityProver"
    assert IdentityProver.__doc__.startswith("Rule-based prover for circuit identities.\n\n")
    assert IdentityProver.__text_signature__ is None
    with pytest.raises(TypeError):
        IdentityProver()
    with pytest.raises(TypeError):
        type("Sub", (IdentityProver,), {})
    signatures = {
        "build_from_eccs": "(eccs)",
        "par_apply_rules": "($self, identity, additional_size)",
        "add_identity": "($self, identity, additional_size, count_limit)",
        "add_identity_search": "($self, identity, additional_size, count_limit)",
        "prove_identity": "($self, identity, additional_size, count_limit)",
        "prove_identity_with_visited": "($self, identity, additional_size, count_limit)",
        "get_assumed": "($self)",
    }
    for name, sig in signatures.items():
        assert getattr(IdentityProver, name).__text_signature__ == sig, name
    assert IdentityProver.add_identity.__doc__ == (
        "Inserts one identity into the prover, deriving it when possible.\n\n"
        "Returns `true` when this identity must be kept as an assumption.")
    assert str(inspect.signature(IdentityProver.prove_identity)) == \
        "(self, /, identity, additional_size, count_limit)"


def test_empty_class_list_builds_an_empty_prover(tmp_path, capfd):
    path = tmp_path / "empty.postcard"
    path.write_bytes(b"\x00\x00")
    p = IdentityProver.build_from_eccs(ECCs.from_postcard(str(path)))
    out, err = capfd.readouterr()
    assert err == "Building identity prover from 0 ECCs\nProving Identities\n"
    assert out == ""
    assert p.get_assumed() == []
    hh = identity(Instr(H, [0]), Instr(H, [0]))
    assert p.par_apply_rules(hh, 3) == []
    # Nothing to rewrite with: the root itself is where the search gave up.
    assert p.prove_identity(hh, 3, 100) == hh
    assert p.prove_identity_with_visited(hh, 3, 100) == (hh, {hh})


@pytest.mark.parametrize("call,name,exc,text", [
    (lambda p, i: p.par_apply_rules("h", 1), "identity", TypeError, None),
    (lambda p, i: p.par_apply_rules(i, -1), None, OverflowError, None),
    (lambda p, i: p.add_identity(i, 2**64, 1), None, OverflowError, None),
    (lambda p, i: p.prove_identity(i, 1, -5), None, OverflowError, None),
    (lambda p, i: p.add_identity_search(i.inner, 1, 1), "identity", TypeError, None),
    (lambda p, i: IdentityProver.build_from_eccs([]), "eccs", TypeError, None),
])
def test_argument_conversion(prover, call, name, exc, text):
    i = identity(Instr(H, [0]), Instr(H, [0]))
    with pytest.raises(exc) as info:
        call(prover, i)
    if name:
        assert str(info.value).startswith(f"argument '{name}': ")


def test_rounds_give_bounded_identities(prover, eccs):
    for ident, _, _ in eccs.to_identity_circuits()[:40]:
        for extra in (0, 2):
            for new in prover.par_apply_rules(ident, extra):
                assert isinstance(new, IdentityCirc)
                assert len(new) <= len(ident) + extra
                assert new.check()


def test_assumed_identities_are_proved(prover):
    assumed = prover.get_assumed()
    assert assumed
    assumed.clear()
    assert prover.get_assumed()  # a new list each time: the prover keeps its own
    count = len(prover.get_assumed())
    for a in prover.get_assumed():
        assert prover.add_identity(a, 3, 1000) is False
    assert len(prover.get_assumed()) == count


def test_searches_agree(prover, eccs):
    for ident, _, _ in eccs.to_identity_circuits()[:20]:
        result, visited = prover.prove_identity_with_visited(ident, 1, 500)
        assert result == prover.prove_identity(ident, 1, 500)
        assert ident in visited and all(isinstance(v, IdentityCirc) for v in visited)


def test_adding_search_appends_without_marking(eccs):
    p = IdentityProver.build_from_eccs(eccs)
    cx = Instr(CX, [0, 1])
    # A fresh identity: a long CNOT ladder and its inverse, not drawn from three-instruction classes.
    body = [cx, Instr(H, [1]), Instr(CX, [1, 2]), Instr(T, [2]), Instr(CX, [0, 2]), Instr(H, [0])]
    fresh = IdentityCirc(Circ(body) + Circ(body).inverse())
    before = len(p.get_assumed())
    visited, assumed = p.add_identity_search(fresh, 0, 0)
    assert fresh in visited
    assert len(p.get_assumed()) == before + int(assumed)
    # Not marked: add_identity searches again and decides for itself.
    again = p.add_identity(fresh, 0, 0)
    assert isinstance(again, bool)
    assert p.add_identity(fresh, 0, 0) is False  # now proved


def test_twenty_instructions_panic(prover):
    twenty = identity(*[Instr(H, [0])] * 20)
    with panics("index out of bounds: the len is 20 but the index is 20"):
        prover.par_apply_rules(twenty, 0)
    with panics("index out of bounds: the len is 20 but the index is 20"):
        prover.prove_identity(twenty, 0, 10)


SAME_AT_ANY_THREAD_COUNT = textwrap.dedent("""
    import sys
    from brimsel import Circ, ECCs, IdentityCirc, IdentityProver, Instr, Gate
    eccs = ECCs.from_postcard(sys.argv[1])
    p = IdentityProver.build_from_eccs(eccs)
    print([str(a) for a in p.get_assumed()])
    h, t, cx = (Gate.from_name(n) for n in ("h", "t", "cx"))
    body = [Instr(cx, [0, 1]), Instr(t, [1]), Instr(h, [0]), Instr(cx, [1, 2]), Instr(t, [2]), Instr(h, [2])]
    root = (Circ(body) + Circ(body).inverse()).rotate_representative()
    print([str(x) for x in p.par_apply_rules(root, 2)])
    print(p.prove_identity(root, 1, 2000))
    # Longer searches, whose rounds run ahead in batches on the pool.
    for extra, limit in ((2, 3000), (3, 500)):
        result, visited = p.prove_identity_with_visited(root, extra, limit)
        print(result, sorted(str(v) for v in visited))
        visited, assumed = p.add_identity_search(root, extra, limit)
        print(assumed, sorted(str(v) for v in visited), [str(a) for a in p.get_assumed()])
""")


@pytest.mark.parametrize("size", [3, 5])
def test_same_results_at_any_thread_count(tmp_path, size):
    raw, _ = RawECCs.generate(Evaluator(3), [H, T, CX], size)
    path = tmp_path / "eccs.postcard"
    raw.simplify().dump_postcard(str(path))
    outputs = []
    for threads in ("1", "8"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        run = subprocess.run([sys.executable, "-c", SAME_AT_ANY_THREAD_COUNT, str(path)], env=env,
                             capture_output=True, text=True, check=True)
        outputs.append(run.stdout)
    assert outputs[0] == outputs[1]
    assert outputs[0].count("\n") == 7


BUILD_ON_A_TERMINAL = textwrap.dedent("""
    import sys
    from brimsel import ECCs, IdentityProver
    IdentityProver.build_from_eccs(ECCs.from_postcard(sys.argv[1]))
""")


def test_build_draws_its_bars_on_a_terminal(eccs, tmp_path):
    import fcntl
    import pty
    import struct
    import termios

    path = tmp_path / "eccs.postcard"
    eccs.dump_postcard(str(path))
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 50, 0, 0))
    mode = termios.tcgetattr(slave)
    mode[1] &= ~termios.ONLCR  # keep "\n" as written
    termios.tcsetattr(slave, termios.TCSANOW, mode)
    child = subprocess.Popen([sys.executable, "-c", BUILD_ON_A_TERMINAL, str(path)], stderr=slave,
                             stdout=subprocess.DEVNULL)
    os.close(slave)
    data = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal is gone once the child has exited
            break
        if not chunk:
            break
        data += chunk
    assert child.wait() == 0
    os.close(master)
    text = data.decode()
    classes = len(eccs)
    assert text.startswith(f"Building identity prover from {classes} ECCs\n")
    first, second = text.split("Proving Identities\n")
    # Each finished bar is left on screen: a full bar as wide as the terminal leaves room for.
    counts = f" {classes}/{classes}"
    assert first.endswith("\r\x1b[2K" + "█" * (50 - len(counts)) + counts + "\n")
    drawn = second.rsplit("\r\x1b[2K", 1)[1]
    total = drawn.split("/")[-1].strip()
    assert drawn == "█" * (50 - len(f" {total}/{total}")) + f" {total}/{total}\n"


def test_build_draws_nothing_when_not_on_a_terminal(eccs, tmp_path):
    path = tmp_path / "eccs.postcard"
    eccs.dump_postcard(str(path))
    run = subprocess.run([sys.executable, "-c", BUILD_ON_A_TERMINAL, str(path)], capture_output=True, text=True,
                         check=True)
    assert run.stderr == f"Building identity prover from {len(eccs)} ECCs\nProving Identities\n"
    assert run.stdout == ""


# A rule table that claims h ~ x: every round that uses it fails in an identity check.
WRONG_RULE_FILE = bytes.fromhex("00 00 01 01 01 68 00 FF 80 80 80 08 01 01 01 78 00 FF 80 80 80 08")


@pytest.mark.parametrize("call", [
    lambda p, i: p.par_apply_rules(i, 0),
    lambda p, i: p.prove_identity(i, 0, 100),
    lambda p, i: p.export_proof(i, 0, 100),
    lambda p, i: p.add_identity(i, 0, 100),
], ids=["round", "proving search", "export", "adding search"])
def test_a_failure_is_reported_once(tmp_path, capfd, call):
    path = tmp_path / "wrong.postcard"
    path.write_bytes(WRONG_RULE_FILE)
    p = IdentityProver.from_postcard(str(path))
    # Long enough for its round to spread over the pool, and to be retried in row order.
    ten = identity(*[Instr(H, [0])] * 10)
    with panics("IdentityCirc: circuit is not identity ", prefix=True):
        call(p, ten)
    _, err = capfd.readouterr()
    assert err.count("panicked at") == 1, err
    assert "IdentityCirc: circuit is not identity " in err
