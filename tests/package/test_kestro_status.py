"""The example status reader, examples/kestro-status, against scratch status
directories: the one-line summary for each kind of content, absent files,
stale files, and where it looks. Run by each POSIX shell at hand."""

import os
import shutil
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

SOURCE_ROOT = Path(__file__).resolve().parent.parent.parent
READER = SOURCE_ROOT / "examples" / "kestro-status"
SHELLS = [shell for shell in (["/bin/sh"], ["/bin/dash"], ["/bin/bash", "--posix"], ["/bin/busybox", "sh"])
          if os.access(shell[0], os.X_OK)]
# Fresh files must not count as stale, however slow the machine.
NEVER_STALE = str(10**9)

CHARGING = {"ac_status": "Connected", "battery_percent": "57.142857142857146", "battery_status": "Charging",
            "secs_until_battery_full": "1500.4", "secs_until_shutdown_request": "33071.9"}
DISCHARGING = {"ac_status": "Disconnected", "battery_percent": "43.21", "battery_status": "Discharging",
               "secs_until_battery_full": "12000", "secs_until_shutdown_request": "7500"}

# (name, files, expected line)
SUMMARIES = [
    ("charging", CHARGING, "Connected, 57.1%, Charging, full in 0:25"),
    ("discharging", DISCHARGING, "Disconnected, 43.2%, Discharging, shutdown in 2:05"),
    ("slow charger", dict(DISCHARGING, ac_status="Connected slow"),
     "Connected slow, 43.2%, Discharging, shutdown in 2:05"),
    ("whole percentage", dict(CHARGING, battery_percent="50"), "Connected, 50.0%, Charging, full in 0:25"),
    ("minutes round to the nearest", dict(CHARGING, secs_until_battery_full="7170"),
     "Connected, 57.1%, Charging, full in 2:00"),
    ("a long way to go", dict(DISCHARGING, secs_until_shutdown_request="200000"),
     "Disconnected, 43.2%, Discharging, shutdown in 55:33"),
    ("full", dict(CHARGING, battery_percent="100", battery_status="Full", secs_until_battery_full="0"),
     "Connected, 100.0%, Full"),
    ("target reached while charging", dict(CHARGING, secs_until_battery_full="0"), "Connected, 57.1%, Charging"),
    ("shutdown starting", dict(DISCHARGING, battery_percent="4.47", secs_until_shutdown_request="0"),
     "Disconnected, 4.5%, Discharging, shutting down"),
    ("not charging", dict(CHARGING, battery_status="Not charging", secs_until_shutdown_request="inf"),
     "Connected, 57.1%, Not charging"),
    ("no draw: infinite estimate", dict(CHARGING, secs_until_battery_full="inf"), "Connected, 57.1%, Charging"),
    ("negative estimate", dict(DISCHARGING, secs_until_shutdown_request="-30"), "Disconnected, 43.2%, Discharging"),
    ("percentage not a number", dict(CHARGING, battery_percent="NaN"), "Connected, NaN%, Charging, full in 0:25"),
    ("unknown battery", dict(CHARGING, battery_status="Unknown"), "Connected, 57.1%, Unknown"),
    # Files that no cycle has written yet do not exist.
    ("no adapter status", {k: v for k, v in DISCHARGING.items() if k != "ac_status"},
     "43.2%, Discharging, shutdown in 2:05"),
    ("no percentage yet", {k: v for k, v in CHARGING.items() if k != "battery_percent"},
     "Connected, Charging, full in 0:25"),
    ("no estimates", {"ac_status": "Connected", "battery_percent": "80", "battery_status": "Charging"},
     "Connected, 80.0%, Charging"),
    ("adapter only", {"ac_status": "Disconnected"}, "Disconnected"),
]


class KestroStatusTest(unittest.TestCase):
    def directory(self, files: dict[str, str]) -> Path:
        folder = Path(tempfile.mkdtemp(prefix="kestro-status-test-"))
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        for name, value in files.items():
            (folder / name).write_text(value + "\n")
        return folder

    def read(self, shell, *args, env=None) -> subprocess.CompletedProcess:
        environment = {"PATH": "/usr/bin:/bin", "KESTRO_STATUS_MAX_AGE": NEVER_STALE}
        environment.update(env or {})
        return subprocess.run(shell + [str(READER), *args], capture_output=True, text=True,
                              env=environment, stdin=subprocess.DEVNULL)

    def test_summaries(self):
        for shell in SHELLS:
            for name, files, expected in SUMMARIES:
                with self.subTest(shell=shell[0], case=name):
                    result = self.read(shell, str(self.directory(files)))
                    self.assertEqual((result.stdout, result.stderr, result.returncode), (expected + "\n", "", 0))

    def test_no_status_at_all(self):
        empty = self.directory({})
        hidden_only = self.directory({".ac_status": "Connected"})  # a temporary name, not a status file
        for shell in SHELLS:
            for folder in (empty, empty / "missing", hidden_only):
                with self.subTest(shell=shell[0], folder=folder.name):
                    result = self.read(shell, str(folder))
                    self.assertEqual((result.stdout, result.returncode), ("", 1))
                    self.assertEqual(result.stderr, f"kestro-status: no status in {folder} (is kestro running?)\n")

    def test_stale_when_nothing_changed_for_the_maximum_age(self):
        folder = self.directory(CHARGING)
        an_hour_ago = time.time() - 3600
        for name in CHARGING:
            os.utime(folder / name, (an_hour_ago, an_hour_ago))
        expected = "Connected, 57.1%, Charging, full in 0:25"
        for shell in SHELLS:
            with self.subTest(shell=shell[0]):
                stale = self.read(shell, str(folder), env={"KESTRO_STATUS_MAX_AGE": "10"})
                self.assertEqual(stale.stdout, expected + " (stale)\n")
                # One recent file is enough: kestro runs, some values are just unknown now.
                os.utime(folder / "ac_status")
                fresh = self.read(shell, str(folder), env={"KESTRO_STATUS_MAX_AGE": "600"})
                self.assertEqual(fresh.stdout, expected + "\n")
                os.utime(folder / "ac_status", (an_hour_ago, an_hour_ago))

    def test_where_it_looks(self):
        charging = self.directory(CHARGING)
        discharging = self.directory(DISCHARGING)
        shell = SHELLS[0]
        by_variable = self.read(shell, env={"KESTRO_STATUS_DIR": str(charging)})
        self.assertEqual(by_variable.stdout, "Connected, 57.1%, Charging, full in 0:25\n")
        argument_first = self.read(shell, str(discharging), env={"KESTRO_STATUS_DIR": str(charging)})
        self.assertEqual(argument_first.stdout, "Disconnected, 43.2%, Discharging, shutdown in 2:05\n")
        default = self.read(shell, env={"KESTRO_STATUS_DIR": ""})
        if not os.path.isdir("/run/kestro"):
            self.assertEqual(default.stderr, "kestro-status: no status in /run/kestro (is kestro running?)\n")


if __name__ == "__main__":
    unittest.main()
