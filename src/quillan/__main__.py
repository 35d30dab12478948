"""python -m quillan: the command-line tool (see quillan.cli)."""

import sys

from quillan.cli import main

sys.exit(main())
