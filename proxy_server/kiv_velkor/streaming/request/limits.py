"""Bounds on the work one chat request can cause, checked before anything is
decoded or run: messages, images and their pixels, stop sequences, tools.

A server passes its own :class:`RequestLimits` to ``ModelPool.chat``; the
defaults are what a small device serves comfortably. Images are counted from
their headers (a small file can hold a huge image), over the whole request.
"""

from __future__ import annotations

from dataclasses import dataclass

from ..errors import LimitExceeded

__all__ = ["RequestLimits", "ImageBudget"]


@dataclass(frozen=True)
class RequestLimits:
    max_messages: int = 2048
    max_images: int = 8
    max_image_pixels: int = 16 * 1024 * 1024   # over all images of a request (4096 x 4096)
    max_stop: int = 4                          # as OpenAI allows
    max_tools: int = 128
    max_tools_bytes: int = 256 * 1024          # the tools' JSON text, all together

    def check_counts(self, messages: int, stops: int, tools: int) -> None:
        for count, bound, name in ((messages, self.max_messages, "messages"), (stops, self.max_stop, "stop"),
                                   (tools, self.max_tools, "tools")):
            if count > bound:
                raise LimitExceeded(f"{name} has {count} items; this server takes at most {bound}", param=name)


class ImageBudget:
    """The images one request may still bring: each is taken (from its header) before it is decoded."""

    __slots__ = ("_limits", "images", "pixels")

    def __init__(self, limits: RequestLimits) -> None:
        self._limits = limits
        self.images = 0
        self.pixels = 0

    def take(self, width: int, height: int, param: str) -> None:
        limits = self._limits
        if self.images + 1 > limits.max_images:
            raise LimitExceeded(f"the request has more than {limits.max_images} images", param=param)
        if self.pixels + width * height > limits.max_image_pixels:
            raise LimitExceeded(f"the images of the request have more than {limits.max_image_pixels:,} pixels "
                                f"together (this one is {width}x{height})", param=param)
        self.images += 1
        self.pixels += width * height
