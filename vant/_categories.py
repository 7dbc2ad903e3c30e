"""How `vant` tells categories apart: the way the categorical element does.

Two values are one category when they have equal hashes and are the same
object or compare equal, as for the keys of a dict: 1, 1.0 and True are
one category, -1 and -2 (equal hashes in Python) are two.  Every place that
matches category values (a column against a table of weights, two tables
of one column, the order of a table) goes through `category_key`, so that
all of them agree with the element.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np


def category_key(value: Any) -> Any:
    """The dict key under which a category is filed: the value itself, so
    that dict lookup applies the element's rule."""
    return value


class EncodedColumn:
    """A categorical column as codes into its distinct categories; lookups
    then cost one pass over the categories instead of one per row."""

    def __init__(self, column):
        values = column.tolist() if isinstance(column, np.ndarray) else list(column)
        code_of: dict = {}
        keys = []
        codes = np.empty(len(values), dtype=np.intp)
        for i, v in enumerate(values):
            key = category_key(v)
            code = code_of.get(key)
            if code is None:
                code = code_of[key] = len(keys)
                keys.append(v)
            codes[i] = code
        self.keys = keys
        self.codes = codes
        self.code_of = code_of

    def __len__(self) -> int:
        return len(self.codes)

    def lookup(self, values: Mapping, default: float) -> np.ndarray:
        """The value of every row's category from `values` (keyed by
        `category_key`); `default` for categories it does not list."""
        per_code = np.array([values.get(category_key(k), default) for k in self.keys] + [default],
                            dtype=np.float64)
        return per_code[self.codes]


def encoded(column) -> EncodedColumn:
    return column if isinstance(column, EncodedColumn) else EncodedColumn(column)
