"""The package on the simulated card: the session from the docs, kelpori's
board loop, errors, with-blocks, threads, blocks and interrupts."""

import array
import os
import subprocess
import threading

import pytest

import tv940
from conftest import BUILD, DESIGNS, run_python

EXAMPLE = r'''
import tv940
with tv940.Board("sim", trace="run.trace") as b:
    print(b.set_clock(16.0, 66.0))
    b.load_configuration(DESIGN)
    b.set_bus_width(32)
    a = tv940.chip_address(row=0, column=2)
    b.write_chip(0x4100, 0x1234); v = b.read_chip(0x4100)
    b.write_port(16, 1); p = b.read_port(32)
    words = b.read_chip_block(0x4000, 1024)
    b.write_chip_block(0x5000, words)
    w = b.wait_interrupt(timeout=0.05)
    print(hex(a), hex(v), w, len(words), words.typecode, b.read_chip_block(0x5000, 1024) == words)
print(tv940.error_message(-6))
writes = [e for e in tv940.trace.events("run.trace") if e.kind == "wr" and e.address == 0x4100]
print(writes[-1].value == 0x1234, writes[-1].in_chip)
'''


def test_example_session(tmp_path):
    code = EXAMPLE.replace("DESIGN", repr(os.path.join(DESIGNS, "kelpori.bfx")))
    lines = run_python(code, tmp_path).stdout.splitlines()
    # The synthesizer's seven lines, then what the script prints.
    assert len(lines) == 11, lines
    assert lines[0].startswith("Send clock_data:")
    assert lines[7] == "66.0"
    assert lines[8] == "0x200 0x1234 None 1024 I True"
    assert lines[9] == "Could not find BFX file."
    assert lines[10] == "True True"


def _draw(state):
    state = (state * 214013 + 2531011) & 0xFFFFFFFF
    return state, (state >> 16) & 0x7FFF


def test_kelpori_board_loop_equals_model(board, tmp_path):
    kelpori = os.path.join(BUILD, "bin", "kelpori")
    assert run_python(f"import subprocess; subprocess.run([{kelpori!r}, '-s'], check=True)",
                      tmp_path).returncode == 0
    model = (tmp_path / "kelpori.out").read_text().splitlines()
    # The bring-up kelpori does, then its loop for 10 vectors.
    board.write_port(24, 0)
    board.write_port(16, 1)
    board.write_port(60, 0)
    assert board.set_clock(16.0, 66.0) == 66.0
    board.load_configuration(os.path.join(DESIGNS, "kelpori.bfx"))
    board.set_bus_width(32)
    board.write_control_c008(0)
    board.set_masks(0, 0xFFFFFFFF)
    lines, state = [], 1
    for _ in range(10):
        state, first = _draw(state)
        state, second = _draw(state)
        board.write_user_register(1, 1)
        board.write_user_register(2, (first * second) & 0xFFFFFFFF)
        board.write_user_register(1, 0)
        for _ in range(48):
            board.read_user_register(2)
            shift = board.read_user_register(0)
            capture = board.read_user_register(8) & 0xFFFF
            lines.append(f"SR: Ox{capture:04x}{shift:08x}")
        lines.append("")
    assert lines == model[:len(lines)]
    assert board.last_failure == ""


def test_errors(board, tmp_path):
    with pytest.raises(tv940.Error) as caught:
        tv940.Board("no-such-device")
    assert caught.value.code == -5 and "no-such-device" in caught.value.failure

    with pytest.raises(tv940.Error) as caught:
        board.load_configuration(tmp_path / "missing.bfx")
    assert caught.value.code == -6 and caught.value.message == "Could not find BFX file."
    assert "missing.bfx" in caught.value.failure

    bad = tmp_path / "bad.bfx"
    bad.write_text("4000 1\n4001 2\n1C000 1\n")
    with pytest.raises(tv940.Error) as caught:
        board.load_configuration(bad)
    assert (caught.value.code, caught.value.line) == (-7, 3)
    assert "exceeds FFFF" in caught.value.failure

    with pytest.raises(tv940.Error) as caught:
        board.set_bus_width(12)
    assert caught.value.code == -9
    with pytest.raises(tv940.Error) as caught:
        board.set_clock(16.0, 500.0)
    assert caught.value.code == tv940.ERROR_ARGUMENT
    with pytest.raises(tv940.Error) as caught:
        board.read_chip_block(0xFFF0, 32)
    assert "past the chip" in caught.value.failure
    with pytest.raises(tv940.Error):
        board.write_port(64, 0)
    with pytest.raises(ValueError):
        tv940.chip_address(row=64)
    assert tv940.error_message(-20) == "Invalid or closed board handle."

    board.close()
    with pytest.raises(tv940.Error) as caught:
        board.read_chip(0)
    assert caught.value.code == tv940.ERROR_HANDLE

    # The device given wins over TV940_DEVICE; without one, TV940_DEVICE
    # decides, and the failure names it.
    chosen = run_python(
        "import tv940\n"
        "tv940.Board('sim').close()\n"
        "try:\n    tv940.Board()\nexcept tv940.Error as e:\n    print(e.failure)\n",
        tmp_path, env={"TV940_DEVICE": "bogus"})
    assert chosen.stdout.startswith("TV940_DEVICE=bogus: "), chosen.stdout

    # A library that is not there: the import says where it looked.
    missing = str(tmp_path / "nowhere.so")
    result = run_python("import tv940", tmp_path, env={"TV940_LIBRARY": missing}, check=False)
    assert result.returncode != 0
    assert "ImportError" in result.stderr and missing in result.stderr


def test_with_block_closes_on_exception(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(RuntimeError):
        with tv940.Board("sim") as first:
            first.write_chip(0x4000, 1)
            raise RuntimeError("inside")
    assert first.closed
    with pytest.raises(tv940.Error):
        first.read_chip(0x4000)
    with tv940.Board("sim") as second:
        second.write_chip(0x4000, 2)
        assert second.read_chip(0x4000) == 2


def test_two_threads_on_one_board(board):
    mismatches = []

    def drive(base):
        for i in range(2000):
            board.write_chip(base + i % 64, i)
            value = board.read_chip(base + i % 64)
            if value != i:
                mismatches.append((base, i, value))

    threads = [threading.Thread(target=drive, args=(base,)) for base in (0x4400, 0x4800)]
    # A clock setting (its waits release the GIL) beside them.
    threads.append(threading.Thread(target=board.set_clock, args=(16.0, 33.0)))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []


def test_blocks(board):
    numpy = pytest.importorskip("numpy")
    words = array.array("I", ((i * 2654435761) & 0xFFFFFFFF for i in range(4096)))
    board.write_chip_block(0x4000, words)
    assert board.read_chip_block(0x4000, 4096) == words
    assert board.read_chip_block(0x4000, 4096, via_driver=True) == words
    read = board.read_chip_block(0x4000, 4096, numpy=True)
    assert read.dtype == numpy.uint32 and read.tolist() == words.tolist()
    board.write_chip_block(0x6000, read[::-1].copy())
    assert board.read_chip_block(0x6000, 4096).tolist() == words.tolist()[::-1]
    board.write_chip_block(0x7000, memoryview(words).toreadonly())
    assert board.read_chip_block(0x7000, 4096) == words
    with pytest.raises(ValueError):
        board.write_chip_block(0x4000, numpy.zeros(8, dtype=numpy.uint16))


INTERRUPTS = r'''
import sys, threading, tv940
with tv940.Board("sim") as b:
    assert b.wait_interrupt(timeout=0.02) is None
    b.set_clock(16.0, 66.0)
    b.load_configuration(sys.argv[1])
    b.set_bus_width(32)
    got = []
    waiter = threading.Thread(target=lambda: got.append(b.wait_interrupt(timeout=30)))
    waiter.start()
    # The waiting thread holds neither the GIL nor the Board. The plug-in
    # design adds what column 0 receives and raises the interrupt, with the
    # sum in bits 0-30, once the sum reaches its threshold (100).
    for value in (40, 50, 30, 7):
        b.write_user_register(0, value)
        assert b.read_user_register(0) == 0
    waiter.join()
    print(got, b.last_interrupt(), b.read_user_register(1))
    closer = threading.Thread(target=lambda: got.append(b.wait_interrupt()))
    closer.start()
    import time; time.sleep(0.1)
b.close()
closer.join()
print(got[1:] == [] or got)
'''


def test_interrupt_wait(tmp_path):
    # The interrupt comes from a design plug-in on the simulated card, as a
    # user's design raises it: the test plug-in "sum" (identification
    # 0x53554D00, its parameter word the threshold).
    plugin = os.path.join(BUILD, "bin", "test-plugins", "sound.so")
    design = tmp_path / "sum.bfx"
    subprocess.run([os.path.join(BUILD, "bin", "bfxgen"), "--identification",
                    "53554D00", "--parameter", "64", "--body-words", "16",
                    str(design)], check=True)
    result = run_python(INTERRUPTS, tmp_path, args=[str(design)],
                        env={"TV940_SIM_DESIGNS": plugin}, check=False)
    lines = result.stdout.splitlines()
    word = 0x80000000 | 120  # raised at the third write: 40 + 50 + 30
    assert f"[{word}] ({word}, 1) 127" in lines, (result.stdout, result.stderr)
    # The wait that the close ended raised tv940.Error in its thread.
    assert "Invalid or closed board handle" in result.stderr
