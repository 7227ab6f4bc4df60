"""The Python package's costs on the simulated card, for bench/run: one
read_chip call (ns), and block transfers of 1 Mi words (words/s), each the
median of three repetitions."""

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

        def writes():
            start = time.perf_counter()
            for _ in range(BLOCKS):
                board.write_chip_block(ADDRESS, words)
            return BLOCK * BLOCKS / (time.perf_counter() - start)

        def block_reads():
            start = time.perf_counter()
            for _ in range(BLOCKS):
                read = board.read_chip_block(ADDRESS, BLOCK)
            if read != words:
                raise SystemExit("python_bench: the block read back differs")
            return BLOCK * BLOCKS / (time.perf_counter() - start)

        print(f"read_chip_ns {median_of_three(reads):.1f}")
        print(f"block_write_words_per_s {median_of_three(writes):.0f}")
        print(f"block_read_words_per_s {median_of_three(block_reads):.0f}")


if __name__ == "__main__":
    main()
