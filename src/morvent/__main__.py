"""``python -m morvent``: the command line."""

import sys

from morvent.cli import main

sys.exit(main())
