"""Helpers shared by the Python tests."""
import os
import resource
import subprocess
import sys

import brimsel


def panics(message=None, prefix=False):
    """Expects the internal failure (PanicException) with this message, or one starting with it."""
    class Ctx:
        def __enter__(self):
            return self

        def __exit__(self, typ, value, tb):
            assert typ is not None, "expected an internal failure"
            assert typ is brimsel.PanicException, (typ, value)
            if message is not None:
                if prefix:
                    assert str(value).startswith(message), str(value)
                else:
                    assert str(value) == message
            return True

    return Ctx()


def stable_hash_oracle(data: bytes) -> int:
    """CPython's hash of bytes with PYTHONHASHSEED=0 is SipHash-1-3 with a zero key."""
    out = subprocess.run([sys.executable, "-c", f"print(hash({data!r}))"],
                         env={"PYTHONHASHSEED": "0"}, capture_output=True, text=True, check=True)
    return int(out.stdout)


def run_child(code, timeout=120, address_space=2 << 30):
    """Runs Python code in a child process bounded in time and, outside the sanitizer build (whose
    shadow memory needs the address space), in memory: a fault that blocks or grows without bound
    fails the test instead of stalling or exhausting the machine."""
    def limit():
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):
            resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, preexec_fn=limit)
