"""kestro installed from its Debian package on a booted Debian 12 system.

The container's root file system (minbase with systemd, dbus, udev and
libsensors5) is made by mmdebstrap from the Debian 12 suites that this
machine's apt sources name, and kept in the build tree under a key of what
goes into it, so only the first run downloads it. Each run lays a throwaway
overlay over it, installs the .deb that CPack builds (which enables its
unit), and boots it with `systemd-nspawn --boot`. A test-only unit bind-mounts a folder
of the host over /sys/class/power_supply before kestro starts (nspawn mounts
a sysfs of its own), so the tests change the adapter and the battery from
the host, through the end-to-end harness's fake machine.

The tests share that one boot and run in the order of their names: the
system boots without a battery, a battery appears, the daemon is crashed and
doubled, its sandbox is probed, and at last the battery runs low and the
daemon powers the container off. Whatever the container does, it does to
itself: the real poweroff never reaches this machine.
"""

from __future__ import annotations

import ctypes
import fnmatch
import glob
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path
from typing import Callable, Optional, TypeVar

SOURCE_ROOT = Path(__file__).resolve().parent.parent.parent
BUILD_DIR = Path(os.environ.get("KESTRO_BUILD_DIR") or SOURCE_ROOT / "build")
sys.path.insert(0, str(SOURCE_ROOT / "tests" / "e2e"))
from kestro_sandbox import Device, Machine  # noqa: E402  (its fake sysfs)
from kestro_expected import NO_SENSOR_CHIP  # noqa: E402

# What goes into the container, and so into the cache key. udev brings
# udevadm, to let udev itself read the installed rule.
SUITE = "bookworm"
SUITES = ("bookworm", "bookworm-updates", "bookworm-security")
PACKAGES = ("systemd", "systemd-sysv", "dbus", "libsensors5", "udev", "prometheus-node-exporter")
MMDEBSTRAP_OPTIONS = (
    "--variant=minbase",
    "--mode=root",
    "--include=" + ",".join(PACKAGES),
    '--aptopt=Acquire::Retries "2"',
    '--aptopt=Acquire::http::Timeout "30"',
)
# apt's words for a mirror it cannot reach.
UNREACHABLE = re.compile(
    r"Temporary failure resolving|Could not resolve|Could not connect|Unable to connect|"
    r"Connection timed out|Network is unreachable|No route to host|Connection refused"
)

SKIP_PREFIX = "cannot boot a container here: "
COMMAND_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"

UNIT = "kestro.service"

# The test's configuration: a shutdown level far above the battery's empty
# end, a wait longer than the unit's watchdog, which must not fire in it,
# and hibernation, which a container cannot do: the daemon asks the login
# manager, is refused, says why and powers off instead.
CONFIG = 'request_shutdown_battery_percent = 20\nforce_shutdown_timeout_secs = 25\ncritical_action = "hibernate"\n'
ATTEMPT = ["Reached 20% battery.", "Hibernating in 25 seconds.", "Hibernating now."]
FALLBACK = "Could not hibernate: systemctl hibernate: exit status: "
ANNOUNCEMENT = ATTEMPT + ["Shutting down now."]
# What systemctl passes on from the login manager, which cannot hibernate a
# container (the host's kernel offers no hibernation to it).
LOGIN_MANAGER_REFUSAL = 'Call to Hibernate failed: Sleep verb "hibernate" not supported'
WATCHDOG_SECS, RESTART_SECS = 20, 5  # the unit's WatchdogSec= and RestartSec=
# How the system goes down once the daemon has run poweroff (the login
# manager's word, then the service manager's).
SHUTDOWN_STEPS = ["The system will power off now!", "System is powering down.",
                  "Reached target poweroff.target - System Power Off.", "Shutting down."]
CHARGE_FULL = 5_000_000
FAKE_SUPPLY_DIR = "/kestro-fake-power-supply"
FAKE_SUPPLY_UNIT = f"""\
[Unit]
Description=Test power supplies over /sys/class/power_supply
DefaultDependencies=no
Before=sysinit.target kestro.service

[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=/bin/mount --bind {FAKE_SUPPLY_DIR} /sys/class/power_supply

[Install]
WantedBy=sysinit.target
"""
# The container shares the host's sysfs (read-only); udev must never write
# to it, so its daemon and coldplug stay off whatever the conditions say.
MASKED_UNITS = (
    "systemd-udevd.service",
    "systemd-udevd-control.socket",
    "systemd-udevd-kernel.socket",
    "systemd-udev-trigger.service",
    "systemd-udev-settle.service",
)
STATUS_DIR = "/run/kestro"
FATAL_SECOND_COPY = "kestro: fatal error: another kestro holds /run/kestro: Resource temporarily unavailable (os error 11)"

BUILD_TIMEOUT = 480
BOOT_TIMEOUT = 120
UNIT_TIMEOUT = 30
POWEROFF_TIMEOUT = 90

T = TypeVar("T")


LIBC = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNS = 0x00020000
MS_REC, MS_PRIVATE = 0x4000, 0x40000
PR_SET_PDEATHSIG = 1


def end_with_parent() -> None:
    """In a child, before it runs its program: SIGTERM when this test ends,
    however it ends (nspawn then halts the container in order)."""
    LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def private_mounts() -> None:
    """Moves this process into a mount namespace of its own, so that the
    overlay and mmdebstrap's mounts end with the test, however it ends."""
    if LIBC.unshare(CLONE_NEWNS) != 0 or LIBC.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) != 0:
        error = ctypes.get_errno()
        raise unittest.SkipTest(f"{SKIP_PREFIX}no mount namespace of its own: {os.strerror(error)}")


def remove_tree(path: Path) -> None:
    """Removes a folder of the test's, never through a mount inside it."""
    inside = str(path).rstrip("/") + "/"
    mounts = [line.split()[4] for line in Path("/proc/self/mountinfo").read_text().splitlines()]
    if any(mount == str(path) or mount.startswith(inside) for mount in mounts):
        raise AssertionError(f"{path} still holds a mount; left in place")
    shutil.rmtree(path, ignore_errors=True)


def run(command, timeout: float = 60, **options) -> subprocess.CompletedProcess:
    """Runs a command to its end and returns what it did, both streams as text."""
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout, preexec_fn=end_with_parent, **options)


def wait_for(what: str, probe: Callable[[], Optional[T]], timeout: float, details: Callable[[], str] = str) -> T:
    """Polls `probe` until it returns a true value, for at most `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"no {what} within {timeout} s\n{details()}")
        time.sleep(0.2)


# ---------------------------------------------------------------------------
# The root file system


def debian_sources() -> list[str]:
    """One-line apt entries for the Debian 12 suites that this machine's apt
    sources name (main only), in their order."""
    pairs: list[tuple[str, str]] = []
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        for stanza in re.split(r"\n\s*\n", Path(path).read_text()):
            fields: dict[str, list[str]] = {}
            for line in stanza.splitlines():
                if line and not line.startswith(("#", " ", "\t")):
                    key, _, value = line.partition(":")
                    fields[key.strip().lower()] = value.split()
            if "deb" in fields.get("types", []) and fields.get("enabled", ["yes"]) != ["no"]:
                pairs += [(uri, suite) for uri in fields.get("uris", []) for suite in fields.get("suites", [])]
    for path in ["/etc/apt/sources.list", *sorted(glob.glob("/etc/apt/sources.list.d/*.list"))]:
        if os.path.isfile(path):
            for line in Path(path).read_text().splitlines():
                words = re.sub(r"\[[^]]*\]", " ", line.split("#", 1)[0]).split()
                if len(words) >= 3 and words[0] == "deb":
                    pairs.append((words[1], words[2]))
    return [f"deb {uri} {suite} main" for uri, suite in dict.fromkeys(pairs) if suite in SUITES]


def cached_root(options: tuple[str, ...] = MMDEBSTRAP_OPTIONS, cache_name: str = "system-root") -> Path:
    """The container's root file system, made by mmdebstrap with `options`,
    from the build tree's cache folder `cache_name`, made first when the
    cache lacks it. Roots of other keys are removed."""
    sources = debian_sources()
    if not sources:
        raise unittest.SkipTest(SKIP_PREFIX + "the machine's apt sources name no Debian 12 (bookworm) suite")
    key = hashlib.sha256(json.dumps([SUITE, options, sources]).encode()).hexdigest()[:16]
    cache = BUILD_DIR / cache_name
    root = cache / key
    if root.is_dir():
        return root
    if cache.exists():
        remove_tree(cache)
    cache.mkdir(parents=True)
    partial = cache / f"{key}.partial"
    result = run(["mmdebstrap", *options, SUITE, str(partial), *sources], timeout=BUILD_TIMEOUT)
    if result.returncode != 0:
        remove_tree(partial)
        unreachable = UNREACHABLE.search(result.stderr)
        if unreachable:
            raise unittest.SkipTest(f"{SKIP_PREFIX}no cached root file system and no way to the Debian mirror "
                                    f"({unreachable.group(0)})")
        raise AssertionError(f"mmdebstrap failed ({result.returncode}):\n{result.stderr[-4000:]}")
    partial.rename(root)
    return root


def build_package(folder: Path) -> Path:
    """The .deb that CPack builds from the build tree."""
    result = run(["cpack", "--config", str(BUILD_DIR / "CPackConfig.cmake"), "-G", "DEB", "-B", str(folder)],
                 timeout=300)
    debs = list(folder.glob("*.deb"))
    if result.returncode != 0 or len(debs) != 1:
        raise AssertionError(f"cpack made {debs}:\n{result.stdout}\n{result.stderr}")
    return debs[0]


def private_network() -> list[str]:
    """A network of its own for the container, so that node_exporter's port
    is the container's; but only where its systemd can bring the loopback up,
    which takes CAP_NET_ADMIN (not so inside another container, where it
    shares that container's network instead)."""
    status = Path("/proc/self/status").read_text()
    effective = int(re.search(r"^CapEff:\s*([0-9a-f]+)$", status, re.M).group(1), 16)
    cap_net_admin = 12
    return ["--private-network"] if effective >> cap_net_admin & 1 else []


def check_can_boot() -> None:
    """Skips the tests where a container cannot be booted."""
    if os.geteuid() != 0:
        raise unittest.SkipTest(SKIP_PREFIX + "not root (mmdebstrap and systemd-nspawn --boot run as root)")
    for tool in ("mmdebstrap", "systemd-nspawn", "nsenter", "unshare", "journalctl", "cpack"):
        if shutil.which(tool) is None:
            raise unittest.SkipTest(f"{SKIP_PREFIX}{tool} is not installed (scripts/install-deps installs it)")
    probe = run(["unshare", "--mount", "--uts", "--ipc", "--pid", "--fork", "true"])
    if probe.returncode != 0:
        raise unittest.SkipTest(f"{SKIP_PREFIX}cannot create the namespaces systemd-nspawn needs: "
                                f"{probe.stderr.strip()}")


# ---------------------------------------------------------------------------
# The container


class Container:
    """One boot of the cached root under a throwaway overlay in `folder`."""

    def __init__(self, lower: Path, folder: Path):
        self.folder = folder
        self.root = folder / "root"
        self.name = f"kestro-test-{os.getpid()}"
        self.console = folder / "console.log"
        self.nspawn: Optional[subprocess.Popen] = None
        self.init_pid = 0
        self.mounted = False
        self.root.mkdir(parents=True)
        (folder / "upper").mkdir()
        (folder / "work").mkdir()
        overlay = run(["mount", "-t", "overlay", "overlay", "-o",
                       f"lowerdir={lower},upperdir={folder}/upper,workdir={folder}/work", str(self.root)])
        self.mounted = overlay.returncode == 0
        if not self.mounted:  # no overlay here: a copy does as well, a little slower
            copy = run(["cp", "-a", "--reflink=auto", f"{lower}/.", str(self.root)], timeout=300)
            if copy.returncode != 0:
                raise AssertionError(f"cannot copy the root file system:\n{copy.stderr}")

    def nspawn_command(self, *arguments: str) -> list[str]:
        command = ["systemd-nspawn", f"--directory={self.root}", f"--machine={self.name}", "--register=no"]
        if not os.path.isdir("/run/systemd/system"):  # this machine's PID 1 is not systemd
            command.append("--keep-unit")
        return command + list(arguments)

    def install(self, deb: Path) -> None:
        """Installs the package as an administrator would (which enables its
        unit), beside the test's configuration and fake power supplies."""
        etc = self.root / "etc"
        (etc / "kestro.toml").write_text(CONFIG)
        units = etc / "systemd" / "system"
        (units / "kestro-fake-power-supply.service").write_text(FAKE_SUPPLY_UNIT)
        (units / "sysinit.target.wants").mkdir(exist_ok=True)
        os.symlink("../kestro-fake-power-supply.service", units / "sysinit.target.wants" / "kestro-fake-power-supply.service")
        for unit in MASKED_UNITS:
            os.symlink("/dev/null", units / unit)
        (self.root / "var" / "log" / "journal").mkdir(exist_ok=True)  # a journal that outlives the boot
        shutil.copy(deb, self.root / "var" / "tmp" / "kestro.deb")
        result = run(self.nspawn_command("--quiet", "--", "/bin/sh", "-c",
                                         "dpkg -i /var/tmp/kestro.deb && rm /var/tmp/kestro.deb"),
                     timeout=120, env={"PATH": COMMAND_PATH})
        if result.returncode != 0:
            raise AssertionError(f"installing the package failed:\n{result.stdout}\n{result.stderr}")

    def boot(self, supplies: Path) -> None:
        self.supplies = supplies
        with open(self.console, "wb") as console:
            self.nspawn = subprocess.Popen(
                self.nspawn_command("--boot", "--console=read-only", *private_network(),
                                    f"--bind={supplies}:{FAKE_SUPPLY_DIR}"),
                stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT, preexec_fn=end_with_parent,
                env={"PATH": COMMAND_PATH, "TERM": "dumb"})
        self.init_pid = wait_for("container init", self.find_init, BOOT_TIMEOUT, self.console_tail)
        state = wait_for("finished boot", self.boot_state, BOOT_TIMEOUT, self.console_tail)
        if state not in ("running", "degraded"):
            raise AssertionError(f"the container's boot ended {state}:\n{self.console_tail()}")

    def reboot(self) -> None:
        self.nspawn.send_signal(signal.SIGTERM)  # the container halts in order
        self.wait_exit(60)
        self.boot(self.supplies)

    def find_init(self) -> int:
        """The host's PID of the container's PID 1: the child of nspawn that
        is PID 1 of a namespace other than this process's."""
        if self.nspawn.poll() is not None:
            raise AssertionError(f"systemd-nspawn ended ({self.nspawn.returncode}):\n{self.console_tail()}")
        for entry in os.listdir("/proc"):
            try:
                status = Path(f"/proc/{entry}/status").read_text()
            except OSError:
                continue
            fields = dict(line.split(":\t", 1) for line in status.splitlines() if ":\t" in line)
            if (fields.get("PPid") == str(self.nspawn.pid) and fields.get("NSpid", "").split()[-1:] == ["1"]
                    and self.namespaced(int(entry))):
                return int(entry)
        return 0

    @staticmethod
    def namespaced(pid: int) -> bool:
        """Whether a process lives in PID and mount namespaces other than
        this process's: the only kind that commands are sent into."""
        try:
            return all(os.readlink(f"/proc/{pid}/ns/{kind}") != os.readlink(f"/proc/self/ns/{kind}")
                       for kind in ("pid", "mnt"))
        except OSError:
            return False

    def boot_state(self) -> str:
        state = self.run("systemctl", "is-system-running").stdout.strip()
        return "" if state in ("", "offline", "initializing", "starting") else state

    def run(self, *command: str, timeout: float = 30) -> subprocess.CompletedProcess:
        """Runs a command inside the container: its namespaces, its root."""
        if not (self.running() and self.namespaced(self.init_pid)):
            raise AssertionError("the container is not running")
        return run(["nsenter", f"--target={self.init_pid}", "--all", "--root", "--wd", "--", *command],
                   timeout=timeout, env={"PATH": COMMAND_PATH, "LANG": "C.UTF-8", "SYSTEMD_PAGER": "",
                                         "SYSTEMD_COLORS": "0"})

    def unit(self, *properties: str) -> dict[str, str]:
        shown = self.run("systemctl", "show", UNIT, *(f"--property={p}" for p in properties)).stdout
        return dict(line.split("=", 1) for line in shown.splitlines() if "=" in line)

    def journal(self, *arguments: str) -> list[dict]:
        """The journal's entries (journalctl's JSON form): the live one
        while the container runs, the one on its disk afterwards."""
        if self.running():
            output = self.run("journalctl", "--no-pager", "--output=json", *arguments).stdout
        else:
            output = run(["journalctl", "--no-pager", "--output=json",
                          f"--directory={self.root}/var/log/journal", *arguments]).stdout
        entries = [json.loads(line) for line in output.splitlines() if line.strip()]
        for entry in entries:
            if isinstance(entry.get("MESSAGE"), list):  # not UTF-8: journalctl gives the bytes
                entry["MESSAGE"] = bytes(entry["MESSAGE"]).decode(errors="replace")
        return entries

    def running(self) -> bool:
        return self.nspawn is not None and self.nspawn.poll() is None

    def wait_exit(self, timeout: float) -> int:
        try:
            return self.nspawn.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the container still runs after {timeout} s:\n{self.console_tail()}") from None

    def console_tail(self, lines: int = 40) -> str:
        text = self.console.read_text(errors="replace") if self.console.exists() else ""
        return "console:\n" + "\n".join(text.splitlines()[-lines:])

    def close(self) -> None:
        if self.running():
            self.nspawn.send_signal(signal.SIGTERM)  # the container halts in order
            try:
                self.nspawn.wait(60)
            except subprocess.TimeoutExpired:
                if self.init_pid:
                    os.kill(self.init_pid, signal.SIGKILL)
                self.nspawn.kill()
                self.nspawn.wait(30)
        if self.mounted and run(["umount", str(self.root)]).returncode == 0:
            self.mounted = False
        remove_tree(self.folder)
        try:  # nspawn's empty folder for mounts into the machine, which it will not remove from a disk
            os.rmdir(f"/run/systemd/nspawn/propagate/{self.name}")
        except OSError:
            pass


def messages(entries: list[dict], identifier: str, pid: Optional[str] = None) -> list[str]:
    return [entry["MESSAGE"] for entry in entries
            if entry.get("SYSLOG_IDENTIFIER") == identifier and pid in (None, entry.get("_PID"))]


def in_order(lines: list[str], wanted: list[str]) -> list[str]:
    """The longest head of `wanted` found in `lines` in that order."""
    found, rest = [], iter(lines)
    for line in wanted:
        if line not in rest:
            break
        found.append(line)
    return found


def show(entries: list[dict]) -> str:
    return "journal:\n" + "\n".join(f"{e.get('SYSLOG_IDENTIFIER')}[{e.get('_PID')}] <{e.get('PRIORITY')}> "
                                    f"{e.get('MESSAGE')}" for e in entries[-60:])


# ---------------------------------------------------------------------------
# The udev rule, read the way udev matches it


RULE_PAIR = re.compile(r'\s*([A-Z_]+(?:\{[^}]*\})?)\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*,?')


def rule_lines(text: str) -> list[list[tuple[str, str, str]]]:
    """The rule file's rules, each as its (key, operator, value) triples."""
    rules = []
    for line in text.replace("\\\n", "").splitlines():
        if line.strip() and not line.lstrip().startswith("#"):
            pairs = RULE_PAIR.findall(line)
            if RULE_PAIR.sub("", line).strip():
                raise AssertionError(f"cannot read the rule {line!r}")
            rules.append(pairs)
    return rules


def device_properties(name: str, type_: str) -> dict[str, str]:
    """What udev knows of a power supply being added, keyed as rules name it."""
    return {"ACTION": "add", "SUBSYSTEM": "power_supply", "KERNEL": name, "ATTR{type}": type_,
            "ENV{POWER_SUPPLY_NAME}": name, "ENV{POWER_SUPPLY_TYPE}": type_}


def wanted_units(rules: list[list[tuple[str, str, str]]], device: dict[str, str]) -> tuple[set[str], set[str]]:
    """The units a device's event makes systemd start, and the tags it gets:
    every rule whose match keys all hold adds its assignments."""
    wants: set[str] = set()
    tags: set[str] = set()
    for rule in rules:
        matches = [(key, op, value) for key, op, value in rule if op in ("==", "!=")]
        if any(key not in device for key, _, _ in matches):
            unknown = [key for key, _, _ in matches if key not in device]
            raise AssertionError(f"the rule matches on {unknown}, which this check does not model")
        if all(any(fnmatch.fnmatchcase(device[key], pattern) for pattern in value.split("|")) == (op == "==")
               for key, op, value in matches):
            for key, op, value in rule:
                if key == "ENV{SYSTEMD_WANTS}" and op in ("+=", "=", ":="):
                    wants |= set(value.split())
                elif key == "TAG" and op in ("+=", "=", ":="):
                    tags.add(value)
    return wants, tags


# ---------------------------------------------------------------------------


class BootedSystemTest(unittest.TestCase):
    """One boot, its story told in the order of the test names; a test that
    needs the daemon running starts it when an earlier one left it stopped."""

    container: Container
    machine: Machine
    battery: Device

    @classmethod
    def setUpClass(cls):
        check_can_boot()
        private_mounts()
        lower = cached_root()
        folder = Path(tempfile.mkdtemp(prefix="kestro-system-"))
        cls.addClassCleanup(remove_tree, folder)
        deb = build_package(folder / "cpack")
        cls.machine = Machine()
        cls.addClassCleanup(cls.machine.close)
        cls.machine.add_adapter("AC", online=0)
        cls.container = Container(lower, folder / "container")
        cls.addClassCleanup(cls.container.close)
        cls.container.install(deb)
        cls.container.boot(cls.machine.host_path("/sys/class/power_supply"))

    def unit_settled(self) -> dict[str, str]:
        """The unit's state once it neither starts nor runs."""
        def settled():
            state = self.container.unit("ActiveState", "SubState", "Result", "ExecMainCode", "ExecMainStatus",
                                        "NRestarts", "MainPID", "UnitFileState")
            return state if state.get("ActiveState") in ("inactive", "failed") else None
        return wait_for("stopped kestro.service", settled, UNIT_TIMEOUT, lambda: show(self.container.journal("-u", UNIT)))

    def daemon_running(self, other_than: str = "0", timeout: float = UNIT_TIMEOUT) -> dict[str, str]:
        """The unit's state once a daemon other than `other_than` runs and
        has reached its cycles."""
        def running():
            state = self.container.unit("ActiveState", "SubState", "MainPID", "NRestarts")
            pid = state.get("MainPID", "0")
            if state.get("ActiveState") in ("inactive", "failed"):
                raise AssertionError(f"{UNIT} is {state['ActiveState']}\n{show(self.container.journal('-u', UNIT))}")
            if state.get("ActiveState") != "active" or pid in ("0", other_than):
                return None
            started = "Info: Running." in messages(self.container.journal("-u", UNIT), "kestro", pid)
            return state if started else None
        return wait_for("running kestro", running, timeout, lambda: show(self.container.journal("-u", UNIT)))

    def service_running(self) -> dict[str, str]:
        """The running daemon's unit state, the unit started first when an
        earlier test left it stopped."""
        if self.container.unit("ActiveState")["ActiveState"] in ("inactive", "failed"):
            self.container.run("systemctl", "start", UNIT)
        return self.daemon_running()

    def status_file(self, name: str) -> str:
        return self.container.run("cat", f"{STATUS_DIR}/{name}").stdout

    def test_1_without_a_battery_the_daemon_stops_with_status_0_and_stays_stopped(self):
        state = self.unit_settled()
        journal = self.container.journal("-u", UNIT)
        evidence = show(journal)
        self.assertEqual(messages(journal, "kestro")[-1:], ["Info: Init: This system does not use batteries, stopping."],
                         evidence)
        self.assertEqual((state["ActiveState"], state["SubState"], state["Result"]), ("inactive", "dead", "success"),
                         evidence)
        self.assertEqual((state["ExecMainCode"], state["ExecMainStatus"]), ("1", "0"), "exited with status 0")
        self.assertEqual(state["NRestarts"], "0", evidence)
        self.assertFalse([m for m in messages(journal, "systemd") if "restart" in m.lower()], evidence)
        self.assertEqual(state["UnitFileState"], "enabled", "the package enables the unit")

    def test_2_the_udev_rule_wants_the_service_when_a_battery_is_added(self):
        listed = self.container.run("dpkg", "-L", "kestro").stdout.split()
        rules = [path for path in listed if re.search(r"/rules\.d/[^/]+\.rules$", path)]
        self.assertEqual(len(rules), 1, f"the package's udev rules: {rules}")
        rule_name = os.path.basename(rules[0])

        # udev's own parser reads the rule without a complaint (a real
        # device, since udevadm refuses the fake ones outside sysfs).
        parsed = self.container.run("udevadm", "test", "--action=add", "/sys/class/mem/null")
        log = parsed.stdout + parsed.stderr
        self.assertRegex(log, rf"Reading rules file: \S*/{re.escape(rule_name)}\n")
        self.assertNotRegex(log, rf"\S*/{re.escape(rule_name)}:\d+", "udev complains about the rule")

        rules_text = self.container.run("cat", rules[0]).stdout
        parsed_rules = rule_lines(rules_text)
        for name, type_, wanted in [
            ("BAT0", "Battery", True),
            ("BAT8", "Battery", True),
            ("BAT9", "Battery", False),
            ("BAT1", "UPS", False),
            ("AC", "Mains", False),
        ]:
            with self.subTest(device=name, type=type_):
                wants, tags = wanted_units(parsed_rules, device_properties(name, type_))
                # systemd heeds SYSTEMD_WANTS only on devices tagged for it.
                self.assertEqual(UNIT in wants and "systemd" in tags, wanted, rules_text)

    def test_3_a_battery_that_appears_after_boot_gets_a_running_daemon(self):
        # The battery appears; systemd starts what the device's SYSTEMD_WANTS
        # names once it sees the device, which needs udev's event.
        self.battery = type(self).battery = self.machine.add_battery("BAT0", charge_full=CHARGE_FULL,
                                                                     charge_now=4_000_000)
        started = self.container.run("systemctl", "start", UNIT)
        self.assertEqual(started.returncode, 0, started.stderr)
        state = self.daemon_running()
        journal = self.container.journal("-u", UNIT)
        lines = messages(journal, "kestro", state["MainPID"])
        self.assertIn("Info: Init: Found battery: '/sys/class/power_supply/BAT0'", lines, show(journal))
        wait_for("battery_percent of 80", lambda: self.status_file("battery_percent") == "80\n", UNIT_TIMEOUT)

    def test_4_crashes_and_signals_restart_the_daemon_and_never_fail_it_for_good(self):
        # A crash, a plain kill by hand, and a kill no process can catch.
        ends = ["SEGV", "TERM", "KILL"]
        state = self.daemon_running()
        before = int(state["NRestarts"])
        for name in ends:
            pid = state["MainPID"]
            killed = self.container.run("/bin/sh", "-c", 'kill -s "$0" "$1"', name, pid)
            self.assertEqual(killed.returncode, 0, killed.stderr)
            state = self.daemon_running(other_than=pid)
        # Starts in quick succession, one more than systemd's default start
        # limit lets through, as a start-up fault that lasts would cause.
        for _ in range(6):
            restarted = self.container.run("systemctl", "restart", UNIT)
            self.assertEqual(restarted.returncode, 0, restarted.stderr)
        self.daemon_running(other_than=state["MainPID"])

        journal = self.container.journal("-u", UNIT)
        evidence = show(journal)
        manager = messages(journal, "systemd")
        counters = [f"{UNIT}: Scheduled restart job, restart counter is at {n}."
                    for n in range(before + 1, before + len(ends) + 1)]
        self.assertEqual(in_order(manager, counters), counters, evidence)
        # The manager names each crash; a TERM is an orderly end to it, though
        # not its own stop, so it only shows in the restart.
        for name in set(ends) - {"TERM"}:
            number = signal.Signals[f"SIG{name}"].value
            self.assertEqual(sum(f"status={number}/{name}" in m for m in manager), ends.count(name), evidence)
        self.assertFalse([m for m in manager if "too quickly" in m or "start-limit" in m], evidence)

    def test_5_a_second_copy_is_refused_and_the_service_runs_on(self):
        service = self.service_running()
        second = self.container.run("timeout", "5", "/usr/sbin/kestro")
        self.assertEqual(second.returncode, 101, second.stdout + second.stderr)
        self.assertIn(FATAL_SECOND_COPY, second.stderr.splitlines())
        # The service's cycles go on: it publishes a change made afterwards.
        self.battery.set("charge_now", 3_900_000)
        wait_for("battery_percent of 78", lambda: self.status_file("battery_percent") == "78\n", UNIT_TIMEOUT)
        after = self.container.unit("ActiveState", "MainPID", "NRestarts")
        self.assertEqual((after["ActiveState"], after["MainPID"], after["NRestarts"]),
                         ("active", service["MainPID"], service["NRestarts"]))

    def test_6_in_its_sandbox_only_the_status_directory_is_writable_under_run_and_no_privilege_is_left(self):
        pid = self.service_running()["MainPID"]
        # Write probes as root with every capability, from the daemon's mount
        # namespace: into the named folders and at every mount point under
        # /run (what a path reaches, so a mount hidden under another counts
        # as the one on top). A folder gets a file made and removed; a file
        # is asked for write access, which a read-only mount refuses.
        mounts = self.container.run("cat", f"/proc/{pid}/mountinfo").stdout.splitlines()
        paths = ["/run", "/run/lock", "/run/systemd", STATUS_DIR]
        paths += [p for p in (line.split()[4] for line in mounts) if re.match(r"/run/", p) and p not in paths]
        script = ('for p in "$@"; do if [ -d "$p" ]; then (: > "$p/.kestro-write-probe") 2>/dev/null && '
                  'rm -f "$p/.kestro-write-probe" && echo "$p yes" || echo "$p no"; '
                  'elif [ -w "$p" ]; then echo "$p yes"; else echo "$p no"; fi; done')
        probed = self.container.run("nsenter", f"--target={pid}", "--mount", "--", "/bin/sh", "-c", script, "sh",
                                    *paths)
        writable = dict(line.rsplit(" ", 1) for line in probed.stdout.splitlines())
        self.assertEqual(set(writable), set(paths), probed.stderr)
        self.assertEqual([p for p in paths if writable[p] == "yes"], [STATUS_DIR], "writable under /run")

        status = dict(line.split(":", 1) for line in self.container.run("cat", f"/proc/{pid}/status").stdout.splitlines())
        privileges = {key: status[key].strip() for key in ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb", "NoNewPrivs")}
        self.assertEqual(privileges, dict.fromkeys(("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"), "0" * 16)
                         | {"NoNewPrivs": "1"})

    def test_6b_a_hung_daemon_is_killed_by_the_watchdog_and_started_again(self):
        state = self.service_running()
        stopped = time.monotonic()
        self.container.run("/bin/sh", "-c", 'kill -s STOP "$0"', state["MainPID"])
        after = self.daemon_running(other_than=state["MainPID"], timeout=WATCHDOG_SECS + RESTART_SECS + UNIT_TIMEOUT)
        journal = self.container.journal("-u", UNIT)
        self.assertLess(time.monotonic() - stopped, WATCHDOG_SECS + RESTART_SECS + 10, show(journal))
        self.assertEqual(int(after["NRestarts"]), int(state["NRestarts"]) + 1)
        self.assertIn(f"{UNIT}: Watchdog timeout (limit {WATCHDOG_SECS}s)!", messages(journal, "systemd"), show(journal))

    def test_6c_systemctl_status_shows_the_status_line_and_follows_the_battery(self):
        self.service_running()
        shown = lambda: self.container.run("systemctl", "status", "--no-pager", UNIT).stdout  # noqa: E731
        for charge_now, line in ((3_900_000, "Battery 78.0%, Discharging, shutdown in "),
                                 (3_500_000, "Battery 70.0%, Discharging, shutdown in ")):
            self.battery.set("charge_now", charge_now)
            wait_for(line, lambda: f'Status: "{line}' in shown(), UNIT_TIMEOUT, shown)

    def test_6h_the_history_grows_in_the_state_directory_outlasts_a_restart_and_a_reboot_and_users_draw_it(self):
        state = self.service_running()
        history = lambda: self.container.run("/bin/sh", "-c", "cat /var/lib/kestro/*.history").stdout  # noqa: E731
        wait_for("a sample in the history", lambda: "\nS " in history(), UNIT_TIMEOUT, history)
        before = history()
        self.container.run("systemctl", "restart", UNIT)
        self.daemon_running(other_than=state["MainPID"])
        wait_for("a second start", lambda: history().count(" start ") > before.count(" start "), UNIT_TIMEOUT,
                 history)
        self.assertTrue(history().startswith(before), "what was kept is never rewritten")
        before = history()
        self.container.reboot()
        self.daemon_running()
        wait_for("a start after the reboot", lambda: history().count(" start ") > before.count(" start "),
                 UNIT_TIMEOUT, history)
        self.assertTrue(history().startswith(before), "the reboot kept the history")
        drawn = {options: self.container.run("runuser", "-u", "nobody", "--", "kestro-status", *options.split())
                 for options in ("--history", "--history --format svg", "--health")}
        for options, done in drawn.items():
            self.assertEqual((done.returncode, bool(done.stdout.strip())), (0, True), f"{options}: {done.stderr}")
        self.assertTrue(drawn["--history --format svg"].stdout.startswith(("<svg", "<?xml")))

    def test_6p_node_exporter_serves_kestros_metrics_through_the_example_unit_enabled_as_the_readme_says(self):
        self.service_running()
        readme = (SOURCE_ROOT / "README.md").read_text()
        for command in re.findall(r"^    sudo (.*kestro-status-prometheus.*)$", readme, re.M):
            done = self.container.run("/bin/sh", "-c", command.replace("/usr/local/", "/usr/"))
            self.assertEqual(done.returncode, 0, f"{command}\n{done.stderr}")

        def scrape(wanted: str) -> Optional[str]:
            text = run(["nsenter", f"--target={self.container.init_pid}", "--net", "curl", "-sf",
                        "http://localhost:9100/metrics"]).stdout
            return text if f"\n{wanted}\n" in text and "\nnode_textfile_scrape_error 0\n" in text else None
        journal = lambda: show(self.container.journal("-u", "kestro-status-prometheus"))  # noqa: E731
        text = wait_for("kestro's metrics", lambda: scrape("kestro_status_stale 0"), UNIT_TIMEOUT, journal)
        self.assertRegex(text, r"\nkestro_battery_percent \d")
        self.container.run("systemctl", "stop", UNIT)
        wait_for("kestro_status_stale 1", lambda: scrape("kestro_status_stale 1"), UNIT_TIMEOUT, journal)
        shown = self.container.run("systemctl", "show", "kestro-status-prometheus", "--property=NRestarts").stdout
        self.assertEqual(shown, "NRestarts=0\n", journal())

    def test_7_a_low_battery_powers_the_container_off_in_order_under_the_unit_as_shipped(self):
        state = self.service_running()
        # The unit as shipped: no drop-in, and every file of the package as
        # its checksums say.
        self.assertEqual(self.container.unit("DropInPaths")["DropInPaths"], "")
        verified = self.container.run("dpkg", "--verify", "kestro")
        self.assertEqual((verified.returncode, verified.stdout), (0, ""), verified.stderr)

        self.battery.set("charge_now", 500_000)
        code = self.container.wait_exit(POWEROFF_TIMEOUT)
        journal = self.container.journal()
        evidence = show(journal) + "\n" + self.container.console_tail()
        self.assertEqual(code, 0, evidence)
        lines = messages(journal, "kestro", state["MainPID"])
        # The attempt, the login manager's refusal (which systemctl logs
        # straight to the journal, under its own name), the reason and the
        # poweroff.
        self.assertEqual(lines[-5:-2], ATTEMPT, evidence)
        self.assertTrue(lines[-2].startswith(FALLBACK), evidence)
        self.assertEqual(lines[-1], ANNOUNCEMENT[-1], evidence)
        told = [(entry.get("SYSLOG_IDENTIFIER"), entry["MESSAGE"]) for entry in journal]
        between = told[told.index(("kestro", ATTEMPT[-1])) + 1:told.index(("kestro", lines[-2]))]
        self.assertEqual([message for name, message in between if name == "systemctl"], [LOGIN_MANAGER_REFUSAL],
                         evidence)
        self.assertIn("Powering off.", self.container.console_tail(), evidence)
        # After the announcement the system goes down the usual way, and
        # the service is not started again.
        order = [entry.get("MESSAGE") for entry in journal]
        after = order[max(i for i, message in enumerate(order) if message == ANNOUNCEMENT[-1]):]
        self.assertEqual(in_order(after, SHUTDOWN_STEPS), SHUTDOWN_STEPS, evidence)
        self.assertIn(f"{UNIT}: Deactivated successfully.", after, evidence)
        self.assertFalse([m for m in after if "Scheduled restart job" in m or f"Starting {UNIT}" in m], evidence)

    def test_8_the_journal_shows_the_shutdown_announcement_as_a_warning_or_worse(self):
        journal = self.container.journal("-u", UNIT)
        evidence = show(journal)
        warnings = messages(self.container.journal("--priority=warning", "-u", UNIT), "kestro")
        for line in ANNOUNCEMENT:
            self.assertIn(line, warnings, evidence)
        lines = messages(journal, "kestro")
        # The container has no sensor chip: that line is a notice, below the warnings.
        self.assertEqual([line for line in warnings if line.startswith("Warning: ")],
                         [line for line in lines if line.startswith("Warning: ") and line != NO_SENSOR_CHIP], evidence)
        self.assertFalse([line for line in warnings if line.startswith(("Info: ", "kestro version"))], evidence)
        self.assertFalse([line for line in lines if line.startswith("<")], "the level prefix is left in the message")
        critical = {entry["MESSAGE"] for entry in journal if entry.get("PRIORITY") == "2"}
        self.assertLessEqual(set(ANNOUNCEMENT), critical, evidence)
        self.assertTrue([line for line in critical if line.startswith(FALLBACK)], evidence)


if __name__ == "__main__":
    unittest.main()
