"""``python -m zelk_sdk``: the zelk-sdk command, where its script is not on PATH."""

import sys

from zelk_sdk.cli import main

sys.exit(main())
