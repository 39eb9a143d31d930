"""Device-level settings.

- ``ZELK_TOKEN_FILE``: the file that holds the device authentication token
  (``TOKEN_FILE``). Default ``/etc/zelk/device_token``.
"""

from __future__ import annotations

import os

TOKEN_FILE = os.environ.get("ZELK_TOKEN_FILE", "/etc/zelk/device_token")
