"""The main job of examples/main.py: both jobs end to end, files only where asked for."""
import os
import pathlib
import subprocess
import sys

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
