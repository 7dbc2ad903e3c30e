"""`python -m vant data.csv --target y`: see vant._cli."""

import sys

try:
    from ._cli import main
except KeyboardInterrupt:  # Ctrl-C while the command starts: the status of an interrupted command
    sys.exit(130)

sys.exit(main())
