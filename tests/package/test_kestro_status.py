"""kestro-status as a command, against scratch status directories: where it
looks, its exit statuses, its usage line and the file it replaces with
--output. Its rules of reading and formatting are unit-tested; each format
and --watch run against the live daemon in tests/e2e."""

import fcntl
import json
import os
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

SOURCE_ROOT = Path(__file__).resolve().parent.parent.parent
BUILD_DIR = Path(os.environ.get("KESTRO_BUILD_DIR") or SOURCE_ROOT / "build")
COMMAND = BUILD_DIR / "kestro-status"

CHARGING = {"ac_status": "Connected", "battery_percent": "57.142857142857146", "battery_status": "Charging",
            "secs_until_battery_full": "1500.4", "secs_until_shutdown_request": "33071.9"}
CHARGING_LINE = "Connected, 57.1%, Charging, full in 25 min"
USAGE = ("usage: kestro-status [--json | --waybar | --i3blocks | --prometheus] [--watch] [--output FILE] "
         "[--dir DIR] [--max-age SECONDS] [--warning MINUTES] [--critical MINUTES] "
         "[--notify [--notify-before MINUTES] [--notify-critical MINUTES]] | --probe\n")


def publish(folder: Path, name: str, value: str) -> None:
    """As the daemon does: a hidden temporary file renamed over the name."""
    temporary = folder / f".{name}"
    temporary.write_text(value + "\n")
    os.replace(temporary, folder / name)


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

    def test_a_bad_option_or_value_gets_its_reason_the_usage_line_and_status_2(self):
        for args, reason in ((["--bogus"], "unknown option --bogus"),
                             (["--json", "--waybar"], "--json --waybar: only one format at a time"),
                             (["--max-age", "soon"], "--max-age soon: not a number of seconds (finite, not negative)"),
                             (["--dir"], "--dir needs a directory"), (["extra"], "unexpected argument extra")):
            with self.subTest(args=args):
                result = self.run_command(*args)
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (2, "", f"kestro-status: {reason}\n{USAGE}"))

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

    def test_output_replaces_only_a_regular_file_or_nothing(self):
        status = self.directory(CHARGING)
        target = self.directory({})
        os.mkfifo(target / "fifo")
        self.enterContext(socket.socket(socket.AF_UNIX)).bind(str(target / "socket"))
        os.symlink("fifo", target / "link")
        if os.geteuid() == 0:
            os.mknod(target / "null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        before = {name: os.lstat(target / name) for name in os.listdir(target)}
        for name in before:
            result = self.run_command("--dir", str(status), "--output", str(target / name))
            self.assertEqual((result.returncode, result.stderr),
                             (1, f"kestro-status: replace {target / name}: not a regular file\n"))
        self.assertEqual({name: os.lstat(target / name) for name in os.listdir(target)}, before)
        longest = target / ("k" * 255)
        self.assertEqual(self.run_command("--dir", str(status), "--output", str(longest)).returncode, 0)
        self.assertEqual(set(os.listdir(target)) - set(before), {longest.name})

    def test_watch_ends_on_a_stop_signal_while_its_output_is_blocked(self):
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            reader, writer = os.pipe()
            fcntl.fcntl(writer, fcntl.F_SETPIPE_SZ, 4096)
            os.write(writer, b"x" * 4096)  # full: the first output blocks
            watch = subprocess.Popen([str(COMMAND), "--watch", "--dir", str(self.directory(CHARGING))], stdout=writer)
            os.close(writer)
            while not Path(f"/proc/{watch.pid}/wchan").read_text().endswith("pipe_write"):
                time.sleep(0.01)
            watch.send_signal(number)
            self.assertEqual(watch.wait(timeout=2), 0, number)
            os.close(reader)


if __name__ == "__main__":
    unittest.main()
