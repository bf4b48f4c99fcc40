#!/usr/bin/python3 -IS
"""Stand-in for the system's power commands inside an end-to-end sandbox.

The harness installs two copies per machine: the fake `poweroff` (with the
fake `systemctl` as a second name of the same file) that comes first in the
daemon's PATH, and the mask that is bind-mounted over every real poweroff,
shutdown, reboot, halt and systemctl. Both only record how they were run
(arguments, environment, open descriptors beyond the standard three,
capabilities) as one JSON file per run, and then end the way the test chose
for the name they were run by, or for all: an exit code, or death by a
signal. Nothing here touches the machine. The fake systemctl can also
block for good, or "sleep" first: add seconds to the file whose time asleep
the clock shim adds to the daemon's CLOCK_BOOTTIME.
"""
import json
import os
import signal
import sys

MASKED = False  # the harness sets this in the mask's copy
STATE_DIR = "@STATE_DIR@"  # the harness fills this in


def open_descriptors():
    """Descriptors beyond the standard three, with what they lead to (the
    listing's own descriptor is closed by the time it is looked at)."""
    fds = []
    for name in os.listdir("/proc/self/fd"):
        fd = int(name)
        if fd > 2:
            try:
                fds.append((fd, os.readlink(f"/proc/self/fd/{fd}")))
            except FileNotFoundError:
                pass
    return sorted(fds)


def environment():
    """The environment as the command received it: Python adds LC_CTYPE to
    os.environ under the C locale, so the kernel's copy is the one to trust."""
    try:
        with open("/proc/self/environ", "rb") as environ:
            entries = environ.read().split(b"\0")
    except OSError:
        return dict(os.environ)
    env = {}
    for entry in entries:
        if entry:
            key, _, value = entry.partition(b"=")
            env[os.fsdecode(key)] = os.fsdecode(value)
    return env


def capabilities():
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("CapEff:"):
                    return int(line.split()[1], 16)
    except OSError:
        pass
    return None


def record():
    calls = os.path.join(STATE_DIR, "calls")
    entry = {
        "argv": [os.fsdecode(arg) for arg in sys.argv],
        "env": environment(),
        "masked": MASKED,
        "open_fds": open_descriptors(),
        "capabilities": capabilities(),
        "uid": os.getuid(),
    }
    # Written whole before it gets its number: a test may look while a fake runs.
    written = os.path.join(STATE_DIR, f"call-{os.getpid()}.json")
    with open(written, "w", encoding="utf-8", errors="surrogateescape") as out:
        json.dump(entry, out)
    number = 1
    while True:
        try:
            os.link(written, os.path.join(calls, f"{number:06d}.json"))
            break
        except FileExistsError:
            number += 1
    os.unlink(written)


def behaviour():
    try:
        with open(os.path.join(STATE_DIR, "behaviour.json"), encoding="utf-8") as file:
            return json.load(file)
    except (OSError, ValueError):
        return {"exit": 0}


def main():
    record()
    chosen = behaviour()
    chosen = chosen.get(os.path.basename(sys.argv[0]), chosen)
    if chosen.get("asleep"):
        asleep = os.path.join(STATE_DIR, "asleep")
        before = int(open(asleep).read()) if os.path.exists(asleep) else 0
        with open(asleep, "w") as out:
            out.write(str(before + chosen["asleep"]))
    while chosen.get("block"):
        signal.pause()
    if chosen.get("signal") is not None:
        number = int(chosen["signal"])
        if number not in (signal.SIGKILL, signal.SIGSTOP):
            signal.signal(number, signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, [number])
        os.kill(os.getpid(), number)
    return int(chosen.get("exit", 0))


if __name__ == "__main__":
    sys.exit(main())
