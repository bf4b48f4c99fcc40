"""A desktop session's bus in miniature, for `kestro-status --notify`: a
private session bus (Debian's dbus-daemon, with a configuration of its own
that can start no service), the recording notification server
(notification_server.c), and kestro-status --notify --json watching a status
directory. The notifier's JSON line for a status says that it has made every
call that status asked for, so a test (or the demo) knows when to look at
what the server recorded. Used by test_notify and scripts/kestro_demo.py."""

from __future__ import annotations

import dataclasses
import json
import math
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Optional

from kestro_sandbox import HarnessError, helper_binary, kestro_binary

TIMEOUT = float(os.environ.get("KESTRO_E2E_TIMEOUT", "5"))
BUS_CONFIG = """<busconfig><type>session</type><listen>unix:dir={folder}</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
</policy></busconfig>"""
URGENCY = {1: "normal", 2: "critical"}


@dataclasses.dataclass(frozen=True)
class Call:
    """One call the server received."""

    member: str  # "Notify" or "CloseNotification"
    id: int
    replaces_id: int = 0
    urgency: int = -1
    app_name: str = ""
    icon: str = ""
    summary: str = ""
    body: str = ""

    @classmethod
    def parse(cls, line: str) -> "Call":
        member, id, *rest = line.split("\t")
        if member == "CloseNotification":
            return cls(member, int(id))
        replaces, urgency, app, icon, summary, body = rest
        return cls(member, int(id), int(replaces), int(urgency), app, icon, summary, body)

    def __str__(self) -> str:
        """As the demo shows it: "#2 updated, critical: Battery low: ..."."""
        if self.member == "CloseNotification":
            return f"#{self.id} withdrawn"
        how = ("new" if not self.replaces_id else
               "updated" if self.replaces_id == self.id else f"replaces #{self.replaces_id}")
        text = self.summary + (f" ({self.body})" if self.body else "")
        return f"#{self.id} {how}, {URGENCY.get(self.urgency, self.urgency)}: {text}"


class Lines:
    """The lines a process writes on its standard output."""

    def __init__(self, process: subprocess.Popen):
        self.process = process
        self.buffer = b""

    def next(self, timeout: float) -> Optional[str]:
        """The next line, or None when none comes within the timeout."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = max(0.0, deadline - time.monotonic())
            if not select.select([self.process.stdout], [], [], left)[0]:
                return None
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                return None
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line.decode()


def problem() -> Optional[str]:
    """None when a session can be made here; otherwise what is missing."""
    if shutil.which("dbus-daemon") is None:
        return "dbus-daemon (Debian package dbus-daemon) is not installed"
    return None


def stop(process: Optional[subprocess.Popen], number: Optional[int] = signal.SIGTERM) -> tuple[Optional[int], str]:
    """Ends a process (if it still runs): its exit status and standard error.
    With no signal number, waits for it to end by itself (up to the timeout)."""
    if process is None:
        return None, ""
    if number is not None and process.poll() is None:
        process.send_signal(number)
    try:
        _, error = process.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        _, error = process.communicate()
    return process.returncode, (error or b"").decode()


def matches(record: dict, files: dict[str, Optional[str]]) -> bool:
    """Whether kestro-status's JSON holds these file contents (without their
    newlines; None: absent), inf and NaN being null there."""
    def value(name: str, text: Optional[str]):
        number = None if text is None or name.endswith("_status") else float(text)
        return text if number is None else number if math.isfinite(number) else None

    return all(record[name] == value(name, text) for name, text in files.items())


class DesktopSession:
    """The private bus, the recording server and the notifier. A context
    manager; close() ends all three."""

    def __init__(self):
        self.folder = Path(tempfile.mkdtemp(prefix="kestro-session-"))
        config = self.folder / "bus.conf"
        config.write_text(BUS_CONFIG.format(folder=self.folder))
        self.bus = subprocess.Popen(["dbus-daemon", f"--config-file={config}", "--nofork", "--print-address"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.server: Optional[subprocess.Popen] = None
        self.server_lines: Optional[Lines] = None
        self.notifier: Optional[subprocess.Popen] = None
        self.notifier_lines: Optional[Lines] = None
        self.last_files: Optional[dict] = None
        self.unread: list[Call] = []
        address = Lines(self.bus).next(TIMEOUT)
        if not address:
            self.close()
            raise HarnessError("dbus-daemon gave no address")
        self.env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address)

    def start_server(self) -> None:
        self.server = subprocess.Popen([helper_binary("notification_server")], env=self.env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.server_lines = Lines(self.server)
        ready = self.server_lines.next(TIMEOUT)
        if not (ready or "").startswith("ready\t"):
            raise HarnessError(f"the notification server did not start: {ready!r}")

    def stop_server(self) -> None:
        """Ends the server; what it recorded stays for calls()."""
        self.unread += self.calls()
        process, self.server, self.server_lines = self.server, None, None
        stop(process)

    def start_notifier(self, directory: Path, *options: str) -> None:
        """kestro-status --notify --json on the directory, with these options;
        returns once it has read the directory a first time."""
        command = str(Path(kestro_binary()).parent / "kestro-status")
        self.notifier = subprocess.Popen([command, "--notify", "--json", "--dir", str(directory), *options],
                                         env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE)
        self.notifier_lines = Lines(self.notifier)
        if self.notifier_lines.next(TIMEOUT) is None:
            raise HarnessError("kestro-status --notify wrote nothing: " + self.stop_notifier()[1])

    def stop_notifier(self, number: Optional[int] = signal.SIGTERM) -> tuple[Optional[int], str]:
        """Ends the notifier (no number: waits for it to end by itself): its
        exit status and standard error."""
        process, self.notifier = self.notifier, None
        return stop(process, number)

    def settle(self, files: dict[str, Optional[str]]) -> None:
        """Waits until the notifier has handled the status these files hold."""
        if files == self.last_files:
            return
        self.last_files = dict(files)
        while (line := self.notifier_lines.next(TIMEOUT)) is not None:
            if matches(json.loads(line), files):
                return
        raise HarnessError(f"kestro-status --notify did not report {files}")

    def calls(self, wait_for: int = 0) -> list[Call]:
        """The calls the server has received since the last look; waits for
        at least `wait_for` of them (up to the timeout)."""
        found, self.unread = self.unread, []
        while self.server_lines is not None:
            line = self.server_lines.next(TIMEOUT if len(found) < wait_for else 0)
            if line is None:
                break
            found.append(Call.parse(line))
        return found

    def close(self) -> None:
        for process in (self.notifier, self.server, self.bus):
            stop(process)
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self) -> "DesktopSession":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
