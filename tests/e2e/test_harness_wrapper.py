"""The harness's way to run a program under a tracer or profiler (the
benchmark's): the wrapper option, and the process id the host sees."""

import os
import unittest

from kestro_sandbox import CYCLE_PAUSE, SandboxTestCase, helper_binary

VALGRIND_LIB = "/usr/libexec/valgrind"
# Valgrind's tool that adds nothing: a static program that runs its client
# with the environment it was given, the clock shim's LD_PRELOAD included.
NULGRIND = f"{VALGRIND_LIB}/none-amd64-linux"


def command_line(pid: int) -> list[bytes]:
    with open(f"/proc/{pid}/cmdline", "rb") as file:
        return file.read().split(b"\0")[:-1]


class WrapperTest(SandboxTestCase):
    def test_host_pid_is_the_process_the_sandbox_started(self):
        machine = self.machine()
        sleeper = helper_binary("sleeper")
        daemon = machine.start(binary=sleeper, args=["ticks", "3"])
        self.assertEqual(daemon.step().stdout, ["tick 1"])
        pid = daemon.host_pid()
        self.assertEqual(os.readlink(f"/proc/{pid}/exe"), os.path.realpath(sleeper))
        self.assertEqual(command_line(pid), [sleeper.encode(), b"ticks", b"3"])

    def test_a_static_wrapper_runs_the_program_under_the_controlled_clock(self):
        if not os.path.exists(NULGRIND):
            self.skipTest(f"{NULGRIND} not installed (valgrind)")
        machine = self.machine()
        sleeper = helper_binary("sleeper")
        wrapper = [NULGRIND, "--tool=none", "--log-file=/dev/null"]
        daemon = machine.start(binary=sleeper, args=["ticks", "2"], wrapper=wrapper, timeout=60,
                               env={"VALGRIND_LIB": VALGRIND_LIB, "VALGRIND_LAUNCHER": "/usr/bin/valgrind"})
        first, second = daemon.steps(2)
        self.assertEqual((first.stdout, first.pauses), (["tick 1"], [CYCLE_PAUSE]))
        self.assertEqual((second.stdout, second.pauses), (["tick 2"], [CYCLE_PAUSE]))
        pid = daemon.host_pid()
        self.assertEqual(command_line(pid), [w.encode() for w in wrapper] + [sleeper.encode(), b"ticks", b"2"])
        run = daemon.run_until_exit(timeout=60)
        self.assertEqual((run.stdout, run.status.code), (["done"], 0))


if __name__ == "__main__":
    unittest.main()
