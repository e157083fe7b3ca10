// The Python-dict form of circuits: plain dicts, tuples and ints, read back with checked types and lengths.
#include "identity/py_circ_dict.hpp"

#include "binding/convert.hpp"
#include "circ/gate.hpp"

namespace brimsel::py {

namespace {

[[noreturn]] void unexpected_type(PyObject* o, const char* target) {
    raise(PyExc_TypeError,
          "unexpected type: '" + type_qualname(o) + "' object cannot be converted to '" + target + "'");
}

// A field error of the record being read (missing, repeated, refused value).
[[noreturn]] void field_error(const std::string& message) { raise(PyExc_Exception, message); }

// collections.abc.<name>, imported once and kept for the life of the process.
PyObject* abc_class(const char* name, PyObject*& cache) {
    if (!cache) {
        Ref module = Ref::check(PyImport_ImportModule("collections.abc"));
        cache = Ref::check(PyObject_GetAttrString(module.get(), name)).release();
    }
    return cache;
}

// An isinstance test whose own failure counts as "no".
bool instance_of_abc(PyObject* o, const char* name, PyObject*& cache) {
    int r = PyObject_IsInstance(o, abc_class(name, cache));
    if (r < 0) {
        PyErr_Clear();
        return false;
    }
    return r == 1;
}

bool is_mapping(PyObject* o) {
    static PyObject* cache = nullptr;
    return PyDict_Check(o) || instance_of_abc(o, "Mapping", cache);
}

bool is_sequence(PyObject* o) {
    static PyObject* cache = nullptr;
    return PyList_Check(o) || PyTuple_Check(o) || instance_of_abc(o, "Sequence", cache);
}

Py_ssize_t size_of(PyObject* o) {
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0) throw ErrorAlreadySet{};
    return n;
}

Ref item_at(PyObject* seq, Py_ssize_t i) { return Ref::check(PySequence_GetItem(seq, i)); }

// A sequence of exactly two items; the items are fetched as they are read.
void expect_pair(PyObject* o) {
    if (!is_sequence(o)) unexpected_type(o, "Sequence");
    Py_ssize_t n = size_of(o);
    if (n != 2) raise(PyExc_ValueError, "expected sequence of length 2, got " + std::to_string(n));
}

std::string text_of(PyObject* o) {
    if (!PyUnicode_Check(o)) unexpected_type(o, "PyString");
    Py_ssize_t len = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &len);
    if (!data) throw ErrorAlreadySet{};
    return std::string(data, static_cast<std::size_t>(len));
}

// Walks a mapping's keys and values, each taken once as a list, calling
// `field(name, value)` for every key; keys must be texts.
template <class F>
void walk_mapping(PyObject* o, F&& field) {
    if (!is_mapping(o)) unexpected_type(o, "Mapping");
    Ref keys = Ref::check(PyMapping_Keys(o));
    Ref values = Ref::check(PyMapping_Values(o));
    const Py_ssize_t n = size_of(o);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref key = item_at(keys.get(), i);
        if (!PyUnicode_Check(key.get())) raise(PyExc_TypeError, "dict keys must have type str");
        std::string name = text_of(key.get());
        field(name, i, values.get());
    }
}

Instr32 read_instr(PyObject* o) {
    expect_pair(o);
    Ref gate_item = item_at(o, 0);
    const Gate16 gate = Gate16::deserialize(text_of(gate_item.get()));
    Ref qubits = item_at(o, 1);
    expect_pair(qubits.get());
    Ref q0 = item_at(qubits.get(), 0);
    const auto a = FromPy<std::uint8_t>::convert(q0.get());
    Ref q1 = item_at(qubits.get(), 1);
    const auto b = FromPy<std::uint8_t>::convert(q1.get());
    auto valid = [](std::uint8_t q) { return q < kMaxQubits || q == kNoQubit; };
    if (!valid(a) || !valid(b)) field_error("Qubit index must be less than 8");
    return Instr32(gate, QArgs16(a, b));
}

std::vector<Instr32> read_instrs(PyObject* o) {
    std::vector<Instr32> out;  // grows with what is read, never from a count
    if (is_sequence(o)) {
        const Py_ssize_t n = size_of(o);
        for (Py_ssize_t i = 0; i < n; ++i) out.push_back(read_instr(item_at(o, i).get()));
        return out;
    }
    if (PySet_Check(o) || PyFrozenSet_Check(o)) {
        Ref it = Ref::check(PyObject_GetIter(o));
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) out.push_back(read_instr(item.get()));
        throw_if_error();
        return out;
    }
    unexpected_type(o, "Sequence");
}

Permut32 read_perm(PyObject* o) {
    std::optional<std::uint32_t> raw;
    walk_mapping(o, [&](const std::string& name, Py_ssize_t i, PyObject* values) {
        if (name != "raw") return;
        if (raw) field_error("duplicate field `raw`");
        raw = FromPy<std::uint32_t>::convert(item_at(values, i).get());
    });
    if (!raw) field_error("missing field `raw`");
    const Permut32 p = Permut32::from_raw(*raw);
    if (const auto e = permutation_word_error(p)) field_error(*e);
    return p;
}

}  // namespace

Ref circ_to_dict(const Circ& c) {
    Ref instrs = Ref::check(PyList_New(static_cast<Py_ssize_t>(c.instrs.size())));
    for (std::size_t i = 0; i < c.instrs.size(); ++i) {
        const Instr32& in = c.instrs[i];
        Ref text = Ref::steal(to_py(in.gate.to_string()));
        Ref q0 = Ref::steal(to_py(in.qargs.q[0]));
        Ref q1 = Ref::steal(to_py(in.qargs.q[1]));
        Ref qubits = Ref::check(PyTuple_Pack(2, q0.get(), q1.get()));
        PyList_SET_ITEM(instrs.get(), static_cast<Py_ssize_t>(i),
                        Ref::check(PyTuple_Pack(2, text.get(), qubits.get())).release());
    }
    Ref perm = Ref::check(PyDict_New());
    Ref raw = Ref::steal(to_py(c.perm.raw));
    if (PyDict_SetItemString(perm.get(), "raw", raw.get()) < 0) throw ErrorAlreadySet{};
    Ref d = Ref::check(PyDict_New());
    if (PyDict_SetItemString(d.get(), "instrs", instrs.get()) < 0) throw ErrorAlreadySet{};
    if (PyDict_SetItemString(d.get(), "perm", perm.get()) < 0) throw ErrorAlreadySet{};
    return d;
}

Circ circ_from_dict(PyObject* obj) {
    std::optional<std::vector<Instr32>> instrs;
    std::optional<Permut32> perm;
    walk_mapping(obj, [&](const std::string& name, Py_ssize_t i, PyObject* values) {
        if (name == "instrs") {
            if (instrs) field_error("duplicate field `instrs`");
            instrs = read_instrs(item_at(values, i).get());
        } else if (name == "perm") {
            if (perm) field_error("duplicate field `perm`");
            perm = read_perm(item_at(values, i).get());
        }
        // Any other field is skipped without looking at its value.
    });
    if (!instrs) field_error("missing field `instrs`");
    if (!perm) field_error("missing field `perm`");
    Circ c;
    c.instrs = std::move(*instrs);
    c.perm = *perm;
    return c;
}

}  // namespace brimsel::py
