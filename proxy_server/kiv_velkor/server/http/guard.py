"""What every HTTP request passes before a route sees it, as ASGI middleware,
so that every route, present and future, is covered:

- :class:`RequestLog` (outermost): a request id (the client's
  ``x-request-id`` when it sent a usable one) on every response, one access
  log line per request, the request counters, a 500 (no internal text, in
  the error shape of the route's API) for a failure no route answered, and
  what a route holds for the request's life (a model) given back once it is
  answered;
- :class:`Guard`: the ``Host`` allow-list (DNS rebinding), the ``Origin``
  check (a page of another site gets a 403: CSRF), API keys, the content
  type, and the body's size and read time.

Their refusals take the error shape of the API the path belongs to
(:mod:`.errors`): OpenAI's, or Anthropic's on the Messages endpoints.

CORS (``--cors-origins``) sits between the two: Starlette's CORSMiddleware
answers preflights and marks the answers for the allowed origins.
"""

from __future__ import annotations

import asyncio
import hashlib
import hmac
import ipaddress
import json
import logging
import re
import secrets
import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any
from urllib.parse import urlsplit

from starlette.requests import ClientDisconnect
from starlette.routing import BaseRoute, Match
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from ..metrics import Metrics
from .errors import error_reply

__all__ = ["GuardSettings", "Refusal", "RequestLog", "Guard", "KeyRing", "key_id", "printable", "normal_origin",
           "OPEN_PATHS", "access_logger", "AT_END"]

OPEN_PATHS = frozenset({"/health", "/health/ready"})   # liveness and readiness need no key
UPLOAD_PREFIX = "/v1/audio/"                           # multipart uploads; every other body is JSON
AT_END = "at_end"   # the request state's list of what to call once the request has been answered
_REQUEST_ID = re.compile(r"[A-Za-z0-9._:-]{1,128}")
_WITH_BODY = frozenset({"POST", "PUT", "PATCH"})
# The methods counted under their own name; any other token (HTTP allows any) counts as "other",
# so a client cannot grow the metrics without bound.
_METHODS = frozenset({"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS", "CONNECT", "TRACE"})
# What the access log never prints as it is: control characters (a line break would start a forged
# line), the quote and backslash that delimit its fields, and Unicode's line separators.
_UNPRINTABLE = re.compile(r'[\x00-\x1f\x7f-\x9f"\\\u2028\u2029]')
access_logger = logging.getLogger("kiv.access")
_errors = logging.getLogger("kiv.error")


@dataclass(frozen=True)
class GuardSettings:
    """``allowed_hosts``: names a ``Host`` header may carry (IP literals always may; ``*`` allows any;
    ``serve`` lists the bind address, localhost names and the machine's names)."""

    api_keys: tuple[str, ...] = ()
    allowed_hosts: tuple[str, ...] = ("*",)
    cors_origins: tuple[str, ...] = ()
    max_body_bytes: int = 8 * 1024 * 1024
    max_upload_bytes: int = 25 * 1024 * 1024
    body_timeout: float = 60.0
    access_log: bool = False


class Refusal(Exception):
    """A request refused by the guard, answered in the error shape of the API its path belongs to."""

    def __init__(self, status: int, message: str, code: str, error_type: str = "invalid_request_error",
                 headers: Iterable[tuple[str, str]] = ()) -> None:
        super().__init__(message)
        self.status, self.message, self.code, self.error_type = status, message, code, error_type
        self.headers = list(headers)

    async def send(self, scope: Scope, send: Send) -> None:
        scope.setdefault("state", {})["error_code"] = self.code
        status, shape = error_reply(scope["path"], self.status, self.message, self.error_type, self.code)
        body = json.dumps(shape).encode()
        headers = [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]
        headers += [(k.encode("latin-1"), v.encode("latin-1")) for k, v in self.headers]
        await send({"type": "http.response.start", "status": status, "headers": headers})
        await send({"type": "http.response.body", "body": body})


def header(scope: Scope, name: bytes) -> str | None:
    for key, value in scope["headers"]:
        if key == name:
            return bytes(value).decode("latin-1")
    return None


def printable(text: str) -> str:
    """``text`` with the characters that could forge or break a log line escaped as ``\\xNN`` / ``\\uNNNN``."""
    return _UNPRINTABLE.sub(lambda m: f"\\x{ord(m[0]):02x}" if ord(m[0]) < 0x100 else f"\\u{ord(m[0]):04x}", text)


def normal_origin(origin: str) -> str:
    """A web origin as browsers send it: no trailing slash, lower case (scheme and host are case-insensitive)."""
    return origin.strip().rstrip("/").lower()


def key_id(key: str) -> str:
    """A short id of an API key, safe to log: a truncated SHA-256 (it cannot give back a key of any strength)."""
    return "key-" + hashlib.sha256(key.encode()).hexdigest()[:12]


class KeyRing:
    """The accepted API keys, compared in constant time (as digests, so lengths do not show)."""

    def __init__(self, keys: Iterable[str]) -> None:
        self._keys = [(hashlib.sha256(k.encode()).digest(), key_id(k)) for k in keys]

    def __bool__(self) -> bool:
        return bool(self._keys)

    def identify(self, presented: str) -> str | None:
        digest = hashlib.sha256(presented.encode("utf-8", "surrogateescape")).digest()
        found = None
        for known, ident in self._keys:   # every key is compared, whichever matches
            if hmac.compare_digest(digest, known):
                found = ident
        return found


def presented_key(scope: Scope) -> str | None:
    authorization = header(scope, b"authorization")
    if authorization is not None:
        scheme, _, token = authorization.partition(" ")
        if scheme.lower() == "bearer" and token.strip():
            return token.strip()
    return header(scope, b"x-api-key")


def _host_name(host: str) -> str:
    if host.startswith("["):
        return host[1:host.find("]")] if "]" in host else host
    name, colon, port = host.rpartition(":")
    return (name if colon and port.isdigit() else host).rstrip(".").lower()


def _is_ip(name: str) -> bool:
    try:
        ipaddress.ip_address(name)
    except ValueError:
        return False
    return True


class RequestLog:
    """Request id, access log and request metrics; answers an unexpected failure with a 500."""

    def __init__(self, app: ASGIApp, metrics: Metrics, routes: Sequence[BaseRoute], access_log: bool) -> None:
        self.app, self.metrics, self.routes, self.access_log = app, metrics, routes, access_log

    def _route(self, scope: Scope) -> str:
        for route in self.routes:
            if route.matches(scope)[0] is not Match.NONE:
                return str(getattr(route, "path", "other"))
        return "other"

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        given = header(scope, b"x-request-id")
        rid = given if given is not None and _REQUEST_ID.fullmatch(given) else secrets.token_hex(8)
        state = scope.setdefault("state", {})
        state["request_id"] = rid
        seen = {"status": 499, "bytes": 0, "started": False}

        async def send_marked(message: Message) -> None:
            if message["type"] == "http.response.start":
                seen["status"], seen["started"] = message["status"], True
                message = {**message, "headers": [*message.get("headers", []), (b"x-request-id", rid.encode())]}
            elif message["type"] == "http.response.body":
                seen["bytes"] = int(seen["bytes"]) + len(message.get("body", b""))
            await send(message)

        route = self._route(scope)
        started = time.perf_counter()
        self.metrics.in_progress.labels(route).inc()
        try:
            await self.app(scope, receive, send_marked)
        except ClientDisconnect:
            pass   # the client went away while it sent its request: nothing to answer
        except Exception:
            _errors.exception("request %s failed", rid)
            if not seen["started"]:
                await Refusal(500, f"internal error (request {rid})", "internal_error", "server_error").send(
                    scope, send_marked)
        finally:
            for release in state.pop(AT_END, ()):
                release()
            self.metrics.in_progress.labels(route).dec()
            self._done(scope, route, seen, time.perf_counter() - started)

    def _done(self, scope: Scope, route: str, seen: dict[str, Any], seconds: float) -> None:
        state, status = scope["state"], int(seen["status"])
        method = scope["method"] if scope["method"] in _METHODS else "other"
        self.metrics.requests.labels(route, method, str(status)).inc()
        if status >= 400 or state.get("error_code"):   # refused, or cut short after its answer began
            self.metrics.rejected.labels(state.get("error_code") or str(status)).inc()
        if self.access_log:
            client = scope.get("client")
            access_logger.info('%s "%s %s HTTP/%s" %d %dB %.1fms id=%s key=%s',
                               printable(f"{client[0]}:{client[1]}") if client else "-", printable(scope["method"]),
                               printable(scope["path"]), printable(str(scope.get("http_version", "1.1"))), status,
                               seen["bytes"], seconds * 1000, printable(state["request_id"]),
                               printable(state.get("api_key_id") or "-"))


class Guard:
    """Host, origin, key, content type and body bounds; a refused request gets a 4xx in the error shape
    of the API its path belongs to (:mod:`.errors`)."""

    def __init__(self, app: ASGIApp, settings: GuardSettings) -> None:
        self.app, self.settings = app, settings
        self.keys = KeyRing(settings.api_keys)
        self.any_host = "*" in settings.allowed_hosts
        self.hosts = frozenset(h.lower().rstrip(".") for h in settings.allowed_hosts)
        self.origins = frozenset(normal_origin(o) for o in settings.cors_origins)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        try:
            self._check(scope)
            limit = self._body_limit(scope)
        except Refusal as refusal:
            await refusal.send(scope, send)
            return
        await self.app(scope, self._bounded(receive, limit), send)

    def _check(self, scope: Scope) -> None:
        given = header(scope, b"host")
        host = given or ""
        # HTTP/1.0 needs no Host header (and a browser, which DNS rebinding needs, always sends one).
        if not (given is None and scope.get("http_version") == "1.0") and not self._host_allowed(_host_name(host)):
            raise Refusal(400, "the Host header names no host this server answers to (see --allowed-hosts)",
                          "invalid_host")
        origin = header(scope, b"origin")
        if origin is not None and not self._origin_allowed(normal_origin(origin), host):
            raise Refusal(403, "requests from this origin are not allowed (see --cors-origins)", "origin_not_allowed")
        if self.keys and scope["path"] not in OPEN_PATHS:
            presented = presented_key(scope)
            ident = self.keys.identify(presented) if presented is not None else None
            if ident is None:
                raise Refusal(401, "Incorrect or missing API key: send it as 'Authorization: Bearer KEY' or "
                              "'x-api-key: KEY'", "invalid_api_key", headers=[("www-authenticate", "Bearer")])
            scope["state"]["api_key_id"] = ident

    def _host_allowed(self, name: str) -> bool:
        return (self.any_host or _is_ip(name) or name in self.hosts or name == "localhost"
                or name.endswith(".localhost"))

    def _origin_allowed(self, origin: str, host: str) -> bool:
        if origin in self.origins or "*" in self.origins:
            return True
        parts = urlsplit(origin)
        return parts.scheme in ("http", "https") and parts.netloc.lower() == host.lower()

    def _body_limit(self, scope: Scope) -> int:
        """The largest body the request may send; refuses a wrong content type or a declared length above it."""
        if scope["method"] not in _WITH_BODY:
            return self.settings.max_body_bytes
        media = (header(scope, b"content-type") or "").partition(";")[0].strip().lower()
        upload = scope["path"].startswith(UPLOAD_PREFIX)
        wanted = "multipart/form-data" if upload else "application/json"
        if media != wanted:
            raise Refusal(415, f"the request body must be {wanted}, not {media or 'untyped'}",
                          "unsupported_media_type")
        limit = self.settings.max_upload_bytes if upload else self.settings.max_body_bytes
        declared = header(scope, b"content-length")
        if declared is not None and declared.isdigit() and int(declared) > limit:
            raise _too_large(limit)
        return limit

    def _bounded(self, receive: Receive, limit: int) -> Receive:
        """``receive`` that refuses a body larger than ``limit`` or slower than the body timeout."""
        deadline = asyncio.get_running_loop().time() + self.settings.body_timeout
        size, complete = 0, False

        async def bounded() -> Message:
            nonlocal size, complete
            if complete:
                return await receive()
            try:
                async with asyncio.timeout_at(deadline):
                    message = await receive()
            except TimeoutError:
                raise Refusal(408, f"the request body did not arrive within {self.settings.body_timeout:g} s",
                              "body_timeout", headers=[("connection", "close")]) from None
            if message["type"] == "http.request":
                size += len(message.get("body", b""))
                if size > limit:
                    raise _too_large(limit)
                complete = not message.get("more_body", False)
            return message

        return bounded


def _too_large(limit: int) -> Refusal:
    return Refusal(413, f"the request body is larger than {limit:,} bytes", "request_too_large",
                   headers=[("connection", "close")])
