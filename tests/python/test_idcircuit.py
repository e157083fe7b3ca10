"""The class IdentityCirc: the checked constructor, wire neighbours, the dict form and the class's conventions."""
from collections.abc import Mapping, Sequence

import pytest

from brimsel import Circ, Gate, IdentityCirc, Instr
from support import panics, stable_hash_oracle

h, t, tdg, x = (Gate.from_name(n) for n in ("h", "t", "tdg", "x"))
cx, swap = Gate.from_name("cx"), Gate.from_name("swap")
ID1, ID2, SWAP2 = 0x01000000, 0x02000008, 0x02000001


NOT_IDENTITY = "IdentityCirc: circuit is not identity ["


def ident(*instrs, perm=None):
    return IdentityCirc(Circ(list(instrs), perm))


def unchecked(*instrs, perm=None):
    """The same circuit through the dict form, which does not check it."""
    c = Circ(list(instrs), perm)
    raw = sum(v << (3 * i) for i, v in enumerate(c.perm)) | len(c.perm) << 24
    items = [(str(i.gate), (tuple(i.qargs) + (255, 255))[:2]) for i in c.instrs]
    return IdentityCirc.from_python({"instrs": items, "perm": {"raw": raw}})


def test_constructor_checks():
    e = IdentityCirc(Circ([]))
    assert len(e) == 0 and not e and e.nqubits() == 0
    with panics("attempt to calculate the remainder with a divisor of zero"):
        e[0]
    pair = ident(Instr(t, [0]), Instr(tdg, [0]))
    assert len(pair) == 2 and bool(pair) and pair.check() is True
    with panics(NOT_IDENTITY, prefix=True):
        ident(Instr(h, [0]))
    with panics(NOT_IDENTITY, prefix=True):
        ident(perm=(1, 0))
    # Not brought to canonical form.
    shifted = ident(Instr(h, [1]), Instr(h, [1]), perm=(0, 1, 2))
    assert shifted.inner == Circ([Instr(h, [1]), Instr(h, [1])], (0, 1, 2))
    with pytest.raises(TypeError) as err:
        IdentityCirc(5)
    assert str(err.value) == "argument 'circuit': 'int' object cannot be converted to 'Circ'"
    with pytest.raises(TypeError):
        IdentityCirc(pair)  # an IdentityCirc is not a Circ


def test_check_of_unchecked_objects():
    lone = IdentityCirc.from_python({"instrs": [("h", (0, 255))], "perm": {"raw": ID1}})
    assert str(lone) == "Identity { h(0) (0) }"
    with panics(NOT_IDENTITY, prefix=True):
        lone.check()
    try:
        lone.check()
    except BaseException as e:  # noqa: B902 - PanicException derives from BaseException
        assert str(e).endswith("] Identity { h(0) (0) }")
    # (3 5) is accepted as a permutation but names qubits outside the circuit: the check
    # refuses it rather than relabel a state with it.
    with panics("IdentityCirc: trailing permutation (3 5) is not a permutation of its qubits Identity { (3 5) }"):
        IdentityCirc(Circ([], (3, 5)))


def test_values_order_and_hash():
    hh = ident(Instr(h, [0]), Instr(h, [0]))
    assert str(hh) == "Identity { h(0) h(0) (0) }"
    assert repr(hh) == "IdentityCirc(Circ { instrs: [h(0), h(0)], perm: (0) })"
    assert hh.inner == Circ([Instr(h, [0]), Instr(h, [0])])
    assert hh != hh.inner and (hh == 1) is False
    assert hh == ident(Instr(h, [0]), Instr(h, [0])) and hh is not ident(Instr(h, [0]), Instr(h, [0]))
    four = ident(Instr(x, [0]), Instr(x, [0]), Instr(x, [0]), Instr(x, [0]))
    assert ident(Instr(cx, [0, 1]), Instr(cx, [0, 1])) < hh < ident(Instr(x, [0]), Instr(x, [0])) < four
    assert hh <= hh and four > hh and four >= hh
    with pytest.raises(TypeError):
        hh < hh.inner
    for c in (IdentityCirc(Circ([])), hh, four):
        value = c.hash_value()
        assert 0 <= value < 1 << 64
        signed = value - (1 << 64) if value >= 1 << 63 else value
        assert hash(c) == (-2 if signed == -1 else signed) == hash(c.inner)
    # The empty identity hashes twelve zero bytes (count, then the empty word).
    assert hash(IdentityCirc(Circ([]))) == stable_hash_oracle(bytes(12))


def test_indexing_iteration_and_attributes():
    c = ident(Instr(h, [0]), Instr(t, [1]), Instr(tdg, [1]), Instr(h, [0]))
    assert str(c[-1]) == "h(0)" and str(c[4]) == "h(0)" and str(c[1]) == "t(1)" and str(c[-3]) == "t(1)"
    assert [str(i) for i in c] == ["h(0)", "t(1)", "tdg(1)", "h(0)"]
    assert len(list(c)) == 4 and (0 in c) is False
    with pytest.raises(TypeError, match="^argument 'idx': "):
        c[1:2]
    with pytest.raises(AttributeError):
        c.inner = Circ([])
    c.note = "kept"
    assert c.note == "kept" and c.__dict__ == {"note": "kept"} and vars(c) == {"note": "kept"}
    assert not hasattr(IdentityCirc.from_python(c.pythonize()), "note")
    assert not hasattr(c.inner.rotate_representative(), "note")
    assert not hasattr(ident(Instr(h, [0]), Instr(h, [0])), "note")


def test_wire_neighbours():
    pair = ident(Instr(t, [0]), Instr(tdg, [0]))
    assert pair.qargs_forward(0) == [1] and pair.qargs_forward(1) == [0]
    assert pair.qargs_backward(0) == [1] and pair.qargs_backward(1) == [0]
    # h(0), three cx that exchange the wires, h(1), then (1 0): a wire crosses the end.
    swapped = ident(Instr(h, [0]), Instr(cx, [0, 1]), Instr(cx, [1, 0]), Instr(cx, [0, 1]), Instr(h, [1]),
                    perm=(1, 0))
    assert swapped.qargs_forward(4) == [0] and swapped.qargs_backward(0) == [4]
    assert swapped.qargs_forward(0) == [1] and swapped.qargs_backward(4) == [3]
    # A two-qubit instruction whose wires lead to different instructions, in argument order.
    c = unchecked(Instr(cx, [0, 1]), Instr(h, [0]), Instr(t, [1]), Instr(cx, [0, 1]), Instr(tdg, [1]), Instr(h, [0]))
    assert c.qargs_forward(0) == [1, 2] and c.qargs_backward(0) == [5, 4]
    assert c.qargs_forward(gate_id=3) == [5, 4]
    with panics("index out of bounds: the len is 6 but the index is 6"):
        c.qargs_forward(6)
    with panics("index out of bounds: the len is 6 but the index is 9"):
        c.qargs_backward(9)
    with pytest.raises(OverflowError):
        c.qargs_forward(-1)
    with pytest.raises(OverflowError):
        c.qargs_forward(1 << 64)
    with pytest.raises(TypeError, match="^argument 'gate_id': "):
        c.qargs_backward("0")
    lost = IdentityCirc.from_python({"instrs": [("h", (0, 255))], "perm": {"raw": SWAP2}})
    with panics("Identity { h(0) (1 0) } [18446744073709551615]"):
        lost.qargs_forward(0)
    with panics("a Identity { h(0) (1 0) } Circ { instrs: [h(1)], perm: (1 0) } 0"):
        lost.qargs_backward(0)


# ---- the dict form ----------------------------------------------------------------------------

def test_dict_form_round_trip():
    c = ident(Instr(h, [0]), Instr(cx, [0, 1]), Instr(cx, [0, 1]), Instr(h, [0]))
    d = c.pythonize()
    assert d == {"instrs": [("h", (0, 255)), ("cx", (0, 1)), ("cx", (0, 1)), ("h", (0, 255))],
                 "perm": {"raw": ID2}}
    assert list(d) == ["instrs", "perm"] and type(d["instrs"]) is list and type(d["instrs"][0]) is tuple
    assert IdentityCirc.from_python(d) == c
    example = IdentityCirc.from_python({"instrs": [("h", (0, 255)), ("cx", (0, 1))], "perm": {"raw": 33554440}})
    assert example.inner == Circ([Instr(h, [0]), Instr(cx, [0, 1])])
    empty = IdentityCirc(Circ([]))
    assert empty.pythonize() == {"instrs": [], "perm": {"raw": 0}}
    assert IdentityCirc.from_python(empty.pythonize()) == empty
    assert IdentityCirc.from_python(obj={"instrs": [], "perm": {"raw": 0}}) == empty


class Keys(Mapping):
    """A mapping whose keys may repeat and whose reading may fail."""

    def __init__(self, items, fail=False):
        self.items = items
        self.fail = fail

    def __getitem__(self, key):
        if self.fail:
            raise KeyError("refused by the mapping")
        for k, v in self.items:
            if k == key:
                return v
        raise KeyError(key)

    def __iter__(self):
        return iter([k for k, _ in self.items])

    def __len__(self):
        return len(self.items)


class Items(Sequence):
    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)


HH = [("h", (0, 255)), ("h", (0, 255))]


@pytest.mark.parametrize("obj", [
    {"perm": {"raw": ID1}, "instrs": HH, "extra": object()},
    {"instrs": tuple(HH), "perm": {"raw": ID1, "other": "ignored"}},
    {"instrs": Items([["h", [0, 255]], Items(["h", Items([0, 255])])]), "perm": Keys([("raw", ID1)])},
    Keys([("instrs", HH), ("perm", {"raw": ID1})]),
    {"instrs": {("h", (0, 255))} | {("h", (0, 255))}, "perm": {"raw": ID1}},  # a set of one item
])
def test_dict_form_accepted_shapes(obj):
    c = IdentityCirc.from_python(obj)
    assert str(c).startswith("Identity { h(0) ") and c.inner.perm == (0,)


def test_dict_form_keeps_unchecked_contents():
    odd = IdentityCirc.from_python({"instrs": [("h", (255, 0)), ("x", (7, 255))], "perm": {"raw": ID2}})
    assert odd.pythonize()["instrs"] == [("h", (255, 0)), ("x", (7, 255))]
    frozen = IdentityCirc.from_python({"instrs": frozenset({("t", (0, 255))}), "perm": {"raw": ID1}})
    assert str(frozen) == "Identity { t(0) (0) }"


@pytest.mark.parametrize("obj, error, message", [
    (5, TypeError, "unexpected type: 'int' object cannot be converted to 'Mapping'"),
    ([("instrs", [])], TypeError, "unexpected type: 'list' object cannot be converted to 'Mapping'"),
    ({}, Exception, "missing field `instrs`"),
    ({"instrs": []}, Exception, "missing field `perm`"),
    ({"perm": {"raw": 0}}, Exception, "missing field `instrs`"),
    ({1: [], "instrs": [], "perm": {"raw": 0}}, TypeError, "dict keys must have type str"),
    (Keys([("instrs", []), ("instrs", [])]), Exception, "duplicate field `instrs`"),
    (Keys([("perm", {"raw": 0}), ("instrs", []), ("perm", {"raw": 0})]), Exception, "duplicate field `perm`"),
    ({"instrs": 5, "perm": {"raw": 0}}, TypeError, "unexpected type: 'int' object cannot be converted to 'Sequence'"),
    ({"instrs": {"h": 0}, "perm": {"raw": 0}}, TypeError,
     "unexpected type: 'dict' object cannot be converted to 'Sequence'"),
    ({"instrs": [("h", (0, 255), 1)], "perm": {"raw": 0}}, ValueError, "expected sequence of length 2, got 3"),
    ({"instrs": ["hx"], "perm": {"raw": 0}}, ValueError, "expected sequence of length 2, got 1"),
    ({"instrs": [5], "perm": {"raw": 0}}, TypeError, "unexpected type: 'int' object cannot be converted to 'Sequence'"),
    ({"instrs": [(5, (0, 255))], "perm": {"raw": 0}}, TypeError,
     "unexpected type: 'int' object cannot be converted to 'PyString'"),
    ({"instrs": [("h", (0,))], "perm": {"raw": 0}}, ValueError, "expected sequence of length 2, got 1"),
    ({"instrs": [("h", 0)], "perm": {"raw": 0}}, TypeError, "unexpected type: 'int' object cannot be converted to 'Sequence'"),
    ({"instrs": [("h", ("0", 255))], "perm": {"raw": 0}}, TypeError, "'str' object cannot be interpreted as an integer"),
    ({"instrs": [("h", (256, 255))], "perm": {"raw": 0}}, OverflowError, "out of range integral type conversion attempted"),
    ({"instrs": [("h", (0, -1))], "perm": {"raw": 0}}, OverflowError, "out of range integral type conversion attempted"),
    ({"instrs": [("h", (8, 255))], "perm": {"raw": ID1}}, Exception, "Qubit index must be less than 8"),
    ({"instrs": [("cx", (0, 200))], "perm": {"raw": ID1}}, Exception, "Qubit index must be less than 8"),
    ({"instrs": [], "perm": 5}, TypeError, "unexpected type: 'int' object cannot be converted to 'Mapping'"),
    ({"instrs": [], "perm": {}}, Exception, "missing field `raw`"),
    ({"instrs": [], "perm": {2: 0}}, TypeError, "dict keys must have type str"),
    ({"instrs": [], "perm": Keys([("raw", 0), ("raw", 0)])}, Exception, "duplicate field `raw`"),
    ({"instrs": [], "perm": {"raw": 1 << 32}}, OverflowError, "out of range integral type conversion attempted"),
    ({"instrs": [], "perm": {"raw": -1}}, OverflowError, "out of range integral type conversion attempted"),
    ({"instrs": [], "perm": {"raw": "0"}}, TypeError, "'str' object cannot be interpreted as an integer"),
    ({"instrs": [], "perm": {"raw": 0x09000000}}, Exception, "Permutation length must be less than or equal to 8"),
    ({"instrs": [], "perm": {"raw": 0x03000048}}, Exception, "Permutation values must be unique"),
    ({"instrs": [], "perm": {"raw": 0x01000040}}, Exception, "Permutation word holds images past its length"),
    ({"instrs": [], "perm": {"raw": 0x0200001C}}, Exception, "Permutation values must be less than its length: (4 3)"),
    ({"instrs": [("h", (0, 255))], "perm": {"raw": 0x01000001}}, Exception,
     "Permutation values must be less than its length: (1)"),
    (Keys([("instrs", [])], fail=True), KeyError, "'refused by the mapping'"),
    ({"instrs": Items([]), "perm": Keys([("raw", 0)], fail=True)}, KeyError, "'refused by the mapping'"),
])
def test_dict_form_errors(obj, error, message):
    with pytest.raises(BaseException) as e:
        IdentityCirc.from_python(obj)
    assert type(e.value) is error, (type(e.value), e.value)
    assert str(e.value) == message


def test_dict_form_gate_lookup():
    with panics("Failed to deserialize Gate16 from nosuchgate"):
        IdentityCirc.from_python({"instrs": [("nosuchgate", (0, 255))], "perm": {"raw": ID1}})
    # The first error met in key order wins: the bad perm comes before the bad instruction.
    with pytest.raises(Exception, match="^missing field `raw`$"):
        IdentityCirc.from_python({"perm": {}, "instrs": [("nosuchgate", (0, 255))]})


def test_docstrings():
    assert IdentityCirc.__doc__ == "Canonical identity circuit (a circuit proven equivalent to identity)."
    assert IdentityCirc.__text_signature__ == "(circuit)"
    docs = {
        "from_python": ("(obj)", "Parses a Python-serialized identity object."),
        "nqubits": ("($self)", "Returns number of qubits."),
        "qargs_forward": ("($self, gate_id)",
                          "For each argument of gate `gate_id`, returns next gate index using that qubit."),
        "qargs_backward": ("($self, gate_id)",
                           "For each argument of gate `gate_id`, returns previous gate index using that qubit."),
        "check": ("($self)", "Randomized semantic check that this circuit is identity."),
        "hash_value": ("($self)", "Stable hash of the canonical identity representation."),
        "pythonize": ("($self)", "Converts this identity to a Python-serializable form."),
    }
    for name, (signature, text) in docs.items():
        method = getattr(IdentityCirc, name)
        assert method.__doc__ == text, name
        assert method.__text_signature__ == signature, name
    assert IdentityCirc.inner.__doc__ == "Underlying circuit representation."
    assert [n for n in IdentityCirc.__dict__ if n in docs] == list(docs)
