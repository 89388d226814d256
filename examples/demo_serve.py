"""Part of the demo: the OpenAI-compatible server, used through the official client.

Starts ``python -m tessel_openai_server.kiv_velkor serve`` on a free loopback
port with the runtimes the demo uses (the same package on PYTHONPATH), streams
a chat reply and transcribes a WAV upload with the ``openai`` package, then
stops the server with Ctrl+C (SIGINT) and checks that it exits cleanly.
"""

from __future__ import annotations

import re
import signal
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path


def part_serve(model: Path, asr_backend: str, asr_model: Path, asr_tokenizer: Path, wav: Path, prompt: str,
               say: Callable[[str], None], check: Callable[[bool, str], None], title: str,
               asr_decoder: Path | None = None) -> None:
    """The model and the speech model are the ones the other parts used, whatever runtimes are deployed."""
    say(title)
    try:
        import openai
    except ImportError:
        check(False, "the openai package is missing (scripts/setup.sh installs it)")
        return
    # Greedy by default here (the server samples by default), so the reply is repeatable, as in part 1.
    command = [sys.executable, "-m", "tessel_openai_server.kiv_velkor", "serve", "--port", "0", "--temperature", "0",
               "--model", str(model), "--asr-backend", asr_backend, "--asr-model", str(asr_model), "--asr-tokenizer",
               str(asr_tokenizer)]
    if asr_decoder is not None:
        command += ["--asr-decoder", str(asr_decoder)]
    say(f"  Starting: python -m tessel_openai_server.kiv_velkor serve --port 0 --temperature 0 --model {model.name} "
        f"--asr-model {asr_model.name} --asr-tokenizer {asr_tokenizer.name}")
    server = subprocess.Popen(command, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)   # (access log)
    try:
        assert server.stderr is not None
        line = server.stderr.readline()
        match = re.search(r"(http://\S+/v1)", line)
        if match is None:
            check(False, f"the server did not start: {line.strip()} {server.stderr.read().strip()}")
            return
        say(f"  {line.strip()}")
        client = openai.OpenAI(base_url=match[1], api_key="not-needed")
        model_id = client.models.list().data[0].id
        say(f'  client.chat.completions.create(model="{model_id}", stream=True, messages=[user: "{prompt}"])')
        print("    reply> ", end="", flush=True)
        pieces: list[str] = []
        finish = None
        started = time.perf_counter()
        for chunk in client.chat.completions.create(model=model_id, stream=True, max_tokens=64, messages=[
                {"role": "system", "content": "You are a helpful assistant."},
                {"role": "user", "content": prompt}]):
            if chunk.choices and chunk.choices[0].delta.content:
                pieces.append(chunk.choices[0].delta.content)
                print(chunk.choices[0].delta.content, end="", flush=True)
            if chunk.choices and chunk.choices[0].finish_reason:
                finish = chunk.choices[0].finish_reason
        print(flush=True)
        say(f"  {len(pieces)} chunks in {time.perf_counter() - started:.1f} s, finish_reason {finish!r}")
        check(bool("".join(pieces)) and finish in ("stop", "length"), "the streamed reply is empty or unfinished")

        say(f'  client.audio.transcriptions.create(model="whisper-1", file={wav.name})')
        transcript = client.audio.transcriptions.create(model="whisper-1", file=(wav.name, wav.read_bytes(),
                                                                                 "audio/wav"))
        say(f"    -> {transcript.text!r}")
        check(bool(transcript.text), "the transcription is empty")
    finally:
        server.send_signal(signal.SIGINT)
        try:
            _, rest = server.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
            _, rest = server.communicate()
    say(f"  Ctrl+C (SIGINT) stopped the server: exit code {server.returncode}; {rest.strip()}")
    check(server.returncode == 0, "the server did not exit cleanly")
