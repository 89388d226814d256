"""Repeated lifecycles leave nothing behind: references, Python allocations or
resident memory."""

from __future__ import annotations

import gc
import signal
import sys
import tracemalloc

import numpy as np

from tessel_openai_server.kiv_velkor import _velkor


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cycle(fake, image):
    obj = _velkor.VELKOR()
    obj._restore_sigint_handler()
    obj.init("m", on_token=lambda *a: None, mmproj_path="p", sampler_params={"t": 1})
    obj.run("<|image_pad|>", images=[image], tool_schemas=[{"x": 1}], userdata=image)
    obj.uninit()
    del obj


def test_construct_init_run_uninit_destroy_is_flat(fake):
    image = np.zeros((8, 8, 3), np.uint8)
    for _ in range(3):
        fake.result(b"piece", state=0)
    fake.tool(b"f", b"{}")
    for _ in range(500):  # warm-up: caches, interned strings
        cycle(fake, image)
    fake.lib.fake_reset()
    for _ in range(3):
        fake.result(b"piece", state=0)
    fake.tool(b"f", b"{}")
    gc.collect()
    image_refs = sys.getrefcount(image)
    tracemalloc.start()
    before_py = tracemalloc.get_traced_memory()[0]
    before_rss = rss_kib()
    for i in range(5000):
        cycle(fake, image)
        if i % 1000 == 0:
            fake.lib.fake_reset()  # the fake's own call log grows with every call
            for _ in range(3):
                fake.result(b"piece", state=0)
            fake.tool(b"f", b"{}")
    gc.collect()
    grown_py = tracemalloc.get_traced_memory()[0] - before_py
    tracemalloc.stop()
    assert sys.getrefcount(image) == image_refs
    # Free lists and caches settle below this; one object lost per cycle would
    # be 5000 objects, far above it.
    assert grown_py < 128 * 1024, grown_py
    assert rss_kib() - before_rss < 4 * 1024
