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
from collections.abc import Callable, Container
from typing import TYPE_CHECKING, Any

import numpy as np

from ._params import quoted

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
    if len(value) == 1 and next(iter(value)).startswith("$"):
        return _tagged(*next(iter(value.items())))
    return {k: decode(v) for k, v in value.items()}


def _tagged(tag: str, inner: Any) -> Any:
    """The value of a one-key object {"$tag": inner} (see the module's notes)."""
    try:
        if tag == "$tuple":
            return tuple(decode(v) for v in inner)
        if tag == "$float":
            if not isinstance(inner, str) or inner not in ("nan", "inf", "-inf"):
                raise DamagedFile(f"unknown float {quoted(inner)}")
            return float(inner)
        if tag == "$bytes":
            return bytes.fromhex(inner)
        if tag == "$dict":
            return {k: decode(v) for k, v in inner}
    except (TypeError, ValueError) as error:
        if isinstance(error, DamagedFile):
            raise
        raise DamagedFile(f"a malformed {tag} value: {_cut(str(error))}") from None
    raise DamagedFile(f"unknown value tag {quoted(tag)}")


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
            "columns": None if model.columns is None else list(model.columns),
        }
    except _Unsaveable as error:
        raise TypeError(f"cannot save the model {model.expression!r}: it holds {error}") from None


_MODEL_ENTRIES = ("dnames", "fnames", "params", "kind", "sample_count", "loss", "score", "metrics", "classes")


class DamagedFile(ValueError):
    """A file that is not a model file vant wrote, or one damaged since:
    the message says what is wrong, naming the field."""

    def __init__(self, what: str):
        super().__init__(f"not a vant model file: {what}")


def _json_type(value: object) -> str:
    return {dict: "an object", list: "a list", str: "a string", bool: "a boolean", type(None): "null"}.get(
        type(value), "a number")


def _strings(where: str, value: object) -> list[str]:
    if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
        raise DamagedFile(f"{where} must be a list of strings, not {_json_type(value)}")
    return value


def _index(where: str, value: object, count: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < count:
        raise DamagedFile(f"{where} must be the index of one of its {count} models, not {quoted(value)}")
    return value


def _real(where: str, value: object) -> float:
    value = decode(value)
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise DamagedFile(f"{where} must be a number, not {_json_type(value)}")
    try:
        return float(value)
    except OverflowError:
        raise DamagedFile(f"{where} is an integer beyond the largest float") from None


def _columns(where: str, value: object) -> tuple[str, ...] | None:
    """A model's columns in their order; files of earlier versions have none."""
    return None if value is None else tuple(_strings(where, value))


def model_from_record(record: object, where: str = "model") -> FoundModel:
    """The FoundModel of a record that `model_record` wrote, every field
    checked; a DamagedFile names the field that is wrong."""
    from ._found import _MAX_SAMPLE_COUNT, FoundModel

    if not isinstance(record, dict):
        raise DamagedFile(f"{where} must be an object, not {_json_type(record)}")
    for key in _MODEL_ENTRIES:
        if key not in record:
            raise DamagedFile(f"{where} has no {key!r} entry")
    dnames, fnames = _strings(f"{where}.dnames", record["dnames"]), _strings(f"{where}.fnames", record["fnames"])
    count = record["sample_count"]
    if isinstance(count, bool) or not isinstance(count, int) or not 0 <= count <= _MAX_SAMPLE_COUNT:
        raise DamagedFile(f"{where}.sample_count must be an integer from 0 to {_MAX_SAMPLE_COUNT}, not {quoted(count)}")
    if not isinstance(record["kind"], str):
        raise DamagedFile(f"{where}.kind must be 'regression' or 'classification', not {_json_type(record['kind'])}")
    metrics, classes = decode(record["metrics"]), decode(record["classes"])
    if not isinstance(metrics, dict):
        raise DamagedFile(f"{where}.metrics must be an object, not {_json_type(metrics)}")
    if classes is not None and not isinstance(classes, list):
        raise DamagedFile(f"{where}.classes must be null or a list, not {_json_type(classes)}")
    params = decode(record["params"])
    if not isinstance(params, list):
        raise DamagedFile(f"{where}.params must be a list of objects, not {_json_type(params)}")
    try:
        return FoundModel(dnames, fnames, params, record["kind"], sample_count=count,
                          loss=_real(f"{where}.loss", record["loss"]), score=_real(f"{where}.score", record["score"]),
                          metrics=metrics, classes=None if classes is None else tuple(classes),
                          columns=_columns(f"{where}.columns", record.get("columns")))
    except (TypeError, ValueError) as error:
        if isinstance(error, DamagedFile):
            raise
        raise DamagedFile(f"{where}: {_cut(str(error))}") from None


def _cut(text: str, length: int = 300) -> str:
    """A message cut to `length` characters: one quoting a 200 MB value
    would be 200 MB long."""
    return text if len(text) <= length else text[:length] + f"... ({len(text)} characters)"


def read_params(document: dict[str, Any], estimator_class: type[SymbolicRegressor | SymbolicClassifier]
                ) -> dict[str, Any]:
    """The parameters of a saved estimator; those the file lacks (it was
    written before they existed) keep their defaults."""
    params = document.get("params")
    if not isinstance(params, dict):
        raise DamagedFile(f"params must be an object of the estimator's parameters, not {_json_type(params)}")
    known = estimator_class._get_param_names()
    for name in params:
        if name not in known:
            raise DamagedFile(f"params: {quoted(name)} is not a parameter of {estimator_class.__name__}")
    return {name: decode(value) for name, value in params.items()}


# Data with more columns than this does not fit in any memory: a saved count
# beyond it is damage.
MAX_FEATURES = 10_000_000

_FITTED_ENTRIES = ("n_features_in", "feature_names_in", "categorical_inputs", "searches")


def read_fitted(fitted: object, kind: str) -> dict[str, Any]:
    """The fields of an estimator's fitted state from its record, checked
    against each other: the kind of every model against the estimator's, the
    indices of each front and choice, the classes against the searches, the
    columns the models read against the feature names and count."""
    from ._elements import CATEGORICAL_INPUT, INPUT_TYPES

    if not isinstance(fitted, dict):
        raise DamagedFile(f"fitted must be an object, not {_json_type(fitted)}")
    for key in _FITTED_ENTRIES + (("classes",) if kind == "classification" else ()):
        if key not in fitted:
            raise DamagedFile(f"fitted has no {key!r} entry")
    n = fitted["n_features_in"]
    if isinstance(n, bool) or not isinstance(n, int) or not 1 <= n <= MAX_FEATURES:
        raise DamagedFile(f"fitted.n_features_in must be a count of columns from 1 to {MAX_FEATURES}, "
                          f"not {quoted(n)}")
    names = fitted["feature_names_in"]
    if names is not None:
        names = _strings("fitted.feature_names_in", names)
        if len(names) != n or len(set(names)) != n:
            raise DamagedFile(f"fitted.feature_names_in must name n_features_in={n} distinct columns, "
                              f"not {len(set(names))} of {len(names)}")
    categorical = frozenset(_strings("fitted.categorical_inputs", fitted["categorical_inputs"]))
    is_column = set(names).__contains__ if names is not None else lambda name: _unnamed_column(name, n)
    for name in categorical:
        if not is_column(name):
            raise DamagedFile(f"fitted.categorical_inputs names {quoted(name)}, which is not a column")
    classes = _read_classes(fitted["classes"]) if kind == "classification" else None
    searches = fitted["searches"]
    if not isinstance(searches, list):
        raise DamagedFile(f"fitted.searches must be a list, not {_json_type(searches)}")
    found, fronts, chosen = [], [], []
    for k, search in enumerate(searches):
        where = f"fitted.searches[{k}]"
        if not isinstance(search, dict) or not all(key in search for key in ("models", "front", "chosen")):
            raise DamagedFile(f"{where} must be an object with 'models', 'front' and 'chosen'")
        records = search["models"]
        if not isinstance(records, list) or not records:
            raise DamagedFile(f"{where}.models must be a non-empty list")
        models = [model_from_record(record, f"{where}.models[{i}]") for i, record in enumerate(records)]
        for i, model in enumerate(models):
            _check_model_fits(f"{where}.models[{i}]", model, kind, is_column, categorical, CATEGORICAL_INPUT,
                              INPUT_TYPES)
        front = search["front"]
        if not isinstance(front, list) or not front:
            raise DamagedFile(f"{where}.front must be a non-empty list of model indices")
        front = [_index(f"{where}.front[{j}]", index, len(models)) for j, index in enumerate(front)]
        if len(set(front)) != len(front):
            raise DamagedFile(f"{where}.front lists a model more than once")
        choice = _index(f"{where}.chosen", search["chosen"], len(models))
        if choice not in front:
            raise DamagedFile(f"{where}.chosen must be one of the models of its front, not model {choice}")
        found.append(models)
        fronts.append([models[j] for j in front])
        chosen.append(models[choice])
    wanted = 1 if classes is None or len(classes) == 2 else len(classes)
    if len(searches) != wanted:
        raise DamagedFile(f"fitted.searches must be a list of {wanted} search{'es' if wanted > 1 else ''} "
                          f"({'one per class' if wanted > 1 else 'one formula'}), not {len(searches)}")
    return {"n_features_in": n, "feature_names_in": None if names is None else np.asarray(names, dtype=object),
            "categorical_inputs": categorical, "found": found, "fronts": fronts, "chosen": chosen,
            "classes": classes}


def _unnamed_column(name: str, n: int) -> bool:
    """Whether `name` is one of x0 ... x{n-1}, the columns of an array X."""
    return name[:1] == "x" and name[1:].isdigit() and str(int(name[1:])) == name[1:] and int(name[1:]) < n


def _check_model_fits(where: str, model: FoundModel, kind: str, is_column: Callable[[str], bool],
                      categorical: frozenset[str], categorical_type: str, input_types: Container[str]) -> None:
    if model.kind != kind:
        raise DamagedFile(f"{where} is a {model.kind} model, in the file of a {kind} estimator")
    for dname, fname in zip(model.dnames, model.fnames):
        if fname not in input_types:
            continue
        if not is_column(dname):
            raise DamagedFile(f"{where} reads the column {quoted(dname)}, which is not one of the estimator's")
        if (fname == categorical_type) != (dname in categorical):
            listed = "lists" if dname in categorical else "does not list"
            raise DamagedFile(f"{where} reads the column {quoted(dname)} as {fname}, but categorical_inputs "
                              f"{listed} it")


# The kinds of numpy dtype a class list may have: numbers, text, objects.
_CLASS_KINDS = "biufUSO"


def _read_classes(record: object) -> np.ndarray:
    if not isinstance(record, dict) or "values" not in record or "dtype" not in record:
        raise DamagedFile("fitted.classes must be an object with 'values' and 'dtype'")
    values = decode(record["values"])
    if not isinstance(values, list):
        raise DamagedFile(f"fitted.classes.values must be a list, not {_json_type(values)}")
    try:
        dtype = np.dtype(record["dtype"])
    except (TypeError, ValueError):
        raise DamagedFile(f"fitted.classes.dtype is not a numpy dtype: {quoted(record['dtype'])}") from None
    if dtype.kind not in _CLASS_KINDS:
        raise DamagedFile(f"fitted.classes.dtype must be a dtype of numbers, text or objects, not {dtype.str}")
    if dtype.kind == "O":
        classes = np.empty(len(values), dtype=object)
        classes[:] = values
    else:
        try:
            classes = np.asarray(values, dtype=dtype)
        except (TypeError, ValueError, OverflowError):
            raise DamagedFile(f"fitted.classes.values are not of the dtype {dtype.str}") from None
    if classes.ndim != 1 or len(classes) < 2:
        raise DamagedFile(f"fitted.classes must list at least two classes, not {len(values)}")
    try:
        distinct = len(set(classes.tolist()))
    except TypeError:
        raise DamagedFile("fitted.classes holds a value that cannot be a class (it is not hashable)") from None
    if distinct != len(classes):
        raise DamagedFile("fitted.classes lists a class more than once")
    return classes


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
        "not a vant model file: ..." with what is wrong (naming the field)
        when the text is not a vant model file or is damaged; another
        message when a newer vant wrote it in a format this one does not
        know.

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
    except RecursionError:
        raise DamagedFile("its JSON is nested too deeply") from None
    except UnicodeDecodeError:
        raise DamagedFile("it is not UTF-8 text (a binary file?)") from None
    except ValueError as error:  # not JSON, or an integer of thousands of digits
        raise DamagedFile(_cut(str(error))) from None
    try:
        return _read_document(document)
    except RecursionError:
        raise DamagedFile("its values are nested too deeply") from None


def _read_document(document: object) -> FoundModel | SymbolicRegressor | SymbolicClassifier:
    if not isinstance(document, dict) or "vant" not in document or "type" not in document:
        raise DamagedFile("it lacks the 'vant' format version and the 'type'")
    version = document["vant"]
    if not isinstance(version, int) or isinstance(version, bool) or version < 1:
        raise DamagedFile(f"format version {quoted(version)}")
    if version > FORMAT_VERSION:
        raise ValueError(f"the file has format version {version}, written by a newer vant; this one reads "
                         f"versions up to {FORMAT_VERSION}: upgrade vant to load it")
    kind = document["type"]
    if not isinstance(kind, str):
        raise DamagedFile(f"'type' must be the name of a class, not {_json_type(kind)}")
    if kind == "FoundModel":
        return model_from_record(document.get("model"))
    from ._estimators import ESTIMATORS
    if kind not in ESTIMATORS:
        raise DamagedFile(f"it holds a {quoted(kind)}, a type vant does not know")
    loaded: SymbolicRegressor | SymbolicClassifier = ESTIMATORS[kind]._from_record(document)
    return loaded


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
        "not a vant model file: ..." with what is wrong (naming the field)
        when it is not a vant model file or is damaged; another message
        when a newer vant wrote it in a format this one does not know.

    See Also
    --------
    load_json : the same, from text.
    """
    with open(path, "rb") as file:
        return load_json(file.read())
