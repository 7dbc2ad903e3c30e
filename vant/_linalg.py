"""Stand-in for the compiled vant._linalg in a source checkout (see
`vant._compiled`); not installed."""

from ._compiled import load_installed

load_installed(__name__, __file__)
