"""The type stub of the extension module, checked against the module it describes."""
import ast
import collections.abc
import inspect
import itertools
import os
import pathlib
import re
import subprocess
import sys
import textwrap
import types
import typing

import numpy as np
import pytest

from brimsel import brimsel as ext

STUB = pathlib.Path(__file__).resolve().parents[2] / "python" / "brimsel" / "brimsel.pyi"
# Catalogued in the stub, but the module has no such class.
NOT_REGISTERED = {"OrderInfo"}
# On the module and in the stub, but not registered classes: not in __all__.
EXCEPTIONS = {"PanicException"}
COMPARISONS = {"__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__"}
ORDERINGS = {"__lt__", "__le__", "__gt__", "__ge__"}
# Slots whose presence on a class changes what Python code can do with it.
PROTOCOL = {"__new__", "__len__", "__getitem__", "__setitem__", "__iter__", "__call__",
            "__imul__", "__add__", "__str__", "__repr__", "__hash__", "__eq__"}


# ---- reading the stub ------------------------------------------------------------------------

class StubClass:
    def __init__(self, node):
        self.node = node
        self.doc = ast.get_docstring(node)
        self.methods = {}      # name -> [FunctionDef], several for overloads
        self.properties = {}   # read-only attributes
        self.attributes = {}   # read-write attributes: name -> annotation
        self.classvars = {}    # name -> annotation
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                decorators = {ast.unparse(d) for d in item.decorator_list}
                if "property" in decorators:
                    self.properties[item.name] = item
                else:
                    self.methods.setdefault(item.name, []).append(item)
            elif isinstance(item, ast.AnnAssign):
                name = item.target.id
                if ast.unparse(item.annotation).startswith("ClassVar"):
                    self.classvars[name] = item.annotation
                else:
                    self.attributes[name] = item.annotation

    def members(self):
        return set(self.methods) | set(self.properties) | set(self.attributes) | set(self.classvars)


def decorators(fn):
    return {ast.unparse(d) for d in fn.decorator_list}


def stub_params(fn):
    """Parameter names and default texts, without self/cls."""
    args = fn.args
    positional = args.posonlyargs + args.args
    if "staticmethod" not in decorators(fn):
        positional = positional[1:]
    defaults = [None] * (len(positional) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    return [(a.arg, d) for a, d in zip(positional, defaults)] + \
           [(a.arg, None if d is None else ast.unparse(d)) for a, d in zip(args.kwonlyargs, args.kw_defaults)]


TREE = ast.parse(STUB.read_text(), filename=str(STUB))
CLASSES = {n.name: StubClass(n) for n in TREE.body if isinstance(n, ast.ClassDef)}
REGISTERED = list(ext.__all__)


def stub_namespace():
    """The names the stub's annotations may use: its imports and its classes."""
    ns = {}
    for node in TREE.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            exec(compile(ast.Module([node], []), str(STUB), "exec"), ns)
    for name in CLASSES:
        ns[name] = getattr(ext, name) if name not in NOT_REGISTERED else type(name, (), {})
    return ns


NS = stub_namespace()


def declared(annotation):
    return eval(compile(ast.Expression(annotation), str(STUB), "eval"), dict(NS))


# ---- structure --------------------------------------------------------------------------------

def test_stub_lists_exactly_the_registered_classes():
    assert set(CLASSES) - NOT_REGISTERED - EXCEPTIONS == set(ext.__all__)
    all_node = next(n for n in TREE.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert ast.literal_eval(all_node.value) == ext.__all__
    for name in NOT_REGISTERED:
        assert not hasattr(ext, name)
        assert name not in ext.__all__


@pytest.mark.parametrize("name", sorted(EXCEPTIONS))
def test_stub_declares_the_exceptions_as_the_module_has_them(name):
    cls, stub = getattr(ext, name), CLASSES[name]
    assert name not in ext.__all__
    assert [ast.unparse(b) for b in stub.node.bases] == [b.__name__ for b in cls.__bases__]
    assert not stub.node.decorator_list  # Python code may subclass it
    assert stub.doc == cls.__doc__
    assert not stub.members()


def test_every_annotation_and_default_evaluates():
    # Catches names used but never imported, which a plain parse does not.
    for cname, cls in CLASSES.items():
        for fns in cls.methods.values():
            for fn in fns:
                for arg in fn.args.posonlyargs + fn.args.args + fn.args.kwonlyargs + \
                        [a for a in (fn.args.vararg, fn.args.kwarg) if a]:
                    if arg.annotation is not None:
                        declared(arg.annotation)
                for d in fn.args.defaults:
                    declared(d)
                assert fn.returns is not None, (cname, fn.name)
                declared(fn.returns)
        for fn in cls.properties.values():
            assert fn.returns is not None, (cname, fn.name)
            declared(fn.returns)
        for ann in list(cls.attributes.values()) + list(cls.classvars.values()):
            declared(ann)


@pytest.mark.parametrize("cname", REGISTERED)
def test_stub_members_exist_on_the_class(cname, samples):
    cls, stub = getattr(ext, cname), CLASSES[cname]
    for name in stub.members():
        assert name in cls.__dict__, (cname, name)
    for name, fns in stub.methods.items():
        raw = inspect.getattr_static(cls, name)
        if all("staticmethod" in decorators(f) for f in fns):
            assert isinstance(raw, staticmethod), (cname, name)
        else:
            assert not isinstance(raw, staticmethod) and callable(raw), (cname, name)
    obj = samples.by_class[cname]
    for name in stub.properties:
        assert isinstance(cls.__dict__[name], types.GetSetDescriptorType), (cname, name)
        with pytest.raises(AttributeError):
            setattr(obj, name, getattr(obj, name))
    for name in stub.attributes:
        assert isinstance(cls.__dict__[name], types.GetSetDescriptorType), (cname, name)
        setattr(obj, name, getattr(obj, name))
    for name in stub.classvars:
        assert name == "__hash__" and cls.__hash__ is None, (cname, name)


@pytest.mark.parametrize("cname", REGISTERED)
def test_every_class_member_appears_in_the_stub(cname, samples):
    cls, stub = getattr(ext, cname), CLASSES[cname]
    public = {n for n in cls.__dict__ if not n.startswith("_")}
    assert public <= stub.members(), public - stub.members()
    protocol = {n for n in cls.__dict__ if n in PROTOCOL}
    assert protocol <= stub.members(), protocol - stub.members()
    # An unhashable class must say so, or a checker takes object.__hash__.
    assert (cls.__hash__ is None) == ("__hash__" in stub.classvars)
    obj = samples.by_class[cname]
    try:
        obj < obj
        ordered = True
    except TypeError:
        ordered = False
    declared_orderings = ORDERINGS & set(stub.methods)
    assert declared_orderings == (ORDERINGS if ordered else set()), (cname, ordered)


def runtime_signature(cls, name):
    if name == "__new__":
        return inspect.signature(cls)
    return inspect.signature(getattr(cls, name))


@pytest.mark.parametrize("cname", REGISTERED)
def test_parameter_names_and_defaults_follow_the_text_signatures(cname):
    cls, stub = getattr(ext, cname), CLASSES[cname]
    for name, fns in stub.methods.items():
        if name.startswith("__") and name != "__new__":
            continue  # slot wrappers carry CPython's generic signatures
        (fn,) = fns
        if name != "__new__":
            text = getattr(cls.__dict__[name], "__text_signature__", None) or \
                getattr(getattr(cls, name), "__text_signature__", None)
            assert text, (cname, name)
            assert text.startswith("($self") != ("staticmethod" in decorators(fn)), (cname, name, text)
        sig = runtime_signature(cls, name)
        params = [p for p in sig.parameters.values() if p.name != "self"]
        mine = stub_params(fn)
        assert [n for n, _ in mine] == [p.name for p in params], (cname, name)
        for (pname, default), p in zip(mine, params):
            has_default = p.default is not inspect.Parameter.empty
            assert (default is not None) == has_default, (cname, name, pname)
            if p.default is None:
                assert default == "None", (cname, name, pname)
    assert ("__new__" in stub.methods) == bool(cls.__text_signature__), cname


@pytest.mark.parametrize("cname", REGISTERED)
def test_docstrings_match_the_module(cname):
    cls, stub = getattr(ext, cname), CLASSES[cname]
    assert stub.doc == cls.__doc__
    for name, fns in stub.methods.items():
        if name.startswith("__"):
            continue
        (fn,) = fns
        assert ast.get_docstring(fn) == getattr(cls, name).__doc__, (cname, name)
    for name, fn in stub.properties.items():
        assert ast.get_docstring(fn) == cls.__dict__[name].__doc__, (cname, name)
    for name in stub.attributes:
        assert cls.__dict__[name].__doc__ is None, (cname, name)


# ---- declared results against returned values -------------------------------------------------

def conforms(value, tp):
    """A shallow runtime reading of the stub's types, enough to tell lists, tuples and bytes apart."""
    if tp is typing.Any:
        return True
    if tp is None or tp is type(None):
        return value is None
    origin, args = typing.get_origin(tp), typing.get_args(tp)
    if origin is typing.Union:
        return any(conforms(value, a) for a in args)
    if origin is list:
        return type(value) is list and all(conforms(v, args[0]) for v in value)
    if origin is set:
        return type(value) is set and all(conforms(v, args[0]) for v in value)
    if origin is tuple:
        if type(value) is not tuple:
            return False
        if len(args) == 2 and args[1] is Ellipsis:
            return all(conforms(v, args[0]) for v in value)
        return len(value) == len(args) and all(map(conforms, value, args))
    if origin is collections.abc.Iterator:
        if not isinstance(value, collections.abc.Iterator):
            return False
        items = list(itertools.islice(value, 10_000))
        return len(items) < 10_000 and all(conforms(v, args[0]) for v in items)
    if origin is np.ndarray:
        (scalar,) = typing.get_args(args[1])
        return isinstance(value, np.ndarray) and value.dtype == scalar
    if tp is bool:
        return type(value) is bool
    if tp is int:
        return type(value) is int
    if tp is float:
        return type(value) in (int, float)
    if tp is complex:
        return type(value) in (int, float, complex)
    if isinstance(tp, type):
        return type(value) is tp
    raise AssertionError(f"no runtime reading of {tp!r}")


class Samples:
    """One instance of every class, and the values the calls below need."""


@pytest.fixture(scope="module")
def samples(tmp_path_factory):
    s = Samples()
    h, cx, t = (ext.Gate.from_name(n) for n in ("h", "cx", "t"))
    s.h = h
    s.h0, s.t0 = ext.Instr(h, [0]), ext.Instr(t, [0])
    s.cx01, s.cx10 = ext.Instr(cx, [0, 1]), ext.Instr(cx, [1, 0])
    s.state = ext.StateVec([1.0, 0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 0.0])
    s.ev = ext.Evaluator(2)
    s.raw = ext.RawECCs.generate(s.ev, [h, cx], 2)[0]
    s.eccs = s.raw.simplify()
    s.ecc = next(e for e in s.eccs.to_list() if len(e.circuits()) > 1)
    s.circ = ext.Circ([s.h0, s.h0])
    s.ident = ext.IdentityCirc(s.circ)
    s.prover = ext.IdentityProver.build_from_eccs(s.eccs)
    s.proof = ext.Proof([(s.ident, None), (s.ident, (0, 0))])
    s.dir = tmp_path_factory.mktemp("stubs")
    s.postcard = str(s.dir / "saved.postcard")
    s.eccs.dump_postcard(s.postcard)
    s.prover_postcard = str(s.dir / "prover.postcard")
    s.prover.dump_postcard(s.prover_postcard)
    s.by_class = {
        "Argument": ext.Argument("q", 0),
        "Instruction": ext.Instruction(cx, [("q", 0), ("q", 1)], [("c", 0)]),
        "Gate": h, "Instr": s.cx01, "StateVec": s.state, "ECC": s.ecc, "ECCs": s.eccs,
        "RawECCs": s.raw, "Evaluator": s.ev, "Circ": s.circ, "IdentityCirc": s.ident,
        "IdentityProver": s.prover, "Proof": s.proof,
    }
    return s


# Calls with arguments: (class, member, receiver and arguments). Members without parameters
# are called on the class's sample without being listed.
CALLS = [
    ("Gate", "from_name", lambda s: (ext.Gate, ("rz(pi/3)",))),
    ("Gate", "from_name", lambda s: (ext.Gate, ("no such gate",))),
    ("Instr", "apply_permutation", lambda s: (s.cx01, ((1, 0),))),
    ("Instr", "permut", lambda s: (s.cx01, ([1, 0],))),
    ("Instr", "pass_mask", lambda s: (s.cx01, (0,))),
    ("Instr", "pass_mask", lambda s: (s.cx10, (0,))),
    ("Instr", "disjoint", lambda s: (s.cx01, (s.h0,))),
    ("Instr", "position_of_qubit", lambda s: (s.cx10, (0,))),
    ("Instr", "position_of_qubit", lambda s: (s.cx10, (2,))),
    ("StateVec", "random", lambda s: (ext.StateVec, (2,))),
    ("StateVec", "random_symmetric", lambda s: (ext.StateVec, (3,))),
    ("StateVec", "__getitem__", lambda s: (s.state, (1,))),
    ("StateVec", "__setitem__", lambda s: (s.state, (1, 0.5j))),
    ("StateVec", "__imul__", lambda s: (s.state, (s.cx01,))),
    ("ECCs", "dump_quartz", lambda s: (s.eccs, (str(s.dir / "quartz.json"),))),
    ("ECCs", "dump_postcard", lambda s: (s.eccs, (str(s.dir / "again.postcard"),))),
    ("ECCs", "from_postcard", lambda s: (ext.ECCs, (s.postcard,))),
    ("RawECCs", "search", lambda s: (ext.RawECCs, (s.ev, [s.h0, s.cx01], 1))),
    ("RawECCs", "search_naive", lambda s: (ext.RawECCs, (s.ev, [s.h0, s.cx01], 1))),
    ("RawECCs", "generate", lambda s: (ext.RawECCs, (s.ev, [s.h], 1))),
    ("RawECCs", "generate_naive", lambda s: (ext.RawECCs, (s.ev, [s.h], 1))),
    ("RawECCs", "find_equivalents", lambda s: (s.raw, (s.ev, [s.h0]))),
    ("RawECCs", "find_equivalents", lambda s: (s.raw, (s.ev, [s.t0]))),
    ("RawECCs", "compute_next_key", lambda s: (s.raw, (s.ev, s.ev.initial_key(), s.h0))),
    ("RawECCs", "compute_next_key", lambda s: (s.raw, (s.ev, s.ev.initial_key(), s.t0))),
    ("RawECCs", "switch_evaluator", lambda s: (s.raw, (s.ev,))),
    ("RawECCs", "check_identity_subset", lambda s: (s.raw, (s.raw, s.ev))),
    ("Evaluator", "evaluate", lambda s: (s.ev, ([s.h0, s.cx10],))),
    ("Circ", "permut", lambda s: (s.circ, ((0,),))),
    ("Circ", "rotate", lambda s: (s.circ, (1,))),
    ("Circ", "__getitem__", lambda s: (s.circ, (-1,))),
    ("Circ", "__add__", lambda s: (s.circ, (s.circ,))),
    ("IdentityCirc", "from_python", lambda s: (ext.IdentityCirc, (s.ident.pythonize(),))),
    ("IdentityCirc", "qargs_forward", lambda s: (s.ident, (0,))),
    ("IdentityCirc", "qargs_backward", lambda s: (s.ident, (1,))),
    ("IdentityCirc", "__getitem__", lambda s: (s.ident, (0,))),
    ("IdentityProver", "build_from_eccs", lambda s: (ext.IdentityProver, (s.eccs,))),
    ("IdentityProver", "par_apply_rules", lambda s: (s.prover, (s.ident, 2))),
    ("IdentityProver", "add_identity", lambda s: (s.prover, (s.ident, 1, 100))),
    ("IdentityProver", "add_identity_search", lambda s: (s.prover, (s.ident, 1, 100))),
    ("IdentityProver", "prove_identity", lambda s: (s.prover, (s.ident, 1, 100))),
    ("IdentityProver", "prove_identity", lambda s: (s.prover, (ext.IdentityCirc(ext.Circ([])), 1, 100))),
    ("IdentityProver", "prove_identity_with_visited", lambda s: (s.prover, (s.ident, 1, 100))),
    ("IdentityProver", "export_proof", lambda s: (s.prover, (s.ident, 1, 100))),
    ("IdentityProver", "export_proof", lambda s: (s.prover, (ext.IdentityCirc(ext.Circ([])), 1, 100))),
    ("IdentityProver", "dump_postcard", lambda s: (s.prover, (str(s.dir / "again.prover"),))),
    ("IdentityProver", "from_postcard", lambda s: (ext.IdentityProver, (s.prover_postcard,))),
]
# Checked on their own: comparisons above, the constructors by the signature test, and the
# overloads of Gate.__call__ below.
NOT_CALLED = COMPARISONS | {"__new__", "__call__"}


def parameterless():
    for cname in REGISTERED:
        stub = CLASSES[cname]
        for name, fns in stub.methods.items():
            if name not in NOT_CALLED and len(fns) == 1 and not stub_params(fns[0]):
                yield cname, name, fns[0].returns
        for name, fn in stub.properties.items():
            yield cname, name, None
        for name in stub.attributes:
            yield cname, name, None


def declared_result(cname, name):
    stub = CLASSES[cname]
    if name in stub.properties:
        return declared(stub.properties[name].returns)
    if name in stub.attributes:
        return declared(stub.attributes[name])
    (fn,) = stub.methods[name]
    return declared(fn.returns)


def test_every_stub_method_is_called_below():
    called = {(c, n) for c, n, _ in CALLS} | {(c, n) for c, n, _ in parameterless()}
    for cname in REGISTERED:
        for name in CLASSES[cname].methods:
            if name not in NOT_CALLED:
                assert (cname, name) in called, (cname, name)


@pytest.mark.parametrize("cname,name,make", CALLS, ids=[f"{c}.{n}" for c, n, _ in CALLS])
def test_declared_result_of_a_call(cname, name, make, samples):
    receiver, args = make(samples)
    result = getattr(receiver, name)(*args)
    assert conforms(result, declared_result(cname, name)), (result, declared_result(cname, name))


@pytest.mark.parametrize("cname,name", [(c, n) for c, n, _ in parameterless()],
                         ids=[f"{c}.{n}" for c, n, _ in parameterless()])
def test_declared_result_without_arguments(cname, name, samples):
    obj = samples.by_class[cname]
    value = getattr(obj, name)
    stub = CLASSES[cname]
    if name in stub.methods:
        value = value()
    assert conforms(value, declared_result(cname, name)), (value, declared_result(cname, name))


def test_gate_call_overloads_name_the_results(samples):
    (on_ints, on_arguments) = CLASSES["Gate"].methods["__call__"]
    assert "overload" in decorators(on_ints) and "overload" in decorators(on_arguments)
    cx = ext.Gate.from_name("cx")
    cases = [
        (on_ints, (0, 1)),
        (on_arguments, (ext.Argument("q", 0), ext.Argument("q", 1), ext.Argument("c", 0))),
    ]
    for fn, args in cases:
        assert all(conforms(a, declared(fn.args.vararg.annotation)) for a in args)
        assert conforms(cx(*args), declared(fn.returns))


# ---- a real type checker, where one is installed ------------------------------------------------

def mypy_command(module="mypy"):
    """The command that runs mypy (or one of its modules); skips where none is installed, and
    fails in CI, whose set-up installs it."""
    for python in (sys.executable, "/usr/bin/python3"):
        try:
            probe = subprocess.run([python, "-m", "mypy", "--version"], capture_output=True)
        except OSError:
            continue
        if probe.returncode == 0:
            return [python, "-m", module]
    if os.environ.get("CI"):
        pytest.fail("mypy is not installed: tools/setup.sh installs python3-mypy")
    pytest.skip("mypy is not installed")


def test_mypy_accepts_the_stub_and_its_use(tmp_path):
    command = mypy_command()
    use = tmp_path / "use.py"
    use.write_text(textwrap.dedent("""
        from brimsel.brimsel import Circ, Gate, Instr, Instruction, Argument, StateVec
        h = Gate.from_name("h")
        assert h is not None
        i: Instr = h(0)
        named: Instruction = h(Argument("q", 0))
        c = Circ([i, i])
        p: tuple[int, ...] = c.perm
        c2 = c.permut(p) + c
        s = StateVec.random(1)
        s *= i
        n: int = s.nqubits() + len(c2)
        for instr in c2:
            q: bytes = instr.qargs
        import brimsel
        try:
            c[0]
        except brimsel.PanicException as e:  # named through the package
            failure: BaseException = e
    """))
    env = {"MYPYPATH": str(STUB.parent.parent), "PATH": "/usr/bin:/bin"}
    out = subprocess.run(command + ["--no-incremental", "--cache-dir=/dev/null", str(STUB), str(use)],
                         capture_output=True, text=True, cwd=tmp_path, env=env)
    assert out.returncode == 0, out.stdout + out.stderr


def test_stubtest_reports_only_the_allowlisted_entries(tmp_path):
    # The stub of the source tree against the module that the tests import.
    command = mypy_command("mypy.stubtest")
    allowlist = pathlib.Path(__file__).with_name("stubtest-allowlist.txt")
    env = dict(os.environ, MYPYPATH=str(STUB.parent.parent))
    out = subprocess.run(command + ["brimsel", "--allowlist", str(allowlist)],
                         capture_output=True, text=True, cwd=tmp_path, env=env)
    # An allowlist entry that is no longer needed is reported too.
    assert out.returncode == 0, out.stdout + out.stderr


README = STUB.parents[2] / "README.md"


def test_readme_examples_type_check_and_run(tmp_path):
    blocks = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.M | re.S)
    assert len(blocks) >= 2
    files = []
    for i, block in enumerate(blocks):
        files.append(tmp_path / f"example_{i}.py")
        files[-1].write_text(block)
    command = mypy_command()
    env = {"MYPYPATH": str(STUB.parent.parent), "PATH": "/usr/bin:/bin"}
    out = subprocess.run(command + ["--no-incremental", "--cache-dir=/dev/null"] + [str(f) for f in files],
                         capture_output=True, text=True, cwd=tmp_path, env=env)
    assert out.returncode == 0, out.stdout + out.stderr
    for f in files:  # in the temporary directory, where they write their files
        ran = subprocess.run([sys.executable, str(f)], capture_output=True, text=True, cwd=tmp_path)
        assert ran.returncode == 0, (f.name, ran.stdout, ran.stderr)
