"""Gate-parameter expressions as Python sees them, through Gate.params_f."""
import math
import itertools

import numpy as np
import pytest

from brimsel import Gate

_phase = itertools.count(1)


def gate_with(*params):
    # Each gate needs a matrix of its own, or registration merges it with an earlier one.
    angle = next(_phase) * 1e-3 + 0.5
    return Gate("p", list(params), np.array([[1, 0], [0, np.exp(1j * angle)]]))


@pytest.mark.parametrize("text, value", [
    ("pi/3", 1.0471975511965976),
    ("-pi/3", -1.0471975511965976),
    ("pi/16", 0.19634954084936207),
    ("2^3^2", 64.0),
    ("-2^2", 4.0),
    ("2^-2", 0.25),
    ("2 - 3 - 4", -5.0),
    ("8/2/2", 2.0),
    ("2 * -3", -6.0),
    ("--1", 1.0),
    ("1.", 1.0),
    ("1" + "0" * 400, math.inf),
    (" \t\n\rpi", math.pi),
    ("sin ( pi / 2 )", 1.0),
    ("0^-1", math.inf),
    ("ln(0)", -math.inf),
    ("(1)", 1.0),
    ("(2+3)*2", 10.0),
    ("(-1)", -1.0),
    ("pi ", math.pi),
])
def test_values(text, value):
    assert gate_with(text).params_f == [value]


def test_nan():
    assert math.isnan(gate_with("sqrt(-1)").params_f[0])


@pytest.mark.parametrize("text, message", [
    ("1/0", "DivisionByZero"),
    ("1/0.0", "DivisionByZero"),
    ("0/0", "DivisionByZero"),
    ("1/-0", "DivisionByZero"),
    ("sin", "sin"),
    ("x", "x"),
    ("pi2", "pi2"),
])
def test_evaluation_errors(text, message):
    with pytest.raises(ValueError) as info:
        gate_with(text).params_f
    assert str(info.value) == message


# Trailing text after a complete expression is refused, not ignored.
@pytest.mark.parametrize("text", [
    ".5", "Pi", "", "   ", ")", "2pi", "1e5", "007", "1 +", "3 )", "1 . 5", "sqrt 2",
    "(" * 100000, "-" * 100000,
])
def test_syntax_errors(text):
    with pytest.raises(ValueError) as info:
        gate_with(text).params_f
    report = str(info.value)
    assert report.startswith(" --> 1:") or report.startswith("  --> ")
    assert "^" in report


def test_syntax_error_report_layout():
    with pytest.raises(ValueError) as info:
        gate_with("2pi").params_f
    lines = str(info.value).splitlines()
    assert lines[0] == " --> 1:2"
    assert lines[2] == "1 | 2pi"
    assert lines[3] == "  |  ^---"
    assert lines[-1].startswith("  = expected ")
