// Module entry: the single-phase initialisation of brimsel and the registration of its classes.
#include "binding/core.hpp"

#include <atomic>

#include "circ/gate/py_gate.hpp"
#include "circ/py_instr.hpp"
#include "identity/eccprove/py_proof.hpp"
#include "identity/py_circ.hpp"
#include "identity/py_eccprove.hpp"
#include "identity/py_idcircuit.hpp"
#include "search/py_search.hpp"
#include "state/py_statevec.hpp"
#include "panic.hpp"

namespace brimsel::py {

namespace {

// The classes in registration order; each takes its fixed position as it is built:
//  1 Argument, 2 Instruction, 3 Gate, 4 Instr, 5 StateVec, 6 ECC, 7 ECCs, 8 RawECCs,
//  9 Evaluator, 10 Circ, 11 IdentityCirc, 12 IdentityProver, 13 Proof.
struct Registration {
    const char* name;
    PyTypeObject* (*type)();
};

const Registration kClasses[] = {
    {"Argument", &PyClass<Argument>::type},
    {"Instruction", &PyClass<Instruction>::type},
    {"Gate", &PyClass<Gate16>::type},
    {"Instr", &PyClass<Instr32>::type},
    {"StateVec", &PyClass<StateVec>::type},
    {"ECC", &PyClass<ECC>::type},
    {"ECCs", &PyClass<ECCs>::type},
    {"RawECCs", &PyClass<RawECCs>::type},
    {"Evaluator", &PyClass<Evaluator>::type},
    {"Circ", &PyClass<Circ>::type},
    {"IdentityCirc", &PyClass<IdentityCirc>::type},
    {"IdentityProver", &PyClass<IdentityProver>::type},
    {"Proof", &PyClass<Proof>::type},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "brimsel",
    "Python extension module entrypoint.\n\n"
    "This module registers the classes that are re-exported and wrapped by\n"
    "`python/brimsel/__init__.py`.",
    0,  // no per-module state: a second interpreter runs this entry point again
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> first_interpreter{-1};
PyObject* module_object = nullptr;  // kept for the life of the process

void add_class(PyObject* module, const Registration& r) {
    PyTypeObject* type = r.type();
    if (!type) throw ErrorAlreadySet{};
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
        PyErr_Clear();
        all = Ref::check(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw ErrorAlreadySet{};
    }
    Ref name = Ref::check(PyUnicode_FromString(r.name));
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), name.get()) < 0) {
        PyErr_Clear();
        panic("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0)
        throw ErrorAlreadySet{};
}

PyObject* init() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "brimsel does not support sub-interpreters: it can only be imported "
                        "in the interpreter that imported it first");
        return nullptr;
    }
    if (module_object) return Py_NewRef(module_object);

    Ref module = Ref::check(PyModule_Create2(&module_def, 1013));
#if defined(Py_GIL_DISABLED)
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) throw ErrorAlreadySet{};
#endif
    for (const Registration& r : kClasses) add_class(module.get(), r);
    // The exception of internal failures, made now rather than on the first
    // failure, so that the package can re-export the very type that calls
    // raise. It is not a registered class and stays out of __all__.
    PyObject* panic_type = panic_exception_type();
    if (!panic_type || PyModule_AddObjectRef(module.get(), "PanicException", panic_type) < 0)
        throw ErrorAlreadySet{};
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace brimsel::py

PyMODINIT_FUNC PyInit_brimsel(void) {
    return brimsel::py::guard([] { return brimsel::py::init(); }, static_cast<PyObject*>(nullptr));
}
