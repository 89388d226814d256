"""Repeated lifecycles leave nothing behind: references, Python allocations or
resident memory."""

from __future__ import annotations

import gc
import os
import signal
import sys
import tracemalloc

import numpy as np
import pytest

from support.measure import c_heap_in_use, rss_kib
from tessel_openai_server.kiv_velkor import _velkor


def cycle(fake, image):
    obj = _velkor.VELKOR()
    obj._restore_sigint_handler()
    obj.init("m", on_token=lambda *a: None, mmproj_path="p", sampler_params={"t": 1})
    obj.run("<|image_pad|>", images=[image], tool_schemas=[{"x": 1}], userdata=image)
    obj.uninit()
    del obj


@pytest.mark.skipif("sanitize" in os.environ.get("KIV_TEST_CXXFLAGS", ""),
                    reason="a sanitizer build holds freed memory in quarantine, and runs with the "
                           "interpreter's allocator off")
def test_construct_init_run_uninit_destroy_is_flat(fake):
    image = np.zeros((8, 8, 3), np.uint8)

    def cycles(count):
        for i in range(count):
            if i % 1000 == 0:
                fake.lib.fake_reset()  # the fake's own call log grows with every call
                for _ in range(3):
                    fake.result(b"piece", state=0)
                fake.tool(b"f", b"{}")
            cycle(fake, image)
        gc.collect()

    cycles(500)  # warm-up: caches, interned strings
    image_refs = sys.getrefcount(image)

    # Python blocks: only allocations made under this loop count (other threads
    # of the test process allocate meanwhile). Counted in blocks, not bytes: a
    # table of the interpreter's that grows once under the loop (the interned
    # strings') is one block of megabytes. The interpreter's own caches settle
    # at a few hundred blocks whatever the length of the loop; one object lost
    # per cycle would be 5000.
    tracemalloc.start(32)
    only_here = [tracemalloc.Filter(True, __file__, all_frames=True)]
    before = tracemalloc.take_snapshot().filter_traces(only_here)
    cycles(5000)
    after = tracemalloc.take_snapshot().filter_traces(only_here)
    tracemalloc.stop()
    grown_blocks = sum(stat.count_diff for stat in after.compare_to(before, "filename"))
    assert sys.getrefcount(image) == image_refs
    assert grown_blocks < 2500, grown_blocks

    # Native memory, measured untraced (tracemalloc's own tables live on the C
    # heap): 200 bytes lost per cycle would be 400 kB a window; resident size
    # also catches a mapping kept per cycle. A leak grows in every window; a
    # table of the process that grows once (by about 1 MB after some earlier
    # tests) grows in one: two windows in a row must grow to fail.
    heap, resident = [], []
    for _ in range(2):
        before_heap, before_rss = c_heap_in_use(), rss_kib()
        cycles(2000)
        heap.append(c_heap_in_use() - before_heap)
        resident.append(rss_kib() - before_rss)
    assert min(heap) < 256 * 1024, heap
    assert min(resident) < 8 * 1024, resident
    assert sys.getrefcount(image) == image_refs


def test_image_array_released_on_every_path(fake):
    import pytest
    obj = _velkor.VELKOR()
    obj.init("m", mmproj_path="p")
    obj._restore_sigint_handler()  # no chaining: signal_handler below only flags and breaks
    images = [np.zeros((1, 1, 3), np.uint8)] * 1000  # a 32 kB image array per run
    bad = images[:-1] + [np.zeros((1, 1))]

    def normal():
        obj.run("x", images=images)

    def failing():
        with pytest.raises(ValueError):
            obj.run("x", images=bad)

    def on_token(result, userdata, status):
        if userdata == "interrupt":
            obj.signal_handler(2, None)

    obj.init("m", mmproj_path="p", on_token=on_token)
    fake.result(b"x")
    def interrupted():
        with pytest.raises(KeyboardInterrupt):
            obj.run("x", images=images, userdata="interrupt")

    for path in (normal, failing, interrupted):
        for _ in range(20):
            path()
            fake.lib.fake_clear_log()
        before = c_heap_in_use()
        for _ in range(200):
            path()
            fake.lib.fake_clear_log()
        # 200 runs x 32 kB would be 6.4 MB if the array were kept.
        assert c_heap_in_use() - before < 512 * 1024, path.__name__
