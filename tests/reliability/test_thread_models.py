"""What real runtimes and servers do: runtimes that run every context on
threads of their own (a worker per context, a new thread per run, a shared
pool), daemon threads still streaming when the interpreter ends, callbacks that
arrive after their run or end the process. Each scenario runs in a fresh
interpreter with a timeout, since a hang or an abort is the failure."""

from __future__ import annotations

import pytest

from support.subprocess_run import run_with_fake

THREAD_MODELS = ["caller", "thread", "worker-per-context", "shared-pool", "thread-per-callback"]


@pytest.mark.parametrize("model", THREAD_MODELS)
def test_every_lifecycle_call_completes_with_the_runtimes_threads(fake_velkor_library, model, tmp_path):
    """init, runs from two Python threads at once, interrupt, reset, re-init,
    uninit, destruction and the closing of the library all complete, no handle
    reaches the runtime after its release, and every context is released."""
    trace = tmp_path / "trace"
    proc = run_with_fake(fake_velkor_library, f"""
        fake.set_thread_mode({model!r})
        fake.stream(b"x", max_pieces=20, sleep_us=0)
        pieces = []
        a, b = make(), make()
        a.init("m", on_token=lambda r, u, s: pieces.append(threading.get_ident()))
        b.init("m", on_token=lambda r, u, s: r.text.decode())

        def runs(obj, n):
            for _ in range(n):
                assert obj.run("x")["text"] == "x" * 20
        workers = [threading.Thread(target=runs, args=(o, 25)) for o in (a, b)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        assert len(pieces) == 25 * 20

        fake.stream(b"x", max_pieces=0, sleep_us=500)           # until a break
        timer = threading.Timer(0.05, a.interrupt)
        timer.start()
        out = a.run("x")
        timer.join()
        assert 0 < out["token_count"] < 1000
        assert a.reset() == RetStatus.SUCCESS
        assert b.init("m") == RetStatus.SUCCESS                   # releases b's first context
        assert a.uninit() == RetStatus.SUCCESS
        c = make()
        c.init("m")
        del c                                                     # destruction releases it
        gc.collect()
        print("live", fake.live_contexts, "stale", fake.stale_calls, flush=True)
        fake.close()                                              # the module holds the last opening
        del a, b
        gc.collect()                                              # the library closes: its threads are joined
        print("closed", flush=True)
    """, timeout=90, env={"FAKE_VELKOR_TRACE": str(trace)})
    assert proc.stdout == "live 1 stale 0\nclosed\n"
    assert trace.read_text().splitlines()[-1] == "unloaded"


@pytest.mark.parametrize("on_token", ["None", "lambda r, u, s: [r.text.decode() for _ in range(50)]"],
                         ids=["collect-only", "python-callback"])
@pytest.mark.parametrize("model", ["caller", "worker-per-context", "thread"])
def test_the_process_exits_with_its_status_while_a_daemon_thread_streams(fake_velkor_library, model, on_token):
    """The main thread leaves while a daemon thread is inside run(): the
    process ends with the status the program chose, without an abort."""
    for _ in range(3):
        proc = run_with_fake(fake_velkor_library, f"""
            fake.set_thread_mode({model!r})
            fake.stream(b"x", max_pieces=0, sleep_us=200)
            obj = make()
            obj.init("m", on_token={on_token})
            threading.Thread(target=lambda: obj.run("x"), daemon=True).start()
            while fake.pieces_streamed < 20:
                time.sleep(0.001)
            sys.exit(3)
        """, timeout=60, check=False)
        assert (proc.returncode, proc.stderr) == (3, "")


def test_a_daemon_thread_returning_from_its_run_during_exit_is_left_alone(fake_velkor_library):
    """Runs end and start on daemon threads while exit functions run: each
    thread either finishes in Python or stays out of it, never aborts."""
    proc = run_with_fake(fake_velkor_library, """
        import atexit
        fake.set_thread_mode("worker-per-context")
        fake.stream(b"x", max_pieces=3, sleep_us=300)
        objs = [make() for _ in range(4)]
        for o in objs:
            o.init("m", on_token=lambda r, u, s: None)

        def loop(o):
            while True:
                o.run("x")
        for o in objs:
            threading.Thread(target=loop, args=(o,), daemon=True).start()
        atexit.register(time.sleep, 0.05)       # runs after the module's own exit function
        time.sleep(0.2)
        print("bye", flush=True)
    """, timeout=60, check=False)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "bye\n", "")


def test_a_callback_after_the_run_returned_is_dropped_and_reported_once(fake_velkor_library):
    """A runtime calls back after kiv_llm_run returned: for an idle object and
    for one that has been freed since. Neither callback touches the object."""
    proc = run_with_fake(fake_velkor_library, """
        fake.set_thread_mode("late-callback")
        fake.set_late_delay(0.05)
        fake.result(b"a", token_id=1, state=2)
        seen = []
        obj = make()
        obj.init("m", on_token=lambda r, u, s: seen.append(r.text))
        assert obj.run("x")["text"] == "a"
        fake.lib.fake_join_late()                # the object is idle
        assert seen == [b"a"]
        obj.run("x")
        del obj
        gc.collect()                             # the object is freed, the library stays mapped
        fake.lib.fake_join_late()
        print("survived", flush=True)
    """, timeout=60)
    assert proc.stdout == "survived\n"
    assert proc.stderr.count("dropped a callback for an object with no run in progress") == 1


def test_system_exit_in_a_callback_is_reported_and_the_run_goes_on(fake_velkor_library):
    proc = run_with_fake(fake_velkor_library, """
        reported = []
        sys.unraisablehook = lambda u: reported.append((type(u.exc_value).__name__, u.object))
        for i in range(3):
            fake.result(b"p%d" % i, token_id=i, state=2)
        fake.tool(b"t", b"{}")

        def leave(*args):
            raise SystemExit(7)
        obj = make()
        obj.init("m", on_token=leave, on_tool_call=leave)
        try:
            out = obj.run("x")
        finally:
            print("after run", flush=True)
        print(out["text"], out["tool_calls"], sorted(set(reported)), flush=True)
    """, timeout=60)
    assert proc.stdout.splitlines() == [
        "after run",
        "p0p1p2 [{'name': 't', 'arguments': '{}'}] "
        "[('SystemExit', 'tessel_openai_server.kiv_velkor._velkor._callback_bridge'), "
        "('SystemExit', 'tessel_openai_server.kiv_velkor._velkor._tool_callback_bridge')]",
    ]
    assert proc.stderr.count("SystemExit: 7") == 4


@pytest.mark.parametrize("model", ["caller", "thread"])
def test_a_child_forked_while_a_callback_runs_python_code(fake_velkor_library, model):
    """fork() while a callback of a run waits in Python code: in the child the
    object whose run was in progress refuses every call (Ctrl+C included)
    without reaching the runtime, a new object works, and the child exits at
    once: the callback the exit would wait for is the parent's thread."""
    proc = run_with_fake(fake_velkor_library, f"""
        fake.set_thread_mode({model!r})
        fake.stream(b"x", max_pieces=0, sleep_us=1000)
        inside, release = threading.Event(), threading.Event()

        def on_token(r, u, s):
            inside.set()
            release.wait()
        obj = make()
        obj.init("m", on_token=on_token)
        runner = threading.Thread(target=obj.run, args=("x",))
        runner.start()
        inside.wait()
        pid = os.fork()
        if pid == 0:
            before, refused = len(fake.calls()), []
            for call in (obj.interrupt, obj.reset, obj.uninit, lambda: obj.run("y"), lambda: obj.init("m")):
                try:
                    call()
                except RuntimeError as exc:
                    refused.append("VELKOR.run() was in progress on this object when the process forked" in str(exc))
            obj.signal_handler(signal.SIGINT, None)
            del obj
            gc.collect()
            fake.stream(b"y", max_pieces=3, sleep_us=0)
            fresh = make()
            fresh.init("m")
            print("child", refused, fresh.run("z")["text"], fresh.uninit().name, fake.names()[before:])
            print(time.monotonic(), flush=True)
            sys.exit(0)
        _, status = os.waitpid(pid, 0)
        child_exited = time.monotonic()
        release.set()
        obj.interrupt()
        runner.join()
        print("parent", os.waitstatus_to_exitcode(status), child_exited, flush=True)
    """, timeout=60)
    child, last_line, parent = proc.stdout.splitlines()
    assert child == ("child [True, True, True, True, True] yyy SUCCESS "
                     "['kiv_llm_init', 'kiv_llm_set_toolcall_callback', 'kiv_llm_run', 'kiv_llm_uninit']")
    status, child_exited = parent.split()[1:]
    assert status == "0" and float(child_exited) - float(last_line) < 1.0, proc.stderr
