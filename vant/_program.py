"""Programs: the parallel lists a `_kestor.Model` is built from.

A program is a list of data names and a list of element type names, in
prefix order.  Element 0 is the output register, bound to the target
column; the leaves are input registers bound to data columns; every other
element is an interaction with an empty data name.  The second operand of
a binary element starts right after the subtree of its first operand.

Here are the checks of such lists, their trees, and the canonical keys that
give one spelling to one function.
"""

from __future__ import annotations

import functools

from collections.abc import Sequence

from ._elements import ARITY, CATALOGUE, INPUT_TYPES, INTERACTION, OUTPUT_TYPES

MAX_ELEMENTS = 32
# The largest program when none is given: DEFAULT_MAX_ELEMENTS, or for a
# wider table ELEMENTS_PER_INPUT per input.  A law of k quantities has at
# least 2*k elements (k inputs, k - 1 operations joining them and the
# output), and most take a function or two of its quantities besides (a
# square, a root, a reciprocal, a difference): at a fixed size, laws of four
# quantities and more could not be spelled.
DEFAULT_MAX_ELEMENTS = 12
ELEMENTS_PER_INPUT = 4


def default_max_elements(inputs: int) -> int:
    """The largest program for a table of this many input columns."""
    return min(MAX_ELEMENTS, max(DEFAULT_MAX_ELEMENTS, ELEMENTS_PER_INPUT * inputs))


# The child choice that ends a branch with an input register.
LEAF = "input"


def subtree_end(fnames: Sequence[str], start: int) -> int:
    """Index just after the subtree that starts at `start`."""
    open_slots = 1
    j = start
    while open_slots:
        if j >= len(fnames):
            raise ValueError("program is not a complete prefix expression")
        open_slots += ARITY[fnames[j]] - 1
        j += 1
    return j


def operand_indices(fnames: Sequence[str], index: int) -> list[int]:
    """Indices of the operands of element `index`."""
    arity = ARITY[fnames[index]]
    if arity == 0:
        return []
    first = index + 1
    if arity == 1:
        return [first]
    return [first, subtree_end(fnames, first)]


def check_program(dnames: Sequence[str], fnames: Sequence[str]) -> None:
    """Raise ValueError unless the lists describe a program a Model can train."""
    if len(dnames) != len(fnames):
        raise ValueError("dnames and fnames have different lengths")
    if not 2 <= len(fnames) <= MAX_ELEMENTS:
        raise ValueError(f"a program has 2 to {MAX_ELEMENTS} elements, not {len(fnames)}")
    for i, (dname, fname) in enumerate(zip(dnames, fnames)):
        if fname not in ARITY:
            raise ValueError(f"unknown interaction type {fname!r} at element {i}")
        if (fname in OUTPUT_TYPES) != (i == 0):
            raise ValueError("the output register must be the root and only the root")
        if fname in INPUT_TYPES or i == 0:
            if not isinstance(dname, str) or not dname:
                raise ValueError(f"element {i} ({fname}) needs a data name")
        elif dname != "":
            raise ValueError(f"interaction {fname} at element {i} has a data name")
    if subtree_end(fnames, 0) != len(fnames):
        raise ValueError("program has elements after its complete expression")


class Node:
    """One element of a program tree."""

    __slots__ = ("ftype", "dname", "children")

    def __init__(self, ftype: str, dname: str = "", children: Sequence[Node] = ()):
        self.ftype = ftype
        self.dname = dname
        self.children = list(children)

    def size(self) -> int:
        size = 1
        for child in self.children:
            size += child.size()
        return size

    def key(self) -> str:
        """Canonical text of the subtree; equal keys mean equal programs."""
        head = f"{self.ftype}[{self.dname}]" if self.dname else self.ftype
        if not self.children:
            return head
        return head + "(" + ",".join(child.key() for child in self.children) + ")"

    def walk(self, parent: Node | None = None, depth: int = 0):
        """Yield (node, parent, depth) in prefix order."""
        # By a stack rather than nested generators, whose every level a
        # yielded node would pass through: the sampler walks thousands of
        # trees a round.
        pending = [(self, parent, depth)]
        while pending:
            node, parent, depth = pending.pop()
            yield node, parent, depth
            for child in reversed(node.children):
                pending.append((child, node, depth + 1))

    def copy(self) -> Node:
        # Built field by field: the sampler copies thousands of trees a round.
        node = Node.__new__(Node)
        node.ftype, node.dname, node.children = self.ftype, self.dname, [child.copy() for child in self.children]
        return node


def to_tree(dnames: Sequence[str], fnames: Sequence[str]) -> Node:
    """Build the tree of a prefix-order program."""
    def build(i: int) -> tuple[Node, int]:
        fname = fnames[i]
        if fname not in ARITY:
            raise ValueError(f"unknown interaction type {fname!r}")
        node = Node(fname, dnames[i])
        j = i + 1
        for _ in range(ARITY[fname]):
            if j >= len(fnames):
                raise ValueError("program is not a complete prefix expression")
            child, j = build(j)
            node.children.append(child)
        return node, j

    if len(dnames) != len(fnames) or not fnames:
        raise ValueError("a program needs equal, non-empty dnames and fnames")
    root, end = build(0)
    if end != len(fnames):
        raise ValueError("program has elements after its complete expression")
    return root


def to_lists(tree: Node) -> tuple[list[str], list[str]]:
    """Prefix-order (dnames, fnames) of a tree."""
    dnames: list[str] = []
    fnames: list[str] = []
    for node, _parent, _depth in tree.walk():
        dnames.append(node.dname)
        fnames.append(node.ftype)
    return dnames, fnames


def canonical(tree: Node) -> Node:
    """Order the operands of commutative elements by their keys (in place)."""
    for child in tree.children:
        canonical(child)
    if CATALOGUE[tree.ftype].commutative:
        tree.children.sort(key=Node.key)
    return tree


def function_key(tree: Node) -> str:
    """Text that is the same for programs that differ only in the order or
    nesting of a chain of sums or of products: (a+b)+c, a+(c+b), ..."""
    element = CATALOGUE[tree.ftype]
    if element.associative:
        operands: list[Node] = []
        pending = list(tree.children)
        while pending:
            node = pending.pop()
            if node.ftype == tree.ftype:
                pending.extend(node.children)
            else:
                operands.append(node)
        return tree.ftype + "(" + ",".join(sorted(function_key(o) for o in operands)) + ")"
    head = f"{tree.ftype}[{tree.dname}]" if tree.dname else tree.ftype
    if not tree.children:
        return head
    parts = [function_key(child) for child in tree.children]
    if element.commutative:
        parts.sort()
    return head + "(" + ",".join(parts) + ")"


def program_key(dnames: Sequence[str], fnames: Sequence[str]) -> str:
    """Canonical text of a program, the same for every spelling of its
    function (operands of sums and products in any order or nesting)."""
    return _key_of(tuple(dnames), tuple(fnames))


# The search asks for the key of a program in several places (when it plans
# it, when a worker trains it, when it is retrained): each is worked out once.
@functools.lru_cache(maxsize=4096)
def _key_of(dnames: tuple, fnames: tuple) -> str:
    return function_key(to_tree(dnames, fnames))


def simplifications(dnames: Sequence[str], fnames: Sequence[str]) -> list[tuple[list[str], list[str]]]:
    """Every program that is the given one with one element replaced by one
    of its operands (a branch cut away), or a two-operand element reduced to
    the one-operand type of its family, in canonical form, without repeats."""
    tree = to_tree(dnames, fnames)
    found: dict[str, tuple[list[str], list[str]]] = {}
    spots = [(node, parent) for node, parent, _depth in tree.walk() if parent is not None and node.children]
    for node, parent in spots:
        position = next(i for i, child in enumerate(parent.children) if child is node)
        replacements = list(node.children)
        reduced = CATALOGUE[node.ftype].reduces_to
        if reduced is not None:
            replacements += [Node(reduced, "", [child]) for child in node.children]
        for child in replacements:
            parent.children[position] = child
            variant = canonical(tree.copy())
            parent.children[position] = node
            if not is_redundant(variant):
                found.setdefault(function_key(variant), to_lists(variant))
    return list(found.values())


def _weighted(ftype: str) -> bool:
    """The element has a weight and bias of its own."""
    return "w" in CATALOGUE[ftype].param_names


def _affine_interaction(ftype: str) -> bool:
    return CATALOGUE[ftype].role == INTERACTION and _weighted(ftype)


@functools.cache   # the sampler asks tens of thousands of times a round, about a few dozen pairs
def allowed_child(parent: str, choice: str) -> bool:
    """False for a child that only repeats what its parent's own weight and
    bias already do (a linear element under a register or another linear
    element, or an input right under a linear element)."""
    if choice != LEAF and _affine_interaction(choice):
        return not _weighted(parent)
    if _affine_interaction(parent):
        return choice != LEAF
    return True


def is_redundant(tree: Node) -> bool:
    """A tree with a child that `allowed_child` refuses, or a sum of two
    equal subtrees (which one subtree with doubled weights already gives)."""
    # By a stack of parents, each checked against its children: the sampler
    # checks every program it proposes.
    pending = [tree]
    while pending:
        node = pending.pop()
        for child in node.children:
            choice = child.ftype if CATALOGUE[child.ftype].role == INTERACTION else LEAF
            if not allowed_child(node.ftype, choice):
                return True
            pending.append(child)
        if node.ftype == "add:2" and node.children[0].key() == node.children[1].key():
            return True
    return False
