"""The cost of kestro: one steady cycle, memory over a long run, start-up,
and the cost of its status reader kestro-status.

Runs the real daemon in the end-to-end sandbox (tests/e2e/kestro_sandbox.py)
under the controlled clock, on a complete fake laptop: a mains adapter that
is unplugged, a half-charged battery discharging at 1 A with charge files and
a current, and the charge-limit file; and, as a second laptop, the same with
a marlith_hwmon chip whose volts and amps libsensors reads every cycle. It
prints each figure on its own line with its unit, and the target it is held
to. A measurement, not a test: nothing here is part of the test run or CI.

How each figure is taken (W = 10 warm-up cycles, N = 1,000 steady cycles):

- System calls per steady cycle: `strace -f -c` attaches to the running
  daemon while it is held in the pause that ends cycle W and detaches while
  it is held in the pause that ends cycle W + N, so it sees cycles W+1 to
  W+N. The clock shim stands in for the daemon's one nanosleep with its own
  calls (a report written to its pipe, a ppoll and a read for the release,
  two sigprocmask); those are measured the same way on the harness's
  trivial sleeper (`sleeper ticks`: one printf, that is one write, and one
  1 s nanosleep per tick), subtracted, and replaced by the one
  clock_nanosleep that the C library's nanosleep makes. The look for
  batteries that come later, in every 60th cycle, is counted apart: one
  such cycle traced alone less the cycle after it, taken off the window's
  16 looks. The laptop with the history on (a state directory) is counted
  the same way: its one write a minute is 0.02 calls a cycle; the shim's
  look at its asleep file at each CLOCK_BOOTTIME and CLOCK_REALTIME
  reading (one openat, a vDSO read without the shim) is taken off.
- User-space instructions per steady cycle: valgrind's callgrind, run once
  for W cycles and once for W + N, the difference divided by N.
  Collection is toggled off inside nanosleep (--toggle-collect), so the
  shim's instructions are not counted. The five costliest functions are
  ranked by their own (exclusive) instructions in that difference.
- Heap allocations per steady cycle: valgrind's memcheck, W and W + N
  cycles, the difference of its "total heap usage" divided by N; an
  allocation tree (--xtree-memory) tells the daemon's own code from
  libsensors: what read_pd_power allocates, which it does only through
  sensors_get_value, is the library's.
- Memory: VmRSS and RssAnon (/proc/PID/status), Private_Dirty
  (/proc/PID/smaps_rollup) and the open descriptors (/proc/PID/fd) after 10
  and after 100,000 cycles, with the CPU time (/proc/PID/schedstat) spent
  in between.
- Start-up: a static timer (bench/exec_timer.c) runs the program in the
  sandbox, takes the clock just before execve and again when "Info:
  Running." arrives on the program's standard output; the same timer times
  a trivial C program from execve to its exit. Medians of 20 runs each,
  with the CPU time the program used in that time (less sensitive to other
  load on the machine than the wall time).

- kestro-status (status): the same timer times one call of kestro-status,
  of the trivial C program and of the shell reader it replaced (kept as
  bench/kestro-status.sh), on a status directory on tmpfs, 100 interleaved
  runs each; its CPU time is that of the program and of every process it
  waited for. strace counts the system calls and program starts of a call.
  Then kestro-status --watch follows the sandboxed daemon for 100 cycles,
  0.1 s of real time apart: its voluntary context switches (one per
  wake-up) and CPU time (/proc/PID/schedstat) per cycle; and the same over
  5 s once the daemon has stopped and every file is stale.

- Peer (--peer): Debian's upowerd, unpacked from its packages (nothing is
  installed), on the same battery faked by umockdev, with a private D-Bus
  system bus: its RSS and its CPU time over some minutes of real time.

The fake machine lies on tmpfs (/dev/shm), as the real /sys and /run do.
Valgrind runs inside the sandbox as the daemon's wrapper: its tool binary is
started directly (it is static, so the dynamic loader does not preload the
clock shim into valgrind itself) and preloads the shim into the daemon.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Optional

HERE = Path(__file__).resolve().parent
SOURCE_ROOT = HERE.parent
sys.path.insert(0, str(SOURCE_ROOT / "tests" / "e2e"))

import kestro_sandbox  # noqa: E402
from kestro_sandbox import Daemon, Machine  # noqa: E402

BUILD = Path(os.environ.get("KESTRO_BUILD_DIR", SOURCE_ROOT / "build"))
KESTRO = BUILD / "kestro"
STATIC_RUNTIME_KESTRO = BUILD / "bench" / "kestro_bench_static_runtime"
EXEC_TIMER = BUILD / "bench" / "kestro_bench_exec_timer"
TRIVIAL = BUILD / "bench" / "kestro_bench_trivial"
SLEEPER = BUILD / "tests" / "e2e" / "kestro_e2e_sleeper"
CLOCK_SHIM = BUILD / "tests" / "e2e" / "libkestro_clock_shim.so"

VALGRIND_LIB = Path("/usr/libexec/valgrind")
VALGRIND_LAUNCHER = "/usr/bin/valgrind"
RUNNING_LINE = "Info: Running."

SHM = "/dev/shm"
WARM_CYCLES = 10
STEADY_CYCLES = 1_000
LONG_CYCLES = 100_000
START_RUNS = 20
# Generous: valgrind takes a while to start, and 2 cores are shared.
SLOW_TIMEOUT = 120.0

# The daemon looks for batteries that come later once a minute of awake time
# (battery_rescan_period, src/power/battery_pack.cpp): under the controlled
# clock, in every cycle whose number is a multiple of this.
RESCAN_CYCLES = 60

# Targets for the laptop without a chip.
SYSCALL_TARGET = 46
INSTRUCTION_TARGET = 25_000
ALLOCATION_TARGET = 0
RSS_ANON_TARGET_KIB = 512
START_RATIO_TARGET = 3.0


# ---------------------------------------------------------------------------
# The laptops


@dataclasses.dataclass(frozen=True)
class Laptop:
    name: str
    chip: bool
    notify: bool = False  # under a service manager's notification socket
    history: bool = False  # with a state directory: the battery's history on

    def build(self, machine: Machine) -> dict[str, str]:
        """Builds the laptop; returns the daemon's environment for it."""
        machine.add_adapter("AC", online=0)
        machine.add_battery("BAT0")  # half charged, discharging at 1 A
        machine.set_charge_limit(80)
        if self.chip:
            machine.add_hwmon("marlith_hwmon", in0_input=20_000, curr1_input=1_500)
        if self.history:
            return {"STATE_DIRECTORY": "/run/history"}
        if not self.notify:
            return {}
        # Kept open with the machine; once its queue is full, each datagram
        # is refused with EAGAIN, at the same one call.
        manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        manager.bind(str(machine.host_path("/run/notify")))
        machine.notify_socket = manager
        return {"NOTIFY_SOCKET": "/run/notify"}


def laptop_machine() -> Machine:
    """A fake machine on tmpfs, as the real /sys and /run are: on a disk
    file system the publication's rename would cost milliseconds of the
    kernel's time (ext4 starts writing the new file back when it replaces
    an old one), which a real /run never does."""
    return Machine(tmpdir=SHM if os.path.isdir(SHM) else None)


LAPTOPS = (Laptop("without chip", chip=False), Laptop("with marlith_hwmon chip", chip=True))
# Counted for its system calls only: one datagram a cycle.
NOTIFIED_LAPTOP = Laptop("without chip, with NOTIFY_SOCKET", chip=False, notify=True)
# Counted for its system calls only: one write a minute of cycles.
HISTORY_LAPTOP = Laptop("without chip, with the history", chip=False, history=True)
# What the history may add to a cycle: one call a minute.
HISTORY_SYSCALLS = round(1 / 60, 2)


# ---------------------------------------------------------------------------
# Output


def show(label: str, value: str, target: Optional[str] = None) -> None:
    print(f"{label}: {value}" + (f"  [{target}]" if target else ""), flush=True)


def verdict(met: bool, text: str) -> str:
    return f"target {text}: {'met' if met else 'MISSED'}"


def grouped(number: float, decimals: int = 0) -> str:
    return f"{number:,.{decimals}f}"


def steps_quietly(daemon: Daemon, count: int, what: str, output_expected: bool = False) -> None:
    """Runs count cycles. A steady cycle prints nothing and pauses once, so
    anything else is shown: it would make the cycles measured unlike the
    rest. The trivial sleeper prints a line per tick (output_expected)."""
    for _ in range(count):
        cycle = daemon.step()
        printed = [] if output_expected else cycle.stdout + cycle.stderr
        if printed or len(cycle.pauses) != 1:
            print(f"  note ({what}): cycle {cycle.number} printed {printed} "
                  f"and paused {[str(p) for p in cycle.pauses]}", flush=True)


def per_cycle_text(count: float) -> str:
    """A count per cycle to two decimals: strace may miss or add the one
    call in progress when it attaches or detaches."""
    return f"{round(count, 2):g}"


# ---------------------------------------------------------------------------
# System calls


SYSCALL_LINE = re.compile(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)\s*$")


def strace_counts(path: Path) -> dict[str, int]:
    counts: dict[str, int] = {}
    for line in path.read_text().splitlines():
        match = SYSCALL_LINE.match(line)
        if match and match.group(2) != "total":
            counts[match.group(2)] = int(match.group(1))
    return counts


def traced_window(work: Path, laptop: Laptop, binary: Optional[str] = None, args=(),
                  first: int = WARM_CYCLES + 1, count: int = STEADY_CYCLES) -> dict[str, float]:
    """System calls per cycle over cycles first to first + count - 1 (W+1
    to W+N unless told), by name."""
    output = work / f"strace-{os.getpid()}-{time.monotonic_ns()}.txt"
    with laptop_machine() as machine:
        env = laptop.build(machine)
        daemon = machine.start(args, env, binary=binary)
        daemon.steps(first - 1)
        tracer = subprocess.Popen(["strace", "-f", "-c", "-o", str(output), "-p", str(daemon.host_pid())],
                                  stderr=subprocess.PIPE, text=True)
        first = tracer.stderr.readline()
        if "attached" not in first:
            tracer.kill()
            raise RuntimeError(f"strace did not attach: {first.strip()}")
        steps_quietly(daemon, count, "traced", output_expected=binary is not None)
        tracer.send_signal(signal.SIGINT)
        tracer.communicate(timeout=30)
        daemon.close()
    return {name: calls / count for name, calls in strace_counts(output).items()}


def rescan_calls(work: Path, laptop: Laptop) -> dict[str, float]:
    """The calls of one look for late batteries: a cycle that makes it less
    the cycle after it, each traced alone, the median of three such pairs
    (a window of one cycle may catch a call in progress at either end)."""
    first = (WARM_CYCLES + STEADY_CYCLES) // RESCAN_CYCLES * RESCAN_CYCLES + RESCAN_CYCLES
    pairs = []
    for _ in range(3):
        rescan = traced_window(work, laptop, first=first, count=1)
        after = traced_window(work, laptop, first=first + 1, count=1)
        pairs.append({name: rescan.get(name, 0) - after.get(name, 0) for name in set(rescan) | set(after)})
    names = set().union(*pairs)
    extra = {name: statistics.median(pair.get(name, 0) for pair in pairs) for name in names}
    return {name: calls for name, calls in extra.items() if calls != 0}


def measure_syscalls(work: Path, laptops) -> None:
    print("\n== System calls per steady cycle (strace -f -c, cycles 11 to 1,010)", flush=True)
    sleeper = traced_window(work, LAPTOPS[0], binary=str(SLEEPER), args=["ticks", str(10 * LONG_CYCLES)])
    # The sleeper's own share of a tick: its one "tick <n>" line.
    shim = dict(sleeper)
    shim["write"] = shim.get("write", 0) - 1
    shim = {name: count for name, count in shim.items() if round(count, 2) != 0}
    show("clock shim, per pause (taken off below)",
         ", ".join(f"{name} {per_cycle_text(count)}" for name, count in sorted(shim.items())) + " calls")
    first: Optional[dict[str, float]] = None
    rescans = sum(1 for cycle in range(WARM_CYCLES + 1, WARM_CYCLES + STEADY_CYCLES + 1)
                  if cycle % RESCAN_CYCLES == 0)
    first_rescan: dict[str, float] = {}
    for laptop in laptops:
        raw = traced_window(work, laptop)
        # The history's sample may fall in the cycle after a look: the look of
        # the same laptop without it is the one taken off.
        rescan = first_rescan if laptop.history else rescan_calls(work, laptop)
        first_rescan = first_rescan or rescan
        net = dict(raw)
        for name, count in shim.items():
            net[name] = net.get(name, 0) - count
        # The looks for late batteries are counted apart.
        for name, count in rescan.items():
            net[name] = net.get(name, 0) - count * rescans / STEADY_CYCLES
        # What the daemon's pause makes without the shim.
        net["clock_nanosleep"] = net.get("clock_nanosleep", 0) + 1
        # The history reads CLOCK_BOOTTIME once a cycle, and CLOCK_REALTIME
        # for its record once a minute, which the shim answers after trying
        # its asleep file (one openat, the file absent) and the C library
        # from the vDSO, without a call.
        net["openat"] = net.get("openat", 0) - laptop.history * (1 + 1 / 60)
        net = {name: count for name, count in net.items() if round(count, 2) != 0}
        total = round(sum(net.values()), 2)
        allowed = round(SYSCALL_TARGET + laptop.notify + HISTORY_SYSCALLS * laptop.history, 2)
        target = verdict(total <= allowed, f"<= {allowed:g}") if not laptop.chip else None
        show(f"system calls per steady cycle, {laptop.name}", f"{total:g} calls", target)
        for name, count in sorted(net.items(), key=lambda item: (-item[1], item[0])):
            show(f"  {name}", f"{per_cycle_text(count)} calls per cycle")
        show(f"  apart: the look for late batteries, every {RESCAN_CYCLES}th cycle",
             f"{per_cycle_text(sum(rescan.values()))} calls ("
             + ", ".join(f"{name} {per_cycle_text(count)}" for name, count in sorted(rescan.items())) + ")")
        if first is None:
            first = net
        else:
            extra = {name: net.get(name, 0) - first.get(name, 0) for name in set(net) | set(first)}
            extra = {name: count for name, count in extra.items() if round(count, 2) != 0}
            show(f"  more than {LAPTOPS[0].name}", f"{per_cycle_text(sum(extra.values()))} calls per cycle ("
                 + ", ".join(f"{name} {per_cycle_text(count)}" for name, count in sorted(extra.items())) + ")")


# ---------------------------------------------------------------------------
# Valgrind


def valgrind_wrapper(tool: str, options: list[str]) -> tuple[list[str], dict[str, str]]:
    binary = VALGRIND_LIB / f"{tool}-amd64-linux"
    env = {"VALGRIND_LIB": str(VALGRIND_LIB), "VALGRIND_LAUNCHER": VALGRIND_LAUNCHER}
    return [str(binary), f"--tool={tool}"] + options, env


def run_under_valgrind(laptop: Laptop, cycles: int, tool: str, options: list[str]) -> None:
    wrapper, env = valgrind_wrapper(tool, options)
    with laptop_machine() as machine:
        laptop.build(machine)
        daemon = machine.start(env=env, wrapper=wrapper, timeout=SLOW_TIMEOUT)
        daemon.steps(cycles)
        # Valgrind writes its results when the daemon dies of the signal.
        daemon.kill(signal.SIGTERM, timeout=SLOW_TIMEOUT)


ANNOTATED_LINE = re.compile(r"^\s*([\d,]+)\s+(?:\([\d.]+%\)\s+)?(\S.*?)\s*$")


def annotate(path: Path, inclusive: bool, event: Optional[str] = None) -> dict[str, int]:
    """Cost by function from callgrind_annotate, the parts of a function
    that other files inline into it added up; "PROGRAM TOTALS" too."""
    command = ["callgrind_annotate", "--auto=no", f"--inclusive={'yes' if inclusive else 'no'}", "--threshold=100"]
    if event:
        command.append(f"--show={event}")
    text = subprocess.run(command + [str(path)], capture_output=True, text=True, check=True).stdout
    costs: dict[str, int] = {}
    for line in text.splitlines():
        match = ANNOTATED_LINE.match(line)
        if match:
            name = function_name(match.group(2))
            costs[name] = costs.get(name, 0) + int(match.group(1).replace(",", ""))
    return costs


def function_name(entry: str) -> str:
    """The function of a "file:function [object]" entry of callgrind_annotate
    (file names hold no colon, function names may)."""
    if entry == "PROGRAM TOTALS":
        return entry
    entry = re.sub(r" \[[^\]]*\]$", "", entry)
    return entry.partition(":")[2] or entry


def short_name(function: str) -> str:
    """A function's name without its parameters."""
    name = function.replace("(anonymous namespace)", "{anonymous}")
    return name.split("(")[0].split(" [clone")[0]


def measure_instructions(work: Path, laptops) -> None:
    print("\n== User-space instructions per steady cycle (callgrind, 1,010 cycles minus 10)", flush=True)
    for laptop in laptops:
        profiles = {}
        for cycles in (WARM_CYCLES, WARM_CYCLES + STEADY_CYCLES):
            path = work / f"callgrind-{laptop.chip}-{cycles}.out"
            run_under_valgrind(laptop, cycles, "callgrind",
                               [f"--callgrind-out-file={path}", f"--log-file={path}.log",
                                "--toggle-collect=nanosleep", "--collect-atstart=yes"])
            profiles[cycles] = annotate(path, inclusive=False)
        short, long = profiles[WARM_CYCLES], profiles[WARM_CYCLES + STEADY_CYCLES]
        delta = {name: long.get(name, 0) - short.get(name, 0) for name in set(long) | set(short)}
        total = delta.pop("PROGRAM TOTALS", 0) / STEADY_CYCLES
        target = verdict(total <= INSTRUCTION_TARGET, f"<= {grouped(INSTRUCTION_TARGET)}") if not laptop.chip else None
        show(f"user-space instructions per steady cycle, {laptop.name}", f"{grouped(total)} instructions", target)
        ranked = sorted(delta.items(), key=lambda item: -item[1])[:5]
        for rank, (name, cost) in enumerate(ranked, 1):
            show(f"  costliest {rank}", f"{grouped(cost / STEADY_CYCLES)} instructions per cycle in {short_name(name)}")


SENSOR_READER = "kestro::read_pd_power"
HEAP_USAGE = re.compile(r"total heap usage: ([\d,]+) allocs")


def heap_run(work: Path, laptop: Laptop, cycles: int) -> tuple[int, dict[str, int]]:
    base = work / f"memcheck-{laptop.chip}-{cycles}"
    log = Path(f"{base}.log")
    tree = Path(f"{base}.xtree")
    run_under_valgrind(laptop, cycles, "memcheck",
                       [f"--log-file={log}", "--xtree-memory=full", f"--xtree-memory-file={tree}",
                        "--leak-check=no"])
    match = HEAP_USAGE.search(log.read_text())
    if not match:
        raise RuntimeError(f"no heap summary in {log}")
    return int(match.group(1).replace(",", "")), annotate(tree, inclusive=True, event="totBk")


def inclusive_of(costs: dict[str, int], function: str) -> int:
    return sum(cost for name, cost in costs.items() if short_name(name) == function)


def measure_allocations(work: Path, laptops) -> None:
    print("\n== Heap allocations per steady cycle (memcheck, 1,010 cycles minus 10)", flush=True)
    for laptop in laptops:
        short_total, short_tree = heap_run(work, laptop, WARM_CYCLES)
        long_total, long_tree = heap_run(work, laptop, WARM_CYCLES + STEADY_CYCLES)
        total = (long_total - short_total) / STEADY_CYCLES
        # read_pd_power allocates nothing itself: what it costs is
        # sensors_get_value's (libsensors is stripped, so valgrind cannot
        # name its frames).
        library = (inclusive_of(long_tree, SENSOR_READER) - inclusive_of(short_tree, SENSOR_READER)) / STEADY_CYCLES
        own = total - library
        target = verdict(own <= ALLOCATION_TARGET, f"{ALLOCATION_TARGET}")
        show(f"heap allocations per steady cycle by kestro's code, {laptop.name}", f"{own:g} allocations", target)
        if laptop.chip:
            show(f"heap allocations per steady cycle inside libsensors (sensors_get_value), {laptop.name}",
                 f"{library:g} allocations")


# ---------------------------------------------------------------------------
# Memory over a long run


def memory_figures(pid: int) -> dict[str, int]:
    figures: dict[str, int] = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "RssAnon"):
                figures[key] = int(value.split()[0])
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        for line in rollup:
            key, _, value = line.partition(":")
            if key == "Private_Dirty":
                figures[key] = int(value.split()[0])
    figures["fds"] = len(os.listdir(f"/proc/{pid}/fd"))
    with open(f"/proc/{pid}/schedstat") as schedstat:
        figures["cpu_ns"] = int(schedstat.read().split()[0])
    return figures


def long_run(laptop: Laptop, cycles: int, binary: Optional[str] = None, args=()) -> tuple[dict, dict]:
    with laptop_machine() as machine:
        laptop.build(machine)
        daemon = machine.start(args, binary=binary)
        daemon.steps(WARM_CYCLES)
        pid = daemon.host_pid()
        early = memory_figures(pid)
        for _ in range(cycles - WARM_CYCLES):
            daemon.step()
        late = memory_figures(pid)
        daemon.close()
    return early, late


def measure_memory(laptops, cycles: int) -> tuple[dict[str, float], dict[str, int]]:
    """CPU time per cycle of each laptop, and the memory figures of the
    first at the end of its run."""
    print(f"\n== Memory after {WARM_CYCLES} and after {grouped(cycles)} cycles", flush=True)
    cpu_per_cycle: dict[str, float] = {}
    last: dict[str, dict[str, int]] = {}
    # The shim's and the sleeper's CPU time per pause, for scale.
    early, late = long_run(LAPTOPS[0], min(cycles, 10_000), binary=str(SLEEPER), args=["ticks", str(10 * cycles)])
    sleeper_ns = (late["cpu_ns"] - early["cpu_ns"]) / (min(cycles, 10_000) - WARM_CYCLES)
    for laptop in laptops:
        early, late = long_run(laptop, cycles)
        for key, unit in (("VmRSS", "KiB"), ("RssAnon", "KiB"), ("Private_Dirty", "KiB"), ("fds", "descriptors")):
            label = "open file descriptors" if key == "fds" else key
            show(f"{label} after {WARM_CYCLES} cycles, {laptop.name}", f"{early[key]} {unit}")
            target = None
            if key == "RssAnon":
                target = verdict(late[key] <= RSS_ANON_TARGET_KIB and late[key] <= early[key],
                                 f"<= {RSS_ANON_TARGET_KIB} KiB, no growth")
            elif key in ("VmRSS", "fds"):
                target = verdict(late[key] <= early[key], "no growth")
            show(f"{label} after {grouped(cycles)} cycles, {laptop.name}", f"{late[key]} {unit}", target)
        last[laptop.name] = late
        per_cycle = (late["cpu_ns"] - early["cpu_ns"]) / (cycles - WARM_CYCLES)
        cpu_per_cycle[laptop.name] = per_cycle
        show(f"CPU time per cycle, {laptop.name} (clock shim included)", f"{per_cycle / 1000:.1f} µs")
        show(f"CPU time per hour of monitoring at 1 cycle/s, {laptop.name}", f"{per_cycle * 3600 / 1e6:.1f} ms")
    show("CPU time per pause of the trivial sleeper (clock shim and one printf)", f"{sleeper_ns / 1000:.1f} µs")
    return cpu_per_cycle, last.get(LAPTOPS[0].name, {})


# ---------------------------------------------------------------------------
# Start-up


def timed_start(machine: Machine, work: Path, binary: Path, marker: str, env=None) -> tuple[float, float]:
    """Seconds from execve to the marker line (or to the exit, when the
    marker is empty), measured inside the sandbox, and the CPU seconds the
    program used in that time."""
    result = work / "exec-time"
    result.unlink(missing_ok=True)
    wrapper = [str(EXEC_TIMER), str(result), marker]
    if marker:
        with machine.start(env=env, binary=str(binary), wrapper=wrapper) as daemon:
            daemon.step()
            # The timer copies the daemon's output, so it may write the
            # result just after the pause request has reached the harness.
            return exec_time(result)
    run = machine.run(env=env, binary=str(binary), wrapper=wrapper)
    if run.status.code != 0:
        raise RuntimeError(f"{binary} under the timer ended with {run.status}")
    return exec_time(result)


def exec_time(result: Path) -> tuple[float, float]:
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        text = result.read_text() if result.exists() else ""
        if text.endswith("\n"):
            wall, cpu = text.split()
            return int(wall) / 1e9, int(cpu) / 1e9
        time.sleep(0.001)
    raise RuntimeError("the timer wrote no start-up time")


def measure_startup(work: Path) -> None:
    print(f"\n== Start-up, exec to \"{RUNNING_LINE}\" (median of {START_RUNS})", flush=True)
    trivial_name = "trivial C program, exec to exit"
    variants: list[tuple[str, bool, Callable[[Machine], tuple[float, float]]]] = [
        (trivial_name, False, lambda m: timed_start(m, work, TRIVIAL, "")),
        ("kestro", False, lambda m: timed_start(m, work, KESTRO, RUNNING_LINE)),
        ("kestro with LD_BIND_NOW=1", False,
         lambda m: timed_start(m, work, KESTRO, RUNNING_LINE, {"LD_BIND_NOW": "1"})),
        ("kestro linked with -static-libstdc++ -static-libgcc", False,
         lambda m: timed_start(m, work, STATIC_RUNTIME_KESTRO, RUNNING_LINE)),
    ]
    if os.path.exists("/etc/sensors3.conf"):
        variants.append(("kestro with the host's /etc/sensors3.conf", True,
                         lambda m: timed_start(m, work, KESTRO, RUNNING_LINE)))
    times: dict[str, list[float]] = {name: [] for name, _, _ in variants}
    cpu_times: dict[str, list[float]] = {name: [] for name, _, _ in variants}
    with laptop_machine() as plain, laptop_machine() as configured:
        for machine in (plain, configured):
            LAPTOPS[0].build(machine)
        configured.etc.use_host("sensors3.conf")
        # Interleaved, so that a slow moment of the host weighs on all alike.
        for _ in range(START_RUNS):
            for name, with_sensors_config, measure in variants:
                wall, cpu = measure(configured if with_sensors_config else plain)
                times[name].append(wall)
                cpu_times[name].append(cpu)
    trivial = statistics.median(times[trivial_name])
    trivial_cpu = statistics.median(cpu_times[trivial_name])
    for name, values in times.items():
        median = statistics.median(values)
        low, _, high = statistics.quantiles(values, n=4)
        spread = f" (quartiles {low * 1000:.3f} to {high * 1000:.3f} ms)"
        cpu = statistics.median(cpu_times[name])
        if name == trivial_name:
            show(name, f"{median * 1000:.3f} ms" + spread)
            show(f"  CPU time", f"{cpu * 1000:.3f} ms")
            continue
        ratio = median / trivial
        target = verdict(ratio <= START_RATIO_TARGET, f"<= {START_RATIO_TARGET:g}x") if name == "kestro" else None
        show(f"{name}, exec to \"{RUNNING_LINE}\"",
             f"{median * 1000:.3f} ms = {ratio:.2f}x the trivial program" + spread, target)
        # Unlike the wall time, the CPU time hardly changes when other
        # programs load the machine.
        show(f"  CPU time", f"{cpu * 1000:.3f} ms = {cpu / trivial_cpu:.2f}x the trivial program's")
    loader_statistics(work)


def loader_statistics(work: Path) -> None:
    """What the dynamic loader reports about its own share (LD_DEBUG)."""
    with laptop_machine() as machine:
        LAPTOPS[0].build(machine)
        with machine.start(env={"LD_DEBUG": "statistics"}) as daemon:
            daemon.step()
            text = daemon.stderr_text
    wanted = {
        "total startup time in dynamic loader": "dynamic loader's own start-up time",
        "number of relocations": "relocations done by the dynamic loader",
        "number of relocations from cache": "relocations from the loader's cache",
    }
    for line in text.splitlines():
        line = re.sub(r"^\s*\d+:\s*", "", line).strip()
        key, _, value = line.partition(":")
        key = key.strip()
        if key in wanted:
            show(f"  {wanted[key]}", value.strip().split(" (")[0])


# ---------------------------------------------------------------------------
# kestro-status: one call, and --watch on the running daemon


STATUS_COMMAND = BUILD / "kestro-status"
SHELL_READER = HERE / "kestro-status.sh"  # the shell reader it replaced, kept for this comparison only
STATUS_RUNS = 100
WATCH_CYCLES = 100
# Real time between the cycles of the watch run: longer than the watcher's
# settling (a few tens of milliseconds), as a real cycle of 1 s is.
WATCH_CYCLE_GAP = 0.1
WATCH_IDLE_SECONDS = 5.0
CALL_RATIO_TARGET = 3.0
BAR_INTERVAL = 5  # seconds, a status bar's usual polling


def status_folder(work: Path) -> Path:
    """A status directory as the daemon leaves it, on tmpfs as /run is."""
    folder = Path(tempfile.mkdtemp(prefix="kestro-bench-status-", dir=SHM if os.path.isdir(SHM) else None))
    for name, value in (("ac_status", "Disconnected"), ("battery_percent", "57.142857142857146"),
                        ("battery_status", "Discharging"), ("secs_until_battery_full", "12000.5"),
                        ("secs_until_shutdown_request", "7500.25")):
        (folder / name).write_text(value + "\n")
    return folder


def timed_call(work: Path, command: list[str]) -> tuple[float, float]:
    """Seconds from execve to the exit, and the CPU seconds of the program
    and every process it waited for."""
    result = work / "call-time"
    result.unlink(missing_ok=True)
    subprocess.run([str(EXEC_TIMER), str(result), ""] + command, stdout=subprocess.DEVNULL, check=True)
    return exec_time(result)


def traced_calls(work: Path, command: list[str]) -> dict[str, int]:
    output = work / "strace-call.txt"
    subprocess.run(["strace", "-f", "-c", "-o", str(output)] + command, stdout=subprocess.DEVNULL, check=True)
    return strace_counts(output)


def measure_status_call(work: Path) -> None:
    print(f"\n== kestro-status: one call, exec to exit (median of {STATUS_RUNS})", flush=True)
    folder = status_folder(work)
    try:
        variants = {
            "trivial C program": [str(TRIVIAL)],
            "kestro-status": [str(STATUS_COMMAND), "--dir", str(folder)],
            "kestro-status --waybar": [str(STATUS_COMMAND), "--dir", str(folder), "--waybar"],
            "the old shell reader (/bin/sh)": ["/bin/sh", str(SHELL_READER), str(folder)],
        }
        walls: dict[str, list[float]] = {name: [] for name in variants}
        cpus: dict[str, list[float]] = {name: [] for name in variants}
        for _ in range(STATUS_RUNS):  # interleaved, so that other load weighs on all alike
            for name, command in variants.items():
                wall, cpu = timed_call(work, command)
                walls[name].append(wall)
                cpus[name].append(cpu)
        trivial_wall = statistics.median(walls["trivial C program"])
        trivial_cpu = statistics.median(cpus["trivial C program"])
        for name in variants:
            wall, cpu = statistics.median(walls[name]), statistics.median(cpus[name])
            target = None
            if name == "kestro-status":
                target = verdict(cpu / trivial_cpu <= CALL_RATIO_TARGET, f"CPU <= {CALL_RATIO_TARGET:g}x")
            show(name, f"{wall * 1000:.3f} ms = {wall / trivial_wall:.2f}x the trivial program; CPU time "
                 f"{cpu * 1000:.3f} ms = {cpu / trivial_cpu:.2f}x", target)
            if name != "trivial C program":
                show("  CPU time per hour at a bar's 5 s interval", f"{cpu * 3600 / BAR_INTERVAL * 1000:.0f} ms")
        for name in ("kestro-status", "the old shell reader (/bin/sh)"):
            counts = traced_calls(work, variants[name])
            starts = counts.get("execve", 0)
            show(f"{name}: system calls per call (strace -f -c)",
                 f"{sum(counts.values())} calls, {starts} program start{'s' if starts != 1 else ''}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def process_figures(pid: int) -> tuple[int, int]:
    """Voluntary context switches (one per wake-up) and CPU time in ns."""
    with open(f"/proc/{pid}/status") as status:
        switches = next(int(line.split()[1]) for line in status if line.startswith("voluntary_ctxt_switches:"))
    with open(f"/proc/{pid}/schedstat") as schedstat:
        return switches, int(schedstat.read().split()[0])


def measure_status_watch() -> None:
    print(f"\n== kestro-status --watch on the running daemon ({WATCH_CYCLES} cycles, "
          f"{WATCH_CYCLE_GAP * 1000:.0f} ms apart), then the daemon stopped", flush=True)
    with laptop_machine() as machine:
        laptop = LAPTOPS[0]
        laptop.build(machine)
        battery = machine.supply("BAT0")
        daemon = machine.start()
        daemon.steps(WARM_CYCLES)
        for format_args in ([], ["--json"]):
            name = " ".join(["kestro-status --watch"] + format_args)
            watcher = subprocess.Popen([str(STATUS_COMMAND), "--watch", "--dir", str(machine.status_dir)]
                                       + format_args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            lines = 0
            try:
                time.sleep(0.5)
                before = process_figures(watcher.pid)
                charge = 2_500_000
                for _ in range(WATCH_CYCLES):
                    charge -= 100  # a value that changes every cycle, as while discharging
                    battery.set("charge_now", charge)
                    daemon.step()
                    time.sleep(WATCH_CYCLE_GAP)
                after = process_figures(watcher.pid)
                watcher.terminate()
                lines = watcher.communicate(timeout=10)[0].count(b"\n")
            finally:
                if watcher.poll() is None:
                    watcher.kill()
                    watcher.wait()
            show(f"{name}: wake-ups per cycle", f"{(after[0] - before[0]) / WATCH_CYCLES:.2f}")
            show(f"{name}: outputs", f"{lines} in {WATCH_CYCLES} cycles (with the first)")
            per_cycle = (after[1] - before[1]) / WATCH_CYCLES
            show(f"{name}: CPU time per cycle", f"{per_cycle / 1000:.1f} µs = "
                 f"{per_cycle * 3600 / 1e6:.1f} ms per hour at 1 cycle/s")
        watcher = subprocess.Popen([str(STATUS_COMMAND), "--watch", "--dir", str(machine.status_dir)],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(0.5)
            daemon.kill()
            time.sleep(11)  # past the 10 s after which every file is stale
            before = process_figures(watcher.pid)
            time.sleep(WATCH_IDLE_SECONDS)
            after = process_figures(watcher.pid)
        finally:
            watcher.terminate()
            watcher.wait(timeout=10)
        show(f"kestro-status --watch with the daemon stopped, over {WATCH_IDLE_SECONDS:g} s",
             f"{after[0] - before[0]} wake-ups, {(after[1] - before[1]) / 1000:.0f} µs CPU time")


# ---------------------------------------------------------------------------
# The peer: upowerd on the same fake battery


PEER_PACKAGES = ("upower", "libupower-glib3", "libgudev-1.0-0", "umockdev", "libumockdev0", "libpcap0.8")
PEER_SETTLE_SECONDS = 10

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
"""

# The same laptop as kestro's, as umockdev describes devices.
PEER_LAPTOP = """P: /devices/LNXSYSTM:00/LNXSYBUS:00/ACPI0003:00/power_supply/AC
E: SUBSYSTEM=power_supply
E: POWER_SUPPLY_NAME=AC
A: type=Mains
A: online=0

P: /devices/LNXSYSTM:00/LNXSYBUS:00/PNP0C0A:00/power_supply/BAT0
E: SUBSYSTEM=power_supply
E: POWER_SUPPLY_NAME=BAT0
A: type=Battery
A: present=1
A: status=Discharging
A: technology=Li-ion
A: charge_full=5000000
A: charge_full_design=5000000
A: charge_now=2500000
A: current_now=1000000
A: voltage_now=12000000
A: voltage_min_design=11100000
A: capacity=50
A: model_name=Bench
A: manufacturer=Bench
A: serial_number=1
"""

# Defaults of Debian's UPower.conf. The battery stays at 50 %, far from any
# action, and the private bus has no login manager that could act anyway.
PEER_CONFIG = """[UPower]
EnableWattsUpPro=false
NoPollBatteries=false
IgnoreLid=false
UsePercentageForPolicy=true
PercentageLow=20
PercentageCritical=5
PercentageAction=2
TimeLow=1200
TimeCritical=300
TimeAction=120
CriticalPowerAction=HybridSleep
"""


def unpack_peer(folder: Path) -> Path:
    """UPower and umockdev, unpacked from Debian's packages into a private
    folder: nothing is installed, no maintainer script runs, no service
    starts."""
    root = folder / "root"
    if (root / "usr" / "libexec" / "upowerd").exists():
        return root
    debs = folder / "debs"
    debs.mkdir(parents=True, exist_ok=True)
    subprocess.run(["apt-get", "download", *PEER_PACKAGES], cwd=debs, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for deb in sorted(debs.glob("*.deb")):
        subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
    return root


def measure_peer(work: Path, seconds: float, kestro_cpu: dict[str, float], kestro_memory: dict[str, int]) -> None:
    print(f"\n== Peer: upowerd (Debian upower) on the same fake laptop, {seconds:g} s of real time", flush=True)
    missing = [tool for tool in ("dbus-daemon", "dbus-send", "apt-get", "dpkg-deb") if shutil.which(tool) is None]
    if missing:
        show("upowerd", f"not measured: {', '.join(missing)} missing (Debian package dbus, apt, dpkg)")
        return
    root = unpack_peer(BUILD / "bench" / "peer")
    libraries = root / "usr" / "lib" / "x86_64-linux-gnu"
    socket = work / "system_bus_socket"
    (work / "bus.conf").write_text(BUS_CONFIG.format(socket=socket))
    (work / "laptop.umockdev").write_text(PEER_LAPTOP)
    (work / "UPower.conf").write_text(PEER_CONFIG)
    (work / "history").mkdir()
    bus = subprocess.Popen(["dbus-daemon", "--nofork", f"--config-file={work / 'bus.conf'}"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    daemon = None
    try:
        deadline = time.monotonic() + 10
        while not socket.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        env = {
            "PATH": "/usr/bin:/bin",
            "LD_LIBRARY_PATH": str(libraries),
            "DBUS_SYSTEM_BUS_ADDRESS": f"unix:path={socket}",
            "UPOWER_CONF_FILE_NAME": str(work / "UPower.conf"),
            "UPOWER_HISTORY_DIR": str(work / "history"),
        }
        # umockdev-run preloads its fake /sys into upowerd and execs it, so
        # upowerd keeps this process id.
        daemon = subprocess.Popen([str(root / "usr" / "bin" / "umockdev-run"), "-d", str(work / "laptop.umockdev"),
                                   "--", str(root / "usr" / "libexec" / "upowerd")],
                                  env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(PEER_SETTLE_SECONDS)
        listing = subprocess.run(["dbus-send", "--system", "--print-reply",
                                  "--dest=org.freedesktop.UPower", "/org/freedesktop/UPower",
                                  "org.freedesktop.UPower.EnumerateDevices"],
                                 capture_output=True, text=True, timeout=10, env=env).stdout
        devices = re.findall(r'object path "([^"]+)"', listing)
        show("upowerd's devices", ", ".join(devices) or "none")
        upowerd = peer_pid(daemon.pid)
        early = memory_figures(upowerd)
        time.sleep(seconds)
        late = memory_figures(upowerd)
    finally:
        for process in (daemon, bus):
            if process is not None:
                process.terminate()
                process.wait(timeout=10)
    per_hour = (late["cpu_ns"] - early["cpu_ns"]) * 3600 / seconds
    ours = kestro_cpu.get(LAPTOPS[0].name)
    show("upowerd VmRSS", f"{late['VmRSS']} KiB" + (f" (kestro: {kestro_memory['VmRSS']} KiB)" if kestro_memory else ""))
    show("upowerd RssAnon", f"{late['RssAnon']} KiB" + (f" (kestro: {kestro_memory['RssAnon']} KiB)" if kestro_memory else ""))
    show("upowerd CPU time per hour of monitoring (30 s poll)", f"{per_hour / 1e6:.1f} ms"
         + (f" (kestro at its 1 s cycle: {ours * 3600 / 1e6:.1f} ms)" if ours else ""))


def peer_pid(pid: int) -> int:
    """upowerd's process id: umockdev-run's own, or its child's."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        for candidate in [pid] + open(f"/proc/{pid}/task/{pid}/children").read().split():
            if os.path.basename(os.readlink(f"/proc/{candidate}/exe")) == "upowerd":
                return int(candidate)
        time.sleep(0.1)
    raise RuntimeError("upowerd did not start")


# ---------------------------------------------------------------------------


def describe_machine() -> str:
    model = "unknown processor"
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.partition(":")[2].strip()
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} CPUs, Linux {platform.release()}"


def main() -> int:
    parser = argparse.ArgumentParser(description="Measures kestro's cost per cycle, memory and start-up.")
    parser.add_argument("--only", choices=("syscalls", "instructions", "allocations", "memory", "startup", "status",
                                           "peer"),
                        action="append", help="run only these measurements (default: all but peer)")
    parser.add_argument("--peer", action="store_true",
                        help="also measure upowerd (fetches Debian's upower and umockdev with apt-get download "
                             "and unpacks them under build/bench/peer; installs nothing)")
    parser.add_argument("--peer-seconds", type=float, default=300.0,
                        help="real time over which upowerd's CPU time is taken (default 300)")
    parser.add_argument("--long-cycles", type=int, default=LONG_CYCLES,
                        help=f"cycles of the memory run (default {LONG_CYCLES:,})")
    options = parser.parse_args()
    chosen = options.only or ["syscalls", "instructions", "allocations", "memory", "startup", "status"]
    if options.peer and "peer" not in chosen:
        chosen.append("peer")
    for tool in ("strace", "callgrind_annotate"):
        if shutil.which(tool) is None:
            print(f"bench: {tool} is missing (scripts/bench installs it)", file=sys.stderr)
            return 1
    os.environ.setdefault("KESTRO_BINARY", str(KESTRO))
    os.environ.setdefault("KESTRO_CLOCK_SHIM", str(CLOCK_SHIM))
    kestro_sandbox.DEFAULT_TIMEOUT = 30.0
    print(f"kestro benchmark, {datetime.date.today().isoformat()}, {describe_machine()}")
    print(f"binary: {os.environ['KESTRO_BINARY']}")
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="kestro-bench-") as folder:
        work = Path(folder)
        if "syscalls" in chosen:
            measure_syscalls(work, LAPTOPS + (NOTIFIED_LAPTOP, HISTORY_LAPTOP))
        if "instructions" in chosen:
            measure_instructions(work, LAPTOPS)
        if "allocations" in chosen:
            measure_allocations(work, LAPTOPS)
        cpu_per_cycle: dict[str, float] = {}
        memory: dict[str, int] = {}
        if "memory" in chosen:
            cpu_per_cycle, memory = measure_memory(LAPTOPS, options.long_cycles)
        if "startup" in chosen:
            measure_startup(work)
        if "status" in chosen:
            measure_status_call(work)
            measure_status_watch()
        if "peer" in chosen:
            measure_peer(work, options.peer_seconds, cpu_per_cycle, memory)
    print(f"\n(benchmark took {time.monotonic() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
