"""``python -m tessel_openai_server.kiv_velkor``: the command line. It only
parses and dispatches: ``status`` and ``install-runtime`` to :mod:`.deploy`,
``serve`` to :mod:`.server.serve` (imported only then: it needs the server extra).
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from . import deploy
from .server.options import add_serve_options

__all__ = ["build_parser", "main"]

PROG = "python -m tessel_openai_server.kiv_velkor"
SERVER_EXTRA = "pip install 'tessel-openai-server-kiv-velkor[server]'"


Commands = argparse._SubParsersAction  # the subcommands of a parser
EXAMPLES = f"""examples:
  {PROG} status
  {PROG} install-runtime velkor /path/to/libvelkor.so
  {PROG} serve --model /models/model.gguf --contexts 2
  {PROG} serve --models-dir /models --models-max 2 --keep-alive 10m

'{PROG} COMMAND --help' shows a command's options, grouped by topic."""


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--package-dir", type=Path, default=deploy.PACKAGE_DIR,
                        help="the package directory to work on (default: this package, %(default)s)")
    parser = argparse.ArgumentParser(
        prog=PROG, description="Show and place the runtime libraries that the native modules load, and serve them.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     title="commands (deployment: status, install-runtime; serving: serve)")
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
        usage="%(prog)s --model PATH [options]\n       %(prog)s --model NAME=PATH ... | --models-dir DIR [options]",
        description="Serve the OpenAI API (/v1/models, /v1/chat/completions, /v1/completions, /v1/responses, "
                    "/v1/audio/transcriptions, /v1/audio/translations) with the deployed runtimes. Needs the server "
                    f"extra: {SERVER_EXTRA} (and the audio extra for uploads other than WAV).")
    add_serve_options(serve)


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
        from .server import serve
    except ImportError as exc:
        print(f"error: serve needs the server extra ({exc.name} is missing): {SERVER_EXTRA}", file=sys.stderr)
        return 1
    try:
        config = serve.ServeConfig.from_args(args)
    except ValueError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    return serve.main(config)
