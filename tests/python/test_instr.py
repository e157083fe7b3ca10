"""Instr, Argument, Instruction and calling a Gate."""

import pytest

from brimsel import Argument, Gate, Instr, Instruction, StateVec
from support import panics, stable_hash_oracle

h = Gate.from_name("h")
x = Gate.from_name("x")
cx = Gate.from_name("cx")
rz = Gate.from_name("rz(pi/3)")


def test_instr_values():
    i = Instr(h, [0])
    assert str(i) == repr(i) == "h(0)"
    assert i.qargs == b"\x00"
    assert i.arg_mask() == 1
    assert i.largest_qubit() == 0
    assert i.gate == h
    c = Instr(cx, [1, 0])
    assert str(c) == "cx(1, 0)"
    assert c.position_of_qubit(0) == 1
    assert c.position_of_qubit(1) == 0
    assert c.position_of_qubit(2) is None
    assert c.arg_mask() == 3
    assert str(Instr(rz, [2])) == "rz(pi/3)(2)"
    assert Instr(Gate.from_name("t"), [3]).adjoint().gate == Gate.from_name("tdg")


@pytest.mark.parametrize("instr, mask, result", [
    ((h, [0]), 0, 1),
    ((h, [1]), 0, None),
    ((cx, [0, 1]), 0, 3),
    ((cx, [1, 0]), 0, None),
    ((cx, [1, 0]), 1, 3),
    ((h, [7]), 0x7F, 0xFF),
])
def test_pass_mask(instr, mask, result):
    assert Instr(*instr).pass_mask(mask) == result


def test_instr_permutation():
    assert str(Instr(h, [0]).apply_permutation([1, 0])) == "h(1)"
    assert str(Instr(h, [5]).apply_permutation((1, 0))) == "h(0)"
    assert str(Instr(cx, [0, 2]).permut(range(2, -1, -1))) == "cx(2, 0)"
    assert str(Instr(h, [1]).permut(b"\x01\x00")) == "h(0)"
    with pytest.raises(TypeError, match=r"^argument 'perm': Can't extract `str` to `Vec`$"):
        Instr(h, [0]).permut("01")
    with panics("Permutation values must be less than 8"):
        Instr(h, [0]).permut([0, 8])
    with panics("Permutation values must be unique"):
        Instr(h, [0]).permut([1, 1])


def test_instr_identity_semantics_and_hash():
    a, b = Instr(h, [0]), Instr(h, [0])
    assert a != b and not (a == b)
    assert hash(a) == hash(b)
    assert len({a, b}) == 2
    # The feed: gate index 1 (2 bytes), the count 2 (8 bytes), both qubit bytes.
    feed = b"\x01\x00" + (2).to_bytes(8, "little") + b"\x00\xff"
    assert hash(a) == stable_hash_oracle(feed)
    assert hash(Instr(cx, [0, 1])) == stable_hash_oracle(b"\x09\x00" + (2).to_bytes(8, "little") + b"\x00\x01")


def test_instr_disjoint():
    assert not Instr(h, [0]).disjoint(Instr(cx, [0, 1]))
    assert Instr(h, [2]).disjoint(Instr(cx, [0, 1]))
    with pytest.raises(TypeError, match=r"^argument 'other': 'int' object cannot be converted to 'Instr'$"):
        Instr(h, [0]).disjoint(1)


@pytest.mark.parametrize("gate, qargs, message", [
    (cx, [0], "Number of qubit arguments does not match gate arity"),
    (cx, [0, 0], "Qubit arguments must be unique"),
    (h, [8], "Qubit index must be less than 8"),
    (h, [255], "Qubit index must be less than 8"),
])
def test_instr_constructor_failures(gate, qargs, message):
    with panics(message):
        Instr(gate, qargs)


@pytest.mark.parametrize("value", [256, -1, 2 ** 31, 2 ** 63, -2 ** 63 - 1, 2 ** 64, 2 ** 200, -2 ** 200])
def test_one_overflow_text_for_every_magnitude(value):
    # 8- and 32-bit parameters: qubits, masks, permutation items, qubit counts.
    calls = [
        lambda: Instr(h, [value]),
        lambda: Instr(h, [0]).pass_mask(value),
        lambda: Instr(cx, [0, 1]).position_of_qubit(value),
        lambda: Instr(h, [0]).apply_permutation([value]),
        lambda: Instr(h, [0]).permut([0, value]),
    ]
    if not 0 <= value < 2 ** 32:
        calls.append(lambda: StateVec.random(value))
    for call in calls:
        with pytest.raises(OverflowError) as info:
            call()
        assert str(info.value) == "out of range integral type conversion attempted"


def test_instr_argument_errors():
    with pytest.raises(TypeError, match=r"^argument 'qargs': Can't extract `str` to `Vec`$"):
        Instr(cx, "01")
    with pytest.raises(TypeError, match=r"^argument 'gate': 'int' object cannot be converted to 'Gate'$"):
        Instr(1, [0])
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        Instr(h, [256])
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        Instr(h, [0]).pass_mask(256)
    with pytest.raises(OverflowError):
        Instr(h, [0]).position_of_qubit(-1)
    with pytest.raises(TypeError, match=r"^argument 'mask': 'str' object cannot be interpreted as an integer$"):
        Instr(h, [0]).pass_mask("1")
    with pytest.raises(TypeError):
        Instr(h, [0]).arg_mask(1)


def test_instr_docs():
    assert Instr.__text_signature__ == "(gate, qargs)"
    assert Instr.__doc__ == "A compact, index-only quantum instruction used internally by the search/prover."
    assert Instr.apply_permutation.__text_signature__ == "($self, perm)"
    assert Instr.apply_permutation.__doc__ == "Applies a qubit permutation."
    assert Instr.permut.__doc__ == "Alias of `apply_permutation`."
    assert Instr.pass_mask.__text_signature__ == "($self, mask)"
    assert Instr.position_of_qubit.__text_signature__ == "($self, qubit)"
    assert Instr.disjoint.__doc__ == "Returns `true` when this and `other` touch disjoint qubits."
    assert Instr.gate.__doc__ == "Underlying gate."
    assert Instr.qargs.__doc__ == "Qubit arguments as dense integer indices."
    assert Instr.__module__ == "builtins"


def test_argument():
    a, b = Argument("q", 0), Argument("q", 0)
    assert a == b and hash(a) == hash(b)
    assert hash(a) == -821178323704636666
    assert str(a) == "q[0]"
    assert repr(a) == 'Argument { regid: "q", index: 0 }'
    assert repr(Argument('a"b\\\n', 2)) == 'Argument { regid: "a\\"b\\\\\\n", index: 2 }'
    assert (a == 1) is False and (a != 1) is True
    with pytest.raises(TypeError):
        a < b
    a.index = 5
    a.regid = "c"
    assert str(a) == "c[5]" and a != b
    assert hash(a) != hash(b)
    with pytest.raises(OverflowError):
        a.index = -1
    with pytest.raises(OverflowError):
        Argument("q", 2**64)
    with pytest.raises(TypeError, match=r"^argument 'index': "):
        a.index = 1.5
    with pytest.raises(TypeError, match=r"^argument 'regid': "):
        a.regid = 1
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del a.regid
    assert str(a) == "c[5]"
    assert Argument.__text_signature__ == "(regid, index)"
    assert Argument.__doc__ == "A named register argument (e.g., `q[0]`, `c[2]`) used by high-level instructions."


def test_instruction():
    i1 = Instruction(cx, [("q", 0), ("q", 1)])
    i2 = Instruction(cx, [Argument("q", 0), Argument("q", 1)], [])
    assert i1 == i2 and hash(i1) == hash(i2)
    assert i1.cargs == []
    assert str(i1) == "cx q[0], q[1];"
    assert str(Instruction(h, [], [])) == "h ;"
    assert str(Instruction(h, [("q", 0), ("q", 1)], [("c", 3)])) == "h q[0], q[1], c[3];"
    assert repr(i1) == ('Instruction { gate: Gate(9 -> cx), qargs: [Argument { regid: "q", index: 0 }, '
                        'Argument { regid: "q", index: 1 }], cargs: [] }')
    feed = (b"\x09\x00" + (2).to_bytes(8, "little") + b"q\xff" + (0).to_bytes(8, "little")
            + b"q\xff" + (1).to_bytes(8, "little") + (0).to_bytes(8, "little"))
    assert hash(i1) == stable_hash_oracle(feed)

    qs = i1.qargs
    qs.append(Argument("r", 9))
    qs[0].index = 7
    assert i1 == i2
    i1.qargs = [Argument("r", 1)]
    assert str(i1) == "cx r[1];"
    i1.gate = h
    assert i1.gate == h
    with pytest.raises(TypeError, match=r"^argument 'qargs': "):
        i1.qargs = [("q", 0)]
    with pytest.raises(TypeError, match=r"^argument 'gate': 'int' object cannot be converted to 'Gate'$"):
        i1.gate = 1
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del i1.cargs
    assert str(i1) == "h r[1];"


def test_instruction_constructor_errors():
    with pytest.raises(TypeError, match=r"^argument 'qargs': failed to convert the value to '"):
        Instruction(cx, [(0, "q")])
    with pytest.raises(TypeError, match=r"^argument 'qargs': Can't extract `str` to `Vec`$"):
        Instruction(cx, "q")
    with pytest.raises(TypeError, match=r"^argument 'cargs': "):
        Instruction(cx, [], None)
    with pytest.raises(TypeError, match=r"^argument 'qargs': "):
        Instruction(cx, [("q", -1)])
    assert Instruction.__text_signature__ == "(gate, qargs, cargs=...)"


def test_gate_call():
    i = cx(0, 1)
    assert isinstance(i, Instr) and str(i) == "cx(0, 1)"
    assert str(cx(0, 0)) == "cx(0, 0)"
    assert str(h(3)) == "h(3)"
    j = h(Argument("q", 0), Argument("c", 1))
    assert isinstance(j, Instruction)
    assert j.qargs == [Argument("q", 0)] and j.cargs == [Argument("c", 1)]
    assert str(cx(Argument("q", 0), Argument("q", 1))) == "cx q[0], q[1];"
    with panics("Number of arguments not match for gate cx"):
        cx(0)
    with panics("range end index 2 out of range for slice of length 1"):
        cx(Argument("q", 0))
    with panics("Qubit index must be less than 8"):
        h(8)
    for bad in [(0, Argument("q", 1)), ("a",), (256,), (1.0,)]:
        with pytest.raises(TypeError, match=r"^argument 'args': failed to convert the value to 'Union\["):
            cx(*bad)
    with pytest.raises(TypeError, match="unexpected keyword argument 'q'"):
        h(q=0)


def test_three_qubit_gate_call():
    import numpy as np
    m = np.eye(8, dtype=complex)
    m[6:, 6:] = [[0, 1], [1, 0]]
    ccx = Gate("ccx", [], m)
    assert ccx.nqargs == 3
    with panics("index out of bounds: the len is 2 but the index is 2"):
        ccx(0, 1, 2)
