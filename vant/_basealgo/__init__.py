"""Program generation for the search: `ProgramCollection`."""

from ._programcollection import ProgramCollection

__all__ = ["ProgramCollection"]
