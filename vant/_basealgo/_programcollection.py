"""A learnable distribution over small programs.

`ProgramCollection` samples programs (see `vant._program`) from a distribution over
structures and interaction types.  The distribution is a table of
preferences: for every parent type, how much each child choice (an
interaction type, or an input leaf) is wanted, together with a preference
for each input column.  `update` moves the table toward the programs that
scored best, `decay` moves it back toward the starting table and the input
priors, and `update_priors` sets how strongly each input is wanted.

`_kestor.KCell` owns one instance and forwards its four public methods to it
unchanged, with positional arguments only.
"""

from __future__ import annotations

import math
from collections.abc import Mapping

import numpy as np

from .._elements import ARITY, CATALOGUE, INPUT_TYPES, INTERACTION_TYPES, OUTPUT_TYPES
from .._program import (
    DEFAULT_MAX_ELEMENTS, LEAF, MAX_ELEMENTS, Node, allowed_child as _allowed, canonical, function_key,
    is_redundant as _is_redundant, to_lists, to_tree,
)

CHOICES = INTERACTION_TYPES + (LEAF,)

# Starting preference of each child choice, whatever the parent: sums,
# products and the bell shape are the workhorses, the rest are tried less.
BASE_PREFERENCE = {**{name: CATALOGUE[name].preference for name in INTERACTION_TYPES}, LEAF: 2.5}

# Each level of depth scales the preference for anything but a leaf by this
# factor, which keeps most sampled programs small.
DEPTH_FACTOR = 0.55


def _as_generator(seed) -> np.random.Generator:
    if isinstance(seed, np.random.Generator):
        return seed
    return np.random.default_rng(seed)


# ---------------------------------------------------------------------------


class ProgramCollection:
    """Samples programs and learns which structures and inputs score well.

    All methods take positional arguments only when called through
    `_kestor.KCell`; the documented defaults apply when arguments are left off.
    """

    def __init__(self) -> None:
        self._base = {parent: self._base_row(parent) for parent in OUTPUT_TYPES + INTERACTION_TYPES}
        self._table = {parent: dict(row) for parent, row in self._base.items()}
        self._priors: dict[str, float] = {}
        self._inputs: dict[str, float] = {}
        self._seen: set[str] = set()

    @staticmethod
    def _base_row(parent: str) -> dict[str, float]:
        row = {c: BASE_PREFERENCE[c] if _allowed(parent, c) else 0.0 for c in CHOICES}
        total = sum(row.values())
        return {c: v / total for c, v in row.items()}

    # -- public interface -------------------------------------------------

    def generate_programs(self, count, target, output_type, inputs, seed=None,
                          max_elements=DEFAULT_MAX_ELEMENTS, parents=()):
        """Sample up to `count` distinct programs that were not scored before.

        Arguments:
          count: number of programs wanted (int >= 0).
          target: data name of the root, the column of expected values.
          output_type: "out-linear:1" (regression) or "out-lr:1" (binary
            classification); the root's type.
          inputs: mapping of input column name to its register type,
            "in-linear:0" for numeric and "in-cat:0" for categorical columns.
            Inputs whose prior is 0 (see `update_priors`) are never used.
          seed: an int, None, or a numpy Generator that supplies the
            randomness; the same seed and the same history of calls give the
            same programs.
          max_elements: largest program size, 2 to 32 (default 12).
          parents: optional sequence of programs (dnames, fnames), best first;
            about half of the programs are then variations of them (a new
            term added to or multiplied with the whole expression, a subtree
            sampled anew, an element or input swapped, a function wrapped
            around a subtree, an element removed, or a binary element
            reduced to a unary one).

        Returns a list of (dnames, fnames) pairs of lists of str, in canonical
        form (operands of sums and products in a fixed order).  Programs given
        to `update` before are not generated again, so fewer than `count`
        programs come back once the small programs are exhausted.
        """
        count = int(count)
        if count < 0:
            raise ValueError("count must not be negative")
        if output_type not in OUTPUT_TYPES:
            raise ValueError(f"output_type must be one of {OUTPUT_TYPES}, not {output_type!r}")
        if not isinstance(target, str) or not target:
            raise ValueError("target must be a non-empty column name")
        max_elements = int(max_elements)
        if not 2 <= max_elements <= MAX_ELEMENTS:
            raise ValueError(f"max_elements must lie between 2 and {MAX_ELEMENTS}")
        kinds = self._register_inputs(inputs)
        names = [name for name in kinds if self._priors[name] > 0.0]
        if not names:
            raise ValueError("no input with a positive prior to build programs from")
        rng = _as_generator(seed)
        parent_trees = [to_tree(d, f) for d, f in parents]
        for tree in parent_trees:
            if tree.ftype != output_type or tree.dname != target:
                raise ValueError("parents must have the requested output register and target")

        sampler = _Sampler(self._table, self._inputs, names, kinds, rng)
        produced: list[tuple[list[str], list[str]]] = []
        keys: set[str] = set()
        attempts = 0
        while len(produced) < count and attempts < 30 * count + 30:
            attempts += 1
            if parent_trees and rng.random() < 0.5:
                weights = 1.0 / np.arange(1, len(parent_trees) + 1)
                parent = parent_trees[rng.choice(len(parent_trees), p=weights / weights.sum())]
                tree = sampler.mutate(parent, max_elements)
            else:
                tree = Node(output_type, target, [sampler.subtree(output_type, max_elements - 1, 1)])
            if tree is None or tree.size() > max_elements or _is_redundant(tree):
                continue
            key = function_key(canonical(tree))
            if key in keys or key in self._seen:
                continue
            keys.add(key)
            produced.append(to_lists(tree))
        return produced

    def update(self, programs, scores, rate=0.3, elite_fraction=0.25):
        """Shift the distribution toward the programs with the lowest scores.

        Arguments:
          programs: sequence of (dnames, fnames) programs that were scored.
          scores: one score per program, lower is better (for example a
            held-out loss plus a size penalty); NaN or infinite scores count
            as failures and never join the best.
          rate: how far to move, 0 (not at all) to 1 (all the way to the
            frequencies seen in the best programs).
          elite_fraction: the share of programs, best first, whose structure
            and inputs are learned from (at least one).

        Every program passed here is remembered and not generated again.
        Returns the number of programs learned from.
        """
        programs = list(programs)
        scores = [float(v) for v in scores]
        if len(programs) != len(scores):
            raise ValueError("programs and scores have different lengths")
        rate = float(rate)
        if not 0.0 <= rate <= 1.0:
            raise ValueError("rate must lie between 0 and 1")
        trees = [to_tree(d, f) for d, f in programs]
        for tree in trees:
            self._seen.add(function_key(tree))
        scored = [(score, i) for i, score in enumerate(scores) if math.isfinite(score)]
        if not scored or rate == 0.0:
            return 0
        scored.sort()
        n_elite = max(1, int(math.ceil(float(elite_fraction) * len(scored))))
        elite = [trees[i] for _score, i in scored[:n_elite]]

        counts: dict[str, dict[str, float]] = {}
        input_counts: dict[str, float] = {}
        for tree in elite:
            for node, parent, _depth in tree.walk():
                if parent is None:
                    continue
                choice = LEAF if node.ftype in INPUT_TYPES else node.ftype
                row = counts.setdefault(parent.ftype, {})
                row[choice] = row.get(choice, 0.0) + 1.0
                if choice == LEAF:
                    input_counts[node.dname] = input_counts.get(node.dname, 0.0) + 1.0

        for parent, row_counts in counts.items():
            if parent not in self._table:
                continue
            frequencies = self._smoothed(row_counts, self._base[parent])
            row = self._table[parent]
            for choice in row:
                row[choice] = (1.0 - rate) * row[choice] + rate * frequencies[choice]

        known = {name: self._priors[name] for name in self._inputs if self._priors[name] > 0.0}
        if input_counts and known:
            frequencies = self._smoothed(input_counts, self._normalised_priors(known))
            for name in known:
                self._inputs[name] = (1.0 - rate) * self._inputs[name] + rate * frequencies.get(name, 0.0)
        return n_elite

    def update_priors(self, priors):
        """Set how strongly each input is preferred.

        Arguments:
          priors: mapping of input name to a finite weight >= 0; 0 excludes the
            input from new programs, larger weights make it more likely.
            Inputs not named keep their prior (1.0 for inputs never named).

        The learned input preferences restart from the priors.  Returns None.
        """
        if not isinstance(priors, Mapping):
            raise TypeError("priors must be a mapping of input name to weight")
        checked = {}
        for name, weight in priors.items():
            weight = float(weight)
            if not math.isfinite(weight) or weight < 0.0:
                raise ValueError(f"prior of {name!r} must be finite and not negative")
            checked[str(name)] = weight
        self._priors.update(checked)
        for name in checked:
            self._inputs.setdefault(name, 0.0)
        normalised = self._normalised_priors(self._priors)
        self._inputs = {name: normalised[name] for name in self._inputs}

    def decay(self, rate=0.1):
        """Move the learned preferences back toward the starting ones.

        Arguments:
          rate: 0 (no change) to 1 (forget everything learned): the structure
            table and the input preferences move this share of the way back
            to the starting table and the normalised priors.

        Returns None.
        """
        rate = float(rate)
        if not 0.0 <= rate <= 1.0:
            raise ValueError("rate must lie between 0 and 1")
        for parent, row in self._table.items():
            base = self._base[parent]
            for choice in row:
                row[choice] = (1.0 - rate) * row[choice] + rate * base[choice]
        if self._inputs:
            normalised = self._normalised_priors(self._priors)
            for name in self._inputs:
                self._inputs[name] = (1.0 - rate) * self._inputs[name] + rate * normalised[name]

    # -- read access ----------------------------------------------------------

    def preferences(self) -> dict:
        """A copy of the learned table: {"structure": {parent: {choice: p}}, "inputs": {name: p}}."""
        return {
            "structure": {parent: dict(row) for parent, row in self._table.items()},
            "inputs": dict(self._inputs),
        }

    # -- helpers ----------------------------------------------------------------

    def _register_inputs(self, inputs) -> dict[str, str]:
        if isinstance(inputs, Mapping):
            items = list(inputs.items())
        else:
            items = [tuple(item) for item in inputs]
        kinds: dict[str, str] = {}
        for name, kind in items:
            if not isinstance(name, str) or not name:
                raise ValueError("input names must be non-empty strings")
            if kind not in INPUT_TYPES:
                raise ValueError(f"input {name!r} must be of type {INPUT_TYPES}, not {kind!r}")
            kinds[name] = kind
        fresh = [name for name in kinds if name not in self._inputs]
        for name in fresh:
            self._priors.setdefault(name, 1.0)
        if fresh:
            # A newcomer joins with its prior's share, the others keep theirs.
            normalised = self._normalised_priors({n: self._priors[n] for n in list(self._inputs) + fresh})
            for name in fresh:
                self._inputs[name] = normalised[name]
        return kinds

    @staticmethod
    def _normalised_priors(priors: Mapping[str, float]) -> dict[str, float]:
        total = sum(priors.values())
        if total <= 0.0:
            return {name: 0.0 for name in priors}
        return {name: weight / total for name, weight in priors.items()}

    @staticmethod
    def _smoothed(counts: Mapping[str, float], base: Mapping[str, float]) -> dict[str, float]:
        """Observed frequencies with one pseudo-count spread like `base`."""
        total = sum(counts.values()) + 1.0
        return {c: (counts.get(c, 0.0) + base.get(c, 0.0)) / total for c in base}


class _Sampler:
    """Draws trees from one snapshot of the collection's table."""

    def __init__(self, table, input_weights, names, kinds, rng):
        self.table = table
        self.names = names
        self.kinds = kinds
        self.rng = rng
        weights = np.array([max(input_weights.get(n, 0.0), 0.0) for n in names])
        if weights.sum() <= 0.0:
            weights = np.ones(len(names))
        self.input_p = weights / weights.sum()

    def leaf(self) -> Node:
        name = self.names[self.rng.choice(len(self.names), p=self.input_p)]
        return Node(self.kinds[name], name)

    def subtree(self, parent: str, budget: int, depth: int) -> Node:
        """A subtree of at most `budget` elements below an element of type `parent`."""
        row = self.table[parent]
        choices, weights = [], []
        for choice in CHOICES:
            if choice != LEAF and ARITY[choice] + 1 > budget:
                continue
            weight = row[choice] * (1.0 if choice == LEAF else DEPTH_FACTOR ** depth)
            if weight > 0.0:
                choices.append(choice)
                weights.append(weight)
        if not choices:
            return self.leaf()
        p = np.array(weights) / sum(weights)
        choice = choices[self.rng.choice(len(choices), p=p)]
        if choice == LEAF:
            return self.leaf()
        node = Node(choice)
        if ARITY[choice] == 1:
            node.children.append(self.subtree(choice, budget - 1, depth + 1))
        else:
            first = self.subtree(choice, budget - 2, depth + 1)
            second = self.subtree(choice, budget - 1 - first.size(), depth + 1)
            node.children.extend((first, second))
        return node

    def mutate(self, tree: Node, max_elements: int) -> Node | None:
        tree = tree.copy()
        spots = [(node, parent, depth) for node, parent, depth in tree.walk() if parent is not None]
        node, parent, depth = spots[self.rng.integers(len(spots))]
        spare = max_elements - tree.size()
        operation = self.rng.choice(["extend", "resample", "swap", "wrap", "hoist", "collapse"],
                                    p=[0.25, 0.25, 0.2, 0.1, 0.1, 0.1])
        if operation == "extend":
            # A new term beside (or factor of) the whole expression: the usual
            # way a formula that is partly right becomes right.
            node, parent, depth = spots[0]
        position = next(i for i, child in enumerate(parent.children) if child is node)
        replacement: Node | None
        if operation == "extend":
            if spare < 2:
                return None
            combiner = "add:2" if self.rng.random() < 0.7 else "multiply:2"
            term = self.subtree(combiner, min(spare - 1, 4), 2)
            replacement = Node(combiner, "", [node, term])
        elif operation == "resample":
            replacement = self.subtree(parent.ftype, node.size() + spare, depth)
        elif operation == "swap":
            replacement = self._swap(node)
        elif operation == "wrap":
            replacement = self._wrap(parent.ftype, node, spare, depth)
        elif operation == "hoist":
            if not node.children:
                return None
            replacement = node.children[self.rng.integers(len(node.children))]
        else:
            replacement = self._collapse(node)
        if replacement is None:
            return None
        parent.children[position] = replacement
        return tree

    def _swap(self, node: Node) -> Node | None:
        if not node.children:
            leaf = self.leaf()
            return leaf if leaf.dname != node.dname else None
        same = [t for t in INTERACTION_TYPES if ARITY[t] == ARITY[node.ftype] and t != node.ftype]
        return Node(same[self.rng.integers(len(same))], "", node.children)

    def _collapse(self, node: Node) -> Node | None:
        """A binary element becomes a unary one over one of its operands
        (gaussian:2 keeps its family and becomes gaussian:1)."""
        if ARITY[node.ftype] != 2:
            return None
        kept = node.children[self.rng.integers(2)]
        if node.ftype == "gaussian:2":
            return Node("gaussian:1", "", [kept])
        unary = [t for t in INTERACTION_TYPES if ARITY[t] == 1 and t != "linear:1"]
        return Node(unary[self.rng.integers(len(unary))], "", [kept])

    def _wrap(self, parent: str, node: Node, spare: int, depth: int) -> Node | None:
        if spare < 1:
            return None
        row = self.table[parent]
        options = [t for t in INTERACTION_TYPES if row[t] > 0.0 and (ARITY[t] == 1 or spare >= 2)]
        weights = np.array([row[t] for t in options])
        wrapper = options[self.rng.choice(len(options), p=weights / weights.sum())]
        if ARITY[wrapper] == 1:
            return Node(wrapper, "", [node])
        return Node(wrapper, "", [node, self.subtree(wrapper, spare - 1, depth + 1)])
