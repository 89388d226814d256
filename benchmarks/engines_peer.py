"""The peer on the same engine: llama-cpp-python (built from the same source
distribution as the real LLM runtime), its streaming chat completion measured
like VELKOR.run in engines.py. Runs in the peer's own environment and makes
one run per line read from standard input, answering each with a JSON line.

    python engines_peer.py '{"model": ..., "messages": [...], "tokens": N, "threads": T}'
"""

from __future__ import annotations

import json
import sys
import time

from llama_cpp import Llama


def main() -> None:
    job = json.loads(sys.argv[1])
    llm = Llama(model_path=job["model"], n_ctx=4096, n_batch=512, n_threads=job["threads"],
                n_threads_batch=job["threads"], verbose=False)
    for _ in sys.stdin:
        # Every run evaluates its prompt afresh, as VELKOR.run without retain_history does.
        llm.reset()
        pieces: list[str] = []
        first = last = 0.0
        cpu = time.process_time()
        start = time.perf_counter()
        for chunk in llm.create_chat_completion(messages=job["messages"], stream=True, temperature=0.0,
                                                max_tokens=job["tokens"]):
            content = chunk["choices"][0]["delta"].get("content")
            if content:
                last = time.perf_counter()
                if not pieces:
                    first = last
                pieces.append(content)
        total = time.perf_counter() - start
        print(json.dumps({"pieces": len(pieces), "first": first - start, "last": last - start, "total": total,
                          "cpu": time.process_time() - cpu, "text": "".join(pieces)}), flush=True)


if __name__ == "__main__":
    main()
