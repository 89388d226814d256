"""as_rgb888: layouts, dtypes, value ranges and the two messages."""

from __future__ import annotations

import numpy as np
import pytest

from tessel_openai_server.kiv_velkor import _velkor

as_rgb888 = _velkor.as_rgb888


def test_row_major_uint8_hwc_is_returned_as_is():
    img = np.zeros((480, 640, 3), np.uint8)
    assert as_rgb888(img) is img


def check(out, shape, expected=None):
    assert out.dtype == np.uint8 and out.shape == shape and out.flags["C_CONTIGUOUS"]
    if expected is not None:
        np.testing.assert_array_equal(out, np.asarray(expected, np.uint8).reshape(shape))


@pytest.mark.parametrize("image, shape, expected", [
    # float CHW in 0..1: scaled by 255 and truncated (0.5 gives 127)
    (np.array([1.0, 0.5, 0.0], np.float32).reshape(3, 1, 1), (1, 1, 3), [255, 127, 0]),
    # float above 1.000001: clipped and truncated, not scaled
    (np.array([[[300.7, 2.0, -4.0]]]), (1, 1, 3), [255, 2, 0]),
    # exactly 1.000001 still scales
    (np.array([[[1.000001, 0.0, 0.0]]]), (1, 1, 3), [255, 0, 0]),
    # all zero float is scaled (maximum 0)
    (np.zeros((2, 2, 3), np.float64), (2, 2, 3), np.zeros(12)),
    # negatives with maximum at most 1: scaled, negatives become 0
    (np.array([[[-0.5, 1.0, 0.2]]]), (1, 1, 3), [0, 255, 51]),
    # (3, 3, 3) counts as HWC, not transposed
    (np.arange(27, dtype=np.uint8).reshape(3, 3, 3), (3, 3, 3), np.arange(27)),
    # (3, W, 4): CHW, transposed to (W, 4, 3)
    (np.arange(24, dtype=np.uint8).reshape(3, 2, 4), (2, 4, 3),
     np.transpose(np.arange(24).reshape(3, 2, 4), (1, 2, 0))),
    # RGBA loses alpha
    (np.arange(8, dtype=np.uint8).reshape(1, 2, 4), (1, 2, 3), [0, 1, 2, 4, 5, 6]),
    # int64 clipped, not rescaled
    (np.array([[[-5, 128, 300]]], np.int64), (1, 1, 3), [0, 128, 255]),
    (np.array([[[1000, 7, 255]]], np.uint16), (1, 1, 3), [255, 7, 255]),
    # nested lists of small ints
    ([[[1, 2, 3], [4, 5, 6]]], (1, 2, 3), [1, 2, 3, 4, 5, 6]),
    # empty float image: not scaled, comes back empty
    (np.zeros((0, 640, 3), np.float32), (0, 640, 3), None),
    # a sliced view is copied into row-major order
    (np.arange(36, dtype=np.uint8).reshape(2, 6, 3)[:, ::2], (2, 3, 3),
     np.arange(36).reshape(2, 6, 3)[:, ::2]),
])
def test_conversions(image, shape, expected):
    check(as_rgb888(image), shape, expected)


@pytest.mark.filterwarnings("ignore:invalid value encountered in cast:RuntimeWarning")
def test_nan_maximum_is_not_scaled():
    img = np.array([[[np.nan, 0.5, 0.25]]], np.float32)
    out = as_rgb888(img)
    assert out.shape == (1, 1, 3) and out[0, 0, 1] == 0 and out[0, 0, 2] == 0


@pytest.mark.parametrize("image, message", [
    (np.zeros((480, 640)), "Image must be 3D (H,W,C) or (C,H,W), got shape (480, 640)"),
    (np.zeros((2, 2, 2, 3)), "Image must be 3D (H,W,C) or (C,H,W), got shape (2, 2, 2, 3)"),
    (np.zeros((4, 5, 6)), "Image must have 3 colour channels (RGB), got shape (4, 5, 6)"),
    (np.zeros((5, 6, 1)), "Image must have 3 colour channels (RGB), got shape (5, 6, 1)"),
])
def test_rejected_shapes(image, message):
    with pytest.raises(ValueError) as info:
        as_rgb888(image)
    assert str(info.value) == message


def test_keyword_and_numpy_looked_up_at_every_call(monkeypatch):
    calls = []

    class SpyNumpy:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(_velkor, "np", SpyNumpy())
    out = as_rgb888(image=np.ones((3, 2, 2), np.float32))
    assert out.shape == (2, 2, 3) and out.max() == 255
    assert calls[0] == "asarray" and "transpose" in calls and "ascontiguousarray" in calls


def test_run_uses_the_module_level_function_afresh(fake, monkeypatch):
    obj = _velkor.VELKOR()
    obj.init("m", mmproj_path="p")
    seen = []
    monkeypatch.setattr(_velkor, "as_rgb888", lambda img: seen.append(img) or np.zeros((1, 2, 3), np.uint8))
    obj.run("x", images=["a", "b"])
    assert seen == ["a", "b"]


@pytest.mark.parametrize("returned", [np.zeros((2, 2, 4), np.uint8), np.zeros((4, 4, 3), np.uint8)[:, ::2],
                                      np.zeros((2, 2, 3), np.float32), np.zeros((2, 6), np.uint8)])
def test_run_refuses_arrays_the_runtime_would_misread(fake, monkeypatch, returned):
    obj = _velkor.VELKOR()
    obj.init("m", mmproj_path="p")
    monkeypatch.setattr(_velkor, "as_rgb888", lambda img: returned)
    with pytest.raises(ValueError):
        obj.run("x", images=[0])
    assert "kiv_llm_run" not in fake.names()
