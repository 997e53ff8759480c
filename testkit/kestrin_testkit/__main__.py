"""python3 -m kestrin_testkit run ... : the kestrin-testkit command, from a checkout."""

import sys

from kestrin_testkit.cli import main

sys.exit(main())
