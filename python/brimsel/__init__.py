"""Equivalent-circuit classes and circuit identities of small quantum circuits."""

from . import brimsel as _ext
from .brimsel import *  # noqa: F401,F403

__all__ = list(_ext.__all__)
