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

import bisect
import itertools
import math
import operator
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, NamedTuple

import numpy as np

from .._elements import ARITY, CATALOGUE, DEFAULT_OPERATORS, INPUT_TYPES, INTERACTION_TYPES, OUTPUT_TYPES
from .._program import (
    DEFAULT_MAX_ELEMENTS, LEAF, MAX_ELEMENTS, Node, allowed_child as _allowed, canonical, function_key,
    is_redundant as _is_redundant, to_lists, to_tree,
)

# The element types a collection builds from unless it is asked for others.
DEFAULT_CHOICES = DEFAULT_OPERATORS + (LEAF,)

# Starting preference of each child choice, whatever the parent (each
# element type's record holds its own).
BASE_PREFERENCE = {**{name: CATALOGUE[name].preference for name in INTERACTION_TYPES}, LEAF: 2.0}
# An element type the table does not know yet starts with this preference.
NEW_TYPE_PREFERENCE = 0.4

# Each level of depth scales the preference for anything but a leaf by this
# factor, which keeps most sampled programs small.
DEPTH_FACTOR = 0.7


def draw(rng: np.random.Generator, weights: Sequence[float] | np.ndarray) -> int:
    """An index drawn with a probability in proportion to its weight (a
    sequence of floats, not all 0), as `rng.choice(len(weights), p=p)` draws
    it for the normalised weights p: one uniform number against the
    cumulative probabilities.  Without `choice`'s checks of p, and in plain
    floats: the sampler draws thousands of times a round, from weights it
    has just worked out."""
    if len(weights) > WIDE:
        # numpy's running sum adds in the same order: the same draw
        running = np.cumsum(weights, dtype=np.float64)
        return int(np.searchsorted(running / running[-1], rng.random(), side="right"))
    cumulative = list(itertools.accumulate(weights))
    total = cumulative[-1]
    return bisect.bisect_right([c / total for c in cumulative], rng.random())


# Beyond this many weights (the inputs of a wide table), draws and leaves
# work on numpy arrays: the same products and sums, but a leaf of a table of
# a hundred thousand columns costs a millisecond rather than fifty.
WIDE = 512


def _as_generator(seed: int | np.random.Generator | None) -> np.random.Generator:
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
        # The child choices of the table: the default element types, and
        # those that `generate_programs` was asked for since.
        self._choices = DEFAULT_CHOICES
        self._base = {parent: self._base_row(parent, self._choices) for parent in OUTPUT_TYPES + INTERACTION_TYPES}
        self._table = {parent: dict(row) for parent, row in self._base.items()}
        self._priors: dict[str, float] = {}
        self._inputs: dict[str, float] = {}
        self._seen: set[str] = set()
        # Small programs handed out in order of size, one stream per setting.
        self._enumerations: dict[tuple[Any, ...], _Enumeration] = {}
        # The untried one-edit variants of each current parent.
        self._neighbourhoods: dict[tuple[Any, ...], list[Variant]] = {}
        # The best scored program of each size, per (root type, target): a
        # compact program that is close is often one edit from the law, while
        # the overall leaders are large blends whose variants stay blends.
        self._front: dict[tuple[str, str], dict[int, tuple[float, Node]]] = {}

    @staticmethod
    def _base_row(parent: str, choices: Iterable[str]) -> dict[str, float]:
        row = {c: BASE_PREFERENCE.get(c, NEW_TYPE_PREFERENCE) if _allowed(parent, c) else 0.0 for c in choices}
        total = sum(row.values())
        return {c: v / total for c, v in row.items()}

    def _admit(self, types: Sequence[str]) -> None:
        """Give the element types the table has no column for yet their
        starting share of every row; the other choices keep their proportions
        (so that a table that learned nothing yet is the starting one)."""
        new = [t for t in types if t not in self._choices]
        if not new:
            return
        wanted = set(self._choices) | set(new)
        self._choices = tuple(c for c in INTERACTION_TYPES if c in wanted) + (LEAF,)
        self._base = {parent: self._base_row(parent, self._choices) for parent in self._base}
        for parent, row in self._table.items():
            base = self._base[parent]
            kept = 1.0 - sum(base[c] for c in new)
            self._table[parent] = {c: base[c] if c in new else row[c] * kept for c in self._choices}

    # -- public interface -------------------------------------------------

    def generate_programs(self, count: int, target: str, output_type: str,
                          inputs: Mapping[str, str] | Iterable[tuple[str, str]],
                          seed: int | np.random.Generator | None = None, max_elements: int = DEFAULT_MAX_ELEMENTS,
                          parents: Sequence[tuple[Sequence[str], Sequence[str]]] = (),
                          types: Sequence[str] | None = None) -> list[tuple[list[str], list[str]]]:
        """Sample up to `count` distinct programs that were not scored before.

        Parameters
        ----------
        count : int
            Number of programs wanted (at least 0).
        target : str
            Data name of the root, the column of expected values.
        output_type : {"out-linear:1", "out-lr:1"}
            The root's type: regression, or binary classification.
        inputs : mapping of str to str
            Input column name -> its register type, "in-linear:0" for numeric
            and "in-cat:0" for categorical columns.  Inputs whose prior is 0
            (see `update_priors`) are never used.
        seed : int, numpy.random.Generator or None
            The randomness; the same seed and the same history of calls give
            the same programs.
        max_elements : int
            Largest program size, 2 to 32.
        parents : sequence of (dnames, fnames)
            Programs to vary, best first; about half of the programs are then
            variations of them (a new term added to or multiplied with the
            whole expression, a subtree sampled anew, an element or input
            swapped, a function wrapped around a subtree, an element removed,
            or a binary element reduced to a unary one).
        types : sequence of str or None
            The interaction types programs may hold (names such as
            ``"sin:1"``); None for the default set, the types of `_kestor`
            itself.

        Returns
        -------
        list of (list of str, list of str)
            (dnames, fnames) pairs in canonical form (operands of sums and
            products in a fixed order).  Programs given to `update` before
            are not generated again, so fewer than `count` programs come back
            once the small programs are exhausted.

        Raises
        ------
        ValueError
            For a negative count, an unknown output or input type, a size out
            of range, no input with a positive prior, or parents of another
            root or target.

        Examples
        --------
        >>> from vant import ProgramCollection
        >>> programs = ProgramCollection().generate_programs(2, "y", "out-linear:1", {"x": "in-linear:0"}, seed=0)
        >>> programs[0]
        (['y', 'x'], ['out-linear:1', 'in-linear:0'])
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
        allowed = self._allowed_types(types)
        rng = _as_generator(seed)
        parent_trees = [to_tree(d, f) for d, f in parents]
        for parent in parent_trees:
            if parent.ftype != output_type or parent.dname != target:
                raise ValueError("parents must have the requested output register and target")

        sampler = _Sampler(self._table, allowed, self._inputs, names, kinds, rng)
        enumeration = self._enumeration(output_type, target, names, kinds, max_elements, allowed)
        neighbourhoods = self._neighbourhoods_of(parent_trees, sampler, max_elements, rng, output_type, target)
        produced: list[tuple[list[str], list[str]]] = []
        keys: set[str] = set()
        attempts = 0
        while len(produced) < count and attempts < 30 * count + 30:
            attempts += 1
            tree = self._propose(sampler, enumeration, neighbourhoods, parent_trees, output_type, target,
                                 max_elements, rng)
            if tree is None or tree.size() > max_elements or _is_redundant(tree) or _cancels(tree):
                continue
            key = function_key(canonical(tree))
            if key in keys or key in self._seen:
                continue
            keys.add(key)
            produced.append(to_lists(tree))
        return produced

    def _propose(self, sampler: _Sampler, enumeration: _Enumeration,
                 neighbourhoods: list[tuple[float, list[Variant]]], parent_trees: list[Node], output_type: str,
                 target: str, max_elements: int, rng: np.random.Generator) -> Node | None:
        """One candidate from one of the sources, drawn by their shares:
        the small programs in order of size (until they are all handed out),
        one-edit variants of the parents, random variations of them, and
        programs sampled from the table."""
        shares = {
            "enumerate": ENUMERATED_SHARE if not enumeration.exhausted else 0.0,
            "neighbour": NEIGHBOUR_SHARE if any(queue for _weight, queue in neighbourhoods) else 0.0,
            "mutate": MUTATED_SHARE if parent_trees else 0.0,
        }
        shares["sample"] = max(1.0 - sum(shares.values()), 0.1)
        names = list(shares)
        source = names[draw(rng, [shares[n] for n in names])]
        if source == "enumerate":
            return enumeration.next(self._seen)
        if source == "neighbour":
            waiting = [(weight, queue) for weight, queue in neighbourhoods if queue]
            return waiting[draw(rng, [weight for weight, _queue in waiting])][1].pop().tree()
        if source == "mutate":
            parent = parent_trees[draw(rng, [1.0 / rank for rank in range(1, len(parent_trees) + 1)])]
            return sampler.mutate(parent, max_elements)
        return Node(output_type, target, [sampler.program_body(output_type, max_elements - 1)])

    def _allowed_types(self, types: Sequence[str] | None) -> tuple[str, ...]:
        """The interaction types asked for, in catalogue order, each admitted
        to the table."""
        if types is None:
            return DEFAULT_OPERATORS
        if isinstance(types, str):
            raise TypeError("types must be a sequence of element type names, not a string")
        types = list(types)
        for t in types:
            if t not in INTERACTION_TYPES:
                raise ValueError(f"unknown interaction type {t!r} in types (known: {', '.join(INTERACTION_TYPES)})")
        self._admit(types)
        return tuple(c for c in INTERACTION_TYPES if c in set(types))

    def _enumeration(self, output_type: str, target: str, names: list[str], kinds: dict[str, str],
                     max_elements: int, allowed: tuple[str, ...]) -> _Enumeration:
        key = (output_type, target, tuple(names), tuple(kinds[n] for n in names), max_elements, allowed)
        if key not in self._enumerations:
            choices = list(allowed)
            self._enumerations[key] = _Enumeration(output_type, target, [(n, kinds[n]) for n in names],
                                                   choices, min(max_elements, ENUMERATED_SIZE))
        return self._enumerations[key]

    def _remember_if_best_of_its_size(self, tree: Node, score: float) -> None:
        front = self._front.setdefault((tree.ftype, tree.dname), {})
        size = tree.size()
        if size not in front or score < front[size][0]:
            front[size] = (score, tree)

    def _neighbourhoods_of(self, parent_trees: list[Node], sampler: _Sampler, max_elements: int,
                           rng: np.random.Generator, output_type: str, target: str
                           ) -> list[tuple[float, list[Variant]]]:
        """(weight, untried one-edit variants) of the first parents and of the
        best program of each size.  The weights fall with the rank, among
        the parents by their order and among the best of each size by their
        scores; the variants are shuffled, smallest last (they are popped),
        and kept from call to call (programs no longer among them are
        forgotten)."""
        front = self._front.get((output_type, target), {})
        compact = sorted((front[size] for size in front if size < max_elements), key=lambda item: item[0])
        sources = list(enumerate(parent_trees[:NEIGHBOURHOOD_PARENTS])) + \
            [(rank, tree) for rank, (_score, tree) in enumerate(compact)]
        current: dict[tuple[Any, ...], list[Variant]] = {}
        weighted = []
        for rank, tree in sources:
            key = (tuple(sampler.types), function_key(tree))
            if key in current:
                continue
            queue = self._neighbourhoods.get(key)
            if queue is None:
                sized = sampler.neighbours(tree, max_elements)
                rng.shuffle(sized)
                sized.sort(key=operator.itemgetter(0), reverse=True)
                queue = [variant for _size, variant in sized]
            current[key] = queue
            weighted.append((1.0 / (rank + 1.0), queue))
        self._neighbourhoods = current
        return weighted

    def update(self, programs: Iterable[tuple[Sequence[str], Sequence[str]]], scores: Iterable[float],
               rate: float = 0.3, elite_fraction: float = 0.25) -> int:
        """Shift the distribution toward the programs with the lowest scores.

        Every program passed here is remembered and not generated again.

        Parameters
        ----------
        programs : iterable of (dnames, fnames)
            The programs that were scored.
        scores : iterable of float
            One score per program, lower is better (for example a held-out
            loss plus a size penalty); NaN or infinite scores count as
            failures and never join the best.
        rate : float
            How far to move, 0 (not at all) to 1 (all the way to the
            frequencies seen in the best programs).
        elite_fraction : float
            The share of programs, best first, whose structure and inputs are
            learned from (at least one).

        Returns
        -------
        int
            The number of programs learned from.

        Raises
        ------
        ValueError
            When programs and scores differ in length, or rate lies outside
            [0, 1].
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
        for score, i in scored:
            self._remember_if_best_of_its_size(trees[i], score)
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

    def update_priors(self, priors: Mapping[str, float]) -> None:
        """Set how strongly each input is preferred.

        The learned input preferences restart from the priors.

        Parameters
        ----------
        priors : mapping of str to float
            Input name -> a finite weight of at least 0; 0 excludes the input
            from new programs, larger weights make it more likely.  Inputs not
            named keep their prior (1.0 for inputs never named).

        Raises
        ------
        TypeError
            When priors is not a mapping.
        ValueError
            For a negative or non-finite weight.
        """
        if not isinstance(priors, Mapping):
            raise TypeError("priors must be a mapping of input name to weight")
        checked: dict[str, float] = {}
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

    def decay(self, rate: float = 0.1) -> None:
        """Move the learned preferences back toward the starting ones.

        Parameters
        ----------
        rate : float
            0 (no change) to 1 (forget everything learned): the structure
            table and the input preferences move this share of the way back
            to the starting table and the normalised priors.

        Raises
        ------
        ValueError
            When rate lies outside [0, 1].
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

    def preferences(self) -> dict[str, dict[str, Any]]:
        """A copy of the learned preferences.

        Returns
        -------
        dict
            ``{"structure": {parent: {choice: p}}, "inputs": {name: p}}``.
        """
        return {
            "structure": {parent: dict(row) for parent, row in self._table.items()},
            "inputs": dict(self._inputs),
        }

    # -- helpers ----------------------------------------------------------------

    def _register_inputs(self, inputs: Mapping[str, str] | Iterable[tuple[str, str]]) -> dict[str, str]:
        items: list[Any]
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


# Pairs (parent, child) where the parent undoes the child or leaves it
# unchanged: inside the clamps the pair is the identity or the parent alone,
# up to the affine maps around it, so a program holding one is a longer
# spelling of a smaller program.
_CANCELLING = frozenset((name, child) for name, record in CATALOGUE.items() for child in record.cancels)


def _cancels(tree: Node) -> bool:
    pending = [tree]
    while pending:
        node = pending.pop()
        for child in node.children:
            if (node.ftype, child.ftype) in _CANCELLING:
                return True
            pending.append(child)
    return False


# Programs up to this size are all handed out, smallest first, unless there
# are more than ENUMERATED_LIMIT of one size (then that size and the larger
# ones are left to sampling).
ENUMERATED_SIZE = 5
ENUMERATED_LIMIT = 2500
# Shares of a batch taken from the enumeration, from the one-edit variants of
# the parents and from random variations of them; the rest is sampled.
ENUMERATED_SHARE = 0.25
NEIGHBOUR_SHARE = 0.4
MUTATED_SHARE = 0.1
# Whose one-edit variants are tried: the first parents given.
NEIGHBOURHOOD_PARENTS = 3
# A second operand copies the shape of the first (with inputs drawn anew)
# this often: laws reuse a form, as in sqrt(a**2 + b**2) or 1/(1/a + 1/b).
MIRROR = 0.3
# Inputs not used yet in a program are this much more likely as its next leaf.
UNUSED_INPUT = 3.0


class _Enumeration:
    """Every program up to a size, in order of size and, within a size, of
    the starting preferences of its elements; no two with one function."""

    def __init__(self, output_type: str, target: str, inputs: list[tuple[str, str]], choices: list[str],
                 largest: int):
        self.output_type, self.target = output_type, target
        self.inputs = inputs          # [(name, register type)]
        self.choices = choices        # interaction types
        self.largest = largest
        self.size = 2
        self.pending: list[Node] = []
        self.exhausted = False

    def next(self, seen: set[str]) -> Node | None:
        while not self.pending:
            if self.exhausted or self.size > self.largest:
                self.exhausted = True
                return None
            self.pending = self._level(self.size, seen)
            self.size += 1
        return self.pending.pop()

    def _level(self, size: int, seen: set[str]) -> list[Node]:
        """The programs of one size, most preferred last (they are popped)."""
        found: dict[str, tuple[float, Node]] = {}
        for body, weight in self._bodies(size - 1, self.output_type):
            tree = Node(self.output_type, self.target, [body])
            if _is_redundant(tree) or _cancels(tree):
                continue
            key = function_key(canonical(tree))
            if key not in seen and key not in found:
                found[key] = (weight, tree)
            if len(found) > ENUMERATED_LIMIT:
                self.exhausted = True
                return []
        return [tree for _weight, tree in sorted(found.values(), key=lambda item: item[0])]

    def _bodies(self, n: int, parent: str) -> Iterator[tuple[Node, float]]:
        """(subtree of n elements under `parent`, its preference weight)."""
        if n == 1:
            if _allowed(parent, LEAF):
                for name, kind in self.inputs:
                    yield Node(kind, name), 1.0
            return
        for choice in self.choices:
            if not _allowed(parent, choice):
                continue
            weight = BASE_PREFERENCE.get(choice, NEW_TYPE_PREFERENCE)
            if ARITY[choice] == 1:
                for child, w in self._bodies(n - 1, choice):
                    yield Node(choice, "", [child]), weight * w
            elif ARITY[choice] == 2:
                for k in range(1, n - 1):
                    for first, w1 in self._bodies(k, choice):
                        for second, w2 in self._bodies(n - 1 - k, choice):
                            yield Node(choice, "", [first, second.copy()]), weight * w1 * w2


class Variant(NamedTuple):
    """A one-edit variant of a program: `program` with the subtree at `path`
    (operand indices from the root) replaced by a new element of type
    `ftype` over `operands`, or, when `ftype` is None, by `operands[0]`.
    The trees it refers to are never changed, so it can wait to be built:
    a parent has hundreds of variants, and a round builds a few."""
    program: Node
    path: tuple[int, ...]
    ftype: str | None
    operands: tuple[Node, ...]

    def tree(self) -> Node:
        built = self.program.copy()
        parent = built
        for index in self.path[:-1]:
            parent = parent.children[index]
        if self.ftype is None:
            replacement = self.operands[0].copy()
        else:
            replacement = Node(self.ftype, "", [operand.copy() for operand in self.operands])
        parent.children[self.path[-1]] = replacement
        return built


def _spots(tree: Node) -> list[tuple[Node, Node, tuple[int, ...]]]:
    """(node, parent, path) of every element below the root, in prefix order."""
    spots: list[tuple[Node, Node, tuple[int, ...]]] = []
    pending: list[tuple[Node, Node, tuple[int, ...]]] = [(child, tree, (index,)) for index, child in reversed(list(enumerate(tree.children)))]
    while pending:
        node, parent, path = pending.pop()
        spots.append((node, parent, path))
        pending.extend((child, node, path + (index,)) for index, child in reversed(list(enumerate(node.children))))
    return spots


def _subtree_sizes(tree: Node) -> dict[int, int]:
    """The size of every subtree of `tree`, by the id of its root node."""
    sizes: dict[int, int] = {}

    def count(node: Node) -> int:
        sizes[id(node)] = total = 1 + sum(count(child) for child in node.children)
        return total

    count(tree)
    return sizes


# How a parent is varied, and how often.
_MUTATIONS = ("extend", "resample", "swap", "wrap", "hoist", "collapse")
_MUTATION_P = (0.25, 0.25, 0.2, 0.1, 0.1, 0.1)


class _Sampler:
    """Draws trees from one snapshot of the collection's table; the element
    types are the choices of the table's rows, whatever they are."""

    def __init__(self, table: dict[str, dict[str, float]], types: tuple[str, ...],
                 input_weights: Mapping[str, float], names: list[str], kinds: dict[str, str],
                 rng: np.random.Generator):
        self.table = table
        self.names = names
        self.kinds = kinds
        self.rng = rng
        weights = np.array([max(input_weights.get(n, 0.0), 0.0) for n in names])
        if weights.sum() <= 0.0:
            weights = np.ones(len(names))
        self.input_p = (weights / weights.sum()).tolist()
        if len(names) > WIDE:
            self.input_array = np.asarray(self.input_p)
            self.position = {name: i for i, name in enumerate(names)}
        self.used: set[str] = set()
        self.types = [c for c in next(iter(table.values())) if c in types]
        self.type_set = set(self.types)

    def leaf(self, unlike: str | None = None) -> Node:
        p: Sequence[float] | np.ndarray
        if len(self.names) > WIDE:
            p = self._wide_leaf_weights(unlike)
        else:
            p = [share * (UNUSED_INPUT if n not in self.used else 1.0) for share, n in zip(self.input_p, self.names)]
            if unlike is not None and len(self.names) > 1:
                p = [share * (0.0 if n == unlike else 1.0) for share, n in zip(p, self.names)]
        name = self.names[draw(self.rng, p)]
        self.used.add(name)
        return Node(self.kinds[name], name)

    def _wide_leaf_weights(self, unlike: str | None) -> np.ndarray:
        """`leaf`'s weights as an array: each input's share, times
        UNUSED_INPUT for those the program does not read yet, times 0 for
        `unlike` (the same products as the lists of a narrow table)."""
        factor = np.full(len(self.names), UNUSED_INPUT)
        factor[[self.position[name] for name in self.used]] = 1.0
        p: np.ndarray = self.input_array * factor
        if unlike in self.position:
            p = p * np.where(np.arange(len(self.names)) == self.position[unlike], 0.0, 1.0)
        return p

    def program_body(self, output_type: str, budget: int) -> Node:
        """The part below the root of a new program of at most budget+1 elements."""
        self.used = set()
        return self.subtree(output_type, budget, 1)

    def subtree(self, parent: str, budget: int, depth: int) -> Node:
        """A subtree of at most `budget` elements below an element of type `parent`."""
        row = self.table[parent]
        deeper = DEPTH_FACTOR ** depth
        choices, weights = [], []
        for choice, preference in row.items():
            if choice == LEAF:
                weight = preference * 1.0
            elif ARITY[choice] + 1 > budget or choice not in self.type_set:
                continue
            else:
                weight = preference * deeper
            if weight > 0.0:
                choices.append(choice)
                weights.append(weight)
        if not choices:
            return self.leaf()
        choice = choices[draw(self.rng, weights)]
        if choice == LEAF:
            return self.leaf()
        node = Node(choice)
        if ARITY[choice] == 1:
            node.children.append(self.subtree(choice, budget - 1, depth + 1))
        else:
            first = self.subtree(choice, budget - 2, depth + 1)
            if first.children and 1 + 2 * first.size() <= budget and self.rng.random() < MIRROR:
                second = self._mirror(first)
            else:
                second = self.subtree(choice, budget - 1 - first.size(), depth + 1)
            node.children.extend((first, second))
        return node

    def _mirror(self, tree: Node) -> Node:
        """The shape of `tree` over inputs drawn anew."""
        if not tree.children:
            return self.leaf(unlike=tree.dname)
        return Node(tree.ftype, "", [self._mirror(child) for child in tree.children])

    # -- variations of a parent ---------------------------------------------

    def neighbours(self, tree: Node, max_elements: int) -> list[tuple[int, Variant]]:
        """Every program one edit away from `tree`, with its size: an element
        wrapped in a unary element, a binary element inserted above one with
        a new input beside it, an input swapped, an element's type changed
        to another of its arity, or an element replaced by one of its
        operands.  Each is built only when it is wanted (`Variant.tree`):
        a parent has hundreds of them, and a round takes a few."""
        size = tree.size()
        spare = max_elements - size
        unary = [t for t in self.types if ARITY[t] == 1]
        binary = [t for t in self.types if ARITY[t] == 2]
        inputs = [Node(self.kinds[n], n) for n in self.names]
        sizes = _subtree_sizes(tree)
        variants: list[tuple[int, Variant]] = []
        for node, parent, path in _spots(tree):
            own = sizes[id(node)]
            rest = size - own
            # (size of the program, new element's type or None, its operands)
            sized: list[tuple[int, str | None, tuple[Node, ...]]] = []
            if spare >= 1:
                below = node.ftype if node.children else LEAF
                sized += [(rest + own + 1, t, (node,)) for t in unary
                          if _allowed(parent.ftype, t) and _allowed(t, below)]
            if spare >= 2:
                sized += [(rest + own + 2, t, (node, leaf)) for t in binary if _allowed(parent.ftype, t)
                          for leaf in inputs]
            if not node.children:
                sized += [(rest + 1, None, (leaf,)) for leaf in inputs if leaf.dname != node.dname]
            else:
                operands = tuple(node.children)
                sized += [(rest + own, t, operands) for t in self.types
                          if t != node.ftype and ARITY[t] == ARITY[node.ftype] and _allowed(parent.ftype, t)]
                sized += [(rest + sizes[id(child)], None, (child,)) for child in node.children]
            variants += [(program_size, Variant(tree, path, ftype, operands))
                         for program_size, ftype, operands in sized]
        return variants

    def mutate(self, tree: Node, max_elements: int) -> Node | None:
        tree = tree.copy()
        self.used = {node.dname for node, _parent, _depth in tree.walk() if not node.children}
        spots = [(node, parent, depth) for node, parent, depth in tree.walk() if parent is not None]
        node, parent, depth = spots[self.rng.integers(len(spots))]
        spare = max_elements - tree.size()
        operation = _MUTATIONS[draw(self.rng, _MUTATION_P)]
        if operation == "extend":
            # A new term beside (or factor of) the whole expression: the usual
            # way a formula that is partly right becomes right.
            node, parent, depth = spots[0]
        position = next(i for i, child in enumerate(parent.children) if child is node)
        replacement: Node | None
        if operation == "extend":
            combiners = [t for t in self.types if CATALOGUE[t].associative]
            if spare < 2 or not combiners:
                return None
            combiner = combiners[0] if self.rng.random() < 0.7 else combiners[-1]  # a sum or a product
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
            leaf = self.leaf(unlike=node.dname)
            return leaf if leaf.dname != node.dname else None
        same = [t for t in self.types if ARITY[t] == ARITY[node.ftype] and t != node.ftype]
        if not same:
            return None
        return Node(same[self.rng.integers(len(same))], "", node.children)

    def _collapse(self, node: Node) -> Node | None:
        """A binary element becomes a unary one over one of its operands
        (one of the same family where there is one: gaussian:2 becomes
        gaussian:1)."""
        if ARITY[node.ftype] != 2:
            return None
        kept = node.children[self.rng.integers(2)]
        reduced = CATALOGUE[node.ftype].reduces_to
        if reduced is not None and reduced in self.types:
            return Node(reduced, "", [kept])
        unary = [t for t in self.types if ARITY[t] == 1 and t != "linear:1"]
        if not unary:
            return None
        return Node(unary[self.rng.integers(len(unary))], "", [kept])

    def _wrap(self, parent: str, node: Node, spare: int, depth: int) -> Node | None:
        if spare < 1:
            return None
        row = self.table[parent]
        options = [t for t in self.types if row[t] > 0.0 and (ARITY[t] == 1 or spare >= 2)]
        if not options:
            return None
        wrapper = options[draw(self.rng, [row[t] for t in options])]
        if ARITY[wrapper] == 1:
            return Node(wrapper, "", [node])
        return Node(wrapper, "", [node, self.subtree(wrapper, spare - 1, depth + 1)])
