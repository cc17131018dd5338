"""``python -m morvent.cli``: the command line."""

import sys

from morvent.cli import main

sys.exit(main())
