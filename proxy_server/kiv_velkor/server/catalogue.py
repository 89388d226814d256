"""The models ``serve`` offers, from its configuration: a bare ``--model PATH``,
``--model NAME=PATH``, every model file of ``--models-dir``, the models of
the ``--models-config`` TOML file, and the speech model of ``--asr-model``;
each becomes a :class:`ModelSource` of the registry, whose loader makes its pool
(or recogniser) with its own options.

The config file (``DIR/models.toml`` by default)::

    suffixes = [".gguf"]              # which files of --models-dir are models

    [models.chat]                     # options of the model "chat" (found in DIR, or given with --model)
    contexts = 2
    ctx_size = 4096
    sampling = { temperature = 0.3, max_tokens = 512 }

    [models.chat-short]               # a second name for a file, with other options
    path = "chat.gguf"                # relative to this file
    sampling = { max_tokens = 32 }

    [models.whisper-1]
    kind = "speech"
    path = "asr.bin"
    tokenizer = "asr-tokenizer.json"

Everything is checked at start (a ``ValueError`` names the fault); the model
files themselves are read when a model is loaded.
"""

from __future__ import annotations

import tomllib
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from ..streaming.errors import ModelLoadError, ServingError
from ..streaming.models import ModelKind, ModelSource, Servable
from ..streaming.pool import SAMPLING_DEFAULTS, ModelPool
from .config import ServeConfig

__all__ = ["ModelDefinition", "catalogue", "CONFIG_NAME"]

CONFIG_NAME = "models.toml"      # the config file --models-dir reads when it is there
STATUS_HINT = "python -m tessel_openai_server.kiv_velkor status shows which runtimes are deployed"
DEFAULT_SUFFIXES = (".gguf",)
_CHAT_KEYS = {"path", "kind", "contexts", "ctx_size", "sampling", "mmproj", "template", "tokenizer",
              "conversation_cache"}
_SPEECH_KEYS = {"path", "kind", "backend", "tokenizer", "decoder"}


@dataclass(frozen=True)
class ModelDefinition:
    """One model as ``serve`` loads it."""

    name: str
    path: Path
    kind: ModelKind = "chat"
    contexts: int = 1
    ctx_size: int | None = None
    sampling: Mapping[str, Any] = field(default_factory=dict)
    mmproj: Path | None = None
    template: str | None = None          # the Jinja chat template's text
    tokenizer: Path | None = None        # chat: for counting prompts; speech: the runtime's tokenizer
    conversation_cache: bool = True
    backend: str = "whisper"
    decoder: Path | None = None

    def source(self, config: ServeConfig) -> ModelSource:
        return ModelSource(self.name, lambda: self.load(config), self.kind)

    def load(self, config: ServeConfig) -> Servable:
        """The model's pool or recogniser (on a registry thread); :class:`ServingError` says why not."""
        try:
            return self._load(config)
        except ServingError:
            raise
        except RuntimeError as exc:   # the runtime library cannot be loaded
            raise ModelLoadError(f"{exc} ({STATUS_HINT})") from None

    def _load(self, config: ServeConfig) -> Servable:
        if not self.path.exists():
            raise ModelLoadError(f"the model file {self.path} does not exist")
        if self.kind == "speech":
            return self._recogniser(config)
        init: dict[str, Any] = {}
        if self.mmproj is not None:
            init["mmproj_path"] = str(self.mmproj)
        if self.template is not None:
            init["custom_jinja_template"] = self.template
        return ModelPool(str(self.path), contexts=self.contexts, acquire_timeout=config.wait_timeout,
                         context_size=self.ctx_size, threads=config.compute_threads,
                         conversation_cache=self.conversation_cache,
                         defaults=self.sampling, sampling=config.sampling(), max_queue=config.max_queue,
                         conversation_hold=config.conversation_hold, **init)

    def _recogniser(self, config: ServeConfig) -> Servable:
        from ..streaming.speech.recogniser import AudioSettings, SpeechRecogniser

        return SpeechRecogniser(self.backend, str(self.path), str(self.tokenizer),
                                str(self.decoder) if self.decoder else None,
                                audio=AudioSettings(config.asr_sample_rate, config.max_audio_seconds),
                                max_queue=config.max_speech_queue)


def catalogue(config: ServeConfig) -> list[ModelDefinition]:
    """Every model ``config`` names, in order: the command line's, the directory's, the config file's, then
    the speech model. ``ValueError`` for a fault of the configuration."""
    config_file = config.models_config
    if config_file is None and config.models_dir is not None and (config.models_dir / CONFIG_NAME).is_file():
        config_file = config.models_dir / CONFIG_NAME
    table = _read(config_file) if config_file is not None else {}
    suffixes = _suffixes(table.pop("suffixes", list(DEFAULT_SUFFIXES)))
    options: dict[str, Any] = table.pop("models", {})
    if table:
        raise ValueError(f"{config_file}: unknown key {sorted(table)[0]!r} (the keys are suffixes and models)")
    if not isinstance(options, dict):
        raise ValueError(f"{config_file}: models must be a table of tables ([models.NAME])")

    paths: dict[str, Path] = {}
    if config.model is not None:
        paths[config.model_name or config.model.stem] = config.model
    for name, path in config.named_models:
        _add(paths, name, path, "--model")
    if config.models_dir is not None:
        for path in _model_files(config.models_dir, suffixes):
            _add(paths, path.name[: -len(_suffix_of(path.name, suffixes))], path, str(config.models_dir))

    base = config_file.parent if config_file is not None else Path.cwd()
    models = [_definition(name, path, options.pop(name, {}), base, config, config_file) for name, path in paths.items()]
    for name, given in options.items():   # the config file's own models
        if not isinstance(given, dict) or "path" not in given:
            raise ValueError(f"{config_file}: [models.{name}] names no model file (path = ...) and no model of "
                             "--model or --models-dir is called so")
        _add(paths, name, base, str(config_file))
        models.append(_definition(name, None, given, base, config, config_file))
    if config.asr_model is not None:
        _add(paths, config.asr_model_name, config.asr_model, "--asr-model")
        models.append(ModelDefinition(config.asr_model_name, config.asr_model, "speech", backend=config.asr_backend,
                                      tokenizer=config.asr_tokenizer, decoder=config.asr_decoder))
    if not models:
        raise ValueError(f"no models: {config.models_dir} holds no file ending in {', '.join(suffixes)}")
    _check_preload(config, [m.name for m in models])
    return models


def _read(path: Path) -> dict[str, Any]:
    try:
        with path.open("rb") as f:
            return tomllib.load(f)
    except OSError as exc:
        raise ValueError(f"cannot read the models config {path}: {exc.strerror or exc}") from None
    except tomllib.TOMLDecodeError as exc:
        raise ValueError(f"{path} is not valid TOML: {exc}") from None


def _suffixes(value: Any) -> tuple[str, ...]:
    if not isinstance(value, list) or not value or not all(isinstance(v, str) and v for v in value):
        raise ValueError("suffixes must be a list of file name endings, such as [\".gguf\"]")
    return tuple(value)


def _suffix_of(name: str, suffixes: tuple[str, ...]) -> str:
    return max((s for s in suffixes if name.endswith(s)), key=len)


def _model_files(directory: Path, suffixes: tuple[str, ...]) -> list[Path]:
    if not directory.is_dir():
        raise ValueError(f"--models-dir {directory} is not a directory")
    return sorted(p for p in directory.iterdir() if not p.name.startswith(".") and p.is_file()
                  and any(p.name.endswith(s) and len(p.name) > len(s) for s in suffixes))


def _add(paths: dict[str, Path], name: str, path: Path, where: str) -> None:
    if not name or not name.isprintable() or any(c.isspace() for c in name) or len(name) > 128:
        raise ValueError(f"{where}: {name!r} cannot be a model name (printable, no spaces, at most 128 characters)")
    if name in paths:
        raise ValueError(f"{where}: the model name {name!r} is given twice")
    paths[name] = path


def _definition(name: str, path: Path | None, given: Any, base: Path, config: ServeConfig,
                source: Path | None) -> ModelDefinition:
    """The model ``name`` with the options the config file gives it (the command line's as defaults)."""
    where = f"{source}: [models.{name}]"
    if not isinstance(given, dict):
        raise ValueError(f"{where} must be a table")
    kind = given.get("kind", "chat")
    if kind not in ("chat", "speech"):
        raise ValueError(f"{where}: kind must be \"chat\" or \"speech\"")
    unknown = sorted(set(given) - (_CHAT_KEYS if kind == "chat" else _SPEECH_KEYS))
    if unknown:
        raise ValueError(f"{where}: unknown option {unknown[0]!r}")

    def file(key: str) -> Path | None:
        value = given.get(key)
        if value is None:
            return None
        if not isinstance(value, str) or not value:
            raise ValueError(f"{where}: {key} must be a file path")
        return base / value

    path = file("path") or path
    assert path is not None
    if kind == "speech":
        tokenizer = file("tokenizer")
        if tokenizer is None:
            raise ValueError(f"{where}: a speech model needs its tokenizer = \"...\"")
        backend = given.get("backend", "whisper")
        if not isinstance(backend, str):
            raise ValueError(f"{where}: backend must be a string")
        return ModelDefinition(name, path, "speech", backend=backend, tokenizer=tokenizer, decoder=file("decoder"))
    bare = config.model is not None and name == (config.model_name or config.model.stem) and "path" not in given
    contexts = _integer(given.get("contexts", config.contexts), f"{where}: contexts", 1)
    ctx_size = given.get("ctx_size", config.ctx_size or None)   # --ctx-size for every model, 0: the runtime's
    if ctx_size is not None:
        ctx_size = _integer(ctx_size, f"{where}: ctx_size", 1)
    cache = given.get("conversation_cache", config.conversation_cache == "on")
    if not isinstance(cache, bool):
        raise ValueError(f"{where}: conversation_cache must be true or false")
    sampling = given.get("sampling", {})
    if not isinstance(sampling, dict):
        raise ValueError(f"{where}: sampling must be a table ({', '.join(SAMPLING_DEFAULTS)})")
    _check_sampling(sampling, where)
    template_path = file("template")
    template = None
    if template_path is not None:
        try:
            template = template_path.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError) as exc:
            raise ValueError(f"{where}: cannot read the template {template_path}: {exc}") from None
    mmproj = file("mmproj") or (config.mmproj if bare else None)
    tokenizer = file("tokenizer") or (config.tokenizer if bare else None)
    return ModelDefinition(name, path, "chat", contexts, ctx_size, sampling, mmproj, template, tokenizer, cache)


def _integer(value: Any, what: str, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < least:
        raise ValueError(f"{what} must be an integer of at least {least}")
    return value


def _check_sampling(sampling: dict[str, Any], where: str) -> None:
    try:
        ModelPool.check_defaults(sampling)
    except ValueError as exc:
        raise ValueError(f"{where}: sampling: {exc}") from None


def _check_preload(config: ServeConfig, names: list[str]) -> None:
    for name in config.preload:
        if name not in names:
            raise ValueError(f"--preload {name}: no model is called so (the models: {', '.join(names)})")
    if config.models_max and len(set(config.preload)) > config.models_max:
        raise ValueError(f"--preload names {len(set(config.preload))} models, more than --models-max "
                         f"{config.models_max} lets be loaded at once")
