"""Stand-in for the compiled vant._operators in a source checkout.

An installed vant holds the compiled module, built from
kestor_ext/operators/, and this file is not installed.  When the source tree
is imported instead (Python started in the repository root puts it ahead of
the installed package on sys.path), this file loads the compiled module of
the installed vant in its place, so that importing the operator types works
the same from both.
"""

import importlib.machinery
import importlib.util
import os
import sys


def _installed_module_location():
    here = os.path.dirname(os.path.abspath(__file__))
    elsewhere = [os.path.join(entry, "vant") for entry in sys.path if isinstance(entry, str)]
    elsewhere = [d for d in elsewhere if os.path.isdir(d) and os.path.abspath(d) != here]
    location = importlib.machinery.PathFinder.find_spec(__name__, elsewhere)
    if location is None or not isinstance(location.loader, importlib.machinery.ExtensionFileLoader):
        raise ImportError(f"{__name__} is not built; install the package (make install)", name=__name__)
    return location


def _load_installed():
    location = _installed_module_location()
    module = importlib.util.module_from_spec(location)
    sys.modules[__name__] = module  # the import statement returns what is here after this file ran
    location.loader.exec_module(module)


_load_installed()
