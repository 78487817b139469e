"""Exact reference for reading a data field as a 32-bit float.

A slow, plain implementation of the field grammar and of correct rounding,
kept independent of the module so that tests can compare results bit for bit.
The value of a decimal number is kept exactly, as an integer numerator and
denominator, and rounded once to binary32 (half to even). The result is a
Python float equal to the binary32 value, or the name of the failure: "Empty"
or "Invalid".
"""

from __future__ import annotations

import math
import re

# What follows the sign: integer digits, optional point and fraction digits,
# optional exponent. At least one mantissa digit is checked separately.
_NUMBER = re.compile(r"([0-9]*)(?:\.([0-9]*))?(?:[eE]([+-]?)([0-9]+))?")

_EXPONENT_DIGIT_LIMIT = 65536

# Largest finite binary32 is (2^24 - 1) * 2^104; the midpoint between it and
# 2^128 rounds (to even) up to infinity. Half the smallest subnormal, 2^-150,
# rounds (to even) down to zero.
_OVERFLOW_THRESHOLD = 2**128 - 2**103


def _digits_to_int(digits: str) -> int:
    """int(digits) without the interpreter's limit on long digit strings."""
    value = 0
    for start in range(0, len(digits), 1000):
        chunk = digits[start : start + 1000]
        value = value * 10 ** len(chunk) + int(chunk)
    return value


def _exponent_value(digits: str) -> int:
    """Digits are taken into the value only while it is below 65536."""
    value = 0
    for digit in digits:
        if value < _EXPONENT_DIGIT_LIMIT:
            value = value * 10 + int(digit)
    return value


def round_to_binary32(numerator: int, denominator: int) -> float:
    """Round numerator / denominator (both > 0) to the nearest binary32, ties to even.

    The rational is kept as two integers rather than a reduced Fraction so that
    values with millions of digits stay cheap: nothing here needs a gcd.
    """
    if numerator >= _OVERFLOW_THRESHOLD * denominator:
        return math.inf
    if numerator << 150 <= denominator:
        return 0.0
    # exponent = floor(log2(numerator / denominator))
    exponent = numerator.bit_length() - denominator.bit_length()
    if not _at_least_power_of_two(numerator, denominator, exponent):
        exponent -= 1
    # Weight of the last significand bit: 24 bits for normals, fixed for subnormals.
    ulp_exponent = max(exponent - 23, -149)
    if ulp_exponent >= 0:
        significand, remainder = divmod(numerator, denominator << ulp_exponent)
        unit = denominator << ulp_exponent
    else:
        significand, remainder = divmod(numerator << -ulp_exponent, denominator)
        unit = denominator
    # remainder / unit is the dropped fraction of one last-bit unit.
    if 2 * remainder > unit or (2 * remainder == unit and significand % 2 == 1):
        significand += 1
    return math.ldexp(significand, ulp_exponent)


def _at_least_power_of_two(numerator: int, denominator: int, exponent: int) -> bool:
    """Whether numerator / denominator >= 2^exponent."""
    if exponent >= 0:
        return numerator >= denominator << exponent
    return numerator << -exponent >= denominator


def _decimal_value(integer: str, fraction: str, exponent: int) -> float:
    digits = (integer + fraction).lstrip("0")
    if not digits:
        return 0.0
    scale = exponent - len(fraction)
    # Shortcut for values far outside the float range, where the exact
    # power of ten would only be slow: digits * 10^scale lies in
    # [10^(len + scale - 1), 10^(len + scale)).
    magnitude = len(digits) + scale
    if magnitude > 40:
        return math.inf
    if magnitude < -50:
        return 0.0
    if scale >= 0:
        return round_to_binary32(_digits_to_int(digits) * 10**scale, 1)
    return round_to_binary32(_digits_to_int(digits), 10**-scale)


def parse_float32_reference(text: str) -> float | str:
    """The binary32 value of a field as a Python float, or "Empty"/"Invalid"."""
    if text == "":
        return "Empty"
    sign = 1.0
    rest = text
    if rest[0] in "+-":
        sign = -1.0 if rest[0] == "-" else 1.0
        rest = rest[1:]
    if rest == "":
        return "Invalid"

    match = _NUMBER.fullmatch(rest)
    if match is not None:
        integer, fraction, exponent_sign, exponent_digits = match.groups(default="")
        if integer == "" and fraction == "":
            return "Invalid"
        exponent = _exponent_value(exponent_digits)
        if exponent_sign == "-":
            exponent = -exponent
        return math.copysign(_decimal_value(integer, fraction, exponent), sign)

    if rest.isascii() and rest.lower() in ("inf", "infinity"):
        return math.copysign(math.inf, sign)
    if rest.isascii() and rest.lower() == "nan":
        return math.copysign(math.nan, sign)
    return "Invalid"
