// ECC, ECCs, RawECCs and Evaluator as Python sees them.
#include "search/py_search.hpp"

#include "binding/class.hpp"
#include "binding/file_errors.hpp"
#include "circ/gate/py_gate.hpp"
#include "circ/py_instr.hpp"
#include "groups/py_permutation.hpp"
#include "identity/py_circ.hpp"
#include "identity/py_idcircuit.hpp"
#include "state/py_statevec.hpp"
#include "utils/file.hpp"

namespace brimsel::py {

namespace {

// ---- ECC --------------------------------------------------------------------------------------

std::vector<std::vector<Instr32>> ecc_circuits(const ECC& e) { return e.circuits(); }
std::string ecc_display(const ECC& e) { return e.to_string(); }

// ---- ECCs -------------------------------------------------------------------------------------

std::uint64_t eccs_nqubits(const ECCs& e) { return e.nqubits; }
std::string eccs_display(const ECCs& e) { return e.to_string(); }
std::size_t eccs_len(const ECCs& e) { return e.eccs.size(); }
std::vector<ECC> eccs_to_list(const ECCs& e) { return e.eccs; }
ECCs eccs_filter_single(const ECCs& e) { return e.filter_single(); }
std::vector<ECC> eccs_check(const ECCs& e) { return e.check(); }

Ref eccs_to_identity_circuits(const ECCs& e) {
    std::vector<IdentityWitness> ids = e.to_identity_circuits();
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        Ref id = Ref::check(to_py(std::move(ids[i].identity)));
        Ref inv = Ref::check(to_py(std::move(ids[i].inverse_first)));
        Ref member = Ref::check(to_py(std::move(ids[i].member)));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        Ref::check(PyTuple_Pack(3, id.get(), inv.get(), member.get())).release());
    }
    return list;
}

void eccs_dump_quartz(const ECCs& e, std::string filepath) {
    try {
        e.dump_quartz(filepath);
    } catch (const FileError& err) {
        raise(PyExc_OSError, err.what());
    } catch (const WriteError& err) {
        raise(PyExc_ValueError, std::string("Failed to write JSON: ") + err.what());
    }
}

void eccs_dump_postcard(const ECCs& e, std::string filepath) {
    store_postcard([&] { e.dump_postcard(filepath); });
}

ECCs eccs_from_postcard(std::string filepath) {
    return load_postcard([&] { return ECCs::from_postcard(filepath); });
}

// ---- RawECCs ----------------------------------------------------------------------------------

RawECCs raw_new(Borrowed<Evaluator> ev) {
    ArgBorrow<Evaluator> b(ev);
    return RawECCs::new_(b.get());
}

Ref search_result(std::pair<RawECCs, SearchCounters> r) {
    Ref raw = Ref::check(to_py(std::move(r.first)));
    Ref counters = Ref::check(to_py(std::vector<std::uint64_t>(r.second.begin(), r.second.end())));
    return Ref::check(PyTuple_Pack(2, raw.get(), counters.get()));
}

// The four searches: the evaluator stays borrowed for the whole run.
template <auto Search, class Items>
Ref run_search(Borrowed<Evaluator> ev, Items items, std::uint64_t max_size) {
    ArgBorrow<Evaluator> b(ev);
    return search_result(Search(b.get(), std::move(items), max_size));
}
constexpr auto raw_search = &run_search<&RawECCs::search, std::vector<Instr32>>;
constexpr auto raw_search_naive = &run_search<&RawECCs::search_naive, std::vector<Instr32>>;
constexpr auto raw_generate = &run_search<&RawECCs::generate, std::vector<Gate16>>;
constexpr auto raw_generate_naive = &run_search<&RawECCs::generate_naive, std::vector<Gate16>>;
ECCs raw_simplify(const RawECCs& r) { return r.simplify(); }

// ---- Evaluator --------------------------------------------------------------------------------

Evaluator evaluator_new(std::uint64_t nqubits) {
    Rng rng = Rng::from_entropy();
    return Evaluator::from_random(nqubits, rng);
}
std::uint64_t evaluator_nqubits(const Evaluator& e) { return e.nqubits(); }
std::uint64_t evaluator_initial_key(const Evaluator& e) { return e.initial_key(); }
Ref evaluator_evaluate(const Evaluator& e, std::vector<Instr32> instrs) {
    Evaluator::Single r = e.evaluate(instrs);
    Ref canonical = Ref::check(to_py(std::move(r.canonical)));
    Ref front = Ref::check(to_py(r.front));
    Ref back = Ref::check(to_py(r.back));
    Ref forward = Ref::check(to_py(std::move(r.forward)));
    return Ref::check(PyTuple_Pack(4, canonical.get(), front.get(), back.get(), forward.get()));
}

}  // namespace

PyTypeObject* PyClass<ECC>::type() {
    return lazy_type<ECC>([] {
        auto* c = new ClassBuilder<ECC>("One equivalence class of circuits.");
        c->method<"circuits", &ecc_circuits>(
             "Returns all circuits in this class with swap instructions materialized.")
            .eq()
            .str<&ecc_display>();
        return c->create();
    });
}

PyTypeObject* PyClass<ECCs>::type() {
    return lazy_type<ECCs>([] {
        auto* c = new ClassBuilder<ECCs>("Collection of equivalence classes for a fixed number of qubits.");
        c->getter<"nqubits", &eccs_nqubits>(nullptr)
            .method<"dump_quartz", &eccs_dump_quartz, "filepath">("Exports ECCs to Quartz JSON format.")
            .static_method<"from_postcard", &eccs_from_postcard, "filepath">("Loads ECCs from a postcard file.")
            .method<"dump_postcard", &eccs_dump_postcard, "filepath">("Saves ECCs as postcard.")
            .method<"check", &eccs_check>("Returns classes that fail randomized equivalence checks.")
            .method<"to_list", &eccs_to_list>("Returns all classes as a Python list.")
            .method<"filter_single", &eccs_filter_single>("Removes classes with only one circuit.")
            .method<"to_identity_circuits", &eccs_to_identity_circuits>(
                "Converts classes into canonical identities plus witness circuit pairs.")
            .eq()
            .str<&eccs_display>()
            .len<&eccs_len>();
        return c->create();
    });
}

PyTypeObject* PyClass<RawECCs>::type() {
    return lazy_type<RawECCs>([] {
        auto* c = new ClassBuilder<RawECCs>(
            "Mutable ECC map keyed by evaluator hash.\n\n"
            "This is the direct output of the search algorithm before final simplification.");
        c->constructor<&raw_new, "evaluator">()
            .static_method<"search_naive", raw_search_naive, "evaluator", "instrs", "max_size">(
                "Exhaustive baseline search without permutation-based multiplicity reduction.")
            .static_method<"search", raw_search, "evaluator", "instrs", "max_size">(
                "Optimized search using permutation-equivalent placements per circuit.")
            .method<"simplify", &raw_simplify>("Converts raw buckets into sorted, normalized ECCs.")
            .static_method<"generate", raw_generate, "evaluator", "gates", "max_size">(
                "Generates ECCs from a gate set using the optimized search.\n\n"
                "Adjoint gates are added automatically if missing.")
            .static_method<"generate_naive", raw_generate_naive, "evaluator", "gates", "max_size">(
                "Generates ECCs from a gate set using the naive search.");
        add_raweccs_queries(*c);
        return c->create();
    });
}

PyTypeObject* PyClass<Evaluator>::type() {
    return lazy_type<Evaluator>([] {
        auto* c = new ClassBuilder<Evaluator>(
            "Randomized evaluator used to hash circuits and recover permutation metadata.");
        c->constructor<&evaluator_new, "nqubits">()
            .method<"nqubits", &evaluator_nqubits>("Returns evaluator qubit count.")
            .method<"evaluate", &evaluator_evaluate, "instrs">("Python wrapper for circuit evaluation.")
            .method<"initial_key", &evaluator_initial_key>("Hash key for the empty circuit under this evaluator.")
            .eq();
        return c->create();
    });
}

}  // namespace brimsel::py
