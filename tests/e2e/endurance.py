"""Long runs of the real daemon under the harness's clock: the soak, the
soak under valgrind's memcheck, and the load on the status files.

    python3 endurance.py soak [--cycles 100000] [--checkpoint 1000]
    python3 endurance.py memcheck [--cycles 1000]
    python3 endurance.py load [--reads 1000000]

(scripts/soak and scripts/stress run them after a build; test_endurance runs
short forms in CI.) Each prints its figures and exits with status 1 when a
check fails.

The soak runs cycles with every published value moving every cycle, a
charge that passes reporting steps, a charge limit that changes now and
then, failures that come and go (one kind per slot of every hundred cycles)
and, at growing intervals, a path that fails for the first time. Every cycle
is checked whole against reliability_model: standard output and error line
by line, the pauses, the five files. At checkpoints it counts the daemon's
open file descriptors and reads its memory figures from /proc; once the set
of reported paths has stopped growing, both must stay the same to the end.
Under memcheck the run ends in the low-battery shutdown with the fake
poweroff, and valgrind's report must show no error and no byte in use at
exit.

The load run lets a reader (kestro_e2e_status_reader) read the five files in
a tight loop while the daemon runs cycles as fast as the harness can step
them, every value changing every cycle; no read may find a file empty,
missing or malformed.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import re
import subprocess
import sys
import time
from typing import Callable, Optional, Sequence

from kestro_expected import (CAN_READ, EMPTY_NUMBER, NO_CONFIG, NOT_FOUND, NOT_UTF8, SHUTTING_DOWN, USING_MARLITH,
                             announcement, limit_failed, limit_file, new_limit, start_line, start_up, throttled)
from kestro_sandbox import CYCLE_PAUSE, RETRY_PAUSE, HarnessError, Machine, Pause, helper_binary, kestro_binary
from reliability_model import FULL, THRESHOLD_PATH, Expectation, Readings, scratch_folder

# -- the soak ---------------------------------------------------------------------

# One failure per slot of every hundred cycles, each for that cycle only:
# slot -> (attribute, kind, fresh). A fault with fresh k > 0 happens only from
# cycle k × fresh_every on, so that its path is reported for the first time
# well into the run; with fresh 0 it happens from the start.
FAULTS = {
    5: ("voltage_now", "missing", 1),
    17: ("charge_now", "empty", 0),
    29: ("charge_full", "missing", 2),
    41: ("current_now", "missing", 0),
    52: ("online", "missing", 3),
    63: ("status", "not UTF-8", 0),
    70: ("sensor current", "missing", 0),
    76: ("voltage_min_design", "missing", 4),
    88: ("charge limit", "not a number", 0),
    94: ("charge_now", "nan", 0),
}
FRESH_PATHS = 4
REPORTED_EVERY_TIME = {"empty": EMPTY_NUMBER, "nan": "NaN is not finite"}
REPORTED_ONCE = {"missing": NOT_FOUND, "not UTF-8": NOT_UTF8}
READ_ORDER = ["charge_full", "charge_now", "current_now", "status", "voltage_min_design", "voltage_now", "online"]
FIELDS = {"charge_full": "full", "charge_now": "now", "current_now": "current", "status": "status",
          "voltage_min_design": "voltage_min_design", "voltage_now": "voltage_now", "online": "online"}
SENSOR_LINES = (USING_MARLITH, CAN_READ)
SHUTDOWN_CHARGE = 200_000  # 0.4 %, below the default level of 0.49999998 %
SHUTDOWN_LINES = announcement("0.49999998")

MEMCHECK_TOOL = "/usr/libexec/valgrind/memcheck-amd64-linux"
MEMCHECK_LOG = "/run/memcheck.log"  # in the sandbox's /run
MEMCHECK = [MEMCHECK_TOOL, f"--log-file={MEMCHECK_LOG}", "--vgdb=no", "--leak-check=full",
            "--show-leak-kinds=all", "--errors-for-leak-kinds=all", "--error-exitcode=99"]
# Valgrind's tools refuse to run unless started by its launcher, which they
# learn of from this variable. The launcher itself cannot be used: it is
# dynamically linked, so the clock shim would be preloaded into it.
MEMCHECK_ENV = {"VALGRIND_LAUNCHER": "/usr/bin/valgrind.bin"}


def triangle(number: int, half: int) -> int:
    """0, 1, ..., half - 1, half - 1, ..., 0, 0, 1, ...: up and down."""
    phase = number % (2 * half)
    return phase if phase < half else 2 * half - 1 - phase


@dataclasses.dataclass
class Sample:
    cycle: int
    fds: int
    vm_rss_kb: int
    vm_data_kb: int
    rss_anon_kb: int

    def memory(self) -> tuple[int, int]:
        """The figures a leak would raise: the data segment and the resident
        anonymous memory. (VmRSS also counts pages of the program and its
        libraries, which the kernel may drop and read again at any time.)"""
        return self.vm_data_kb, self.rss_anon_kb


@dataclasses.dataclass
class SoakReport:
    cycles: int
    stdout_lines: int
    stderr_lines: int
    expected_stdout_lines: int
    expected_stderr_lines: int
    reported_paths: int
    settled_at: int
    samples: list[Sample]
    fd_targets: list[str]
    seconds: float
    memcheck: Optional[dict] = None

    def fds_constant(self) -> bool:
        return len({sample.fds for sample in self.samples}) == 1

    def settled_samples(self) -> list[Sample]:
        return [sample for sample in self.samples if sample.cycle >= self.settled_at]

    def memory_constant(self) -> bool:
        return len({sample.memory() for sample in self.settled_samples()}) <= 1

    def summary(self) -> str:
        lines = [f"soak: {self.cycles} cycles in {self.seconds:.1f} s",
                 f"  output: {self.stdout_lines} stdout lines (expected {self.expected_stdout_lines}), "
                 f"{self.stderr_lines} stderr lines (expected {self.expected_stderr_lines})",
                 f"  paths reported: {self.reported_paths}, the last new one before cycle {self.settled_at}"]
        if self.samples:
            first, settled, last = self.samples[0], self.settled_samples()[0], self.samples[-1]
            for label, sample in (("start", first), ("settled", settled), ("end", last)):
                lines.append(f"  {label:8} cycle {sample.cycle:>7}: {sample.fds} fds, VmRSS {sample.vm_rss_kb} kB, "
                             f"VmData {sample.vm_data_kb} kB, RssAnon {sample.rss_anon_kb} kB")
            lines.append(f"  fds: {', '.join(self.fd_targets)}")
            lines.append(f"  {len(self.samples)} samples; fds constant: {self.fds_constant()}; "
                         f"memory constant once settled: {self.memory_constant()}")
        if self.memcheck is not None:
            lines.append("  memcheck: " + ", ".join(f"{key} {value}" for key, value in self.memcheck.items()))
        return "\n".join(lines)


def process_figures(pid: int) -> tuple[int, int, int, int, list[str]]:
    """Open descriptors, VmRSS, VmData and RssAnon (kB) of a process, and
    what its descriptors lead to."""
    fd_dir = f"/proc/{pid}/fd"
    targets = []
    for name in sorted(os.listdir(fd_dir), key=int):
        try:
            targets.append(f"{name}->{os.readlink(f'{fd_dir}/{name}')}")
        except FileNotFoundError:
            pass
    figures = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmData", "RssAnon"):
                figures[key] = int(value.split()[0])
    return len(targets), figures["VmRSS"], figures["VmData"], figures["RssAnon"], targets


def parse_memcheck(text: str) -> dict:
    """The figures of a memcheck log."""
    def number(pattern: str) -> Optional[int]:
        found = re.search(pattern, text)
        return int(found.group(1).replace(",", "")) if found else None

    return {
        "errors": number(r"ERROR SUMMARY: ([\d,]+) errors"),
        "bytes in use at exit": number(r"in use at exit: ([\d,]+) bytes"),
        "blocks in use at exit": number(r"in use at exit: [\d,]+ bytes in ([\d,]+) blocks"),
        "allocations": number(r"total heap usage: ([\d,]+) allocs"),
        "frees": number(r"total heap usage: [\d,]+ allocs, ([\d,]+) frees"),
        "no leaks possible": "All heap blocks were freed -- no leaks are possible" in text,
    }


class Soak:
    """One soak run; run() checks every cycle and returns the figures."""

    def __init__(self, cycles: int, *, checkpoint: int = 1000, shutdown: bool = False,
                 wrapper: Sequence[str] = (), env: Optional[dict] = None, timeout: Optional[float] = None,
                 progress: Optional[Callable[[int], None]] = None):
        self.cycles = cycles
        self.checkpoint = checkpoint
        self.shutdown = shutdown
        self.wrapper = list(wrapper)
        self.env = env
        self.timeout = timeout
        self.progress = progress
        self.fresh_every = max(cycles // 50, 20)
        self.limit_period = max(cycles // 10, 50)
        # Every fault has happened, the fresh ones included, by this cycle.
        self.settled_at = FRESH_PATHS * self.fresh_every + 200

    # The values of cycle n.
    def charge_now(self, number: int) -> int:
        return 22_000_000 + 5_000 * triangle(number, 1200)  # 44 % to 55.99 %, 0.01 % a cycle

    @staticmethod
    def current_now(number: int) -> int:
        return 1_000_000 + 1_000 * (number % 997)

    def limit(self, number: int) -> int:
        return 90 if (number // self.limit_period) % 2 else 80

    def fault(self, number: int) -> Optional[tuple[str, str]]:
        entry = FAULTS.get(number % 100)
        if entry is None or number < entry[2] * self.fresh_every:
            return None
        return entry[0], entry[1]

    def good_value(self, attribute: str, number: int):
        return {"charge_full": FULL, "charge_now": self.charge_now(number), "current_now": self.current_now(number),
                "status": "Discharging", "voltage_min_design": 11_100_000, "voltage_now": 12_000_000,
                "online": 0}[attribute]

    def run(self) -> SoakReport:
        began = time.monotonic()
        with Machine(scratch_folder()) as machine:
            adapter = machine.add_adapter("AC", online=0)
            battery = machine.add_battery("BAT0", charge_full=FULL, charge_now=self.charge_now(1),
                                          current_now=self.current_now(1),
                                          charge_control_end_threshold=self.limit(1))
            # The sensor library has a chip to read every cycle (and to free at the end).
            chip = machine.add_hwmon("marlith_hwmon", in0_input=20_000, curr1_input=1_500)
            devices = {name: battery for name in FIELDS}
            devices["online"] = adapter
            expectation = Expectation()
            reported: set[str] = set()
            rate_failures = 0
            cap: Optional[float] = None
            counts = {"stdout": 0, "stderr": 0, "expected stdout": 0, "expected stderr": 0}
            samples: list[Sample] = []
            targets: list[str] = []
            daemon = None
            previous_fault = None
            last = self.cycles + (1 if self.shutdown else 0)
            try:
                for number in range(1, last + 1):
                    final = number > self.cycles
                    fault = None if final else self.fault(number)
                    # Undo the last cycle's fault, move the values, make this cycle's.
                    if previous_fault is not None:
                        attribute, _ = previous_fault
                        if attribute == "charge limit":
                            battery.set("charge_control_end_threshold", self.limit(number))
                        elif attribute == "sensor current":
                            chip.set("curr1_input", 1_500)
                        else:
                            devices[attribute].remove(attribute)
                            devices[attribute].set(attribute, self.good_value(attribute, number))
                    if number > 1:
                        skip = fault[0] if fault else None
                        if skip != "charge_now":
                            battery.set("charge_now", SHUTDOWN_CHARGE if final else self.charge_now(number))
                        if skip != "current_now":
                            battery.set("current_now", self.current_now(number))
                        if self.limit(number) != self.limit(number - 1) and skip != "charge limit":
                            battery.set("charge_control_end_threshold", self.limit(number))
                    if fault is not None:
                        attribute, kind = fault
                        if attribute == "charge limit":
                            battery.set("charge_control_end_threshold", "x")
                        elif attribute == "sensor current":
                            chip.remove("curr1_input")  # the library's read fails; nothing is printed
                        elif kind == "missing":
                            devices[attribute].remove(attribute)
                        elif kind == "not UTF-8":
                            devices[attribute].set(attribute, b"Dis\xffcharging\n")
                        else:
                            devices[attribute].set(attribute, "" if kind == "empty" else "nan")
                    previous_fault = fault

                    # What the cycle must print, pause for and publish.
                    stderr = [NO_CONFIG] if number == 1 else []
                    pauses = [CYCLE_PAUSE]
                    value = None if fault and fault[0] == "charge limit" else self.limit(number)
                    if value is None:
                        pauses = [RETRY_PAUSE] * 3 + [CYCLE_PAUSE]
                        if THRESHOLD_PATH not in reported:
                            reported.add(THRESHOLD_PATH)
                            stderr.append(limit_failed(THRESHOLD_PATH))
                    new_cap = value if value is not None else (cap if cap is not None else 100.0)
                    cap_lines = [new_limit(new_cap)] if cap is None or new_cap != cap else []
                    cap = new_cap
                    fields = {}
                    if fault is not None and fault[0] in FIELDS:
                        attribute, kind = fault
                        path = devices[attribute].attribute_path(attribute)
                        fields[FIELDS[attribute]] = None
                        if kind in REPORTED_EVERY_TIME:
                            stderr.append(f"read {path}: {REPORTED_EVERY_TIME[kind]}")
                        elif path not in reported:
                            reported.add(path)
                            stderr.append(f"read {path}: {REPORTED_ONCE[kind]}")
                        if attribute == "current_now":
                            if rate_failures % 60 == 0:
                                stderr.append(throttled(path, rate_failures + 1, number, number))
                            rate_failures += 1
                    now = SHUTDOWN_CHARGE if final else self.charge_now(number)
                    readings = dataclasses.replace(Readings(now=now, current=self.current_now(number)), **fields)
                    files = expectation.step(readings, cap=cap)
                    if number == 1:
                        stdout = start_up(limit_line=limit_file(THRESHOLD_PATH), sensor=SENSOR_LINES) + cap_lines
                    elif final:
                        stdout = cap_lines + SHUTDOWN_LINES + [SHUTTING_DOWN]
                    else:
                        stdout = cap_lines + ([start_line("Disconnected", expectation.charge, expectation.battery)]
                                              if number == 2 else []) + expectation.progress

                    if daemon is None:
                        daemon = machine.start(wrapper=self.wrapper, env=self.env, timeout=self.timeout)
                    if final:
                        run = daemon.run_until_exit()
                        got = (run.stdout, run.stderr, run.pauses, run.status.code)
                        want = (stdout, stderr, pauses[:-1] + [Pause(10)], 0)
                    else:
                        cycle = daemon.step()
                        got = (cycle.stdout, cycle.stderr, cycle.pauses)
                        want = (stdout, stderr, pauses)
                        counts["stdout"] += len(cycle.stdout)
                        counts["stderr"] += len(cycle.stderr)
                        counts["expected stdout"] += len(stdout)
                        counts["expected stderr"] += len(stderr)
                    if got != want:
                        raise AssertionError(f"cycle {number}: got {got!r},\nexpected {want!r}")
                    if machine.status_files() != files:
                        raise AssertionError(f"cycle {number}: status files {machine.status_files()!r},\n"
                                             f"expected {files!r}")
                    if not self.wrapper and not final and (number == 1 or number % self.checkpoint == 0):
                        fds, rss, data, anon, targets = process_figures(daemon.host_pid())
                        samples.append(Sample(number, fds, rss, data, anon))
                    if self.progress:
                        self.progress(number)
                memcheck = None
                if self.shutdown:
                    if len(machine.poweroff_calls()) != 1:
                        raise AssertionError(f"poweroff ran {len(machine.poweroff_calls())} times")
                    if self.wrapper:
                        memcheck = parse_memcheck(machine.host_path(MEMCHECK_LOG).read_text())
            finally:
                if daemon is not None:
                    daemon.close()
        return SoakReport(self.cycles, counts["stdout"], counts["stderr"], counts["expected stdout"],
                          counts["expected stderr"], len(reported), self.settled_at, samples, targets,
                          time.monotonic() - began, memcheck)


def sanitized_binary() -> bool:
    """Whether the daemon under test is built with AddressSanitizer, which
    valgrind cannot run and whose quarantine of freed memory grows by design."""
    with open(kestro_binary(), "rb") as binary:
        return b"AddressSanitizer" in binary.read()


def memcheck_soak(cycles: int, progress=None) -> SoakReport:
    """A soak of `cycles` cycles under memcheck, ending in the shutdown."""
    if not os.path.isfile(MEMCHECK_TOOL):
        raise FileNotFoundError(f"{MEMCHECK_TOOL} not found: install valgrind")
    return Soak(cycles, shutdown=True, wrapper=MEMCHECK, env=MEMCHECK_ENV, timeout=120, progress=progress).run()


# -- the load on the status files -----------------------------------------------------

@dataclasses.dataclass
class LoadReport:
    reads: int
    rounds: int
    empty: int
    missing: int
    malformed: int
    changes: int
    cycles: int
    seconds: float
    bad: list[str]

    def bad_reads(self) -> int:
        return self.empty + self.missing + self.malformed

    def summary(self) -> str:
        return (f"load: {self.reads} reads of the status files in {self.rounds} rounds during {self.cycles} cycles "
                f"({self.seconds:.1f} s): {self.empty} empty, {self.missing} missing, {self.malformed} malformed; "
                f"{self.changes} reads found a new value" + "".join(f"\n  {line}" for line in self.bad))


def load_run(reads: int, timeout: float = 600.0) -> LoadReport:
    """Runs cycles, every value changing in each, until the reader has made
    `reads` reads."""
    reader_binary = helper_binary("status_reader")
    began = time.monotonic()
    # With two processors or more, the reader gets one of its own and the
    # harness and the daemon (which take turns) the others, so that reads
    # and renames really run at the same time.
    processors = sorted(os.sched_getaffinity(0))
    reader_processors = set(processors[:1]) if len(processors) > 1 else set(processors)
    others = set(processors[1:]) or set(processors)
    with Machine(scratch_folder()) as machine:
        adapter = machine.add_adapter("AC", online=0)
        battery = machine.add_battery("BAT0", charge_full=FULL, charge_now=25_000_000)
        os.sched_setaffinity(0, others)
        try:
            daemon = machine.start()
        finally:
            os.sched_setaffinity(0, set(processors))
        daemon.step()
        reader = subprocess.Popen([reader_binary, str(machine.status_dir), str(reads)], stdout=subprocess.PIPE,
                                  text=True, preexec_fn=lambda: os.sched_setaffinity(0, reader_processors))
        os.sched_setaffinity(0, others)
        try:
            if reader.stdout.readline() != "ready\n":
                raise HarnessError("the status reader did not start")
            number = 1
            while reader.poll() is None:
                if time.monotonic() - began > timeout:
                    raise HarnessError(f"the reader did not make {reads} reads in {timeout} s")
                number += 1
                # Every value changes, in length too: the charge walks through
                # 40 % to 80 %, the adapter and the battery's status flip.
                battery.set("charge_now", 20_000_000 + (number * 12_347) % 20_000_000)
                battery.set("current_now", 1_000_000 + (number % 977) * 1_013)
                online = number % 2
                adapter.set("online", online)
                battery.set("status", "Full" if online else "Discharging")
                cycle = daemon.step()
                if cycle.stderr or cycle.pauses != [CYCLE_PAUSE]:
                    raise AssertionError(f"cycle {number}: {cycle.stderr!r}, {cycle.pauses!r}")
            output = reader.stdout.read()
        finally:
            os.sched_setaffinity(0, set(processors))
            if reader.poll() is None:
                reader.kill()
            reader.wait()
            reader.stdout.close()
        daemon.close()
    lines = output.splitlines()
    counts = dict(item.split("=") for item in lines[-1].split())
    return LoadReport(int(counts["reads"]), int(counts["rounds"]), int(counts["empty"]), int(counts["missing"]),
                      int(counts["malformed"]), int(counts["changes"]), number - 1, time.monotonic() - began,
                      lines[:-1])


# -- the command line -------------------------------------------------------------------

def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    soak = commands.add_parser("soak", help="the soak, with file descriptors and memory")
    soak.add_argument("--cycles", type=int, default=100_000)
    soak.add_argument("--checkpoint", type=int, default=1000, help="cycles between two samples")
    memcheck = commands.add_parser("memcheck", help="the soak under valgrind's memcheck, ending in the shutdown")
    memcheck.add_argument("--cycles", type=int, default=1000)
    load = commands.add_parser("load", help="a reader against the status files")
    load.add_argument("--reads", type=int, default=1_000_000)
    options = parser.parse_args(argv)

    def progress(number: int) -> None:
        if number % 10_000 == 0:
            print(f"  ... cycle {number}", file=sys.stderr, flush=True)

    try:
        if options.command == "load":
            report = load_run(options.reads)
            print(report.summary())
            return 0 if report.bad_reads() == 0 and report.reads >= options.reads and report.changes > 0 else 1
        if options.command == "soak":
            report = Soak(options.cycles, checkpoint=options.checkpoint, progress=progress).run()
            print(report.summary())
            return 0 if report.fds_constant() and report.memory_constant() else 1
        report = memcheck_soak(options.cycles, progress=progress)
        print(report.summary())
        figures = report.memcheck
        return 0 if figures["errors"] == 0 and figures["bytes in use at exit"] == 0 else 1
    except AssertionError as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
