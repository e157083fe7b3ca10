// Circ: composition, inverse, rotation, relabelling and canonical forms as Python sees them.
#include "identity/py_circ.hpp"

#include "binding/class.hpp"
#include "circ/py_instr.hpp"
#include "groups/py_permutation.hpp"
#include "identity/py_idcircuit.hpp"

namespace brimsel::py {

namespace {

Circ construct(std::vector<Instr32> instrs, std::optional<Permut32> perm) {
    if (perm) return Circ::new_(std::move(instrs), *perm);
    return Circ::new_no_perm(std::move(instrs));
}

std::uint64_t nqubits(const Circ& c) { return c.nqubits(); }
IdentityCirc rotate_representative(const Circ& c) { return c.rotate_representative(); }
Circ representative(const Circ& c) { return c.representative(); }

Ref representative_with_perm(const Circ& c) {
    auto [rep, perm] = c.representative_with_perm();
    Ref a = Ref::steal(to_py(std::move(rep)));
    Ref b = Ref::steal(to_py(perm));
    return Ref::check(PyTuple_Pack(2, a.get(), b.get()));
}

Circ permut(const Circ& c, Permut32 perm) { return c.permut(perm); }
Circ remove_swaps(const Circ& c) { return c.remove_swaps(); }
Circ inverse(const Circ& c) { return c.inverse(); }
Circ rotate(const Circ& c, std::int64_t n) { return c.rotate(n); }
std::uint64_t length(const Circ& c) { return c.len(); }
bool is_empty(const Circ& c) { return c.is_empty(); }
std::vector<Instr32> instrs_with_swaps(const Circ& c) { return c.instrs_with_swaps(); }
std::vector<Instr32> instrs(const Circ& c) { return c.instrs; }
Permut32 perm(const Circ& c) { return c.perm; }
std::string display(const Circ& c) { return c.to_string(); }
std::string debug(const Circ& c) { return c.debug(); }
std::uint64_t stable_hash(const Circ& c) { return c.stable_hash(); }

Instr32 item(const Circ& c, std::int64_t idx) {
    if (c.is_empty()) panic("attempt to calculate the remainder with a divisor of zero");
    const auto len = static_cast<std::int64_t>(c.len());
    std::int64_t r = idx % len;
    if (r < 0) r += len;
    return c.instrs[static_cast<std::size_t>(r)];
}

PyObject* add(PyObject* a, PyObject* b) noexcept {
    return guard(
        [&]() -> PyObject* {
            if (!is_instance<Circ>(a) || !is_instance<Circ>(b)) Py_RETURN_NOTIMPLEMENTED;
            SharedBorrow<Circ> x(a);
            SharedBorrow<Circ> y(b);
            return to_py(x.get() + y.get());
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace

PyTypeObject* PyClass<Circ>::type() {
    return lazy_type<Circ>([] {
        auto* c = new ClassBuilder<Circ>("Circuit with an explicit trailing qubit permutation.");
        c->constructor<&construct, "instrs", "perm">()
            .method<"nqubits", &nqubits>("Number of qubits tracked by the permutation.")
            .method<"rotate_representative", &rotate_representative>(
                "Returns canonical identity representative across rotations/permutations.")
            .method<"representative", &representative>("Returns canonical circuit representative.")
            .method<"representative_with_perm", &representative_with_perm>(
                "Returns `(representative, applied_perm)` used in canonicalization.")
            .method<"permut", &permut, "perm">("Applies a qubit permutation to this circuit.")
            .method<"remove_swaps", &remove_swaps>(
                "Removes explicit swap gates into the stored trailing permutation.")
            .method<"inverse", &inverse>("Returns inverse circuit.")
            .method<"rotate", &rotate, "n">("Circularly rotates instruction order by `n`.")
            .method<"len", &length>("Number of instructions.")
            .method<"is_empty", &is_empty>("Returns whether the circuit is empty.")
            .method<"instrs_with_swaps", &instrs_with_swaps>(
                "Returns instructions plus swaps needed for stored permutation.")
            .getter<"instrs", &instrs>(nullptr)
            .getter<"perm", &perm>(nullptr)
            .ordered()
            .hash<&stable_hash>()
            .str<&display>()
            .repr<&debug>()
            .len<&length>()
            .getitem<&item, "idx">()
            .slot(Py_nb_add, reinterpret_cast<void*>(&add))
            .iter<&instrs>();  // indexing is modular and never ends
        return c->create();
    });
}

}  // namespace brimsel::py
