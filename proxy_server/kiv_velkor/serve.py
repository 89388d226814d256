"""``python -m tessel_openai_server.kiv_velkor serve``: the OpenAI-compatible server.

Loads the model into a pool of contexts (and the speech model, when given)
from the runtimes deployed next to the modules, then serves on a loopback
port by default. SIGINT or SIGTERM: the server stops accepting connections,
cancels the streams in progress (``--on-shutdown finish`` lets them finish,
for up to ``--shutdown-timeout`` seconds), releases every context and exits 0.
"""

from __future__ import annotations

import argparse
import asyncio
import signal
import socket
import sys
import threading
from pathlib import Path
from typing import Any

__all__ = ["add_serve_command", "main"]


def add_serve_command(commands: Any) -> None:
    """Adds the ``serve`` subcommand to the package's command line."""
    serve = commands.add_parser(
        "serve", help="serve OpenAI clients (chat completions, transcriptions) over HTTP",
        description="Serve the OpenAI API (/v1/models, /v1/chat/completions, /v1/audio/transcriptions) with "
                    "the deployed runtimes. Needs the server extra: pip install "
                    "'tessel-openai-server-kiv-velkor[server]'.")
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default %(default)s)")
    serve.add_argument("--port", type=int, default=8000, help="port (default %(default)s; 0 picks a free one)")
    serve.add_argument("--model", required=True, type=Path, help="the model file of the LLM runtime")
    serve.add_argument("--model-name", help="the model id clients ask for (default: the file's stem)")
    serve.add_argument("--mmproj", type=Path, help="the vision projector, for image input")
    serve.add_argument("--contexts", type=int, default=1,
                       help="contexts in the pool = requests served at once (default %(default)s)")
    serve.add_argument("--wait-timeout", type=float, default=10.0,
                       help="seconds a request waits for a free context before a 503 (default %(default)s)")
    serve.add_argument("--asr-backend", default="whisper", help="speech model family (default %(default)s)")
    serve.add_argument("--asr-model", type=Path, help="the speech model file (enables transcriptions)")
    serve.add_argument("--asr-tokenizer", type=Path, help="the speech tokenizer file")
    serve.add_argument("--asr-decoder", type=Path, help="the speech decoder file, if the model has one")
    serve.add_argument("--asr-model-name", default="whisper-1",
                       help="the speech model id clients ask for (default %(default)s)")
    serve.add_argument("--max-upload-mb", type=float, default=25.0,
                       help="largest audio upload in MiB (default %(default)s)")
    serve.add_argument("--on-shutdown", choices=("cancel", "finish"), default="cancel",
                       help="what SIGINT/SIGTERM does to streams in progress (default %(default)s)")
    serve.add_argument("--shutdown-timeout", type=float, default=30.0,
                       help="with --on-shutdown finish: seconds to wait for them (default %(default)s)")
    serve.add_argument("--log-level", default="warning", help="uvicorn's log level (default %(default)s)")


def main(args: argparse.Namespace) -> int:
    try:
        import uvicorn

        from .server import ServerSettings, create_app
    except ImportError as exc:
        print(f"error: serve needs the server extra ({exc.name} is missing): "
              "pip install 'tessel-openai-server-kiv-velkor[server]'", file=sys.stderr)
        return 1
    from .errors import ServingError
    from .pool import ModelPool
    from .speech import SpeechRecogniser

    if args.contexts < 1:
        print("error: --contexts must be at least 1", file=sys.stderr)
        return 2
    if args.asr_model is not None and args.asr_tokenizer is None:
        print("error: --asr-model needs --asr-tokenizer", file=sys.stderr)
        return 2
    init: dict[str, Any] = {"mmproj_path": str(args.mmproj)} if args.mmproj else {}
    recogniser: SpeechRecogniser | None = None
    hint = "python -m tessel_openai_server.kiv_velkor status shows which runtimes are deployed"
    try:
        pool = ModelPool(str(args.model), contexts=args.contexts, acquire_timeout=args.wait_timeout, **init)
    except (ServingError, RuntimeError) as exc:
        print(f"error: {exc}" + ("" if isinstance(exc, ServingError) else f" ({hint})"), file=sys.stderr)
        return 1
    try:
        if args.asr_model is not None:
            recogniser = SpeechRecogniser(args.asr_backend, str(args.asr_model), str(args.asr_tokenizer),
                                          str(args.asr_decoder) if args.asr_decoder else None)
    except (ServingError, RuntimeError) as exc:
        pool.close()
        print(f"error: {exc}" + ("" if isinstance(exc, ServingError) else f" ({hint})"), file=sys.stderr)
        return 1

    async def shutdown() -> None:
        await pool.aclose(cancel=True)
        if recogniser is not None:
            await asyncio.to_thread(recogniser.close)   # waits for a transcription in progress

    settings = ServerSettings(args.model_name or args.model.stem, args.asr_model_name if recogniser else None,
                              args.wait_timeout, int(args.max_upload_mb * 1024 * 1024))
    app = create_app(pool, settings, recogniser, shutdown)

    class Server(uvicorn.Server):
        def handle_exit(self, sig: int, frame: Any) -> None:
            if not self.should_exit and args.on_shutdown == "cancel":
                # Not on this thread: the signal may have come while it holds the pool's lock.
                threading.Thread(target=pool.close, kwargs={"cancel": True, "timeout": 0}, daemon=True).start()
            super().handle_exit(sig, frame)

    sock = socket.create_server((args.host, args.port), family=socket.AF_INET6 if ":" in args.host else
                                socket.AF_INET, reuse_port=False)
    host, port = sock.getsockname()[:2]
    config = uvicorn.Config(app, log_level=args.log_level, lifespan="on",
                            timeout_graceful_shutdown=args.shutdown_timeout if args.on_shutdown == "finish" else 5)
    server = Server(config)
    # A signal before uvicorn has put its own handlers in place asks it to
    # stop as soon as it has started; uvicorn raises the signal again once it
    # has shut down, and then it lands here too, so a clean shutdown exits 0.
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, server.handle_exit)
    shown = f"[{host}]" if ":" in host else host
    print(f"Serving {settings.model_name} on http://{shown}:{port}/v1 ({args.contexts} context"
          f"{'s' if args.contexts != 1 else ''}{', speech: ' + str(settings.asr_model_name) if recogniser else ''}); "
          "Ctrl+C stops", file=sys.stderr, flush=True)
    try:
        server.run(sockets=[sock])
    finally:
        pool.close(cancel=True)
        if recogniser is not None:
            recogniser.close()
    print("Stopped: every context released.", file=sys.stderr, flush=True)
    return 0
