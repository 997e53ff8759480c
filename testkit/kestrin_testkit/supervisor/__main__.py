"""python3 -m kestrin_testkit.supervisor SETTINGS: the supervisor process (service.py)."""

import sys

from kestrin_testkit.supervisor.service import main

sys.exit(main())
