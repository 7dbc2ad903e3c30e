"""Find formulas with vant.search: a regression and a classification on data
generated from known rules with noise, scored on held-out rows."""

import time

import numpy as np

import vant


def show(title, models):
    print(f"\n== {title}")
    for found in models[:3]:
        print(f"   size {found.size:2d}  held-out loss {found.loss:.5f}  {found.metrics}  {found.expression}")


def main():
    rng = np.random.default_rng(3)
    n = 3000
    x, z, u = rng.uniform(-2, 2, n), rng.uniform(-2, 2, n), rng.uniform(-2, 2, n)

    data = {"x": x, "z": z, "u": u, "y": 3 * np.exp(-x**2) + 0.5 * z + rng.normal(0, 0.05, n)}
    t0 = time.perf_counter()
    models = vant.search(data, "y", seed=1, rounds=8)
    show(f"regression: y = 3 exp(-x^2) + 0.5 z + noise, u unused ({time.perf_counter() - t0:.1f} s)", models)

    label = (x * z + rng.normal(0, 0.05, n) > 0.1).astype(float)
    data = {"x": x, "z": z, "u": u, "label": label}
    t0 = time.perf_counter()
    models = vant.search(data, "label", kind="classification", seed=1, rounds=6)
    show(f"classification: label = (x z > 0.1) ({time.perf_counter() - t0:.1f} s)", models)
    best = models[0]
    print("   P(label=1) at (x, z) = (1, 1) and (1, -1):",
          np.round(best.predict({"x": np.array([1.0, 1.0]), "z": np.array([1.0, -1.0]),
                                 "u": np.zeros(2)}), 4))


if __name__ == "__main__":
    main()
