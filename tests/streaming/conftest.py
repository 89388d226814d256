"""Fixtures of the streaming layer's tests (tests/support/serving.py)."""

from support.serving import (MODEL, WEATHER_TOOL, fake_pool, fake_quellan_path, make_pool,  # noqa: F401
                             model_path, place_library, runtimes, site, user)
