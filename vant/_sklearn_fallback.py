"""What the estimators take from scikit-learn, for when it is not installed:
parameters read from the signature of `__init__`, `get_params`/`set_params`,
and the exceptions and warnings under the same names."""

from __future__ import annotations

import html
import inspect


class NotFittedError(ValueError, AttributeError):
    """The estimator is used before `fit`."""


class DataConversionWarning(UserWarning):
    """The input was converted to the shape or type the estimator needs."""


class BaseEstimator:
    @classmethod
    def _get_param_names(cls) -> list[str]:
        signature = inspect.signature(cls.__init__)
        return sorted(name for name, p in signature.parameters.items()
                      if name != "self" and p.kind is not inspect.Parameter.VAR_KEYWORD)

    def get_params(self, deep: bool = True) -> dict:
        """The estimator's parameters, as its constructor took them.

        Parameters
        ----------
        deep : bool, default True
            Accepted for scikit-learn's signature; the parameters hold no
            estimators, so it changes nothing.

        Returns
        -------
        dict
            Parameter name to value.
        """
        return {name: getattr(self, name) for name in self._get_param_names()}

    def set_params(self, **params):
        """Set parameters by name, as the constructor would.

        Parameters
        ----------
        **params
            Parameter names and their new values.

        Returns
        -------
        self

        Raises
        ------
        ValueError
            For a name that is not one of the estimator's parameters.
        """
        valid = self._get_param_names()
        for name, value in params.items():
            if name not in valid:
                raise ValueError(f"Invalid parameter {name!r} for estimator {type(self).__name__}; "
                                 f"valid parameters are {valid}")
            setattr(self, name, value)
        return self

    # What a notebook shows: the repr, as a block of text.
    @property
    def _repr_html_(self):
        return self._repr_html_inner

    def _repr_html_inner(self) -> str:
        return f"<pre>{html.escape(repr(self))}</pre>"

    def _repr_mimebundle_(self, **kwargs) -> dict:
        return {"text/plain": repr(self), "text/html": self._repr_html_inner()}

    def __repr__(self) -> str:
        defaults = {name: p.default for name, p in inspect.signature(type(self).__init__).parameters.items()}
        changed = [f"{name}={value!r}" for name, value in self.get_params().items()
                   if not _same(value, defaults.get(name))]
        return f"{type(self).__name__}({', '.join(changed)})"


def _same(a, b) -> bool:
    try:
        return bool(a is b or a == b)
    except Exception:  # arrays and the like compare element-wise
        return False


class RegressorMixin:
    _estimator_type = "regressor"


class ClassifierMixin:
    _estimator_type = "classifier"
