"""The long runs of endurance.py in the forms CI can afford: a soak of 10,000
cycles, the soak of 1,000 cycles under valgrind's memcheck ending in the
shutdown, and a million reads of the status files under load. scripts/soak
runs the soak for 100,000 cycles; scripts/stress takes any number of reads.

Each run checks every cycle whole on its own (endurance.py raises on the
first difference); the tests add the figures that only the whole run
shows, and print them."""

import os
import sys
import unittest

from endurance import MEMCHECK_TOOL, Soak, load_run, memcheck_soak, sanitized_binary
from kestro_sandbox import SandboxTestCase


def show(text):
    print(f"\n{text}", file=sys.stderr)


class SoakTest(SandboxTestCase):
    CYCLES = 10_000

    def test_descriptors_and_memory_stay_the_same(self):
        report = Soak(self.CYCLES, checkpoint=500).run()
        show(report.summary())
        self.assertEqual(report.stdout_lines, report.expected_stdout_lines)
        self.assertEqual(report.stderr_lines, report.expected_stderr_lines)
        # Every path that fails in the run has been reported, once.
        self.assertEqual(report.reported_paths, 7)
        self.assertEqual(len(report.samples), self.CYCLES // 500 + 1)
        self.assertTrue(report.fds_constant(), report.samples)
        self.assertGreaterEqual(len(report.settled_samples()), 10)
        if sanitized_binary():
            show("  (memory not compared: AddressSanitizer keeps freed memory in quarantine)")
        else:
            self.assertTrue(report.memory_constant(), report.settled_samples())


@unittest.skipUnless(os.path.isfile(MEMCHECK_TOOL), "valgrind is not installed")
@unittest.skipIf(sanitized_binary(), "valgrind cannot run a binary built with AddressSanitizer")
class MemcheckTest(SandboxTestCase):
    CYCLES = 1_000

    def test_no_error_and_nothing_in_use_at_exit(self):
        report = memcheck_soak(self.CYCLES)
        show(report.summary())
        figures = report.memcheck
        self.assertEqual(figures["errors"], 0, figures)
        self.assertEqual((figures["bytes in use at exit"], figures["blocks in use at exit"]), (0, 0), figures)
        self.assertTrue(figures["no leaks possible"], figures)
        self.assertEqual(figures["allocations"], figures["frees"])


class LoadTest(SandboxTestCase):
    READS = 1_000_000

    def test_a_million_reads_find_every_file_whole(self):
        report = load_run(self.READS)
        show(report.summary())
        self.assertEqual((report.empty, report.missing, report.malformed), (0, 0, 0), report.bad)
        self.assertGreaterEqual(report.reads, self.READS)
        # The values moved under the reader, many times over.
        self.assertGreater(report.cycles, 100)
        self.assertGreater(report.changes, 1000)


if __name__ == "__main__":
    unittest.main()
