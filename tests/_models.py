"""Valid models shared by the tests, as (dnames, fnames) pairs.

They read the columns "x", "x2" (numeric) and "c" (categorical), and every
interaction type appears in at least one of them.
"""

MODELS = {
    "pair": (["y", "x"], ["out-linear:1", "in-linear:0"]),
    "logistic": (["y", "", "x"], ["out-lr:1", "linear:1", "in-linear:0"]),
    "mixed": (
        ["y", "", "", "x", "c", "", "x2"],
        ["out-linear:1", "add:2", "multiply:2", "in-linear:0", "in-cat:0", "gaussian:1", "in-linear:0"],
    ),
    "unary": (
        ["y", "", "", "", "", "", "", "", "x", "c"],
        ["out-linear:1", "exp:1", "log:1", "inverse:1", "sqrt:1", "squared:1", "tanh:1", "gaussian:2",
         "in-linear:0", "in-cat:0"],
    ),
}
