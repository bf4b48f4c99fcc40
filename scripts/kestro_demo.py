#!/usr/bin/python3
"""kestro at work on a simulated laptop: the README's first command.

Runs the real, unmodified daemon (build/kestro) in the end-to-end sandbox of
tests/e2e: private mount and PID namespaces over a fake /sys/class, /run and
/etc, a clock that holds every pause the daemon asks for, and a fake
`poweroff`, so nothing here can touch or power off this machine. The laptop
lives through a short story: charging, unplugged, a charger too weak to
charge, unplugged again, drained to the shutdown level, shut down. Beside it
runs `kestro-status --notify` on a private session bus with a notification
server that records what a desktop would have shown. The daemon keeps its
history in the sandbox, and `kestro-status --history` draws the day at the end.

Time is compressed: each cycle of the daemon (a one-second pause on a real
machine) is released after 1/rate of a second, and between two cycles the
simulated battery moves as far as a real one does in a minute, so the
daemon's estimates, in seconds, count down by about 60 per cycle. The
sandbox's clocks, the wall clock that dates the history included, run a
minute a cycle too.

scripts/demo builds the daemon and runs this; `--rate 0` runs without pauses
(the tests do), `--plain` prints one status line per cycle instead of the
refreshed panel.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import math
import os
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path
from typing import Iterator, Optional, TextIO

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))

import desktop_session  # noqa: E402
import kestro_sandbox as sandbox  # noqa: E402  (needs the path above)

CONFIG = "request_shutdown_battery_percent = 5\nforce_shutdown_timeout_secs = 3\n"
DEFAULT_RATE = 12.0  # cycles released per second of real time
# How far the simulated battery moves between two cycles.
SIMULATED_SECONDS_PER_CYCLE = 60
SECONDS_PER_HOUR = 3600
# Where the daemon keeps its history, as the service manager would give it.
HISTORY_DIRECTORY = "/run/history"
# The daemon's own shutdown wait is compressed like its cycles, but shown for
# at least this long so that it can be seen.
MIN_SHUTDOWN_HOLD = 1.0

# A 44 Wh laptop battery, in the kernel's micro-units.
CHARGE_FULL_UAH = 4_000_000
VOLTAGE_MIN_DESIGN_UV = 11_100_000
START_PERCENT = 61.0
# A daemon that never shuts down ends the demo as a failure after this many cycles.
MAX_CYCLES = 400
# The daemon's announcement of the shutdown, highlighted.
SHUTDOWN_LINES = ("Reached ", "Forcing shutdown", "Shutting down")


@dataclasses.dataclass(frozen=True)
class Chapter:
    """One part of the story: what the laptop is plugged into and what its
    battery does, for a number of cycles (None: until the daemon ends)."""

    title: str
    cycles: Optional[int]
    online: int
    kernel_status: str
    current_ma: float  # what current_now shows, always positive here
    charging: bool  # whether the charge rises by that current or falls by it


STORY = (
    Chapter("On the charger: the battery charges.", 24, 1, "Charging", 2200, True),
    Chapter("Unplugged: the laptop runs on its battery.", 32, 0, "Discharging", 1600, False),
    Chapter("Plugged into a charger too weak for it (a 15 W phone charger): the kernel says"
            " Charging, yet the charge keeps falling.", 32, 1, "Charging", 450, False),
    Chapter("Unplugged again, and busy: the battery drains towards the shutdown level (5%).",
            None, 0, "Discharging", 1900, False),
)


class Laptop:
    """The simulated machine's adapter and battery files, moved one simulated
    minute per cycle."""

    def __init__(self, machine: sandbox.Machine):
        self.charge = CHARGE_FULL_UAH * START_PERCENT / 100
        self.minute = 0
        self.chapter = STORY[0]
        self.adapter = machine.add_adapter("AC", online=self.chapter.online)
        self.battery = machine.add_battery(
            "BAT0",
            status=self.chapter.kernel_status,
            charge_full=CHARGE_FULL_UAH,
            voltage_min_design=VOLTAGE_MIN_DESIGN_UV,
            charge_control_end_threshold=100,
            charge_now=round(self.charge),
            current_now=round(self.current_ua()),
            voltage_now=round(self.voltage_uv()),
        )

    def current_ua(self) -> float:
        # A little wobble, as a real load never holds still.
        return self.chapter.current_ma * 1000 * (1 + 0.06 * math.sin(self.minute * 0.7))

    def voltage_uv(self) -> float:
        level = self.charge / CHARGE_FULL_UAH
        lift = 350_000 if self.chapter.charging else 0
        return 10_900_000 + 1_700_000 * level + lift

    def enter(self, chapter: Chapter) -> None:
        self.chapter = chapter
        self.adapter.set("online", chapter.online)
        self.battery.set("status", chapter.kernel_status)
        self.battery.update(current_now=round(self.current_ua()), voltage_now=round(self.voltage_uv()))

    def advance(self) -> None:
        """One simulated minute at the present current."""
        moved = self.current_ua() * SIMULATED_SECONDS_PER_CYCLE / SECONDS_PER_HOUR
        self.charge += moved if self.chapter.charging else -moved
        self.minute += 1
        self.battery.update(charge_now=round(self.charge), current_now=round(self.current_ua()),
                            voltage_now=round(self.voltage_uv()))

    def describe(self) -> str:
        plug = "on a charger" if self.chapter.online else "unplugged"
        return (f"laptop {plug} (online {self.chapter.online}), battery file says"
                f" {self.chapter.kernel_status} at {self.current_ua() / 1e6:.2f} A")


# ---------------------------------------------------------------------------
# Showing it


def human_duration(text: Optional[str]) -> str:
    """A published number of seconds in words, for the panel."""
    if text is None:
        return ""
    try:
        seconds = float(text)
    except ValueError:
        return ""
    if math.isinf(seconds):
        return "(never, at this rate)"
    if math.isnan(seconds) or seconds < 0:
        return ""
    minutes = round(seconds / 60)
    if minutes == 0:
        return f"({seconds:.0f} s)"
    hours, minutes = divmod(minutes, 60)
    return f"(about {hours} h {minutes:02d} min)" if hours else f"(about {minutes} min)"


def short_number(text: Optional[str], decimals: int) -> str:
    if text is None:
        return "-"
    try:
        return f"{float(text):.{decimals}f}"
    except ValueError:
        return text


class Screen:
    """Where the demo writes. On a terminal the five status files are a panel
    at the bottom, redrawn every cycle, with the log scrolling above it;
    elsewhere each cycle ends with one compact status line."""

    def __init__(self, out: TextIO, panel: bool, colour: bool):
        self.out = out
        self.panel = panel
        self.colour = colour
        self.panel_height = 0
        self.shown: Optional[desktop_session.Call] = None  # the notification on the desktop

    def paint(self, code: str, text: str) -> str:
        return f"\x1b[{code}m{text}\x1b[0m" if self.colour else text

    def _clear_panel(self) -> None:
        if self.panel_height:
            # Back to the panel's first line, then erase to the end of the screen.
            self.out.write(f"\x1b[{self.panel_height}F\x1b[J")
            self.panel_height = 0

    def line(self, text: str) -> None:
        self._clear_panel()
        self.out.write(text + "\n")

    def heading(self, text: str) -> None:
        self.line("")
        self.line(self.paint("1;36", f"== {text}"))

    def note(self, text: str) -> None:
        self.line(self.paint("36", f"   {text}"))

    def daemon_lines(self, stdout: list[str], stderr: list[str]) -> None:
        for text in stdout:
            if text.startswith("Warning:"):
                text = self.paint("33", text)
            elif text.startswith(SHUTDOWN_LINES):
                text = self.paint("1;31", text)
            self.line("  kestro | " + text)
        for text in stderr:
            self.line("  kestro ! " + self.paint("31", text))

    def notification(self, call: desktop_session.Call) -> None:
        self.shown = call if call.member == "Notify" else None
        self.line("  notify | " + self.paint("1;31" if call.urgency == 2 else "33", str(call)))

    def status(self, cycle: int, files: dict[str, Optional[str]], laptop: Laptop) -> None:
        if not self.panel:
            self.line("  status | " + f"cycle {cycle}: " + "  ".join([
                f"ac_status={files['ac_status'] or '-'}",
                f"battery_percent={short_number(files['battery_percent'], 2)}",
                f"battery_status={files['battery_status'] or '-'}",
                f"secs_until_battery_full={short_number(files['secs_until_battery_full'], 0)}",
                f"secs_until_shutdown_request={short_number(files['secs_until_shutdown_request'], 0)}",
            ]))
            self.out.flush()
            return
        self._clear_panel()
        width = max(40, shutil.get_terminal_size((100, 24)).columns - 1)
        title = f"-- cycle {cycle}: {laptop.describe()} "
        rows = [self.paint("2", (title + "-" * width)[:width])]
        for name in sandbox.STATUS_FILES:
            value = files[name]
            shown = "(absent)" if value is None else value
            extra = human_duration(value) if name.startswith("secs_") else ""
            rows.append((f" {sandbox.STATUS_DIR}/{name:<28} {shown:<20} {extra}")[:width])
        on_desktop = "(none)" if self.shown is None else str(self.shown)
        rows.append(f" {'desktop notification':<40} {on_desktop}"[:width])
        self.out.write("\n".join(rows) + "\n")
        self.panel_height = len(rows)
        self.out.flush()

    def keep_panel(self) -> None:
        """Leaves the last panel on the screen: what follows goes below it."""
        self.panel_height = 0


def read_status(machine: sandbox.Machine) -> dict[str, Optional[str]]:
    """The five status files without their newline (None: absent)."""
    files = {}
    for name in sandbox.STATUS_FILES:
        text = machine.status(name)
        files[name] = None if text is None else text.rstrip("\n")
    return files


# ---------------------------------------------------------------------------
# What the sandbox needs


def sandbox_problem(unshare: str = sandbox.UNSHARE, as_root: Optional[bool] = None) -> Optional[str]:
    """None when this user can make the sandbox's namespaces; otherwise what
    the demo needs, in words."""
    as_root = os.geteuid() == 0 if as_root is None else as_root
    if not os.access(unshare, os.X_OK):
        return f"the demo needs {unshare} (Debian package util-linux) to build its sandbox."
    command = [unshare]
    if not as_root:
        command += ["--user", "--map-root-user"]
    command += ["--mount", "--propagation", "private", "--pid", "--fork", "/bin/true"]
    try:
        probe = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as error:
        said = str(error)
    else:
        if probe.returncode == 0:
            return None
        said = probe.stderr.strip() or f"exit status {probe.returncode}"
    if as_root:
        return ("the demo runs the daemon in private mount and PID namespaces, which root cannot create"
                f" here ({unshare} said: {said}). In a container, it needs the capability CAP_SYS_ADMIN"
                " (for example docker run --cap-add SYS_ADMIN, or --privileged).")
    return ("the demo runs the daemon in a sandbox made of user, mount and PID namespaces, and this system"
            f" does not let an ordinary user create them ({unshare} said: {said}).\n"
            "Either run it as root (sudo scripts/demo), or allow unprivileged user namespaces:\n"
            "  sudo sysctl user.max_user_namespaces=15000                  (it must be above 0)\n"
            "  sudo sysctl kernel.unprivileged_userns_clone=1              (older Debian kernels)\n"
            "  sudo sysctl kernel.apparmor_restrict_unprivileged_userns=0  (Ubuntu 23.10 and later)")


# ---------------------------------------------------------------------------
# The story


class Pacer:
    """Releases the daemon's pauses at the chosen rate (0: at once)."""

    def __init__(self, rate: float):
        self.interval = 1 / rate if rate > 0 else 0.0
        self.next = time.monotonic()

    def wait(self, cycles: float = 1, at_least: float = 0.0) -> None:
        if not self.interval:
            return
        self.next = max(self.next + cycles * self.interval, time.monotonic() + at_least)
        remaining = self.next - time.monotonic()
        if remaining > 0:
            time.sleep(remaining)


@contextlib.contextmanager
def desktop(screen: Screen) -> Iterator[Optional[desktop_session.DesktopSession]]:
    """A private session bus with a recording notification server, or None
    (and a note saying why) where it cannot be made."""
    missing = desktop_session.problem()
    if missing is not None:
        screen.note(f"No desktop notifications in this run: {missing}.")
        yield None
        return
    with desktop_session.DesktopSession() as session:
        try:
            session.start_server()
        except unittest.SkipTest as skipped:  # the server is not built
            screen.note(f"No desktop notifications in this run: {skipped}.")
            yield None
            return
        yield session


def show_notifications(screen: Screen, session: Optional[desktop_session.DesktopSession],
                       files: dict[str, Optional[str]]) -> None:
    """What kestro-status --notify sent for this status."""
    if session is not None:
        session.settle(files)
        for call in session.calls():
            screen.notification(call)


def run_story(screen: Screen, pacer: Pacer) -> int:
    """Runs the daemon through the story; returns the demo's exit status."""
    with sandbox.Machine() as machine, desktop(screen) as session:
        machine.set_config(CONFIG)
        laptop = Laptop(machine)
        screen.note("The sandbox's /etc/kestro.toml, to keep the story short:")
        for text in CONFIG.splitlines():
            screen.note("    " + text)
        if session is not None:
            session.start_notifier(machine.status_dir)
        started = int(time.time())
        # The daemon's pause is a second: the clock shim makes each a minute.
        clock = {"KESTRO_E2E_TIME_SCALE": str(SIMULATED_SECONDS_PER_CYCLE), "KESTRO_E2E_WALL_START": str(started)}
        with machine.start(env={"STATE_DIRECTORY": HISTORY_DIRECTORY, **clock}) as daemon:
            for chapter in STORY:
                if chapter is not STORY[0]:
                    laptop.enter(chapter)
                screen.heading(f"{chapter.title}  (cycle {daemon.cycles + 1})")
                done = 0
                while (chapter.cycles is None or done < chapter.cycles) and daemon.cycles < MAX_CYCLES:
                    if daemon.cycles:
                        pacer.wait()
                    cycle = daemon.next_pause()
                    screen.daemon_lines(cycle.stdout, cycle.stderr)
                    held = daemon.held
                    if held != sandbox.CYCLE_PAUSE:
                        return shut_down(screen, pacer, machine, daemon, held, laptop, session, started)
                    files = read_status(machine)
                    show_notifications(screen, session, files)
                    screen.status(daemon.cycles, files, laptop)
                    laptop.advance()
                    done += 1
    screen.line(f"The daemon did not shut the laptop down within {MAX_CYCLES} cycles.")
    return 1


def shut_down(screen: Screen, pacer: Pacer, machine: sandbox.Machine, daemon: sandbox.Daemon,
              held: Optional[sandbox.Pause], laptop: Laptop,
              session: Optional[desktop_session.DesktopSession], started: int) -> int:
    """The daemon has announced the shutdown and waits before `poweroff`."""
    files = read_status(machine)
    show_notifications(screen, session, files)
    screen.status(daemon.cycles + 1, files, laptop)
    screen.keep_panel()
    wait = held.total if held else 0.0
    screen.heading(f"The shutdown: kestro waits {wait:g} s, then runs poweroff (the sandbox's fake one).")
    pacer.wait(wait, at_least=MIN_SHUTDOWN_HOLD)
    run = daemon.run_until_exit()
    screen.daemon_lines(run.stdout, run.stderr)
    calls = machine.poweroff_calls()
    real = [call for call in calls if not call.masked]
    for call in calls:
        what = "a masked real power command" if call.masked else "the fake poweroff"
        command = " ".join([os.path.basename(call.argv[0])] + call.argv[1:])
        screen.note(f"{what} ran: {command} (uid {call.uid}); on a real laptop the machine"
                    " would now power off.")
    screen.note(f"kestro ended: {run.status}.")
    if run.status.code != 0 or len(real) != 1 or len(calls) != 1:
        screen.line("The demo did not end as it should: see the lines above.")
        return 1
    if not show_history(screen, machine, started):
        return 1
    screen.line("")
    screen.line("That was the real daemon on a simulated battery. Next: scripts/test runs every test;"
                " README.md says how to install kestro and read its status files.")
    return 0


def show_history(screen: Screen, machine: sandbox.Machine, started: int) -> bool:
    """Draws the day from the history with kestro-status, on the sandbox's
    clock (which ran from `started` to the last record), fitted to the
    terminal when there is one. False when it could not."""
    folder = machine.host_path(HISTORY_DIRECTORY)
    ended = int(sorted(folder.glob("*.history"))[-1].read_text().splitlines()[-1].split(" ")[1])
    minutes = math.ceil((ended - started) / 60)
    screen.note(f"kestro kept the day in its history; kestro-status --history {minutes}m draws it:")
    screen.line("")
    screen.out.flush()
    command = [str(Path(sandbox.kestro_binary()).parent / "kestro-status"), "--state-dir", str(folder),
               "--history", f"{minutes}m"]
    # kestro-status's "now" is the end of the day the sandbox's clock told.
    env = {**os.environ, "LD_PRELOAD": sandbox.clock_shim(), "KESTRO_E2E_WALL_START": str(ended)}
    terminal = screen.out.isatty()
    drawn = subprocess.run(command, env=env, stdin=subprocess.DEVNULL,
                           stdout=screen.out if terminal else subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           timeout=30)
    screen.out.write(drawn.stdout or "")
    if drawn.returncode != 0:
        screen.line(f"kestro-status --history failed: {drawn.stderr.strip()}")
    return drawn.returncode == 0


def main(argv: Optional[list[str]] = None, out: TextIO = sys.stdout, err: TextIO = sys.stderr) -> int:
    parser = argparse.ArgumentParser(prog="scripts/demo", description=__doc__.split("\n\n")[0])
    parser.add_argument("--rate", type=float, default=DEFAULT_RATE,
                        help=f"cycles per second (default {DEFAULT_RATE:g}; 0: as fast as possible)")
    parser.add_argument("--plain", action="store_true",
                        help="one status line per cycle instead of a panel (the default when not on a terminal)")
    options = parser.parse_args(argv)
    if not (options.rate >= 0 and math.isfinite(options.rate)):
        parser.error("--rate must be a number of cycles per second, 0 or more")
    problem = sandbox_problem()
    if problem:
        err.write(f"scripts/demo: {problem}\n")
        return 1
    terminal = out.isatty() and os.environ.get("TERM", "dumb") != "dumb"
    screen = Screen(out, panel=terminal and not options.plain, colour=terminal and "NO_COLOR" not in os.environ)
    pace = f"{options.rate:g} cycles a second" if options.rate else "as fast as it goes"
    screen.line(screen.paint("1", "kestro demo") + ": the real daemon, unmodified, on a simulated laptop in a sandbox.")
    screen.note(f"Time is compressed: {pace}, and between two cycles the battery moves as far as in a minute.")
    screen.note("Lines marked 'kestro |' are the daemon's standard output, 'kestro !' its standard error;"
                f" the status lines show the files in {sandbox.STATUS_DIR}.")
    screen.note("Lines marked 'notify |' are the desktop notifications that kestro-status --notify sent,"
                " as a desktop would show them (here, to a recording server on a private session bus).")
    try:
        return run_story(screen, Pacer(options.rate))
    except sandbox.HarnessError as error:
        screen.keep_panel()
        err.write(f"scripts/demo: the sandbox failed: {error}\n")
        return 1
    except KeyboardInterrupt:
        screen.keep_panel()
        out.write("\n")
        err.write("scripts/demo: interrupted\n")
        return 130


if __name__ == "__main__":
    sys.exit(main())
