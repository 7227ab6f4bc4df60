"""The trace reader on a trace of a million events, in bounded memory."""

import pytest

import tv940
from conftest import run_python

WRITER = r'''
import array, tv940
words = array.array("I", range(65536))
with tv940.Board("sim", trace="big.trace") as b:
    for block in range(16):
        words = array.array("I", (w + 1 for w in words)) if block else words
        b.write_chip_block(0, words)
'''


READER = r'''
import resource, tv940
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
writes = wrong = 0
last = None
for event in tv940.trace.events("big.trace"):
    if event.kind == "wr":
        # Block b writes address a with a + b, in order.
        block, address = divmod(writes, 65536)
        if (event.address, event.value, event.in_chip) != (address, address + block, True):
            wrong += 1
        writes += 1
    last = event
grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(writes, wrong, last.line > writes, grown)
'''


def test_million_events_in_bounded_memory(tmp_path):
    run_python(WRITER, tmp_path)
    # In a process of its own, so that its peak memory is the reader's.
    writes, wrong, numbered, grown_kib = run_python(READER, tmp_path).stdout.split()
    assert (int(writes), int(wrong), numbered) == (16 * 65536, 0, "True")
    # The events are not kept: a list of them would take over 100 MiB.
    assert int(grown_kib) < 16 * 1024, grown_kib

    # A cut trace warns; a file that is no trace raises.
    lines = (tmp_path / "big.trace").read_bytes().splitlines(keepends=True)
    (tmp_path / "cut.trace").write_bytes(b"".join(lines[:100]))
    comments = sum(line.startswith(b"#") for line in lines[:100])
    with pytest.warns(tv940.trace.CutTraceWarning):
        assert len(list(tv940.trace.events(tmp_path / "cut.trace"))) == 100 - comments
    (tmp_path / "notes.txt").write_text("hello\n")
    with pytest.raises(tv940.Error) as caught:
        list(tv940.trace.events(tmp_path / "notes.txt"))
    assert "not a trace" in caught.value.failure
