"""The runtime's pieces turned into events, with plain lists: no runtime, no threads."""

from __future__ import annotations

import itertools

import pytest

from tessel_openai_server.kiv_velkor.streaming.errors import RequestRejected
from tessel_openai_server.kiv_velkor.streaming.events import Finished, PieceKind, TextPiece, ToolCall
from tessel_openai_server.kiv_velkor.streaming.pieces import PieceReader

GENERATING, FINISH, ERROR = 1, 2, 3


def read(pieces, halt_on_request=True, **options):
    """Feeds (bytes, content type) pieces as a run would; returns the events, the stop asked for, the final event."""
    events: list = []
    clock = itertools.count(10.0, 0.5).__next__
    reader = PieceReader(events.append, clock=clock, **options)
    stop = None
    for raw, kind in pieces:
        stop = reader.piece(raw, kind, GENERATING)
        if stop is not None and halt_on_request:
            break
    final = reader.finish(stop, False, 9.0)
    return events, stop, final


def texts(events, kind=PieceKind.ANSWER):
    return [e.text for e in events if isinstance(e, TextPiece) and e.kind is kind]


@pytest.mark.parametrize("pieces, stops, sent, reason", [
    # The stop sequence arrives split over three pieces: nothing of it goes out.
    ([b"Hello wor", b"ld. Bye", b" now", b"!"], ("Bye now",), ["Hello wor", "ld. "], "stop"),
    # A partial match is held back, then released when the next piece rules it out.
    ([b"one ##", b"# two", b" three"], ("###!",), ["one ", "### two", " three"], "stop"),
    # A held-back tail goes out at the end when the run finishes without meeting the stop.
    ([b"ends with Bye"], ("Bye now",), ["ends with ", "Bye"], "stop"),
    # The earliest of several stop sequences wins.
    ([b"a b c d"], ("c", "b"), ["a "], "stop"),
])
def test_stop_sequences_across_pieces(pieces, stops, sent, reason):
    events, _, final = read([(p, 0) for p in pieces], stops=stops)
    assert texts(events) == sent and final.text == "".join(sent) and final.finish_reason == reason


def test_a_character_split_over_pieces_comes_out_whole_per_kind():
    # "ü" split between two answer pieces, "…" split between two reasoning pieces
    # with an answer piece in between; a dangling byte at the end becomes U+FFFD.
    pieces = [(b"Gr\xc3", 0), (b"\xe2\x80", 1), (b"\xbc", 0), (b"\xa6", 1), (b"\xe2\x98", 0)]
    events, _, final = read(pieces)
    assert texts(events) == ["Gr", "ü", "\ufffd"]
    assert texts(events, PieceKind.REASONING) == ["…"]
    assert (final.text, final.reasoning, final.usage.completion_tokens) == ("Grü\ufffd", "…", 5)


@pytest.mark.parametrize("max_tokens, stops, expected_stop, text", [
    (3, (), "length", "abc"),
    (3, ("c",), "stop", "ab"),        # the stop met on the last allowed piece wins over the length
    (10, (), None, "abcde"),
])
def test_max_tokens_counts_pieces_and_asks_for_the_stop(max_tokens, stops, expected_stop, text):
    events, stop, final = read([(c.encode(), 0) for c in "abcde"], max_tokens=max_tokens, stops=stops)
    assert stop == expected_stop
    assert final.text == text and final.finish_reason == (expected_stop or "stop")
    assert final.usage.completion_tokens == len(texts(events)) + (1 if stops and expected_stop else 0)


def test_tool_calls_errors_and_timings():
    events: list = []
    clock = itertools.count(10.0, 0.5).__next__
    reader = PieceReader(events.append, clock=clock)
    assert reader.piece(b"Let me see.", 0, GENERATING) is None
    call = reader.tool_call("get_weather", '{"city": "Paris"}')
    reader.piece(b"", 0, FINISH)                       # an empty final piece counts for nothing
    final = reader.finish(None, False, 9.0)
    assert isinstance(final, Finished) and events[-1] == call and isinstance(call, ToolCall)
    assert (final.finish_reason, final.tool_calls, final.usage.completion_tokens) == ("tool_calls", (call,), 1)
    assert final.timings.time_to_first_piece == 1.0 and final.timings.duration == 1.5

    rejected = PieceReader([].append)
    rejected.piece(b"the prompt is too long", 0, ERROR)
    with pytest.raises(RequestRejected, match="^the prompt is too long$"):
        rejected.finish(None, False, 0.0)
    partial = PieceReader([].append)
    partial.piece(b"part", 0, GENERATING)
    partial.piece(b"out of memory", 0, ERROR)
    ended = partial.finish(None, False, 0.0)
    assert (ended.text, ended.finish_reason, ended.error) == ("part", "error", "out of memory")
