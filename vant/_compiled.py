"""Loading a compiled module of vant from a source checkout.

An installed vant holds its compiled modules (`vant._operators`,
`vant._linalg`), built from kestor_ext/; the source tree holds stand-ins of
the same names, which are not installed.  When the source tree is imported
instead of the installed package (Python started in the repository root
puts it first on sys.path), a stand-in calls `load_installed`, which loads
the installed package's compiled module in its place, so that importing it
works the same from both.
"""

import importlib.machinery
import importlib.util
import os
import sys


def _installed_module_location(name: str, source_directory: str):
    here = os.path.abspath(source_directory)
    elsewhere = [os.path.join(entry, "vant") for entry in sys.path if isinstance(entry, str)]
    elsewhere = [d for d in elsewhere if os.path.isdir(d) and os.path.abspath(d) != here]
    location = importlib.machinery.PathFinder.find_spec(name, elsewhere)
    if location is None or not isinstance(location.loader, importlib.machinery.ExtensionFileLoader):
        raise ImportError(f"{name} is not built; install the package (make install)", name=name)
    return location


def load_installed(name: str, stand_in_file: str) -> None:
    """Put the installed compiled module `name` where the stand-in at
    `stand_in_file` is being imported."""
    location = _installed_module_location(name, os.path.dirname(stand_in_file))
    module = importlib.util.module_from_spec(location)
    sys.modules[name] = module  # the import statement returns what is here after the stand-in ran
    location.loader.exec_module(module)
