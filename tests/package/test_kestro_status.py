"""kestro-status as a command, against scratch status directories: where it
looks, its exit statuses, its usage line and the file it replaces with
--output. Its rules of reading and formatting are unit-tested; each format
and --watch run against the live daemon in tests/e2e."""

import csv
import fcntl
import io
import json
import os
import pty
import shutil
import signal
import socket
import stat
import struct
import subprocess
import termios
import tempfile
import time
import unittest
import zlib
from pathlib import Path

SOURCE_ROOT = Path(__file__).resolve().parent.parent.parent
BUILD_DIR = Path(os.environ.get("KESTRO_BUILD_DIR") or SOURCE_ROOT / "build")
COMMAND = BUILD_DIR / "kestro-status"

CHARGING = {"ac_status": "Connected", "battery_percent": "57.142857142857146", "battery_status": "Charging",
            "secs_until_battery_full": "1500.4", "secs_until_shutdown_request": "33071.9"}
CHARGING_LINE = "Connected, 57.1%, Charging, full in 25 min"
USAGE = ("usage: kestro-status [--json | --waybar | --i3blocks | --prometheus] [--watch] [--output FILE] "
         "[--dir DIR] [--max-age SECONDS] [--warning MINUTES] [--critical MINUTES] "
         "[--notify [--notify-before MINUTES] [--notify-critical MINUTES]] | --probe | "
         "--history [DURATION] [--format svg|csv|json] | --health [--state-dir DIR]\n")
# Six hours that end an hour ago (seconds from their start, the rest of the
# line), and a pack's record ten days before them.
HISTORY = [(0, "E {} start 1.6.0"), (0, "S {} 80.0 59000 73700 12000 D D"), (3600, "S {} 70.0 51600 73700 10000 D D"),
           (7200, "S {} 60.0 44200 73700 8000 D D"), (14400, "E {} sleep 7200 60.0 58.0"),
           (14400, "S {} 58.0 42700 73700 8000 D D"), (16200, "E {} ac C"), (18000, "S {} 75.0 55300 73700 30000 C C"),
           (19800, "P {} BAT0 73700 80000 312"), (21600, "S {} 90.0 66300 73700 25000 C C")]


def state_directory(folder: Path) -> Path:
    start = int(time.time()) - 7 * 3600
    day = time.strftime("%Y-%m-%d", time.gmtime(start))
    (folder / f"{day}.history").write_text(
        "# kestro history 1\n" + "".join(line.format(start + at) + "\n" for at, line in HISTORY) + "S 1 torn")
    old = start - 864000
    (folder / time.strftime("%Y-%m-%d.history", time.gmtime(old))).write_text(
        f"# kestro history 1\nP {old} BAT0 75000 80000 300\n")
    return folder


def png_pixels(data: bytes) -> list[bytes]:
    """The rows of an 8-bit RGB or RGBA PNG, as rsvg-convert writes it, unfiltered, as RGB."""
    width, height, depth = int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big"), \
        4 if data[25] == 6 else 3
    chunks, at = b"", 8
    while at < len(data):
        size = int.from_bytes(data[at:at + 4], "big")
        chunks += data[at + 8:at + 8 + size] if data[at + 4:at + 8] == b"IDAT" else b""
        at += size + 12
    raw, rows, stride = zlib.decompress(chunks), [], width * depth
    for y in range(height):
        kind, line, above = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)]), \
            rows[-1] if rows else bytes(stride)
        for i in range(stride):
            a, b, c = line[i - depth] if i >= depth else 0, above[i], above[i - depth] if i >= depth else 0
            p = a + b - c
            paeth = a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c
            line[i] = (line[i] + (0, a, b, (a + b) // 2, paeth)[kind]) & 0xFF
        rows.append(bytes(line))
    return [b"".join(row[x:x + 3] for x in range(0, stride, depth)) for row in rows]


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

    def test_history_as_text_svg_csv_and_health(self):
        state = state_directory(self.directory())
        chart = self.run_command("--state-dir", str(state), "--history")
        self.assertEqual((chart.returncode, chart.stderr), (0, ""))
        self.assertTrue(chart.stdout.startswith("Charge and power from "))
        self.assertEqual(max(len(line) for line in chart.stdout.splitlines()), 80, "80 columns without a terminal")
        self.assertIn("zzz", chart.stdout)
        rows = list(csv.DictReader(io.StringIO(self.run_command("--state-dir", str(state), "--history", "--format",
                                                                "csv").stdout)))
        self.assertEqual(len(rows), len(HISTORY))
        self.assertEqual({key: value for key, value in rows[7].items() if value and key != "time"},
                         {"record": "sample", "percent": "75.0", "energy_now": "55300", "energy_full": "73700",
                          "power": "30000", "ac": "Connected", "battery": "Charging"})
        self.assertEqual(self.run_command("--state-dir", str(state), "--health").stdout,
                         "BAT0: full 92.1% of design (73.7 of 80.0 Wh), 312 cycles, loses 4.77% a month\n"
                         "Asleep: loses 1.00% an hour (1 sleep, 2 h)\n")
        svg = self.run_command("--state-dir", str(state), "--history", "--format", "svg")
        png = subprocess.run(["rsvg-convert", "--format", "png"], input=svg.stdout.encode(), capture_output=True,
                             check=True).stdout
        rows = png_pixels(png)
        self.assertEqual((len(rows), len(rows[0]) // 3), (360, 800))
        coloured = sum(1 for row in rows for x in range(0, len(row), 3) if row[x:x + 3] != b"\xff\xff\xff")
        self.assertGreater(coloured, 5000, "the picture is not blank")
        prometheus = self.run_command("--dir", str(self.directory(CHARGING)), "--prometheus", "--state-dir", str(state))
        self.assertIn('\nkestro_battery_health_percent{pack="BAT0"} 92.125\n', prometheus.stdout)
        self.assertTrue(prometheus.stdout.endswith("\nkestro_sleep_drain_percent_per_hour 1\n"))
        without = self.run_command("--dir", str(self.directory(CHARGING)), "--prometheus", "--state-dir",
                                   str(self.directory()))
        self.assertTrue(without.stdout.endswith("\nkestro_status_stale 0\n"), "no history, no health figures")
        terminal, screen = pty.openpty()
        fcntl.ioctl(screen, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
        with open(terminal, "rb") as reader:
            subprocess.run([str(COMMAND), "--state-dir", str(state), "--history"], stdout=screen, check=True)
            os.close(screen)
            text = reader.read1(65536).decode()
        self.assertEqual(max(len(line) for line in text.splitlines()), 100, "fitted to the terminal's 100 columns")
        missing = self.run_command("--state-dir", str(state / "none"), "--history")
        self.assertEqual((missing.returncode, missing.stderr),
                         (3, f"kestro-status: no history in {state / 'none'}: No such file or directory (os error 2)\n"))

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
