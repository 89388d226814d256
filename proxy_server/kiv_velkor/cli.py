"""``python -m tessel_openai_server.kiv_velkor``: the command line. It only
parses and dispatches: ``status`` and ``install-runtime`` to :mod:`.deploy`,
``serve`` to :mod:`.serve` (imported only then: it needs the server extra).
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from . import deploy

__all__ = ["build_parser", "main"]

PROG = "python -m tessel_openai_server.kiv_velkor"
SERVER_EXTRA = "pip install 'tessel-openai-server-kiv-velkor[server]'"


Commands = argparse._SubParsersAction  # the subcommands of a parser


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--package-dir", type=Path, default=deploy.PACKAGE_DIR,
                        help="the package directory to work on (default: this package, %(default)s)")
    parser = argparse.ArgumentParser(
        prog=PROG, description="Show and place the runtime libraries that the native modules load, and serve them.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    status = commands.add_parser(
        "status", parents=[common], help="show which runtime libraries sit next to the modules",
        description="Show which runtime libraries sit next to the modules, whether they load and which "
                    "entry points resolve. Exit code 1 when a library that is present cannot serve.")
    status.add_argument("--in-process", action="store_true",
                        help="load the libraries into this process instead of a subprocess")
    _add_install(commands.add_parser(
        "install-runtime", parents=[common], help="place a runtime library next to the modules",
        description="Copy (or symlink) a runtime library into the package directory as "
                    "libvelkor.so or libquellan.so."))
    _add_serve(commands)
    return parser


def _add_install(install: argparse.ArgumentParser) -> None:
    install.add_argument("runtime", choices=sorted(deploy.RUNTIMES), help="which runtime")
    source = install.add_mutually_exclusive_group(required=True)
    source.add_argument("path", nargs="?", type=Path, help="the library to install")
    source.add_argument("--reference", action="store_true",
                        help="install the packaged reference build of the runtime")
    for flag, meaning in (("--symlink", "make a symbolic link instead of a copy"),
                          ("--force", "replace a library that is already there"),
                          ("--no-check", "do not check that the library loads and has every entry point")):
        install.add_argument(flag, action="store_true", help=meaning)


def _add_serve(commands: Commands[argparse.ArgumentParser]) -> None:
    serve = commands.add_parser(
        "serve", help="serve OpenAI clients (chat completions, transcriptions) over HTTP",
        description="Serve the OpenAI API (/v1/models, /v1/chat/completions, /v1/completions, /v1/responses, "
                    "/v1/audio/transcriptions, /v1/audio/translations) with the deployed runtimes. Needs the server "
                    f"extra: {SERVER_EXTRA} (and the audio extra for uploads other than WAV).")
    add = serve.add_argument
    add("--host", default="127.0.0.1", help="address to listen on (default %(default)s)")
    add("--port", type=int, default=8000, help="port (default %(default)s; 0 picks a free one)")
    add("--model", required=True, type=Path, help="the model file of the LLM runtime")
    add("--model-name", help="the model id clients ask for (default: the file's stem)")
    add("--tokenizer", type=Path,
        help="the model's tokenizer.json (chat template from the tokenizer_config.json beside it), to count "
             "usage.prompt_tokens; without it they are 0")
    add("--mmproj", type=Path, help="the vision projector, for image input")
    add("--contexts", type=int, default=1, help="contexts in the pool = requests served at once (default %(default)s)")
    add("--wait-timeout", type=float, default=10.0,
        help="seconds a request waits for a free context before a 503 (default %(default)s)")
    add("--conversation-cache", choices=("on", "off"), default="on",
        help="go on from the conversation a context holds instead of computing it again (default %(default)s)")
    add("--asr-backend", default="whisper", help="speech model family (default %(default)s)")
    add("--asr-model", type=Path, help="the speech model file (enables transcriptions)")
    add("--asr-tokenizer", type=Path, help="the speech tokenizer file")
    add("--asr-decoder", type=Path, help="the speech decoder file, if the model has one")
    add("--asr-model-name", default="whisper-1", help="the speech model id clients ask for (default %(default)s)")
    add("--asr-sample-rate", type=int, default=16000,
        help="sample rate in Hz of the mono WAV uploads are converted to for the speech runtime (default %(default)s)")
    add("--max-upload-mb", type=float, default=25.0, help="largest audio upload in MiB (default %(default)s)")
    add("--max-audio-seconds", type=float, default=1800.0,
        help="longest audio transcribed, in seconds of decoded sound (default %(default)s)")
    add("--on-shutdown", choices=("cancel", "finish"), default="cancel",
        help="what SIGINT/SIGTERM does to streams in progress (default %(default)s)")
    add("--shutdown-timeout", type=float, default=30.0,
        help="with --on-shutdown finish: seconds to wait for them (default %(default)s)")
    add("--log-level", default="warning", help="uvicorn's log level (default %(default)s)")
    _add_network(serve)
    _add_limits(serve)


def _add_network(serve: argparse.ArgumentParser) -> None:
    group = serve.add_argument_group("access and connections")
    add = group.add_argument
    add("--api-key", action="append", default=[], metavar="KEY",
        help="a key clients must send (Authorization: Bearer KEY, or x-api-key); repeat for several; also read "
             "from --api-key-file and from $KIV_API_KEYS (comma-separated). Without any, no key is asked for")
    add("--api-key-file", type=Path, help="a file with one key per line (# starts a comment)")
    add("--allowed-hosts", action="append", default=[], metavar="NAME",
        help="a host name clients may use in the Host header, besides IP addresses, localhost and this "
             "machine's names; repeat for several; * allows any")
    add("--cors-origins", action="append", default=[], metavar="ORIGIN",
        help="a web origin (https://app.example) whose pages may call the API; repeat for several; * allows "
             "any. Default: none (requests from other sites' pages are refused)")
    add("--no-access-log", dest="access_log", action="store_false", help="no access-log line per request")
    add("--max-connections", type=int, default=512,
        help="open connections at most; beyond, the oldest idle one is closed (default %(default)s)")
    add("--header-timeout", type=float, default=10.0,
        help="seconds a connection may take to send a request's headers (default %(default)s)")
    add("--body-timeout", type=float, default=60.0,
        help="seconds a request may take to send its body (default %(default)s)")
    add("--keep-alive-timeout", type=int, default=5,
        help="seconds an idle keep-alive connection stays open (default %(default)s)")
    add("--max-header-kb", type=int, default=16, help="largest request head in KiB (default %(default)s)")
    add("--backlog", type=int, default=256, help="the listening socket's backlog (default %(default)s)")


def _add_limits(serve: argparse.ArgumentParser) -> None:
    group = serve.add_argument_group("bounds on each request")
    add = group.add_argument
    add("--max-body-mb", type=float, default=8.0, help="largest JSON request body in MiB (default %(default)s)")
    add("--max-messages", type=int, default=2048, help="messages per chat request (default %(default)s)")
    add("--max-images", type=int, default=8, help="images per chat request (default %(default)s)")
    add("--max-image-pixels", type=int, default=4096 * 4096,
        help="pixels of all images of a request together, read from their headers (default %(default)s)")
    add("--max-stop", type=int, default=4, help="stop sequences per request (default %(default)s)")
    add("--max-tools", type=int, default=128, help="tools per request (default %(default)s)")
    add("--max-tools-kb", type=float, default=256.0,
        help="the tools' JSON per request in KiB (default %(default)s)")
    add("--max-speech-queue", type=int, default=4,
        help="transcriptions waiting or running at once; beyond, a 503 before the upload is read "
             "(default %(default)s)")


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    if args.command == "serve":
        return _serve(args)
    if args.command == "status":
        return deploy.status(args.package_dir, in_process=args.in_process)
    return deploy.install_command(args.runtime, args.path, args.package_dir, reference=args.reference,
                                  symlink=args.symlink, force=args.force, check=not args.no_check)


def _serve(args: argparse.Namespace) -> int:
    try:
        from . import serve
    except ImportError as exc:
        print(f"error: serve needs the server extra ({exc.name} is missing): {SERVER_EXTRA}", file=sys.stderr)
        return 1
    try:
        config = serve.ServeConfig.from_args(args)
    except ValueError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    return serve.main(config)
