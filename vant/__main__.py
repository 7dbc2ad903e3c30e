"""`python -m vant data.csv --target y`: see vant._cli."""

import sys

from ._cli import main

sys.exit(main())
