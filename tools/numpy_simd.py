"""Print the interpreter, numpy and numpy's SIMD features (baseline and found).

numpy's vectorised exp and log differ from the C library's in the last bit
on some CPUs (AVX-512), so a numeric failure is traced to a machine by this
line.
"""

import sys

import numpy

try:
    from numpy._core import _multiarray_umath as umath
except ImportError:  # numpy 1.x
    from numpy.core import _multiarray_umath as umath

found = [name for name, present in umath.__cpu_features__.items()
         if present and name in umath.__cpu_dispatch__]
print("python", sys.version.split()[0], "numpy", numpy.__version__,
      "| SIMD baseline:", " ".join(umath.__cpu_baseline__) or "none",
      "| found:", " ".join(found) or "none")
