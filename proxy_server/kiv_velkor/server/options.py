"""The options of ``serve``, grouped by topic as ``serve --help`` shows them:
the model, several models, the server process, speech, access and
connections, and the bounds on each request. Only argparse: the command line parses them without
the server's dependencies; :class:`.config.ServeConfig` checks them."""

from __future__ import annotations

import argparse
from pathlib import Path

__all__ = ["add_serve_options"]


def add_serve_options(serve: argparse.ArgumentParser) -> None:
    for add_group in (_model, _models, _sampling, _server, _speech, _network, _limits):
        add_group(serve)
    for action in serve._actions:   # short placeholders in the help: PATH, N
        if action.metavar is None and action.type in _METAVARS:
            action.metavar = _METAVARS[action.type]


_METAVARS: dict[object, str] = {Path: "PATH", int: "N", float: "N"}


def _model(serve: argparse.ArgumentParser) -> None:
    add = serve.add_argument_group("model").add_argument
    add("--model", action="append", metavar="[NAME=]PATH",
        help="the model file of the LLM runtime; NAME=PATH names it, and with names it may be repeated "
             "(see the models group)")
    add("--model-name", help="the model id clients ask for, for a bare --model PATH (default: the file's stem)")
    add("--tokenizer", type=Path,
        help="the model's tokenizer.json (chat template from the tokenizer_config.json beside it), to count "
             "usage.prompt_tokens; without it they are 0")
    add("--mmproj", type=Path, help="the vision projector, for image input")
    add("--contexts", type=int, default=2,
        help="contexts in a model's pool = its requests served at once; each holds --ctx-size tokens (default "
             "%(default)s: a person's chat on one, a front-end's tasks on the other)")
    add("--ctx-size", type=int, default=8192,
        help="tokens each context holds, prompt and reply together, handed to the runtime at init as n_ctx; "
             "0 leaves it to the runtime (then prompt overflow errors cannot name the size); a model's ctx_size "
             "in --models-config overrides it (default %(default)s)")
    add("--threads", type=int,
        help="compute threads of the LLM runtime, handed to it at init as n_threads: the most the decodes of all "
             "contexts use together, so that streams served at once share the cores instead of fighting over them "
             "(default: the machine's cores)")
    add("--conversation-cache", choices=("on", "off"), default="on",
        help="go on from the conversation a context holds instead of computing it again (default %(default)s)")
    add("--conversation-hold", type=float, default=30.0,
        help="seconds a request that goes on from no conversation waits for another context before it takes the "
             "one holding the last streamed conversation, kept for its next turn (default %(default)s)")


def _sampling(serve: argparse.ArgumentParser) -> None:
    add = serve.add_argument_group("sampling: for the requests that do not say").add_argument
    add("--temperature", type=float, default=0.8,
        help="temperature (default %(default)s; 0: greedy, the most likely token each time, and no other "
             "default of this group but the token count)")
    add("--top-k", type=int, default=40, help="sample among the K most likely tokens (default %(default)s; 0: off)")
    add("--top-p", type=float, default=0.95,
        help="sample among the most likely tokens up to this probability together (default %(default)s; 1: off)")
    add("--min-p", type=float, default=0.05,
        help="drop tokens less likely than this share of the most likely one (default %(default)s; 0: off)")
    add("--repeat-penalty", type=float, default=1.1,
        help="make tokens of the last --repeat-last-n less likely (default %(default)s; 1: off)")
    add("--repeat-last-n", type=int, default=64,
        help="tokens the repeat penalty looks back on (default %(default)s; 0: off, -1: the whole context)")
    add("--default-max-tokens", type=int, default=2048,
        help="tokens generated at most for a request that names no max_tokens (default %(default)s)")


def _models(serve: argparse.ArgumentParser) -> None:
    add = serve.add_argument_group(
        "models: several models in one server, loaded when first asked for",
        "A request's model field picks one; /v1/models lists them with their state. A bare --model PATH "
        "alone is loaded at start and kept, as one model always was.").add_argument
    add("--models-dir", type=Path, metavar="DIR",
        help="serve every model file in DIR (*.gguf unless the config file says otherwise), named by its file "
             "name without the suffix; DIR/models.toml, when there, is the config file")
    add("--models-config", type=Path, metavar="FILE",
        help="a TOML file of per-model options ([models.NAME]: path, contexts, ctx_size, sampling, mmproj, "
             "template, tokenizer, conversation_cache; speech models: kind = \"speech\", backend, tokenizer, decoder)")
    add("--models-max", type=int, default=4,
        help="models loaded at once at most; to load another, the least recently used idle one is unloaded "
             "(default %(default)s; 0: no bound)")
    add("--keep-alive", metavar="DURATION",
        help="unload a model idle this long (5m, 30s, 1h; default: keep it while there is room); a request's "
             "keep_alive field sets it for its model")
    add("--load-timeout", type=float, default=60.0,
        help="seconds a request waits for its model to load, or for room to load it, before a 503 "
             "(default %(default)s)")
    add("--preload", action="append", default=[], metavar="NAME",
        help="load this model at start; repeat for several")


def _server(serve: argparse.ArgumentParser) -> None:
    add = serve.add_argument_group("server").add_argument
    add("--host", default="127.0.0.1", help="address to listen on (default %(default)s)")
    add("--port", type=int, default=8000, help="port (default %(default)s; 0 picks a free one)")
    add("--wait-timeout", type=float, default=300.0,
        help="seconds a request waits for a free context, in order of arrival, before a 503 (default %(default)s)")
    add("--max-queue", type=int, default=64,
        help="requests waiting for a model's contexts at most; one more gets a 503 at once (default %(default)s)")
    add("--on-shutdown", choices=("cancel", "finish"), default="cancel",
        help="what SIGINT/SIGTERM does to streams in progress (default %(default)s)")
    add("--shutdown-timeout", type=float, default=30.0,
        help="with --on-shutdown finish: seconds to wait for them (default %(default)s)")
    add("--log-level", default="warning", help="uvicorn's log level (default %(default)s)")


def _speech(serve: argparse.ArgumentParser) -> None:
    add = serve.add_argument_group("speech").add_argument
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
    add("--max-speech-queue", type=int, default=4,
        help="transcriptions waiting or running at once; beyond, a 503 before the upload is read "
             "(default %(default)s)")


def _network(serve: argparse.ArgumentParser) -> None:
    add = serve.add_argument_group("network: access and connections").add_argument
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
    add("--send-timeout", type=float, default=30.0,
        help="seconds a streaming client may leave the data sent to it unread before its stream is cancelled "
             "and its context freed; 0: no bound (default %(default)s)")
    add("--keep-alive-timeout", type=int, default=5,
        help="seconds an idle keep-alive connection stays open (default %(default)s)")
    add("--max-header-kb", type=int, default=16, help="largest request head in KiB (default %(default)s)")
    add("--backlog", type=int, default=256, help="the listening socket's backlog (default %(default)s)")


def _limits(serve: argparse.ArgumentParser) -> None:
    add = serve.add_argument_group("limits: bounds on each request").add_argument
    add("--max-body-mb", type=float, default=8.0, help="largest JSON request body in MiB (default %(default)s)")
    add("--max-messages", type=int, default=2048, help="messages per chat request (default %(default)s)")
    add("--max-images", type=int, default=8, help="images per chat request (default %(default)s)")
    add("--max-image-pixels", type=int, default=4096 * 4096,
        help="pixels of all images of a request together, read from their headers (default %(default)s)")
    add("--max-stop", type=int, default=4, help="stop sequences per request (default %(default)s)")
    add("--max-tools", type=int, default=128, help="tools per request (default %(default)s)")
    add("--max-tools-kb", type=float, default=256.0,
        help="the tools' JSON per request in KiB (default %(default)s)")
    add("--max-tokens", type=int, default=4096,
        help="tokens generated per request at most: a larger max_tokens is lowered to it, and the reply ends "
             "with finish_reason length (default %(default)s)")
