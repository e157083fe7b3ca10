// Gate: registration from NumPy matrices, lookup by display text, attributes and adjoints.
#include "circ/gate/py_gate.hpp"

#include "binding/class.hpp"
#include "binding/numpy.hpp"
#include "circ/param/expr.hpp"

namespace brimsel::py {

namespace {

Gate16 construct(std::string name, std::vector<std::string> params, Matrix matrix) {
    return Gate16::new_(std::move(name), std::move(params), std::move(matrix));
}

std::optional<Gate16> lookup(std::string name) { return Gate16::from_name(name); }

std::string get_name(const Gate16& g) { return g.name(); }
std::vector<std::string> get_params(const Gate16& g) { return g.params(); }

std::vector<double> get_params_f(const Gate16& g) {
    std::vector<double> out;
    for (const std::string& p : g.params()) {
        EvalResult r = evaluate_with_pi(p);
        if (const auto* e = std::get_if<NumericError>(&r)) raise(PyExc_ValueError, e->to_string());
        out.push_back(std::get<double>(r));
    }
    return out;
}

// Copied under the read lock; the array is built after it is released, since
// building it may run arbitrary Python code.
Matrix get_matrix(const Gate16& g) { return g.matrix_copy(); }

std::uint64_t get_nqargs(const Gate16& g) { return g.nqargs(); }
Gate16 adjoint_of(const Gate16& g) { return g.adjoint(); }
std::uint64_t stable_hash(const Gate16& g) { return g.stable_hash(); }
std::string display(const Gate16& g) { return g.to_string(); }

}  // namespace

PyTypeObject* PyClass<Gate16>::type() {
    return lazy_type<Gate16>([] {
        auto* c = new ClassBuilder<Gate16>(
            "Parameterized quantum gate definition used by both search and Python APIs.");
        c->constructor<&construct, "name", "params", "matrix">()
            .static_method<"from_name", &lookup, "name">("Looks up a built-in gate by display name.")
            .method<"adjoint", &adjoint_of>("Returns the adjoint (inverse) gate.")
            .getter<"name", &get_name>("Gate name.")
            .getter<"params", &get_params>("Symbolic parameter list.")
            .getter<"params_f", &get_params_f>("Numeric parameters evaluated with support for `pi` expressions.")
            .getter<"matrix", &get_matrix>("Dense unitary matrix.")
            .getter<"nqargs", &get_nqargs>("Number of qubit arguments required by this gate.")
            .eq()
            .hash<&stable_hash>()
            .str<&display>();
        return c->create();
    });
}

}  // namespace brimsel::py
