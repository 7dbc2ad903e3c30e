"""Found models and fitted estimators as JSON files.

A file is one JSON object: ``{"vant": <format version>, "type": ..., ...}``.
Everything in it is plain data read back by `json`: nothing is evaluated or
unpickled, and the type names only a fixed table of classes.  Floats are
written as Python writes them, which reads back to the same bits, so a
loaded model predicts exactly what the saved one did.

Values JSON has no type for are written as one-key objects whose key starts
with "$": {"$tuple": [...]}, {"$float": "nan"}, {"$bytes": "<hex>"}; a dict
that itself has a single key starting with "$" is written as
{"$dict": [[key, value], ...]} so that it cannot be mistaken for one.
Category keys keep their type this way (a tuple stays a tuple, so it is
still the same category); numpy integers, floats and bools are written as
the Python numbers they equal, which are the same categories.
"""

from __future__ import annotations

import json
import math
import numbers
import os
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from ._estimators import SymbolicClassifier, SymbolicRegressor
    from ._found import FoundModel

FORMAT_VERSION = 1


class _Unsaveable(TypeError):
    pass


def encode(value: object) -> Any:
    """JSON-ready form of a parameter, a metric or a category key."""
    if value is None or isinstance(value, (bool, np.bool_)):
        return None if value is None else bool(value)
    if isinstance(value, str):
        return str(value)
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        value = float(value)
        return value if math.isfinite(value) else {"$float": repr(value)}
    if isinstance(value, bytes):
        return {"$bytes": value.hex()}
    if isinstance(value, tuple):
        return {"$tuple": [encode(v) for v in value]}
    if isinstance(value, (list, np.ndarray)):
        return [encode(v) for v in list(value)]
    if isinstance(value, dict):
        if not all(isinstance(k, str) for k in value):
            raise _Unsaveable(f"a dictionary with keys other than strings ({value!r})")
        if len(value) == 1 and next(iter(value)).startswith("$"):
            return {"$dict": [[k, encode(v)] for k, v in value.items()]}
        return {k: encode(v) for k, v in value.items()}
    raise _Unsaveable(f"{value!r} of type {type(value).__name__}: only str, int, float, bool, None, bytes, "
                      "and lists, tuples and string-keyed dictionaries of them can be saved")


def decode(value: Any) -> Any:
    """The value `encode` was given (numpy scalars come back as Python's)."""
    if isinstance(value, list):
        return [decode(v) for v in value]
    if not isinstance(value, dict):
        return value
    if len(value) == 1:
        (tag, inner), = value.items()
        if tag == "$tuple":
            return tuple(decode(v) for v in inner)
        if tag == "$float":
            if inner not in ("nan", "inf", "-inf"):
                raise ValueError(f"unknown float {inner!r} in the file")
            return float(inner)
        if tag == "$bytes":
            return bytes.fromhex(inner)
        if tag == "$dict":
            return {k: decode(v) for k, v in inner}
        if tag.startswith("$"):
            raise ValueError(f"unknown value tag {tag!r} in the file")
    return {k: decode(v) for k, v in value.items()}


# ---------------------------------------------------------------------------
# Found models


def model_record(model: FoundModel) -> dict[str, Any]:
    """A FoundModel as plain data; `model_from_record` takes it back."""
    try:
        return {
            "expression": model.expression,  # for people reading the file; recomputed on loading
            "kind": model.kind,
            "dnames": list(model.dnames),
            "fnames": list(model.fnames),
            "params": encode([dict(p) for p in model.params]),
            "sample_count": int(model.sample_count),
            "loss": encode(model.loss),
            "score": encode(model.score),
            "metrics": encode(dict(model.metrics)),
            "classes": None if model.classes is None else encode(list(model.classes)),
        }
    except _Unsaveable as error:
        raise TypeError(f"cannot save the model {model.expression!r}: it holds {error}") from None


_MODEL_ENTRIES = ("dnames", "fnames", "params", "kind", "sample_count", "loss", "score", "metrics", "classes")


def model_from_record(record: object) -> FoundModel:
    from ._found import FoundModel

    if not isinstance(record, dict):
        raise ValueError("a saved model must be a JSON object")
    try:
        record = {key: record[key] for key in _MODEL_ENTRIES}
        classes = decode(record["classes"])
        return FoundModel(
            list(record["dnames"]), list(record["fnames"]), decode(record["params"]), str(record["kind"]),
            sample_count=int(record["sample_count"]), loss=float(decode(record["loss"])),
            score=float(decode(record["score"])), metrics=decode(record["metrics"]),
            classes=None if classes is None else tuple(classes))
    except KeyError as error:
        raise ValueError(f"the saved model has no {error.args[0]!r} entry") from None
    except TypeError as error:
        raise ValueError(f"the saved model is damaged: {error}") from None


def model_to_json(model: FoundModel) -> str:
    return _dumps(_document("FoundModel", model=model_record(model)))


# ---------------------------------------------------------------------------
# Files


def _document(type_name: str, **content: Any) -> dict[str, Any]:
    return {"vant": FORMAT_VERSION, "type": type_name, **content}


def _dumps(document: dict[str, Any]) -> str:
    return json.dumps(document, allow_nan=False, indent=1)


def load_json(text: str | bytes) -> FoundModel | SymbolicRegressor | SymbolicClassifier:
    """Read a found model or a fitted estimator from JSON text.

    Nothing in the text is evaluated or unpickled.

    Parameters
    ----------
    text : str or bytes
        What `FoundModel.to_json` or an estimator's ``to_json`` wrote.

    Returns
    -------
    FoundModel or SymbolicRegressor or SymbolicClassifier
        The model or estimator, predicting exactly what the saved one did.

    Raises
    ------
    ValueError
        When the text is not a vant model file, is damaged, or was written
        by a newer vant in a format this one does not know.

    Examples
    --------
    >>> import numpy as np, vant
    >>> x = np.linspace(-1, 1, 200)
    >>> model = vant.search({"x": x, "y": 2 * x + 1}, "y", seed=0, rounds=1, population=4)[0]
    >>> again = vant.load_json(model.to_json())
    >>> bool((again.predict({"x": x}) == model.predict({"x": x})).all())
    True
    """
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"not a vant model file: {error}") from None
    if not isinstance(document, dict) or "vant" not in document or "type" not in document:
        raise ValueError("not a vant model file: it lacks the 'vant' format version and the 'type'")
    version = document["vant"]
    if not isinstance(version, int) or isinstance(version, bool) or version < 1:
        raise ValueError(f"not a vant model file: format version {version!r}")
    if version > FORMAT_VERSION:
        raise ValueError(f"the file has format version {version}, written by a newer vant; this one reads "
                         f"versions up to {FORMAT_VERSION}: upgrade vant to load it")
    kind = document["type"]
    if kind == "FoundModel":
        return model_from_record(document.get("model"))
    from ._estimators import ESTIMATORS
    if kind not in ESTIMATORS:
        raise ValueError(f"the file holds a {kind!r}, which vant does not know")
    return ESTIMATORS[kind]._from_record(document)


def estimator_to_json(estimator: SymbolicRegressor | SymbolicClassifier) -> str:
    return _dumps(_document(type(estimator).__name__, **estimator._record()))


def save(obj: FoundModel | SymbolicRegressor | SymbolicClassifier, path: str | os.PathLike[str]) -> None:
    """Write a fitted estimator or a FoundModel to `path` as JSON."""
    text = obj.to_json()
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)


def load(path: str | os.PathLike[str]) -> FoundModel | SymbolicRegressor | SymbolicClassifier:
    """Read a found model or a fitted estimator from a JSON file.

    Parameters
    ----------
    path : str or os.PathLike
        A file that an estimator's ``save`` (or ``FoundModel.to_json``)
        wrote.

    Returns
    -------
    FoundModel or SymbolicRegressor or SymbolicClassifier
        The model or estimator, predicting exactly what the saved one did.

    Raises
    ------
    OSError
        When the file cannot be read.
    ValueError
        When it is not a vant model file, is damaged, or was written by a
        newer vant in a format this one does not know.

    See Also
    --------
    load_json : the same, from text.
    """
    with open(path, encoding="utf-8") as file:
        return load_json(file.read())
