"""Element types sin:1, cos:1, divide:2, pow:1 and abs:1, added to _kestor's registry on import."""

# "pow:1" holds its operand at POW_BASE_MIN and above and its output at
# POW_VALUE_MAX and below.
POW_BASE_MIN: float
POW_VALUE_MAX: float
