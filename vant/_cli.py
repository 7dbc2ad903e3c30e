"""The command line: search a CSV or Parquet file for formulas.

    python -m vant data.csv --target y [--kind classification] [--time-limit 60]
        [--seed 1] [--output models.json] [--plot front.png]

It prints the Pareto front as a table (the chosen model marked with *),
and writes the fitted estimator (every model found, the front and the
choice) as JSON and the front as a PNG when asked.  Errors in the input
are one line on standard error and exit status 2.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import warnings

from . import _params
from ._program import DEFAULT_MAX_ELEMENTS, MAX_ELEMENTS

EXIT_BAD_INPUT = 2
# As a shell reports a program ended by SIGPIPE.
EXIT_BROKEN_PIPE = 141
# What a shell reports for a command that Ctrl-C ended (128 + SIGINT).
EXIT_INTERRUPTED = 130

_DESCRIPTION = """\
Search a table for formulas that predict one column from the others.
Prints the Pareto front (the best formula of each size that no smaller one
beats, with its held-out loss); the chosen formula is marked with *."""

_EPILOG = """\
examples:
  python -m vant data.csv --target y --time-limit 30
  python -m vant data.parquet --target label --kind classification --output models.json --plot front.png
  python -m vant data.csv --target y --scheduler tcp://scheduler-host:8786
Load a saved file in Python with vant.load("models.json")."""


_PROG = "python -m vant"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=_PROG, description=_DESCRIPTION, epilog=_EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("data", help="a CSV file (or Parquet: .parquet/.pq, with pyarrow installed) "
                                     "with one column per variable and a header row")
    parser.add_argument("-t", "--target", required=True, help="the column to predict; all others are inputs")
    parser.add_argument("--kind", choices=("regression", "classification"), default="regression",
                        help="regression (a numeric target, squared error) or classification (two or more "
                             "classes, one formula per class beyond two); default: regression")
    parser.add_argument("--time-limit", type=_checked(_params.time_limit, float), default=60.0, metavar="SECONDS",
                        help="how long the search runs, in seconds (default: 60)")
    parser.add_argument("--seed", type=_checked(_params.seed, int), default=None,
                        help="a non-negative integer that makes the search repeatable for a given number of "
                             "rounds (default: a fresh seed each run)")
    parser.add_argument("--rounds", type=_checked(lambda n: _params.integer("rounds", n, 1), int), default=None,
                        help="stop after this many rounds even if time is left (default: no limit)")
    parser.add_argument("--population", type=_checked(_params.population, int), default=32, metavar="N",
                        help=f"new formulas tried per round (1 to {_params.MAX_POPULATION}; default: 32)")
    parser.add_argument("--max-elements", type=_checked(_params.max_elements, int), default=None,
                        metavar="N", help=f"the largest formula, in elements (2 to {MAX_ELEMENTS}; "
                                          f"default: {DEFAULT_MAX_ELEMENTS}, or four per input where that is "
                                          "more)")
    parser.add_argument("--operators", metavar="NAMES",
                        help="the functions formulas may use beyond add and multiply, comma-separated (e.g. "
                             "default,sin,cos), or 'all' for sin, cos, divide, pow and abs beside the default set")
    parser.add_argument("--categorical", metavar="NAMES",
                        help="columns to read as categories, comma-separated (columns of text are categorical "
                             "anyway; a column of numbers with a few stray texts is refused unless named here)")
    parser.add_argument("--max-categories", type=_checked(_params.max_categories, int),
                        default=_params.DEFAULT_MAX_CATEGORIES, metavar="N",
                        help="the most distinct values a categorical column may have (default: "
                             f"{_params.DEFAULT_MAX_CATEGORIES}); more suggests an identifier")
    parser.add_argument("--n-jobs", type=_checked(lambda n: _params.workers(n, None), int), default=-1,
                        help="training threads; -1 all cores, -2 all but one (default: -1)")
    parser.add_argument("--scheduler", type=_scheduler, metavar="ADDRESS",
                        help="train on the Dask cluster whose scheduler listens at ADDRESS, e.g. "
                             "tcp://host:8786 (needs vant[dask]; each worker runs the same vant); "
                             "--n-jobs then does not apply")
    parser.add_argument("--output", "-o", metavar="PATH",
                        help="write the fitted models to this JSON file (read with vant.load)")
    parser.add_argument("--plot", metavar="PATH", help="draw the front into this PNG file (needs matplotlib)")
    parser.add_argument("--verbose", "-v", action="count", default=0,
                        help="show progress (-vv: also a line per round)")
    parser.add_argument("--version", action="version", version=f"vant {_version()}")
    return parser


def _version() -> str:
    import vant
    return vant.__version__


def _checked(check, convert):
    """An argparse type: the text converted, then checked as `search` checks
    the argument (its message, without the argument's name, which argparse
    gives)."""
    def parse(text: str):
        try:
            value = convert(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"must be {'an integer' if convert is int else 'a number'}, "
                                             f"not {text!r}") from None
        try:
            check(value)
        except (TypeError, ValueError) as error:
            raise argparse.ArgumentTypeError(str(error)) from None
        return value
    return parse


def _scheduler(text: str) -> str:
    if "://" not in text:
        raise argparse.ArgumentTypeError(f"must be a scheduler address such as tcp://host:8786, not {text!r}")
    return text


class BadInput(Exception):
    """An error in what the user gave, reported as one line."""


class Interrupted(Exception):
    """Ctrl-C ended the search; what it had found was kept, as the message says."""


def read_table(path: str):
    """The file as a pandas DataFrame: Parquet by its extension, else CSV."""
    try:
        import pandas
    except ImportError:
        raise BadInput("reading a table needs pandas: pip install 'vant[pandas]'") from None
    if os.path.isdir(path):
        raise BadInput(f"{path} is a folder, not a data file")
    if not os.path.isfile(path):
        raise BadInput(f"no such file: {path}")
    try:
        if path.lower().endswith((".parquet", ".pq")):
            return pandas.read_parquet(path)
        return pandas.read_csv(path)
    except ImportError as error:  # Parquet without a working pyarrow
        raise BadInput(f"cannot read {path}: {_one_line(error)}") from None
    except (OSError, ValueError, UnicodeDecodeError) as error:  # pandas' parser errors are ValueErrors
        raise BadInput(f"cannot read {path}: {_one_line(error)}") from None


def _one_line(error: BaseException) -> str:
    text = str(error).strip() or type(error).__name__
    return text.splitlines()[0]


def format_front(estimator) -> str:
    """The front as an aligned text table, the chosen model marked with *."""
    header, table = estimator._front_cells()
    widths = [max(len(r[i]) for r in [header] + table) for i in range(len(header))]
    lines = []
    for cells in [header] + table:
        padded = [c.rjust(w) if i < len(cells) - 1 else c for i, (c, w) in enumerate(zip(cells, widths))]
        lines.append("  ".join(padded).rstrip())
    return "\n".join(lines)


def _operators(text: str | None):
    if text is None or text == "all":
        return text
    return _comma_list(text)


def _comma_list(text: str | None) -> list[str]:
    return [name.strip() for name in (text or "").split(",") if name.strip()]


def _check_writable(path: str | None, option: str) -> None:
    """Refuse an output path that cannot be written before the search, not
    after it: the file is opened for writing (and removed again unless it
    was there before)."""
    if path is None:
        return
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise BadInput(f"{option}: no such folder: {folder}")
    if os.path.isdir(path):
        raise BadInput(f"{option}: {path} is a folder")
    existed = os.path.exists(path)
    try:
        with open(path, "a"):
            pass
    except OSError as error:
        raise BadInput(f"{option}: cannot write {path}: {error.strerror or error}") from None
    if not existed:
        os.remove(path)


def run(arguments: argparse.Namespace) -> None:
    _check_writable(arguments.output, "--output")
    _check_writable(arguments.plot, "--plot")
    frame = read_table(arguments.data)
    if arguments.target not in frame.columns:
        known = ", ".join(map(str, frame.columns[:10])) + (", ..." if len(frame.columns) > 10 else "")
        raise BadInput(f"no column {arguments.target!r} in {arguments.data} (columns: {known})")
    X = frame.drop(columns=[arguments.target])
    y = frame[arguments.target]
    if X.shape[1] == 0:
        raise BadInput(f"{arguments.data} has no column besides the target to build a formula from")

    from ._estimators import SymbolicClassifier, SymbolicRegressor
    estimator_class = SymbolicClassifier if arguments.kind == "classification" else SymbolicRegressor
    estimator = estimator_class(time_limit=arguments.time_limit, rounds=arguments.rounds,
                                population=arguments.population, max_elements=arguments.max_elements,
                                categorical=_comma_list(arguments.categorical),
                                max_categories=arguments.max_categories,
                                operators=_operators(arguments.operators), random_state=arguments.seed,
                                n_jobs=arguments.n_jobs, executor=arguments.scheduler,
                                verbose=min(arguments.verbose, 2))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            estimator.fit(X, y)
        except (ValueError, KeyError, TypeError, ConnectionError, ImportError) as error:
            raise BadInput(_one_line(error)) from None
    interrupted = any(model.metrics.get("stopped") == "interrupted" for model in estimator._chosen)
    for warning in caught:
        # The search's own note of an interruption becomes the last line below.
        if not (interrupted and "interrupted" in str(warning.message)):
            print(f"{_PROG}: warning: {_one_line(warning.message)}", file=sys.stderr)
    print(format_front(estimator))
    legend = renamed_columns(estimator)
    if legend:
        print("\ncolumns renamed in the formulas:")
        print("\n".join(f"  {identifier} = {column}" for identifier, column in legend.items()))
    for model in estimator._chosen:
        if model.tables:
            print("\nchosen: " + str(model))
    print()
    if arguments.output:
        try:
            estimator.save(arguments.output)
        except (OSError, TypeError) as error:
            raise BadInput(f"cannot write {arguments.output}: {_one_line(error)}") from None
        print(f"models written to {arguments.output}")
    if arguments.plot:
        _write_plot(estimator, arguments.plot)
        print(f"front drawn in {arguments.plot}")
    if interrupted:
        kept = " and written to " + arguments.output if arguments.output else ""
        raise Interrupted("interrupted: the front above holds the formulas found until then" + kept)


def renamed_columns(estimator) -> dict[str, str]:
    """Identifier -> column, for the columns that the formulas of the fronts
    name otherwise than the table does."""
    legend: dict[str, str] = {}
    for front in estimator._fronts:
        for model in front:
            legend.update(model.legend)
    order = {str(column): i for i, column in enumerate(getattr(estimator, "feature_names_in_", ()))}
    return dict(sorted(legend.items(), key=lambda item: order.get(item[1], len(order))))


def _write_plot(estimator, path: str) -> None:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise BadInput("--plot needs matplotlib: pip install 'vant[plot]'") from None
    from ._plot import figure_size
    # No pyplot: no display is needed to write a file.
    figure = Figure(figsize=figure_size(len(estimator._fronts)), layout="constrained")
    estimator.plot_pareto_front(ax=figure.subplots())
    try:
        figure.savefig(path, dpi=110)
    except (OSError, ValueError) as error:
        raise BadInput(f"cannot write {path}: {_one_line(error)}") from None


def entry_point() -> None:
    """The `vant` command that pip installs: `python -m vant` under another name."""
    sys.exit(main())


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    arguments = parser.parse_args(argv)  # usage errors exit with status 2 themselves
    try:
        run(arguments)
    except BadInput as error:
        print(f"{_PROG}: error: {error}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except BrokenPipeError:
        # The reader of the output went away (`| head`): nothing more to say,
        # and the interpreter must not fail flushing the closed pipe at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except Interrupted as report:
        print(f"{_PROG}: {report}", file=sys.stderr)
        return EXIT_INTERRUPTED
    except KeyboardInterrupt:
        # Before the search found anything, or a second Ctrl-C.
        print(f"{_PROG}: interrupted; nothing was kept", file=sys.stderr)
        return EXIT_INTERRUPTED
    return 0
