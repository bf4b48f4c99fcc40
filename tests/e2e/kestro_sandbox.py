"""End-to-end harness: the real kestro binary on a fake machine.

A `Machine` is a fake laptop kept in a temporary folder of the host: its
power supplies, hardware-monitor chips and charge-limit file, its /etc
entries, its /run, and a fake `poweroff`. `Machine.start()` runs the daemon
in private mount and PID namespaces where those folders lie over
/sys/class, /sys/devices, /run and /etc, every real power command is masked,
and the daemon's clock is the harness's: each sleep it asks for is reported
and held until the test moves on. So a test steps the daemon cycle by cycle,
changes the machine between cycles, and reads what it printed and
published, without waiting a second per cycle and without any way to touch
or power off the host.

    with Machine() as machine:
        machine.add_adapter("AC", online=1)
        battery = machine.add_battery("BAT0", charge_now=2_500_000)
        daemon = machine.start(env={"KESTRO_DEBUG": "1"})
        first = daemon.step()            # start-up and cycle 1, up to its 1 s pause
        battery.set("status", "Charging")
        second = daemon.step()
        machine.status("battery_status")  # "Charging" (or None if not written)

Every wait has a timeout (KESTRO_E2E_TIMEOUT seconds, 5 by default): a
daemon that exits early, hangs, or never asks for its pause fails the test
with a `HarnessError` that says what it was waiting for and shows what the
daemon printed.

The binary under test comes from KESTRO_BINARY and the clock shim from
KESTRO_CLOCK_SHIM (both set by CTest); by default they are taken from the
build/ folder of the source tree.
"""

from __future__ import annotations

import contextlib
import dataclasses
import errno
import hashlib
import json
import os
import select
import shutil
import socket
import signal as signals
import stat
import subprocess
import tempfile
import textwrap
import time
import unittest
from pathlib import Path
from typing import Callable, Iterable, Mapping, Optional, Sequence, Union

HERE = Path(__file__).resolve().parent
SOURCE_ROOT = HERE.parent.parent
SANDBOX_INIT = HERE / "sandbox_init.py"
FAKE_POWEROFF = HERE / "fake_poweroff.py"
PYTHON = "/usr/bin/python3"
UNSHARE = "/usr/bin/unshare"

POWER_SUPPLY_DIR = "/sys/class/power_supply"
HWMON_DIR = "/sys/class/hwmon"
CHARGE_LIMIT_PATH = (
    "/sys/devices/pci0000:00/0000:00:14.3/PNP0C09:00/QXM0100:00/"
    "marlith-hwmon/hwmon/hwmon3/max_battery_charge_level"
)
CONFIG_PATH = "/etc/kestro.toml"
STATUS_DIR = "/run/kestro"
STATUS_FILES = (
    "ac_status",
    "battery_percent",
    "battery_status",
    "secs_until_battery_full",
    "secs_until_shutdown_request",
)
POWER_COMMANDS = ("poweroff", "shutdown", "reboot", "halt", "systemctl")
STANDARD_DIRS = ("/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin")
# /etc entries that the sandbox hides unless a test provides them, so that
# every run starts from the same configuration whatever the host has.
ETC_ABSENT_BY_DEFAULT = ("kestro.toml", "sensors3.conf", "sensors.conf", "sensors.d")

DEFAULT_TIMEOUT = float(os.environ.get("KESTRO_E2E_TIMEOUT", "5"))
# Output kept in a failure message, per stream.
REPORT_LINES = 40

Value = Union[str, bytes, int, float]


class HarnessError(AssertionError):
    """The daemon did not behave as the harness needed it to (it exited,
    hung, or the sandbox could not be built). An AssertionError, so that
    unittest counts it as a failure of the test."""


# ---------------------------------------------------------------------------
# Results


@dataclasses.dataclass(frozen=True)
class Pause:
    """A sleep the daemon asked for. `interrupted` is set when a signal
    handler ended it before the harness released it."""

    seconds: int
    nanoseconds: int = 0
    interrupted: bool = False

    @classmethod
    def of(cls, seconds: float) -> "Pause":
        """The pause of a duration in seconds, rounded to the nanosecond."""
        total = round(seconds * 1_000_000_000)
        return cls(total // 1_000_000_000, total % 1_000_000_000)

    @property
    def total(self) -> float:
        return self.seconds + self.nanoseconds / 1_000_000_000

    def __str__(self) -> str:
        text = f"{self.seconds}.{self.nanoseconds:09d}".rstrip("0").rstrip(".") + " s"
        return text + (" (interrupted)" if self.interrupted else "")


CYCLE_PAUSE = Pause(1, 0)
RETRY_PAUSE = Pause(0, 333_000_000)


@dataclasses.dataclass(frozen=True)
class ExitStatus:
    """How the daemon ended: an exit code, or the signal that killed it."""

    code: Optional[int] = None
    signal: Optional[int] = None
    core_dumped: bool = False

    def __str__(self) -> str:
        if self.signal is not None:
            try:
                name = signals.Signals(self.signal).name
            except ValueError:
                name = "unknown"
            return f"killed by signal {self.signal} ({name})" + (" (core dumped)" if self.core_dumped else "")
        return f"exit status {self.code}"


def split_lines(text: str) -> list[str]:
    """Lines of a stream: each newline ends one; text after the last newline
    is kept as a last line, so a missing newline still shows."""
    if not text:
        return []
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    return lines


@dataclasses.dataclass
class Cycle:
    """What the daemon did between two held pauses: normally one cycle, from
    the release of the previous cycle's 1 s pause to the request of its own
    (the first one includes the start-up output)."""

    number: int
    stdout_text: str
    stderr_text: str
    pauses: list[Pause]

    @property
    def stdout(self) -> list[str]:
        return split_lines(self.stdout_text)

    @property
    def stderr(self) -> list[str]:
        return split_lines(self.stderr_text)


@dataclasses.dataclass
class Run:
    """What the daemon did from the last held pause (or its start) until it
    ended, and how it ended."""

    stdout_text: str
    stderr_text: str
    pauses: list[Pause]
    status: ExitStatus

    @property
    def stdout(self) -> list[str]:
        return split_lines(self.stdout_text)

    @property
    def stderr(self) -> list[str]:
        return split_lines(self.stderr_text)


@dataclasses.dataclass(frozen=True)
class PoweroffCall:
    """One run of the fake poweroff, or of the mask over a real power command
    (`masked`, which no correct run should ever show)."""

    argv: list[str]
    env: dict[str, str]
    masked: bool
    open_fds: list[tuple[int, str]]  # beyond 0-2: (descriptor, what it leads to)
    capabilities: Optional[int]
    uid: int


# ---------------------------------------------------------------------------
# The fake machine


def encode_value(value: Value) -> bytes:
    """Attribute content as sysfs shows it: text and numbers get the
    kernel's trailing newline; bytes are written exactly as given."""
    if isinstance(value, bytes):
        return value
    if isinstance(value, bool) or not isinstance(value, (str, int, float)):
        raise TypeError(f"attribute value must be str, bytes, int or float, not {type(value).__name__}")
    return (str(value) + "\n").encode()


def write_file(path: Path, content: bytes, mode: Optional[int] = None) -> None:
    """Replaces a file whole (write and rename), keeping its mode unless one
    is given, so a test can rewrite a file it has made unreadable."""
    path.parent.mkdir(parents=True, exist_ok=True)
    if mode is None:
        try:
            info = path.lstat()
            mode = stat.S_IMODE(info.st_mode) if stat.S_ISREG(info.st_mode) else 0o644
        except FileNotFoundError:
            mode = 0o644
    temporary = path.with_name(f".{path.name}.harness-tmp")
    with open(temporary, "wb") as file:
        file.write(content)
    os.chmod(temporary, mode)
    os.replace(temporary, path)


def remove_path(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        make_removable(path)
        shutil.rmtree(path)
    else:
        path.unlink(missing_ok=True)


def make_removable(root: Path) -> None:
    """Gives the owner access to every directory under root, so that a tree
    with unreadable directories can be removed without privileges."""
    for directory, subdirs, _ in os.walk(root):
        for name in subdirs:
            path = os.path.join(directory, name)
            if not os.path.islink(path):
                try:
                    os.chmod(path, 0o700)
                except OSError:
                    pass
    try:
        os.chmod(root, 0o700)
    except OSError:
        pass


class Device:
    """A directory of attribute files in the fake sysfs: a power supply, a
    hardware-monitor chip, or the charge-limit file's directory. `path` is
    the directory as the daemon sees it, `host_path` where it really is."""

    def __init__(self, machine: "Machine", path: str):
        self.machine = machine
        self.path = path
        self.host_path = machine.host_path(path)

    @property
    def name(self) -> str:
        return os.path.basename(self.path)

    def attribute_path(self, attribute: str) -> str:
        """The attribute's path as the daemon sees it."""
        return f"{self.path}/{attribute}"

    def set(self, attribute: str, value: Optional[Value], mode: Optional[int] = None) -> "Device":
        """Writes an attribute (None removes it)."""
        if value is None:
            return self.remove(attribute)
        write_file(self.host_path / attribute, encode_value(value), mode)
        return self

    def update(self, **attributes: Optional[Value]) -> "Device":
        for attribute, value in attributes.items():
            self.set(attribute, value)
        return self

    def remove(self, attribute: str) -> "Device":
        remove_path(self.host_path / attribute)
        return self

    def chmod(self, attribute: str, mode: int) -> "Device":
        os.chmod(self.host_path / attribute, mode)
        return self

    def symlink(self, attribute: str, target: str) -> "Device":
        """Makes the attribute a symbolic link to `target` (a path as the
        daemon sees it, or a relative one)."""
        remove_path(self.host_path / attribute)
        os.symlink(target, self.host_path / attribute)
        return self

    def make_directory(self, attribute: str) -> "Device":
        """Makes the attribute a directory, which no read can take as a file."""
        remove_path(self.host_path / attribute)
        (self.host_path / attribute).mkdir()
        return self

    def read(self, attribute: str) -> str:
        return (self.host_path / attribute).read_text()

    def exists(self, attribute: str) -> bool:
        return os.path.lexists(self.host_path / attribute)


class Etc:
    """The sandbox's /etc: the host's, with the test's entries on top.

    By default kestro.toml and the libsensors configuration (sensors3.conf,
    sensors.conf, sensors.d) are absent. A staged directory replaces the
    host's directory of that name rather than merging with it. Changes take
    effect for daemons started afterwards. Names are relative to /etc and
    may have several components ("sensors.d/marlith.conf")."""

    def __init__(self, root: Path):
        self.stage = root
        self.stage.mkdir()
        self.absent = set(ETC_ABSENT_BY_DEFAULT)

    def _top(self, name: str) -> str:
        parts = Path(name).parts
        if not parts or parts[0] in ("/", "..") or ".." in parts:
            raise ValueError(f"not a name under /etc: {name!r}")
        return parts[0]

    def _prepare(self, name: str) -> Path:
        self.absent.discard(self._top(name))
        path = self.stage / name
        path.parent.mkdir(parents=True, exist_ok=True)
        remove_path(path)
        return path

    def write(self, name: str, content: Union[str, bytes], mode: int = 0o644) -> None:
        """A file with exactly this content (text is written as UTF-8)."""
        path = self._prepare(name)
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        os.chmod(path, mode)

    def mkdir(self, name: str, mode: int = 0o755) -> None:
        path = self._prepare(name)
        path.mkdir()
        os.chmod(path, mode)

    def symlink(self, name: str, target: str) -> None:
        os.symlink(target, self._prepare(name))

    def chmod(self, name: str, mode: int) -> None:
        os.chmod(self.stage / name, mode)

    def remove(self, name: str) -> None:
        """The entry is absent in the sandbox (hiding the host's, if any)."""
        remove_path(self.stage / name)
        if len(Path(name).parts) == 1:
            self.absent.add(name)

    def use_host(self, name: str) -> None:
        """The host's entry of that name shows through unchanged."""
        if len(Path(name).parts) != 1:
            raise ValueError("only a top-level entry can come from the host")
        remove_path(self.stage / name)
        self.absent.discard(name)


class Machine:
    """A fake machine for one or more runs of the daemon. Use it as a context
    manager (or call close()) so that its daemons are ended and its folder
    removed."""

    def __init__(self, tmpdir: Optional[str] = None):
        self.root = Path(tempfile.mkdtemp(prefix="kestro-e2e-", dir=tmpdir))
        self._sys_class = self.root / "sys-class"
        self._sys_devices = self.root / "sys-devices"
        self._run = self.root / "run"
        for folder in (self._sys_class / "power_supply", self._sys_class / "hwmon", self._sys_devices, self._run):
            folder.mkdir(parents=True)
        (self.root / "etc-layers").mkdir()
        self.etc = Etc(self.root / "etc-stage")
        self._poweroff_state = self.root / "poweroff-state"
        (self._poweroff_state / "calls").mkdir(parents=True)
        self.fake_poweroff = self.root / "bin" / "poweroff"
        self.mask = self.root / "mask" / "power-command"
        self._install_stand_in(self.fake_poweroff, masked=False)
        self._install_stand_in(self.mask, masked=True)
        # The fake systemctl: the same file (which the guard lets pass) by another name.
        self.fake_systemctl = self.fake_poweroff.with_name("systemctl")
        os.link(self.fake_poweroff, self.fake_systemctl)
        self.set_poweroff_result(exit_code=0)
        self._daemons: list[Daemon] = []
        self._runs = 0

    def _install_stand_in(self, path: Path, masked: bool) -> None:
        source = FAKE_POWEROFF.read_text()
        source = source.replace('"@STATE_DIR@"', json.dumps(str(self._poweroff_state)))
        if masked:
            source = source.replace("MASKED = False", "MASKED = True")
        path.parent.mkdir(parents=True)
        path.write_text(source)
        os.chmod(path, 0o755)
        os.chmod(path.parent, 0o755)

    # -- paths ------------------------------------------------------------

    def host_path(self, path: str) -> Path:
        """Where a path under /sys/class, /sys/devices or /run of the sandbox
        lies on the host."""
        for prefix, folder in (("/sys/class", self._sys_class), ("/sys/devices", self._sys_devices), ("/run", self._run)):
            if path == prefix or path.startswith(prefix + "/"):
                return folder / path[len(prefix) :].lstrip("/")
        raise ValueError(f"{path} is not under /sys/class, /sys/devices or /run")

    def write(self, path: str, value: Optional[Value], mode: Optional[int] = None) -> None:
        """Writes any file of the fake /sys/class, /sys/devices or /run."""
        if value is None:
            remove_path(self.host_path(path))
        else:
            write_file(self.host_path(path), encode_value(value), mode)

    def add_time_asleep(self, seconds: int) -> None:
        """The machine sleeps before the next cycle: seconds added to the
        daemon's CLOCK_BOOTTIME, its CLOCK_MONOTONIC standing still."""
        asleep = self._poweroff_state / "asleep"
        before = int(asleep.read_text()) if asleep.exists() else 0
        asleep.write_text(str(before + seconds))

    # -- power supplies ---------------------------------------------------

    def add_supply(self, name: str, type: Optional[Value], **attributes: Optional[Value]) -> Device:
        """A power-supply directory with its `type` (None: no type file) and
        attribute files."""
        directory = self.host_path(f"{POWER_SUPPLY_DIR}/{name}")
        directory.mkdir()
        supply = Device(self, f"{POWER_SUPPLY_DIR}/{name}")
        supply.set("type", type)
        supply.update(**attributes)
        return supply

    def add_adapter(self, name: str = "AC", *, online: Optional[Value] = 1, type: Optional[Value] = "Mains",
                    **attributes: Optional[Value]) -> Device:
        """A mains adapter: type Mains and `online`."""
        return self.add_supply(name, type, online=online, **attributes)

    def add_battery(
        self,
        name: str = "BAT0",
        *,
        type: Optional[Value] = "Battery",
        status: Optional[Value] = "Discharging",
        voltage_min_design: Optional[Value] = 11_100_000,
        voltage_now: Optional[Value] = 12_000_000,
        charge_full: Optional[Value] = 5_000_000,
        charge_now: Optional[Value] = 2_500_000,
        current_now: Optional[Value] = 1_000_000,
        **attributes: Optional[Value],
    ) -> Device:
        """A battery, by default a half-charged one that discharges at 1 A,
        with charge and current counters. Give None to leave a file out, and
        energy_full/energy_now or power_now as further attributes."""
        return self.add_supply(
            name,
            type,
            status=status,
            voltage_min_design=voltage_min_design,
            voltage_now=voltage_now,
            charge_full=charge_full,
            charge_now=charge_now,
            current_now=current_now,
            **attributes,
        )

    def supply(self, name: str) -> Device:
        return Device(self, f"{POWER_SUPPLY_DIR}/{name}")

    def remove_supply(self, name: str) -> None:
        remove_path(self.host_path(f"{POWER_SUPPLY_DIR}/{name}"))

    def power_supply_order(self) -> list[str]:
        """The power supplies in the order a directory listing returns them,
        which is the order the daemon sees."""
        return os.listdir(self.host_path(POWER_SUPPLY_DIR))

    # -- hardware monitors and the charge limit ---------------------------

    def add_hwmon(self, name: Optional[Value], **attributes: Optional[Value]) -> Device:
        """A hardware-monitor chip as libsensors finds it: hwmonN with its
        `name` (None: no name file) and inputs such as in0_input (mV) and
        curr1_input (mA). N is the next free number."""
        number = 0
        while self.host_path(f"{HWMON_DIR}/hwmon{number}").exists():
            number += 1
        path = f"{HWMON_DIR}/hwmon{number}"
        self.host_path(path).mkdir()
        chip = Device(self, path)
        chip.set("name", name)
        chip.update(**attributes)
        return chip

    @property
    def charge_limit(self) -> Device:
        """The directory of the fixed charge-limit file (its attribute name is
        max_battery_charge_level)."""
        path = os.path.dirname(CHARGE_LIMIT_PATH)
        self.host_path(path).mkdir(parents=True, exist_ok=True)
        return Device(self, path)

    def set_charge_limit(self, value: Optional[Value], mode: Optional[int] = None) -> None:
        self.charge_limit.set(os.path.basename(CHARGE_LIMIT_PATH), value, mode)

    # -- configuration ----------------------------------------------------

    def set_config(self, content: Union[str, bytes], mode: int = 0o644) -> None:
        """/etc/kestro.toml with this content."""
        self.etc.write("kestro.toml", content, mode)

    def remove_config(self) -> None:
        self.etc.remove("kestro.toml")

    # -- status directory ---------------------------------------------------

    @property
    def status_dir(self) -> Path:
        """/run/kestro on the host."""
        return self.host_path(STATUS_DIR)

    def status(self, name: str) -> Optional[str]:
        """The content of /run/kestro/<name>, or None when it does not exist."""
        try:
            return (self.status_dir / name).read_text()
        except FileNotFoundError:
            return None

    def status_files(self) -> dict[str, str]:
        """Every regular file in /run/kestro (hidden ones too) with its
        content; empty when the directory does not exist."""
        if not self.status_dir.is_dir():
            return {}
        return {path.name: path.read_text() for path in sorted(self.status_dir.iterdir()) if path.is_file()}

    # -- poweroff -----------------------------------------------------------

    def set_poweroff_result(self, exit_code: int = 0, signal: Optional[int] = None,
                            command: Optional[str] = None, *, asleep: int = 0, block: bool = False) -> None:
        """How the fake poweroff (and systemctl) ends from now on: with this
        exit code, or killed by this signal; only the fake of that name when
        command is given ("systemctl"). asleep: seconds the machine sleeps
        while it runs (the daemon's CLOCK_BOOTTIME); block: it never ends."""
        chosen = {"exit": exit_code, "signal": int(signal) if signal is not None else None, "asleep": asleep,
                  "block": block}
        behaviour = chosen if command is None else self._behaviour() | {command: chosen}
        write_file(self._poweroff_state / "behaviour.json", json.dumps(behaviour).encode(), 0o644)

    def _behaviour(self) -> dict:
        return json.loads((self._poweroff_state / "behaviour.json").read_text())

    def poweroff_calls(self) -> list[PoweroffCall]:
        calls = []
        for path in sorted((self._poweroff_state / "calls").iterdir()):
            entry = json.loads(path.read_text(errors="surrogateescape"))
            entry["open_fds"] = [tuple(item) for item in entry["open_fds"]]
            calls.append(PoweroffCall(**entry))
        return calls

    # -- the daemon -----------------------------------------------------------

    def start(
        self,
        args: Iterable[Union[str, bytes]] = (),
        env: Optional[Mapping[str, Optional[Union[str, bytes]]]] = None,
        *,
        drop_dac_caps: bool = False,
        umask: Optional[int] = None,
        cwd: str = "/",
        binary: Optional[str] = None,
        timeout: Optional[float] = None,
        wrapper: Sequence[str] = (),
        journal: bool = False,
        terminal: bool = False,
        _skip_masks: bool = False,
    ) -> "Daemon":
        """Starts the daemon in the sandbox and returns once it runs (before
        it has done anything observable).

        env is laid over the default environment, which has only PATH (the
        fake poweroff's folder first, then the standard folders); a None
        value removes a variable. Bytes are passed unchanged, for values that
        are not UTF-8. drop_dac_caps runs the daemon without
        CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH, so that file modes bind it
        even as root. binary replaces the kestro under test (the harness's
        own tests use it). wrapper is a command line that runs the daemon
        (a tracer or profiler): the sandbox execs wrapper + [binary] + args
        with the daemon's environment, the clock shim's LD_PRELOAD included,
        so the wrapper must be a program the dynamic loader does not preload
        into (a static one, such as valgrind's tool binaries) and must pass
        the environment on. journal gives the daemon one socket as standard
        output and standard error, named in JOURNAL_STREAM as the service
        manager names its journal stream (unless env sets the variable):
        both streams then arrive in stdout. terminal gives it a pseudo-terminal
        as both streams instead, which nobody reads (its output is not
        seen). _skip_masks leaves the real
        power commands uncovered, for the test that the guard then refuses
        to start."""
        environment: dict[str, str] = {"PATH": ":".join((str(self.fake_poweroff.parent),) + STANDARD_DIRS)}
        for key, value in (env or {}).items():
            if value is None:
                environment.pop(key, None)
            else:
                environment[key] = os.fsdecode(value)
        daemon = Daemon(
            self,
            binary=binary or kestro_binary(),
            args=[os.fsdecode(arg) for arg in args],
            env=environment,
            drop_dac_caps=drop_dac_caps,
            umask=umask,
            cwd=cwd,
            timeout=DEFAULT_TIMEOUT if timeout is None else timeout,
            skip_masks=_skip_masks,
            wrapper=[os.fsdecode(word) for word in wrapper],
            journal=journal,
            terminal=terminal,
        )
        self._daemons.append(daemon)
        return daemon

    def run(self, args: Iterable[Union[str, bytes]] = (), env=None, **options) -> Run:
        """Starts the daemon and lets it run, releasing every pause, until it
        ends (for runs that are expected to end by themselves)."""
        with self.start(args, env, **options) as daemon:
            return daemon.run_until_exit()

    def _next_run_number(self) -> int:
        self._runs += 1
        return self._runs

    def close(self) -> None:
        for daemon in self._daemons:
            daemon.close()
        self._daemons.clear()
        if self.root.exists():
            make_removable(self.root)
            shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self) -> "Machine":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


# ---------------------------------------------------------------------------
# The running daemon


def kestro_binary() -> str:
    return required_file("KESTRO_BINARY", SOURCE_ROOT / "build" / "kestro", "the kestro binary")


def clock_shim() -> str:
    default = SOURCE_ROOT / "build" / "tests" / "e2e" / "libkestro_clock_shim.so"
    return required_file("KESTRO_CLOCK_SHIM", default, "the clock shim")


def required_file(variable: str, default: Path, what: str) -> str:
    path = os.environ.get(variable) or str(default)
    if not os.path.isfile(path):
        raise HarnessError(f"{what} not found at {path}: build it (cmake --build build) or set {variable}")
    return os.path.abspath(path)


def helper_binary(name: str) -> str:
    """A helper program of the harness's own tests (sleeper, sensors_probe),
    from KESTRO_E2E_HELPERS or the build folder; the test is skipped when it
    has not been built."""
    folder = os.environ.get("KESTRO_E2E_HELPERS") or str(SOURCE_ROOT / "build" / "tests" / "e2e")
    path = os.path.join(folder, f"kestro_e2e_{name}")
    if not os.path.isfile(path):
        raise unittest.SkipTest(f"helper {path} not built (cmake --build build) and KESTRO_E2E_HELPERS not set")
    return path


def use_user_namespace() -> bool:
    return os.geteuid() != 0 or os.environ.get("KESTRO_E2E_USERNS") == "1"


class _Stream:
    """The harness's end of one pipe from the sandbox."""

    def __init__(self, fd: int):
        self.fd = fd
        self.closed = False
        self.stalled = False  # by Daemon.stall()
        os.set_blocking(fd, False)

    def read_available(self) -> bytes:
        if self.stalled:
            return b""
        chunks = []
        while not self.closed:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                break
            except OSError as error:  # a terminal's master once every slave has closed
                if error.errno != errno.EIO:
                    raise
                data = b""
            if not data:
                self.closed = True
                break
            chunks.append(data)
        return b"".join(chunks)


class Daemon:
    """The daemon running in its sandbox, under the harness's clock.

    The daemon is held in each pause it asks for until the harness releases
    it. step() releases the held pause and runs to the next 1 s pause
    request, releasing any other pause on the way (the 333 ms retries, the
    shutdown wait). Each call returns what the daemon printed and asked for
    since the previous one."""

    def __init__(self, machine: Machine, *, binary: str, args: list[str], env: dict[str, str],
                 drop_dac_caps: bool, umask: Optional[int], cwd: str, timeout: float, skip_masks: bool = False,
                 wrapper: Sequence[str] = (), journal: bool = False, terminal: bool = False):
        self.machine = machine
        self.binary = binary
        self.timeout = timeout
        self.status: Optional[ExitStatus] = None
        self.cycles = 0
        self._held: Optional[tuple[int, Pause]] = None
        self._held_wakes = False  # the held pause is a wait that the awaited signal ends
        self._requests = 0
        self._returned = 0  # the last pause request a step has returned
        self._out = bytearray()
        self._err = bytearray()
        self._pauses: list[Pause] = []
        self._all_out = bytearray()
        self._all_err = bytearray()
        self._diag = bytearray()
        self._clock_text = b""
        self._control_text = b""
        self._started = False
        self._finished = False
        self._error: Optional[str] = None
        self._process: Optional[subprocess.Popen] = None
        self._own_fds: list[int] = []
        self._wrapper = list(wrapper)
        self._spawn(args, env, drop_dac_caps, umask, cwd, skip_masks, journal, terminal)
        self._await(lambda: self._started or self._error is not None or self._control.closed,
                    self.timeout, "the sandbox to start the daemon")
        if not self._started:
            self._fail_start()

    # -- set-up -------------------------------------------------------------

    def _pipe(self) -> tuple[int, int]:
        read_end, write_end = os.pipe()
        self._own_fds.extend((read_end, write_end))
        return read_end, write_end

    def _spawn(self, args, env, drop_dac_caps, umask, cwd, skip_masks, journal, terminal) -> None:
        # The journal's stream is a socket.
        out_r, out_w = os.openpty() if terminal else [end.detach() for end in socket.socketpair()] if journal \
            else os.pipe()
        self._own_fds.extend((out_r, out_w))
        err_r, err_w = self._pipe()
        if journal or terminal:
            # Standard error shares standard output's pipe; the stderr pipe
            # has no writer.
            os.close(err_w)
            self._own_fds.remove(err_w)
            err_w = out_w
        if journal:
            info = os.fstat(out_w)
            env = {"JOURNAL_STREAM": f"{info.st_dev}:{info.st_ino}", **env}
        request_r, request_w = self._pipe()
        release_r, release_w = self._pipe()
        control_r, control_w = self._pipe()
        command_r, command_w = self._pipe()
        diag_r, diag_w = self._pipe()
        machine = self.machine
        config = {
            "binary": self.binary,
            "argv0": self.binary,
            "args": args,
            "env": env,
            "cwd": cwd,
            "umask": umask,
            "drop_dac_caps": drop_dac_caps,
            "clock_shim": clock_shim(),
            "host_mount_namespace": os.readlink("/proc/self/ns/mnt"),
            "sys_class": str(machine._sys_class),
            "sys_devices": str(machine._sys_devices),
            "run": str(machine._run),
            "etc_layers": str(machine.root / "etc-layers"),
            "etc_stage": str(machine.etc.stage),
            "etc_absent": sorted(machine.etc.absent),
            "fake_poweroff": str(machine.fake_poweroff),
            "asleep_file": str(machine._poweroff_state / "asleep"),
            "mask": str(machine.mask),
            "masked_names": list(POWER_COMMANDS),
            "skip_masks": skip_masks,
            "wrapper": self._wrapper,
            "fds": {
                "stdout": out_w,
                "stderr": err_w,
                "clock_request": request_w,
                "clock_release": release_r,
                "control": control_w,
                "command": command_r,
            },
        }
        config_path = machine.root / f"sandbox-{machine._next_run_number()}.json"
        config_path.write_text(json.dumps(config))
        command = [UNSHARE]
        if use_user_namespace():
            command += ["--user", "--map-root-user"]
        command += ["--mount", "--propagation", "private", "--pid", "--fork", "--kill-child=SIGKILL",
                    PYTHON, "-I", "-S", str(SANDBOX_INIT), str(config_path)]
        try:
            self._process = subprocess.Popen(
                command,
                stdin=subprocess.DEVNULL,
                stdout=diag_w,
                stderr=diag_w,
                pass_fds=(out_w, err_w, request_w, release_r, control_w, command_r),
                start_new_session=True,
                env={"PATH": "/usr/bin:/bin", "LC_ALL": "C"},
            )
        finally:
            for fd in {out_w, err_w, request_w, release_r, control_w, command_r, diag_w}:
                os.close(fd)
                self._own_fds.remove(fd)
        self._release_fd = release_w
        self._command_fd = command_w
        self._stdout = _Stream(out_r)
        self._stderr = _Stream(err_r)
        self._clock = _Stream(request_r)
        self._control = _Stream(control_r)
        self._diagnostics = _Stream(diag_r)
        self._poller = select.poll()
        self._streams = {s.fd: s for s in (self._stdout, self._stderr, self._clock, self._control, self._diagnostics)}
        for fd in self._streams:
            self._poller.register(fd, select.POLLIN)
        if terminal:
            self._poller.unregister(out_r)
            self._stdout.stalled = True

    def _fail_start(self) -> None:
        self._collect_remaining(2.0)
        reason = self._error or "the sandbox ended before starting the daemon"
        self.close()
        raise HarnessError(f"{reason}{self._report()}")

    # -- events ---------------------------------------------------------------

    def _drain_output(self) -> None:
        for stream, period, everything in ((self._stdout, self._out, self._all_out),
                                           (self._stderr, self._err, self._all_err)):
            data = stream.read_available()
            period += data
            everything += data

    def _on_readable(self, fd: int) -> None:
        stream = self._streams[fd]
        if stream is self._clock:
            data = stream.read_available()
            self._clock_text += data
            while b"\n" in self._clock_text:
                line, self._clock_text = self._clock_text.split(b"\n", 1)
                # Everything the daemon printed before asking is in the pipes now.
                self._drain_output()
                self._on_clock(line.decode(errors="replace"))
        elif stream is self._control:
            self._control_text += stream.read_available()
            while b"\n" in self._control_text:
                line, self._control_text = self._control_text.split(b"\n", 1)
                self._on_control(line.decode(errors="replace"))
        elif stream is self._diagnostics:
            self._diag += stream.read_available()
        else:
            self._drain_output()
        if stream.closed:
            try:
                self._poller.unregister(fd)
            except KeyError:
                pass

    def _on_clock(self, line: str) -> None:
        words = line.split()
        if len(words) == 3 and words[0] in ("sleep", "wait"):
            self._requests += 1
            pause = Pause(int(words[1]), int(words[2]))
            self._held = (self._requests, pause)
            self._held_wakes = words[0] == "wait"
            self._pauses.append(pause)
        elif words == ["woken"]:
            # No time went by: no pause.
            held, self._held = self._held, None
            if held is not None and self._pauses and self._pauses[-1] is held[1]:
                self._pauses.pop()
        elif words == ["interrupted"]:
            # The shim abandons the request it is holding; any release the
            # harness already sent for it is skipped as stale.
            held, self._held = self._held, None
            if self._pauses:
                self._pauses[-1] = dataclasses.replace(self._pauses[-1], interrupted=True)
            elif held is not None:
                # Requested in an earlier period: show it here, where it ended.
                self._pauses.append(dataclasses.replace(held[1], interrupted=True))
        else:
            self._error = f"unexpected message from the clock shim: {line!r}"

    def _on_control(self, line: str) -> None:
        verb, _, rest = line.partition(" ")
        if verb == "started":
            self._started = True
        elif verb == "exit":
            self.status = ExitStatus(code=int(rest))
            self._held = None
        elif verb == "signal":
            number, _, core = rest.partition(" ")
            self.status = ExitStatus(signal=int(number), core_dumped=core == "core")
            self._held = None
        elif verb == "error":
            self._error = rest
        else:
            self._error = f"unexpected message from the sandbox: {line!r}"

    def _wait_events(self, deadline: float, waiting_for: str, timeout: float) -> None:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            self._timed_out(waiting_for, timeout)
        if not self._streams_open():
            raise HarnessError(f"the sandbox closed every pipe while waiting for {waiting_for}{self._report()}")
        for fd, _ in self._poller.poll(remaining * 1000):
            self._on_readable(fd)

    def _streams_open(self) -> bool:
        return any(not s.closed for s in self._streams.values())

    def _await(self, condition: Callable[[], bool], timeout: float, waiting_for: str) -> None:
        deadline = time.monotonic() + timeout
        while not condition():
            self._wait_events(deadline, waiting_for, timeout)

    def _timed_out(self, waiting_for: str, timeout: float) -> None:
        held = f"; it is held in a {self._held[1]} pause" if self._held else ""
        message = f"timed out after {timeout:g} s waiting for {waiting_for}{held}{self._report()}"
        self.close()
        raise HarnessError(message)

    def stall(self, name: str) -> None:
        """Stops reading the daemon's "stdout" or "stderr" and fills that pipe
        (through a second write end on the read end's /proc link), as a log
        reader that stopped reading would leave it."""
        self._drain_output()
        stream = self._stdout if name == "stdout" else self._stderr
        self._poller.unregister(stream.fd)
        stream.stalled = True
        writer = os.open(f"/proc/self/fd/{stream.fd}", os.O_WRONLY | os.O_NONBLOCK)
        with contextlib.suppress(BlockingIOError):
            while True:
                os.write(writer, bytes(65536))
        os.close(writer)

    def resume(self, name: str) -> None:
        """Reads the stalled stream again, after its filler (all that a full
        pipe holds: the daemon's lines did not fit)."""
        stream = self._stdout if name == "stdout" else self._stderr
        if stream.stalled:
            stream.stalled = False
            stream.read_available()
            self._poller.register(stream.fd, select.POLLIN)

    def _collect_remaining(self, timeout: float) -> None:
        """After the end: everything still in the pipes, until the sandbox has
        closed them all."""
        self.resume("stdout")
        self.resume("stderr")
        deadline = time.monotonic() + timeout
        while self._streams_open() and time.monotonic() < deadline:
            for fd, _ in self._poller.poll(max(0.0, deadline - time.monotonic()) * 1000):
                self._on_readable(fd)
        self._drain_output()
        if self._process is not None:
            try:
                self._process.wait(timeout=max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                pass

    # -- reporting ------------------------------------------------------------

    def _report(self) -> str:
        def tail(title: str, data: bytes) -> str:
            lines = split_lines(data.decode(errors="replace"))
            if not lines:
                return f"\n{title}: (nothing)"
            shown = lines[-REPORT_LINES:]
            skipped = f"  ... {len(lines) - len(shown)} earlier lines\n" if len(lines) > len(shown) else ""
            return f"\n{title}:\n{skipped}" + textwrap.indent("\n".join(shown), "  ")

        text = f"\nbinary: {self.binary}; 1 s pauses asked for: {self.cycles}"
        text += tail("stdout", bytes(self._all_out)) + tail("stderr", bytes(self._all_err))
        if self._diag:
            text += tail("sandbox messages", bytes(self._diag))
        return text

    def _ended_early(self, waiting_for: str) -> HarnessError:
        self._collect_remaining(2.0)
        reason = self._error or f"{os.path.basename(self.binary)} ended ({self.status})"
        return HarnessError(f"{reason} while the harness waited for {waiting_for}{self._report()}")

    def host_pid(self) -> int:
        """The process id, as the host sees it, of the process the sandbox
        started: the daemon (or its wrapper). For /proc and tracers."""
        self._check_running()
        pid = self._process.pid  # unshare; its child is the sandbox's first process
        for _ in range(2):
            with open(f"/proc/{pid}/task/{pid}/children") as children:
                found = children.read().split()
            if not found:
                raise HarnessError(f"process {pid} of the sandbox has no child")
            pid = int(found[0])
        return pid

    # -- the clock ------------------------------------------------------------

    @property
    def held(self) -> Optional[Pause]:
        """The pause the daemon is waiting in, if any."""
        return self._held[1] if self._held else None

    def release(self) -> None:
        """Ends the pause the daemon is held in."""
        if self._held is None:
            raise HarnessError("release(): the daemon is not held in a pause")
        number, _ = self._held
        self._held = None
        try:
            os.write(self._release_fd, bytes([number & 0xFF]))
        except BrokenPipeError:
            pass

    def _take_period(self) -> tuple[str, str, list[Pause]]:
        out = self._out.decode(errors="surrogateescape")
        err = self._err.decode(errors="surrogateescape")
        pauses = self._pauses
        self._out, self._err, self._pauses = bytearray(), bytearray(), []
        return out, err, pauses

    def step(self, timeout: Optional[float] = None,
             until: Union[Pause, Callable[[Pause], bool]] = CYCLE_PAUSE, release: bool = True) -> Cycle:
        """Runs the daemon to the end of its next cycle: releases the held
        pause, then waits for the next 1 s pause request (releasing any other
        pause on the way) and holds it. `until` chooses another pause to stop
        at (a Pause, or a test on one). With release=False the held pause is
        not released: only a signal can end it (see send_signal)."""
        stop = until if callable(until) else (lambda pause: pause == until)
        timeout = self.timeout if timeout is None else timeout
        waiting_for = f"cycle {self.cycles + 1} to end with a pause of {until}" if isinstance(until, Pause) \
            else f"a pause in cycle {self.cycles + 1}"
        self._check_running()
        # Only a pause an earlier call has returned is released here; one
        # that arrived since (say, while the sandbox started) ends this call.
        seen = self._returned
        if self._held is not None and self._held[0] <= seen and release:
            self.release()
        deadline = time.monotonic() + timeout
        while True:
            if self._error is not None or self.status is not None:
                raise self._ended_early(waiting_for)
            if self._held is not None and self._held[0] > seen:
                if stop(self._held[1]):
                    break
                if not self._held_wakes:  # a wait is left to its signal
                    self.release()
                    continue
            self._wait_events(deadline, waiting_for, timeout)
        if self._held[1] == CYCLE_PAUSE:
            self.cycles += 1
        self._returned = self._held[0]
        out, err, pauses = self._take_period()
        return Cycle(self.cycles, out, err, pauses)

    def steps(self, count: int, timeout: Optional[float] = None) -> list[Cycle]:
        """count cycles, one step() each."""
        return [self.step(timeout) for _ in range(count)]

    def next_pause(self, timeout: Optional[float] = None, release: bool = True) -> Cycle:
        """Releases the held pause (unless release is False) and runs to the
        next pause request of any length, which stays held."""
        return self.step(timeout, until=lambda pause: True, release=release)

    def run_until_exit(self, timeout: Optional[float] = None, max_pauses: int = 100_000) -> Run:
        """Releases every pause until the daemon ends; returns what it did
        since the last step and how it ended. Fails when it does not end
        within the timeout or asks for more than max_pauses pauses."""
        timeout = self.timeout if timeout is None else timeout
        self._check_running()
        deadline = time.monotonic() + timeout
        released = 0
        while self.status is None:
            if self._error is not None:
                raise self._ended_early("kestro to end")
            if self._held is not None and (not self._held_wakes or self._held[0] <= self._returned):
                if released >= max_pauses:
                    message = f"kestro did not end within {max_pauses} pauses{self._report()}"
                    self.close()
                    raise HarnessError(message)
                released += 1
                if self._held[1] == CYCLE_PAUSE:
                    self.cycles += 1
                self.release()
                continue
            self._wait_events(deadline, "kestro to end", timeout)
        return self._finish()

    def send_signal(self, number: int) -> None:
        """Sends a signal to the daemon (through the sandbox's first process,
        which knows its process id)."""
        self._check_running()
        if self.status is not None:
            return  # already dead; wait_exit() reports how
        try:
            os.write(self._command_fd, f"signal {int(number)}\n".encode())
        except BrokenPipeError:
            pass  # the sandbox is ending: its report follows

    def wait_exit(self, timeout: Optional[float] = None) -> Run:
        """Waits for the daemon to end without releasing any pause."""
        timeout = self.timeout if timeout is None else timeout
        if self.status is None:
            self._await(lambda: self.status is not None or self._error is not None, timeout, "kestro to end")
            if self.status is None:
                raise self._ended_early("kestro to end")
        return self._finish()

    def kill(self, number: int = signals.SIGTERM, timeout: Optional[float] = None) -> Run:
        """Sends a signal and waits for the daemon to die of it."""
        self.send_signal(number)
        return self.wait_exit(timeout)

    def _finish(self) -> Run:
        self._check_running()
        self._finished = True
        self._collect_remaining(2.0)
        out, err, pauses = self._take_period()
        self.close()
        return Run(out, err, pauses, self.status)

    def _check_running(self) -> None:
        """Fails when nothing more can be learnt from the daemon. One that has
        ended but whose end no call has reported yet is left to the caller,
        which reports it with the output."""
        if self._finished:
            raise HarnessError(f"kestro has already ended ({self.status}) and its output has been returned")
        if self.status is None and self._process is None:
            raise HarnessError("the sandbox has been closed")

    # -- output so far and teardown -------------------------------------------

    @property
    def stdout_text(self) -> str:
        """Everything the daemon has printed on standard output so far."""
        return self._all_out.decode(errors="surrogateescape")

    @property
    def stderr_text(self) -> str:
        return self._all_err.decode(errors="surrogateescape")

    def close(self) -> None:
        """Ends the sandbox (and so the daemon) if it still runs, and returns
        once every process of it has gone: closing the command pipe makes the
        sandbox's first process kill the daemon and exit, and the kernel
        lets it finish only after the rest of its namespace has died, which
        unshare waits for."""
        process, self._process = self._process, None
        if process is not None:
            for fd in (self._command_fd, self._release_fd):
                if fd in self._own_fds:
                    self._own_fds.remove(fd)
                    os.close(fd)
            try:
                process.wait(timeout=self.timeout)
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(process.pid, signals.SIGKILL)
                except ProcessLookupError:
                    pass
                process.wait()
        for fd in self._own_fds:
            try:
                os.close(fd)
            except OSError:
                pass
        self._own_fds.clear()
        for stream in getattr(self, "_streams", {}).values():
            stream.closed = True

    def __enter__(self) -> "Daemon":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


# ---------------------------------------------------------------------------
# The host must not notice


def _describe(path: str) -> Optional[tuple]:
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return None
    except OSError as error:
        return ("error", error.errno)
    kind = stat.S_IFMT(info.st_mode)
    detail: object = None
    if stat.S_ISLNK(info.st_mode):
        detail = os.readlink(path)
    elif stat.S_ISREG(info.st_mode) and info.st_size < 1_000_000:
        try:
            with open(path, "rb") as file:
                detail = hashlib.sha256(file.read()).hexdigest()
        except OSError as error:
            detail = ("unreadable", error.errno)
    elif stat.S_ISDIR(info.st_mode):
        try:
            detail = tuple(sorted(os.listdir(path)))
        except OSError as error:
            detail = ("unlistable", error.errno)
    return (kind, stat.S_IMODE(info.st_mode), info.st_ino, detail)


def _mount_points() -> tuple:
    with open("/proc/self/mountinfo", encoding="utf-8", errors="replace") as mountinfo:
        return tuple(sorted(line.split()[4] for line in mountinfo))


class HostSnapshot:
    """What the sandbox must never change on the host: the paths the daemon
    uses, the real power commands, and the host's mount table."""

    def __init__(self, entries: dict):
        self.entries = entries

    @classmethod
    def take(cls) -> "HostSnapshot":
        # /run and /etc themselves are not listed: other programs on the
        # host (a package install, a login) change them while tests run.
        paths = [STATUS_DIR, CONFIG_PATH, "/etc/sensors3.conf", "/etc/sensors.conf",
                 "/etc/sensors.d", "/sys/class", POWER_SUPPLY_DIR, HWMON_DIR, os.path.dirname(CHARGE_LIMIT_PATH),
                 CHARGE_LIMIT_PATH]
        paths += [os.path.join(d, name) for d in STANDARD_DIRS for name in POWER_COMMANDS]
        entries: dict = {path: _describe(path) for path in paths}
        entries["mount points"] = _mount_points()
        return cls(entries)

    def differences(self, before: "HostSnapshot") -> list[str]:
        return [
            f"{key}: was {before.entries.get(key)!r}, now {value!r}"
            for key, value in self.entries.items()
            if before.entries.get(key) != value
        ]


class SandboxTestCase(unittest.TestCase):
    """Base of the end-to-end tests: a machine per test, and a check that
    the host is as it was once all tests of the class have run."""

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls._host_before = HostSnapshot.take()

    @classmethod
    def tearDownClass(cls) -> None:
        changes = HostSnapshot.take().differences(cls._host_before)
        super().tearDownClass()
        if changes:
            raise AssertionError("the tests changed the host:\n" + "\n".join(changes))

    def machine(self) -> Machine:
        machine = Machine()
        self.addCleanup(machine.close)
        return machine
