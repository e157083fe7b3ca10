"""The main job of examples/main.py: both jobs end to end, files only where asked for, and bad
arguments refused before anything runs."""
import os
import pathlib
import subprocess
import sys

import pytest

MAIN = pathlib.Path(__file__).resolve().parents[2] / "examples" / "main.py"


def run_main(tmp_path, *args):
    scratch = tmp_path / "tmp"
    scratch.mkdir(exist_ok=True)
    env = dict(os.environ, TMPDIR=str(scratch))
    run = subprocess.run([sys.executable, str(MAIN), *args], cwd=tmp_path, env=env,
                         capture_output=True, text=True)
    return run, scratch


def test_default_run_proves_and_leaves_nothing_behind(tmp_path):
    run, scratch = run_main(tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
    out = run.stdout
    assert "gates h, t, cx on 3 qubits, up to 3 instructions" in out
    assert "read back equal" in out
    assert "proof of " in out and " <- ASSUME" in out
    assert "read back with the same assumptions and the same answer" in out
    assert "Building identity prover from " in run.stderr
    assert list(scratch.iterdir()) == []
    assert sorted(p.name for p in tmp_path.iterdir()) == ["tmp"]


def test_arguments_and_output_folder(tmp_path):
    run, _ = run_main(tmp_path, "--gates", "h,s,cx", "--qubits", "2", "--size", "3", "kept")
    assert run.returncode == 0, run.stdout + run.stderr
    assert "gates h, s, cx on 2 qubits, up to 3 instructions" in run.stdout
    assert sorted(p.name for p in (tmp_path / "kept").iterdir()) == ["eccs.json", "eccs.postcard", "prover.postcard"]


BUILT_IN_GATES = ["i", "h", "x", "z", "y", "s", "sdg", "t", "tdg", "cx", "cz", "cy", "cs", "csdg", "swap",
                  "t1/2", "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)", "rz(-pi/5)", "rz(pi/16)", "rz(-pi/16)"]
UNKNOWN = "; known gates: " + ", ".join(BUILT_IN_GATES)

# (arguments, the error after "main.py: error: "); the folder holds the regular file "afile" and
# "dangling", a symbolic link to nothing.
REFUSED = [
    pytest.param(["--qubits", "0"], "argument --qubits: must be 1 to 5, not 0", id="qubits-0"),
    pytest.param(["--qubits", "6"], "argument --qubits: must be 1 to 5, not 6", id="qubits-6"),
    pytest.param(["--qubits", "-1"], "argument --qubits: must be 1 to 5, not -1", id="qubits-negative"),
    pytest.param(["--size", "-1"], "argument --size: must be at least 0, not -1", id="size-negative"),
    pytest.param(["--gates", ""], "argument --gates: expected at least one gate name", id="gates-empty"),
    pytest.param(["--gates", " , "], "argument --gates: expected at least one gate name", id="gates-commas"),
    pytest.param(["--gates", "h,nosuch"], "argument --gates: unknown gate 'nosuch'" + UNKNOWN, id="gate-unknown"),
    pytest.param(["--gates", "rz"], "argument --gates: unknown gate 'rz'" + UNKNOWN, id="gate-without-parameter"),
    pytest.param(["--gates", "H"], "argument --gates: unknown gate 'H'" + UNKNOWN, id="gate-upper-case"),
    pytest.param(["--qubits", "1", "--gates", "h,cx"], "argument --gates: cx acts on 2 qubits, more than --qubits 1",
                 id="gate-wider-than-qubits"),
    pytest.param(["--qubits", "1", "--gates", "swap", "--size", "0"],
                 "argument --gates: swap acts on 2 qubits, more than --qubits 1", id="swap-on-one-qubit"),
    pytest.param(["afile"], "argument outdir: 'afile' exists and is not a folder", id="outdir-file"),
    pytest.param(["dangling"], "argument outdir: 'dangling' exists and is not a folder", id="outdir-dangling-link"),
    pytest.param(["afile/sub"], "argument outdir: 'afile/sub' lies under '{tmp}/afile', which is not a folder",
                 id="outdir-under-file"),
]


@pytest.mark.parametrize("args,message", REFUSED)
def test_bad_arguments_are_refused_before_anything_runs(tmp_path, args, message):
    (tmp_path / "afile").write_text("kept as it is")
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
    run, scratch = run_main(tmp_path, *args)
    assert run.returncode == 2, run.stdout + run.stderr
    usage, error = run.stderr.splitlines()[0], run.stderr.splitlines()[-1]
    assert usage.startswith("usage: main.py ")
    assert error == "main.py: error: " + message.format(tmp=tmp_path)
    assert run.stdout == ""
    assert list(scratch.iterdir()) == []
    assert sorted(p.name for p in tmp_path.iterdir()) == ["afile", "dangling", "tmp"]
    assert (tmp_path / "afile").read_text() == "kept as it is"


# Arguments at the edges of what is accepted; "kept" exists beforehand where it is named.
ACCEPTED = [
    pytest.param(["--qubits", "1", "--gates", "h,t", "--size", "0"], "gates h, t on 1 qubits, up to 0 instructions",
                 id="one-qubit-size-0"),
    pytest.param(["--qubits", "5", "--gates", " rz(pi/3) ,cx,", "--size", "1"],
                 "gates rz(pi/3), cx on 5 qubits, up to 1 instructions", id="five-qubits-rotation"),
    pytest.param(["--qubits", "2", "--gates", "cx", "--size", "2", "kept"],
                 "gates cx on 2 qubits, up to 2 instructions", id="existing-folder"),
]


@pytest.mark.parametrize("args,line", ACCEPTED)
def test_arguments_at_the_edges_run(tmp_path, args, line):
    (tmp_path / "kept").mkdir()
    run, scratch = run_main(tmp_path, *args)
    assert run.returncode == 0, run.stdout + run.stderr
    assert line in run.stdout.splitlines()
    assert list(scratch.iterdir()) == []
    kept = sorted(p.name for p in (tmp_path / "kept").iterdir())
    assert kept == (["eccs.json", "eccs.postcard", "prover.postcard"] if "kept" in args else [])
