"""Class files, the Quartz JSON export and identity circuits drawn from classes."""
import json
import os
import textwrap

import pytest

from brimsel import ECCs, Evaluator, Gate, IdentityCirc, Circ, RawECCs
from support import run_child

h, t, cx, x = (Gate.from_name(n) for n in ["h", "t", "cx", "x"])


@pytest.fixture(scope="module")
def found():
    raw, _ = RawECCs.generate(Evaluator(3), [h, t, cx], 3)
    return raw.simplify()


def test_postcard_round_trip(tmp_path, found):
    path = str(tmp_path / "eccs.bin")
    assert found.dump_postcard(path) is None
    loaded = ECCs.from_postcard(path)
    assert loaded == found
    assert loaded.nqubits == found.nqubits
    # Storing over an existing file replaces it.
    small = RawECCs(Evaluator(1)).simplify()
    small.dump_postcard(path)
    assert ECCs.from_postcard(path) == small
    assert os.path.getsize(path) < 20


def test_postcard_example_bytes(tmp_path):
    path = tmp_path / "one.bin"
    path.write_bytes(bytes([0x01, 0x01, 0x01, 0x01, 0x68, 0x00, 0xFF, 0x80, 0x80, 0x80, 0x08, 0x01]))
    eccs = ECCs.from_postcard(str(path))
    assert eccs.nqubits == 1 and len(eccs) == 1
    (e,) = eccs.to_list()
    assert [[str(i) for i in c] for c in e.circuits()] == [["h(0)"]]
    out = tmp_path / "again.bin"
    eccs.dump_postcard(str(out))
    assert out.read_bytes() == path.read_bytes()


@pytest.mark.parametrize("data, text", [
    (b"", "Hit the end of buffer, expected more data"),
    (b"\x01\x01\x01\x01h\x00", "Hit the end of buffer, expected more data"),
    (b"\xff" * 11, "Found a varint that didn't terminate. Is the usize too big for this platform?"),
    (b"\x01\x01\x01\x02\xc3\x28\x00\xff\x80\x80\x80\x08\x01", "Tried to parse invalid utf-8"),
    (b"\x01\x01\x01\x01h\x09\xff\x80\x80\x80\x08\x01", "Qubit index must be less than 8"),
    (b"\x01\x01\x00\x80\x80\x80\x10\x01", "Invalid permutation word 33554432"),
    (b"\x01\x01\x00\x9c\x80\x80\x10\x02", "Invalid permutation word 33554460 (4 3): values must be less than its length"),
    (b"\x00\x0a", "Qubit count must be at most 8"),
    (b"\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", "Hit the end of buffer, expected more data"),
])
def test_postcard_bad_data(tmp_path, data, text):
    path = tmp_path / "bad.bin"
    path.write_bytes(data)
    with pytest.raises(ValueError) as info:
        ECCs.from_postcard(str(path))
    assert str(info.value) == "Failed to read postcard data: " + text


def test_postcard_truncated_anywhere(tmp_path, found):
    path = tmp_path / "full.bin"
    found.dump_postcard(str(path))
    data = path.read_bytes()
    cut = tmp_path / "cut.bin"
    for n in range(0, len(data), max(1, len(data) // 50)):
        cut.write_bytes(data[:n])
        with pytest.raises(ValueError, match="^Failed to read postcard data: Hit the end of buffer"):
            ECCs.from_postcard(str(cut))
    cut.write_bytes(data + b"extra")
    assert ECCs.from_postcard(str(cut)) == found


def test_postcard_unknown_gate(tmp_path):
    path = tmp_path / "unknown.bin"
    path.write_bytes(b"\x01\x01\x01\x06nosuch\x00\xff\x80\x80\x80\x08\x01")
    with pytest.raises(BaseException) as info:
        ECCs.from_postcard(str(path))
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "Failed to deserialize Gate16 from nosuch"


def test_file_errors(tmp_path, found):
    with pytest.raises(OSError) as info:
        ECCs.from_postcard(str(tmp_path / "missing.bin"))
    assert str(info.value) == "Failed to open file: No such file or directory (os error 2)"
    with pytest.raises(OSError, match="^Failed to create file: "):
        found.dump_postcard(str(tmp_path / "no" / "dir.bin"))
    with pytest.raises(OSError, match="^Failed to create file: "):
        found.dump_quartz(str(tmp_path / "no" / "dir.json"))
    assert not (tmp_path / "no").exists()
    with pytest.raises(TypeError, match="^argument 'filepath': "):
        found.dump_postcard(1)
    if os.path.exists("/dev/full"):
        with pytest.raises(ValueError) as info:
            found.dump_postcard("/dev/full")
        assert str(info.value) == "Failed to write postcard data: The serialize buffer is full"
        with pytest.raises(ValueError, match=r"^Failed to write JSON: No space left on device \(os error 28\)$"):
            found.dump_quartz("/dev/full")


def test_quartz_worked_example(tmp_path):
    path = tmp_path / "one.bin"
    # Two classes: a single member, then (empty, identity) and (h(0) h(0), identity).
    path.write_bytes(b"\x02\x01\x00\x80\x80\x80\x08"
                     b"\x02\x00\x80\x80\x80\x08\x02\x01h\x00\xff\x01h\x00\xff\x80\x80\x80\x08\x01")
    eccs = ECCs.from_postcard(str(path))
    out = tmp_path / "q.json"
    eccs.dump_quartz(str(out))
    assert out.read_text() == ('[[[0],[0]],{"1_0":[[[1,0],[]],[[1,2],[["h",["Q0"],["Q0"]],'
                               '["h",["Q0"],["Q0"]]]]]}]')


def test_quartz_of_search_results(tmp_path, found):
    path = tmp_path / "classes.json"
    found.dump_quartz(str(path))
    text = path.read_text()
    assert "\n" not in text and " " not in text
    header, table = json.loads(text)
    assert header == [[0], [0]]
    assert list(table) == sorted(table, key=lambda k: k.encode())
    multi = [e for e in found.to_list() if len(e.circuits()) > 1]
    positions = {int(k.split("_")[0], 16) for k in table}
    assert len(positions) == len(multi)
    for key, variant in table.items():
        pos, v = key.split("_")
        ecc = found.to_list()[int(pos, 16)]
        assert len(variant) == len(ecc.circuits())
        for (width, count), gates in variant:
            assert count == len(gates)
            for name, qargs, again in gates:
                assert Gate.from_name(name) is not None
                assert qargs == again and all(q.startswith("Q") for q in qargs)
                assert width > max(int(q[1:]) for q in qargs)


def test_identity_circuits_from_classes(found):
    ids = found.to_identity_circuits()
    expected = sum(len(e.circuits()) - 1 for e in found.to_list())
    assert len(ids) == expected
    for ident, inv0, member in ids:
        assert isinstance(ident, IdentityCirc)
        assert isinstance(inv0, Circ) and isinstance(member, Circ)
        # Re-running the randomised check on the canonical identity passes.
        assert ident.check() is True
        # It is the canonical form of the composed circuit, and canonical forms are fixed points.
        assert (inv0 + member).rotate_representative() == ident
        assert ident.inner.rotate_representative() == ident
    keys = [(a, b, c) for a, b, c in ids]
    assert keys == sorted(keys)


@pytest.mark.parametrize("call, failure", [
    (lambda eccs, path: eccs.dump_quartz(path), "Failed to create file: "),
    (lambda eccs, path: eccs.dump_postcard(path), "Failed to create file: "),
    (lambda eccs, path: ECCs.from_postcard(path), "Failed to open file: "),
], ids=["dump_quartz", "dump_postcard", "from_postcard"])
def test_paths_holding_nul_are_refused(tmp_path, found, call, failure):
    # The operating system would take the text before the NUL: another file, here one that exists.
    stored = tmp_path / "stored"
    stored.write_bytes(b"\x00\x00")
    for path in (str(stored) + "\0.bin", str(stored) + "\0", "\0"):
        with pytest.raises(OSError) as info:
            call(found, path)
        assert str(info.value) == failure + "file name contained an unexpected NUL byte"
    assert os.listdir(tmp_path) == ["stored"] and stored.read_bytes() == b"\x00\x00"


def test_from_postcard_reads_only_as_far_as_the_value(tmp_path):
    # An endless file, and a pipe that has delivered a value (of more than one read buffer) but
    # stays open, in a child bounded in time and memory: reading them whole would grow without
    # end or wait forever.
    path = str(tmp_path / "found.bin")
    RawECCs.generate(Evaluator(2), [h, t, cx], 4)[0].simplify().dump_postcard(path)
    out = run_child(textwrap.dedent(f"""
        import os, threading
        from brimsel import ECCs
        zero = ECCs.from_postcard("/dev/zero")
        print(len(zero), zero.nqubits)
        data = open({path!r}, "rb").read() + b"more bytes than the value"
        r, w = os.pipe()
        threading.Thread(target=os.write, args=(w, data), daemon=True).start()
        print(ECCs.from_postcard(f"/proc/self/fd/{{r}}") == ECCs.from_postcard({path!r}), len(data) > 8192)
    """), timeout=60)
    assert out.stdout.splitlines() == ["0 0", "True True"], out.stdout + out.stderr
