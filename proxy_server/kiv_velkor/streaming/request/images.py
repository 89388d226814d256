"""Images of a chat request: OpenAI ``image_url`` parts with ``data:`` URLs
decoded to RGB arrays (PNG and JPEG, with Pillow, an optional dependency:
``pip install 'tessel-openai-server-kiv-velkor[images]'``), and arrays checked
the way ``as_rgb888`` takes them.
"""

from __future__ import annotations

import base64
import binascii
import io
import re
from typing import Any

from ..errors import InvalidRequest
from .limits import ImageBudget, RequestLimits

__all__ = ["read_data_url", "decode_data_url", "PendingImage", "check_array", "MAX_PIXELS"]

# Without a budget of its own, one image of at most this many pixels.
MAX_PIXELS = RequestLimits().max_image_pixels
_DATA_URL = re.compile(r"data:(?P<mime>[\w.+-]+/[\w.+-]+)?(?P<params>(?:;[^,;]*)*?)(?P<b64>;base64)?,", re.ASCII)
_FORMATS = {"image/png": "PNG", "image/jpeg": "JPEG", "image/jpg": "JPEG"}


class PendingImage:
    """An image whose header has been read and counted; :meth:`decode` makes its RGB array."""

    __slots__ = ("_image", "param")

    def __init__(self, image: Any, param: str) -> None:
        self._image, self.param = image, param

    def decode(self) -> Any:
        import numpy as np
        try:
            with self._image as img:
                return np.asarray(img.convert("RGB"))
        except Exception as exc:   # Pillow raises many kinds for a broken file; its text may show addresses
            raise InvalidRequest(f"the image cannot be decoded as PNG or JPEG ({type(exc).__name__})",
                                 param=self.param) from None


def read_data_url(url: Any, *, param: str = "image_url", budget: ImageBudget | None = None) -> PendingImage:
    """Reads the header of a ``data:image/png;base64,...`` or ``data:image/jpeg;base64,...`` URL and takes
    its size from ``budget`` (the request's images and pixels); no pixel is decoded yet."""
    if not isinstance(url, str):
        raise InvalidRequest("image_url.url must be a string", param=param)
    match = _DATA_URL.match(url)
    if match is None:
        raise InvalidRequest("only data: URLs are accepted for images (data:image/png;base64,... or "
                             "data:image/jpeg;base64,...); the server fetches nothing", param=param)
    mime = (match["mime"] or "").lower()
    if mime not in _FORMATS or not match["b64"]:
        raise InvalidRequest(f"image data URLs must be base64 PNG or JPEG, not {mime or 'untyped'} data",
                             param=param)
    try:
        raw = base64.b64decode(url[match.end():], validate=True)
    except (binascii.Error, ValueError):
        raise InvalidRequest("the image data URL is not valid base64", param=param) from None
    try:
        from PIL import Image
    except ImportError:
        raise InvalidRequest("decoding image_url parts needs Pillow on the server: "
                             "pip install 'tessel-openai-server-kiv-velkor[images]'", param=param) from None
    try:
        image = Image.open(io.BytesIO(raw), formats=[_FORMATS[mime], *set(_FORMATS.values())])
    except Exception as exc:
        raise InvalidRequest(f"the image cannot be decoded as PNG or JPEG ({type(exc).__name__})",
                             param=param) from None
    try:
        (budget or ImageBudget(RequestLimits(max_images=1))).take(image.width, image.height, param)
    except InvalidRequest:
        image.close()
        raise
    return PendingImage(image, param)


def decode_data_url(url: Any, *, param: str = "image_url", budget: ImageBudget | None = None) -> Any:
    """Decodes a ``data:image/png;base64,...`` or ``data:image/jpeg;base64,...`` URL to an RGB uint8 array
    (H, W, 3), its size checked from its header first (see :func:`read_data_url`)."""
    return read_data_url(url, param=param, budget=budget).decode()


def check_array(image: Any, *, param: str = "images", budget: ImageBudget | None = None) -> Any:
    """The image as ``as_rgb888`` will send it (H, W, 3 uint8); InvalidRequest when it takes no such shape
    (or when ``budget`` has no room left for it)."""
    from ..._velkor import as_rgb888
    try:
        array = as_rgb888(image)
    except (ValueError, TypeError) as exc:
        raise InvalidRequest(f"unusable image array: {exc}", param=param) from None
    if array.shape[0] == 0 or array.shape[1] == 0:
        raise InvalidRequest("an image array has no pixels", param=param)
    if budget is not None:
        budget.take(array.shape[1], array.shape[0], param)
    return array
