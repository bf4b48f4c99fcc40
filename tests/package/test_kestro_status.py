"""kestro-status as a command, against scratch status directories: where it
looks, its exit statuses, its usage line, the file it replaces with
--output, and --watch following the directory as it comes and goes and
ending cleanly. Its rules of reading and formatting are unit-tested; a live
daemon drives it in tests/e2e."""

import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

SOURCE_ROOT = Path(__file__).resolve().parent.parent.parent
BUILD_DIR = Path(os.environ.get("KESTRO_BUILD_DIR") or SOURCE_ROOT / "build")
COMMAND = BUILD_DIR / "kestro-status"
# Every wait for output; nothing here takes long unless it is broken.
TIMEOUT = 5.0

CHARGING = {"ac_status": "Connected", "battery_percent": "57.142857142857146", "battery_status": "Charging",
            "secs_until_battery_full": "1500.4", "secs_until_shutdown_request": "33071.9"}
CHARGING_LINE = "Connected, 57.1%, Charging, full in 0:25"
USAGE = ("usage: kestro-status [--json | --waybar | --i3blocks | --prometheus] [--watch] [--output FILE] "
         "[--dir DIR] [--max-age SECONDS] [--warning MINUTES] [--critical MINUTES]\n")


def publish(folder: Path, name: str, value: str) -> None:
    """As the daemon does: a hidden temporary file renamed over the name."""
    temporary = folder / f".{name}"
    temporary.write_text(value + "\n")
    os.replace(temporary, folder / name)


def context_switches(pid: int) -> int:
    """How often the process has gone to sleep: each wake-up is one."""
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("voluntary_ctxt_switches:"))


class Watcher:
    """kestro-status --watch with its output read line by line."""

    def __init__(self, *args: str):
        self.process = subprocess.Popen([str(COMMAND), "--watch", *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.buffer = b""

    def line(self, timeout: float = TIMEOUT):
        """The next line, or None when none came within the timeout."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                return None
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                return None
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line.decode()

    def end(self, number: int = signal.SIGTERM) -> subprocess.CompletedProcess:
        if self.process.poll() is None:
            self.process.send_signal(number)
        stdout, stderr = self.process.communicate(timeout=TIMEOUT)
        return subprocess.CompletedProcess(self.process.args, self.process.returncode, stdout, stderr)


@unittest.skipUnless(COMMAND.exists(), f"{COMMAND} is not built")
class KestroStatusTest(unittest.TestCase):
    def directory(self, files=None) -> Path:
        folder = Path(tempfile.mkdtemp(prefix="kestro-status-test-"))
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        for name, value in (files or {}).items():
            publish(folder, name, value)
        return folder

    def run_command(self, *args, env=None) -> subprocess.CompletedProcess:
        return subprocess.run([str(COMMAND), *args], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                              env={"PATH": "/usr/bin:/bin", **(env or {})})

    def watcher(self, *args: str) -> Watcher:
        watcher = Watcher(*args)
        self.addCleanup(lambda: watcher.process.poll() is None and watcher.end(signal.SIGKILL))
        return watcher

    def test_where_it_looks(self):
        charging = self.directory(CHARGING)
        other = self.directory({"ac_status": "Disconnected"})
        self.assertEqual(self.run_command(env={"KESTRO_STATUS_DIR": str(charging)}).stdout, CHARGING_LINE + "\n")
        self.assertEqual(self.run_command("--dir", str(other), env={"KESTRO_STATUS_DIR": str(charging)}).stdout,
                         "Disconnected\n")
        default = self.run_command(env={"KESTRO_STATUS_DIR": ""})
        if not os.path.isdir("/run/kestro"):
            self.assertEqual(default.stderr, "kestro-status: no status in /run/kestro (is kestro running?)\n")

    def test_exit_status_without_any_status(self):
        empty = str(self.directory({}))
        # (format, exit status, output): the bar formats hide their block.
        cases = [([], 1, ""), (["--json"], 1, None), (["--prometheus"], 1, None),
                 (["--waybar"], 0, '{"text":"","alt":"","tooltip":"","class":[]}\n'), (["--i3blocks"], 0, "\n\n")]
        for args, status, output in cases:
            with self.subTest(args=args):
                result = self.run_command("--dir", empty, *args)
                self.assertEqual(result.returncode, status)
                if output is not None:
                    self.assertEqual(result.stdout, output)
        self.assertEqual(json.loads(self.run_command("--dir", empty, "--json").stdout)["files"]["ac_status"], None)

    def test_i3blocks_urgent_when_the_shutdown_is_near(self):
        near = self.directory({"ac_status": "Disconnected", "battery_percent": "4", "battery_status": "Discharging",
                               "secs_until_shutdown_request": "300"})
        self.assertEqual(self.run_command("--dir", str(near), "--i3blocks").returncode, 33)
        self.assertEqual(self.run_command("--dir", str(near), "--i3blocks", "--critical", "4").returncode, 0)

    def test_a_bad_option_or_value_gets_the_usage_line_and_status_2(self):
        for args in (["--bogus"], ["--json", "--waybar"], ["--max-age", "soon"], ["--dir"], ["extra"]):
            with self.subTest(args=args):
                result = self.run_command(*args)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (2, "", USAGE))

    def test_output_replaces_the_file_whole(self):
        status = self.directory(CHARGING)
        target = self.directory({})
        output = target / "kestro.prom"
        output.write_text("old\n")
        result = self.run_command("--dir", str(status), "--prometheus", "--output", str(output))
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", ""))
        self.assertIn("kestro_battery_percent 57.142857142857146\n", output.read_text())
        self.assertEqual(os.listdir(target), ["kestro.prom"], "no temporary file is left")
        failed = self.run_command("--dir", str(status), "--output", str(target / "missing" / "x.prom"))
        self.assertEqual(failed.returncode, 1)
        self.assertRegex(failed.stderr, r"^kestro-status: write .*/missing/\.x\.prom\.\d+: "
                                        r"No such file or directory \(os error 2\)\n$")

    def test_watch_follows_the_directory_as_it_comes_and_goes(self):
        parent = self.directory({})
        folder = parent / "kestro"
        watcher = self.watcher("--dir", str(folder))
        self.assertEqual(watcher.line(), "", "absent at start: nothing known")
        folder.mkdir()
        for name, value in CHARGING.items():
            publish(folder, name, value)
        self.assertEqual(watcher.line(), CHARGING_LINE, "one line for the five files")
        publish(folder, "battery_percent", "57.13")
        self.assertIsNone(watcher.line(timeout=0.5), "a change that the line does not show prints nothing")
        publish(folder, "ac_status", "Disconnected")
        self.assertEqual(watcher.line(), "Disconnected, 57.1%, Charging, full in 0:25")
        shutil.rmtree(folder)
        self.assertEqual(watcher.line(), "")
        folder.mkdir()
        publish(folder, "ac_status", "Connected slow")
        self.assertEqual(watcher.line(), "Connected slow")
        ended = watcher.end()
        self.assertEqual((ended.returncode, ended.stdout, ended.stderr), (0, b"", b""))

    def test_watch_marks_values_stale_and_then_sleeps(self):
        folder = self.directory(CHARGING)
        watcher = self.watcher("--dir", str(folder), "--max-age", "0.3", "--json")
        self.assertFalse(json.loads(watcher.line())["stale"])
        self.assertTrue(json.loads(watcher.line())["stale"], "stale once the files are older than --max-age")
        self.assertIsNone(watcher.line(timeout=0.2))
        wake_ups = context_switches(watcher.process.pid)
        self.assertIsNone(watcher.line(timeout=0.5))
        self.assertEqual(context_switches(watcher.process.pid), wake_ups, "nothing fresh: no timer, no wake-up")
        self.assertEqual(watcher.end(signal.SIGINT).returncode, 0)

    def test_watch_ends_when_its_reader_goes_away(self):
        watcher = self.watcher("--dir", str(self.directory(CHARGING)))
        self.assertEqual(watcher.line(), CHARGING_LINE)
        watcher.process.stdout.close()
        self.assertEqual(watcher.process.wait(timeout=TIMEOUT), 0, "ended without anything to write")
        watcher.process.stderr.close()


if __name__ == "__main__":
    unittest.main()
