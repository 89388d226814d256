"""The package's face: the layer's and the server's public names import from
the package itself, and importing the native modules loads neither."""

from __future__ import annotations

import subprocess
import sys

import tessel_openai_server.kiv_velkor as package


def test_every_public_name_is_the_object_its_subpackage_defines():
    for name in package.__all__:
        value = getattr(package, name)
        home = sys.modules[f"{package.__name__}.{package._HOMES[name]}"]
        assert value is getattr(home, name), name


def test_importing_the_native_modules_loads_neither_the_layer_nor_the_server():
    code = ("import sys\n"
            "from tessel_openai_server.kiv_velkor import _quellan, _velkor, types\n"
            "print(sorted(m for m in sys.modules if '.streaming' in m or '.server' in m or m.startswith('starlette')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[]"
