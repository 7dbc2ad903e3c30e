"""Program generation for the search: `ProgramCollection` and program helpers."""

from ._programcollection import ProgramCollection, check_program, program_key, simplifications

__all__ = ["ProgramCollection", "check_program", "program_key", "simplifications"]
