"""Module entry, registration and the conventions of the binding layer."""
import subprocess
import sys
import textwrap

import pytest

import brimsel
from brimsel import brimsel as ext

REGISTRATION_ORDER = [
    "Argument", "Instruction", "Gate", "Instr", "StateVec", "ECC", "ECCs", "RawECCs",
    "Evaluator", "Circ", "IdentityCirc", "IdentityProver", "Proof",
]


def test_all_lists_registered_classes_in_order():
    assert isinstance(ext.__all__, list)
    assert ext.__all__ == REGISTRATION_ORDER
    for name in ext.__all__:
        assert getattr(ext, name).__name__ == name
    # The package adds the exception of internal failures after the classes.
    assert brimsel.__all__ == ext.__all__ + ["PanicException"]
    for name in brimsel.__all__:
        assert getattr(brimsel, name) is getattr(ext, name)


def test_module_docstring():
    assert ext.__doc__ == (
        "Python extension module entrypoint.\n\n"
        "This module registers the classes that are re-exported and wrapped by\n"
        "`python/brimsel/__init__.py`."
    )


def test_no_module_level_functions():
    public = [n for n in dir(ext) if not n.startswith("_")]
    assert sorted(public) == sorted(ext.__all__ + ["PanicException"])


def test_class_conventions():
    for name in ext.__all__:
        cls = getattr(ext, name)
        assert cls.__module__ == "builtins", name
        assert cls.__bases__ == (object,), name
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Sub", (cls,), {})
        assert "__weakref__" not in dir(cls), name
        assert ("__dict__" in dir(cls)) == (name == "IdentityCirc"), name


def test_reimport_in_same_interpreter_gives_same_module():
    code = textwrap.dedent("""
        import importlib, sys
        import brimsel.brimsel as a
        del sys.modules['brimsel.brimsel']
        b = importlib.import_module('brimsel.brimsel')
        assert a is b, (a, b)
        assert b.Gate is a.Gate
        print('ok')
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


def test_import_from_subinterpreter_fails():
    code = textwrap.dedent("""
        import _xxsubinterpreters as interpreters
        import brimsel
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import brimsel")
        except interpreters.RunFailedError as e:
            print('failed:', e)
        else:
            print('imported')
        finally:
            interpreters.destroy(interp)
        # The first interpreter's module still works.
        print(brimsel.Gate.from_name('h'))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.strip().splitlines()
    assert lines[0].startswith("failed:") and "ImportError" in lines[0]
    assert lines[1] == "h"


def test_panic_exception_is_base_exception():
    import numpy as np

    with pytest.raises(BaseException) as info:
        try:
            ext.Gate("bad", [], np.zeros((3, 3), dtype=complex))
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert not isinstance(exc, Exception)
    assert str(exc) == "Matrix must have a number of rows that is a power of two"


# Internal failures from several parts of the module, each with its message.
PANICKING_CALLS = [
    (lambda: ext.Gate("bad", [], __import__("numpy").zeros((2, 4), dtype=complex)), "Matrix must be squared"),
    (lambda: ext.Circ([ext.Gate.from_name("h")(2)], (0, 1)),
     "Permutation length must be greater than the max qubit index."),
    (lambda: ext.Circ([])[0], "attempt to calculate the remainder with a divisor of zero"),
    (lambda: ext.Instr(ext.Gate.from_name("h"), [0]).permut((1, 1)), "Permutation values must be unique"),
]


@pytest.mark.parametrize("call,message", PANICKING_CALLS)
def test_panic_exception_is_caught_by_its_name(call, message):
    try:
        try:
            call()
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    except brimsel.PanicException as e:
        assert type(e) is brimsel.PanicException
        assert str(e) == message
    else:
        pytest.fail("no internal failure")


def test_panic_exception_class():
    cls = brimsel.PanicException
    assert cls is ext.PanicException
    assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
    assert cls.__bases__ == (BaseException,)
    assert (cls.__module__, cls.__qualname__) == ("brimsel", "PanicException")
    assert "PanicException" not in ext.__all__
    namespace = {}
    exec("from brimsel import *", namespace)
    assert namespace["PanicException"] is cls


def test_panic_exception_exists_before_the_first_failure():
    # In a fresh process the name is taken before anything has failed; the first failure
    # must raise that very type.
    code = textwrap.dedent("""
        from brimsel import Circ, PanicException
        named = PanicException
        try:
            Circ([])[0]
        except named as e:
            print(type(e) is named)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "True"


def test_panic_reports_message_and_location_on_stderr():
    code = textwrap.dedent("""
        import numpy as np, brimsel
        try:
            brimsel.Gate('bad', [], np.zeros((2, 4), dtype=complex))
        except BaseException as e:
            print(type(e).__name__, e)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == "PanicException Matrix must be squared"
    assert "Matrix must be squared" in out.stderr
    assert "gate.cpp:" in out.stderr


def test_cycles_through_instance_dicts_are_collected():
    import gc
    import weakref

    class Sentinel:
        pass

    h = ext.Gate.from_name("h")
    ident = ext.IdentityCirc(ext.Circ([h(0), h(0)]))
    sentinel = Sentinel()
    alive = weakref.ref(sentinel)
    ident.sentinel = sentinel
    ident.me = ident
    assert vars(ident) == {"sentinel": sentinel, "me": ident}
    del ident, sentinel
    gc.collect()
    assert alive() is None
