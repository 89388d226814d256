"""Checks that the modules this interpreter imports are the given wheel's files,
byte for byte, and says where they were imported from.

    python scripts/imported_from_wheel.py WHEEL
"""

import platform
import sys
import zipfile
from pathlib import Path

from tessel_openai_server.kiv_velkor import _quellan, _velkor

wheel = zipfile.ZipFile(sys.argv[1])
for module in (_velkor, _quellan):
    path = Path(str(module.__file__))
    assert path.read_bytes() == wheel.read(f"tessel_openai_server/kiv_velkor/{path.name}"), path
    print(f"imported from the wheel by Python {platform.python_version()} on {platform.machine()}: {path}")
