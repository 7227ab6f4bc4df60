"""The Python package's costs on the simulated card, for bench/run: one
read_chip call (ns), and block transfers of 1 Mi words (words/s, by wall
and by CPU time), each the median of three repetitions."""

import array
import statistics
import time

import tv940

CALLS = 200_000
# Blocks in the configuration memory (0x4000 up), which keeps what is
# written; 64 of them make 1 Mi words.
ADDRESS = 0x4000
BLOCK = 16384
BLOCKS = 64


def median_of_three(run):
    return statistics.median(run() for _ in range(3))


def main():
    with tv940.Board("sim") as board:
        def reads():
            read = board.read_chip
            start = time.perf_counter()
            for i in range(CALLS):
                read(0x4000 + (i & 0xFF))
            return (time.perf_counter() - start) * 1e9 / CALLS

        words = array.array("I", range(BLOCK))

        def rates(transfer):
            """1 Mi words a second: (by wall time, by CPU time)."""
            wall, cpu = time.perf_counter(), time.process_time()
            for _ in range(BLOCKS):
                transfer()
            words_moved = BLOCK * BLOCKS
            return (words_moved / (time.perf_counter() - wall),
                    words_moved / (time.process_time() - cpu))

        def write():
            board.write_chip_block(ADDRESS, words)

        def read():
            if board.read_chip_block(ADDRESS, BLOCK) != words:
                raise SystemExit("python_bench: the block read back differs")

        print(f"read_chip_ns {median_of_three(reads):.1f}")
        for name, transfer in (("write", write), ("read", read)):
            runs = [rates(transfer) for _ in range(3)]
            wall = statistics.median(r[0] for r in runs)
            cpu = statistics.median(r[1] for r in runs)
            print(f"block_{name}_words_per_s {wall:.0f}")
            print(f"block_{name}_cpu_words_per_s {cpu:.0f}")


if __name__ == "__main__":
    main()
