"""Equivalent-circuit classes and circuit identities of small quantum circuits."""

from .brimsel import *  # noqa: F401,F403
from .brimsel import PanicException

# Written out so that type checkers see it; a test keeps it equal to the module's list
# followed by PanicException, the exception of internal failures, which the module
# itself does not list among its classes.
__all__ = [
    "Argument",
    "Instruction",
    "Gate",
    "Instr",
    "StateVec",
    "ECC",
    "ECCs",
    "RawECCs",
    "Evaluator",
    "Circ",
    "IdentityCirc",
    "IdentityProver",
    "Proof",
    "PanicException",
]
