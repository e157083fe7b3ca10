"""Equivalent-circuit classes and circuit identities of small quantum circuits."""

from .brimsel import *  # noqa: F401,F403

# Written out so that type checkers see it; a test keeps it equal to the module's list.
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
]
