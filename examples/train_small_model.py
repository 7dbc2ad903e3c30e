"""Train a few small symbolic models with _kestor and show what they learn.

Each model is an expression tree in prefix order: the output register at the
root, interactions in between and input registers at the leaves.  Every
`_fit` call is one epoch over the data, one sample at a time; it returns the
mean loss of the epoch and the learned parameters.
"""

import numpy as np

import _kestor

EPOCHS = 8
ROOT_IDENTITY = {"w": 1.0, "bias": 0.0}
INPUT_IDENTITY = {"w": 1.0, "bias": 0.0}


def train(title, dnames, fnames, params, loss, columns, target):
    print(f"\n== {title}")
    print("   elements:", ", ".join(f"{f}[{d}]" if d else f for d, f in zip(dnames, fnames)))
    model = _kestor.Model(dnames, fnames, params, 0, loss)
    for epoch in range(EPOCHS):
        mean_loss, learned = model._fit(columns, target)
        print(f"   epoch {epoch + 1}: mean {loss} = {mean_loss:.6f}")
    for index, (fname, values) in enumerate(zip(fnames, learned)):
        shown = {k: (round(v, 4) if isinstance(v, float) else v) for k, v in values.items() if k != "categories"}
        if "categories" in values:
            shown["categories"] = {k: round(w, 4) for k, w in values["categories"]}
        print(f"   [{index}] {fname:13s} {shown}")
    return model


def main():
    rng = np.random.default_rng(7)
    n = 20000

    x = rng.uniform(-2.0, 2.0, n)
    train("linear regression: y = 2.5 x + 1",
          ["y", "x"], ["out-linear:1", "in-linear:0"],
          [dict(ROOT_IDENTITY), dict(INPUT_IDENTITY)],
          "squared_error", {"x": x}, 2.5 * x + 1.0 + rng.normal(0, 0.05, n))

    a = rng.uniform(0.0, 1.0, n)
    b = rng.uniform(0.0, 1.0, n)
    target = np.exp(a) * b + a + rng.normal(0, 0.01, n)
    train("regression through exp, multiply and add: y = exp(a) * b + a",
          ["y", "", "", "", "a", "b", "a"],
          ["out-linear:1", "add:2", "multiply:2", "exp:1", "in-linear:0", "in-linear:0", "in-linear:0"],
          [dict(ROOT_IDENTITY), {}, {}, {}, dict(INPUT_IDENTITY), dict(INPUT_IDENTITY), dict(INPUT_IDENTITY)],
          "squared_error", {"a": a, "b": b}, target)

    u = rng.uniform(-1.0, 1.0, n)
    v = rng.uniform(-1.0, 1.0, n)
    label = (u * v > 0.1).astype(np.float64)
    train("classification through out-lr: class = (u * v > 0.1)",
          ["y", "", "u", "v"], ["out-lr:1", "multiply:2", "in-linear:0", "in-linear:0"],
          [dict(ROOT_IDENTITY), {}, dict(INPUT_IDENTITY), dict(INPUT_IDENTITY)],
          "binary_cross_entropy", {"u": u, "v": v}, label)

    _kestor.srand(7)
    colour = rng.choice(np.array(["red", "green", "blue"], dtype=object), n)
    effect = {"red": -1.0, "green": 0.5, "blue": 2.0}
    size = rng.uniform(0.0, 1.0, n)
    target = np.array([effect[c] for c in colour]) + size
    train("categorical input: y = effect(colour) + size",
          ["y", "", "colour", "size"], ["out-linear:1", "add:2", "in-cat:0", "in-linear:0"],
          [dict(ROOT_IDENTITY), {}, {}, dict(INPUT_IDENTITY)],
          "squared_error", {"colour": colour, "size": size}, target)


if __name__ == "__main__":
    main()
