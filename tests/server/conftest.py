"""Fixtures of the server's tests (tests/support/serving.py)."""

from support.serving import (MODEL, WEATHER_TOOL, Server, _env, fake_pool, fake_quellan_path,  # noqa: F401
                             make_pool, model_path, place_library, runtimes, site, user)
