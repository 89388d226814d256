"""SIGINT handling: installation, chaining between objects and to the handler
that was there before, and Ctrl+C during a run (real signals, in subprocesses)."""

from __future__ import annotations

import signal
import threading

import pytest

from support.subprocess_run import run_with_fake
from tessel_openai_server.kiv_velkor import _velkor


def test_construction_installs_the_bound_handler_and_keeps_the_previous(fake):
    previous = signal.getsignal(signal.SIGINT)
    obj = _velkor.VELKOR()
    assert signal.getsignal(signal.SIGINT) == obj.signal_handler
    obj._restore_sigint_handler()
    assert signal.getsignal(signal.SIGINT) is previous
    obj._restore_sigint_handler()  # a second restore does nothing
    assert signal.getsignal(signal.SIGINT) is previous


def test_worker_thread_installs_nothing(fake):
    obj = _velkor.VELKOR()
    handler = signal.getsignal(signal.SIGINT)
    results = []
    thread = threading.Thread(target=lambda: results.append((obj._install_sigint_handler(),
                                                              _velkor.VELKOR())))
    thread.start()
    thread.join()
    assert results[0][0] is None
    assert signal.getsignal(signal.SIGINT) == handler
    del results


def test_handler_chains_newest_first(fake):
    fake.set_init_handle(0x100)
    older = _velkor.VELKOR()
    older.init("a")
    fake.set_init_handle(0x200)
    newer = _velkor.VELKOR()
    newer.init("b")
    with pytest.raises(KeyboardInterrupt):  # Python's default handler ends the chain
        signal.getsignal(signal.SIGINT)(signal.SIGINT, None)
    assert [c.handle for c in fake.calls("kiv_llm_break")] == [0x200, 0x100]


def test_handler_without_context_still_chains(fake):
    obj = _velkor.VELKOR()
    with pytest.raises(KeyboardInterrupt):
        obj.signal_handler(signal.SIGINT, None)
    assert fake.names() == []


def test_ignored_previous_handler_is_not_called(fake):
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    obj = _velkor.VELKOR()
    obj.init("m")
    assert obj.signal_handler(signal.SIGINT, None) is None
    assert fake.names()[-1] == "kiv_llm_break"


# Bodies run after the fake runtime's preamble, with a helper that sends this
# process a real SIGINT from a timer thread.
CTRL_C_SOON = """
def ctrl_c_soon(delay=0.05):
    threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT)).start()
"""


@pytest.mark.parametrize("mode", ["caller"])
def test_ctrl_c_during_a_run_raises_keyboardinterrupt_and_next_run_is_clean(fake_velkor_path, mode):
    proc = run_with_fake(fake_velkor_path, CTRL_C_SOON + f"""
obj = _velkor.VELKOR()
obj.init("m")
fake.set_thread_mode({mode!r})
fake.stream(b"x", sleep_us=1000, final_state=2)
ctrl_c_soon()
try:
    obj.run("go")
    print("returned")
except KeyboardInterrupt as exc:
    print("KeyboardInterrupt", exc.args)
fake.lib.fake_script_clear()
fake.result(b"fine", state=2)
out = obj.run("again")
print(out["text"], out["status"].name)
print("breaks", fake.break_count >= 1)
""", timeout=60)
    assert proc.stdout.splitlines() == ["KeyboardInterrupt ()", "fine FINISH", "breaks True"]


def test_ctrl_c_without_context_raises_keyboardinterrupt(fake_velkor_path):
    proc = run_with_fake(fake_velkor_path, CTRL_C_SOON + """
obj = _velkor.VELKOR()
try:
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(5)
    print("not interrupted")
except KeyboardInterrupt:
    print("KeyboardInterrupt")
""")
    assert proc.stdout.split() == ["KeyboardInterrupt"]
    assert "RuntimeError" not in proc.stderr


def test_previous_sig_ign_means_nothing_more(fake_velkor_path):
    proc = run_with_fake(fake_velkor_path, CTRL_C_SOON + """
signal.signal(signal.SIGINT, signal.SIG_IGN)
obj = _velkor.VELKOR()
obj.init("m")
os.kill(os.getpid(), signal.SIGINT)
time.sleep(0.2)
print("alive", fake.break_count)
""")
    assert proc.stdout.split() == ["alive", "1"]
    assert proc.stderr == ""


def test_previous_sig_dfl_ends_the_process_by_sigint(fake_velkor_path):
    proc = run_with_fake(fake_velkor_path, CTRL_C_SOON + """
signal.signal(signal.SIGINT, signal.SIG_DFL)
obj = _velkor.VELKOR()
obj.init("m")
os.kill(os.getpid(), signal.SIGINT)
time.sleep(2)
print("still alive")
""", check=False)
    assert proc.returncode == -signal.SIGINT
    assert "still alive" not in proc.stdout


def test_ctrl_c_flags_and_interrupts_every_object_newest_first(fake_velkor_path):
    proc = run_with_fake(fake_velkor_path, CTRL_C_SOON + """
fake.set_init_handle(0x100)
older = _velkor.VELKOR(); older.init("a")
fake.set_init_handle(0x200)
newer = _velkor.VELKOR(); newer.init("b")
fake.stream(b"x", sleep_us=1000, final_state=2)
ctrl_c_soon()
try:
    newer.run("go")
    print("returned")
except KeyboardInterrupt:
    print("KeyboardInterrupt")
breaks = [c.handle for c in fake.calls("kiv_llm_break")]
# The signal breaks the newer, then the older; later pieces of the newer's run repeat its break.
print(hex(breaks[0]), hex(breaks[1]), set(map(hex, breaks[2:])) <= {"0x200"})
""")
    assert proc.stdout.splitlines() == ["KeyboardInterrupt", "0x200 0x100 True"]


def test_ctrl_c_walks_a_chain_of_20000_objects(fake_velkor_path):
    """Each object made on the main thread chains to the one before: Ctrl+C
    still ends in Python's default handler, and freeing the chain afterwards
    frees every object."""
    from support.subprocess_run import run_with_fake
    proc = run_with_fake(fake_velkor_path, """
        for _ in range(20000):
            obj = _velkor.VELKOR()
            obj.init("m")
            obj.uninit()
            del obj
        try:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(5)
        except KeyboardInterrupt:
            print("KeyboardInterrupt", flush=True)
        signal.signal(signal.SIGINT, signal.default_int_handler)
        gc.collect()
        print(fake.live_contexts, len(fake.calls("kiv_llm_break")), flush=True)
    """, timeout=300)
    assert proc.stdout == "KeyboardInterrupt\n0 0\n"


def test_installing_twice_does_not_chain_to_itself(fake_velkor_path):
    from support.subprocess_run import run_with_fake
    proc = run_with_fake(fake_velkor_path, """
        a = _velkor.VELKOR()
        a.init("m")
        a._install_sigint_handler()
        try:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(5)
        except KeyboardInterrupt:
            print("KeyboardInterrupt", len(fake.calls("kiv_llm_break")), flush=True)
        b = _velkor.VELKOR()
        b.init("m")
        a._install_sigint_handler()          # a above b, b above a: a cycle
        signal.getsignal(signal.SIGINT)(signal.SIGINT, None)
        print("cycle walked", len(fake.calls("kiv_llm_break")), flush=True)
    """, timeout=60)
    assert proc.stdout == "KeyboardInterrupt 1\ncycle walked 3\n"
