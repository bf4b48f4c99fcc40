"""The running daemon, cycle by cycle: what the first cycle publishes and
prints, the one-second pause, values that stay as they were when a reading
fails, a status directory that is deleted, blocked or booby-trapped, readers
that never see half a file, the progress and debug lines of the charge, a
battery that reports a full capacity of 0, and a charge-limit file that
keeps failing."""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from kestro_expected import (EMPTY_NUMBER, IS_A_DIRECTORY, NO_CONFIG, NO_LIMIT_FILE, NOT_A_DIRECTORY, NOT_FOUND,
                             debug_line, limit_failed, limit_file, new_limit, percent, progress_line, published,
                             secs_until_full, secs_until_shutdown, shortest, start_line, start_up)
from kestro_sandbox import (CHARGE_LIMIT_PATH, CYCLE_PAUSE, PYTHON, RETRY_PAUSE, STATUS_DIR, STATUS_FILES,
                            SandboxTestCase)

BATTERY = "/sys/class/power_supply/BAT0"


def discharging_files(full, now, *, percent_text, cap=100.0):
    """The five files of a cycle with the adapter offline and the battery
    discharging."""
    return {
        "ac_status": "Disconnected\n",
        "battery_percent": percent_text + "\n",
        "battery_status": "Discharging\n",
        "secs_until_battery_full": published(secs_until_full(full, now, cap=cap)),
        "secs_until_shutdown_request": published(secs_until_shutdown(full, now)),
    }


class LoopTestCase(SandboxTestCase):
    def discharging_machine(self, **battery):
        """A machine with an offline adapter AC and a discharging BAT0."""
        machine = self.machine()
        machine.add_adapter("AC", online=0)
        return machine, machine.add_battery("BAT0", **battery)

    def inode(self, machine, name):
        return os.lstat(machine.status_dir / name).st_ino


class FirstCyclesTest(LoopTestCase):
    def test_first_cycle_publishes_and_every_cycle_pauses_one_second(self):
        limit_path = f"{BATTERY}/charge_control_end_threshold"
        # name, battery attributes, charge cap file content, percent text, charge text, cap
        cases = [
            ("half charged", dict(charge_full=90000, charge_now=45000), None, "50", "50.00%", 100.0),
            ("a percentage with many digits", dict(charge_full=70000, charge_now=40000), None,
             "57.14285714285714", "57.14%", 100.0),
            ("more than full", dict(charge_full=90000, charge_now=91000), None,
             "101.11111111111111", "101.11%", 100.0),
            ("charge cap of 80", dict(charge_full=90000, charge_now=45000), 80, "50", "50.00%", 80.0),
        ]
        for name, battery, limit, percent_text, charge_text, cap in cases:
            with self.subTest(name):
                machine, bat0 = self.discharging_machine(**battery)
                if limit is not None:
                    bat0.set("charge_control_end_threshold", limit)
                daemon = machine.start()
                first = daemon.step()
                self.assertEqual(first.stdout, start_up(limit_line=limit_file(limit_path) if limit else NO_LIMIT_FILE)
                                 + [new_limit(cap)])
                self.assertEqual(first.stderr, [NO_CONFIG])
                self.assertEqual(first.pauses, [CYCLE_PAUSE])
                # Exactly the five files: no temporary file stays behind.
                expected = discharging_files(battery["charge_full"], battery["charge_now"],
                                             percent_text=percent_text, cap=cap)
                self.assertEqual(machine.status_files(), expected)

                later = daemon.steps(4)
                self.assertEqual([cycle.stdout for cycle in later],
                                 [[start_line("Disconnected", charge_text, "Discharging")], [], [], []])
                self.assertEqual([cycle.stderr for cycle in later], [[]] * 4)
                self.assertEqual([cycle.pauses for cycle in later], [[CYCLE_PAUSE]] * 4)
                self.assertEqual(machine.status_files(), expected)

    def test_first_cycle_numbers_spelled_out(self):
        # The arithmetic of the helpers above, checked once against numbers
        # worked out by hand, so that both cannot be wrong together.
        machine, _ = self.discharging_machine(charge_full=90000, charge_now=45000)
        machine.start().step()
        self.assertEqual(machine.status("battery_percent"), "50\n")
        # 45000 µAh to go × 11.1 V ÷ 12 W × 3600
        self.assertEqual(machine.status("secs_until_battery_full"), "149.85\n")

    def test_no_draw_gives_an_infinite_estimate(self):
        machine, _ = self.discharging_machine(charge_full=90000, charge_now=45000, current_now=0)
        machine.start().step()
        self.assertEqual(machine.status("secs_until_battery_full"), "inf\n")
        self.assertEqual(machine.status("secs_until_shutdown_request"), "inf\n")


class UnknownValuesTest(LoopTestCase):
    def test_unknown_charge_leaves_its_files_and_rewrites_the_statuses(self):
        path = f"{BATTERY}/charge_now"
        cases = [
            ("missing", lambda bat: bat.remove("charge_now"),
             f"read {path}: {NOT_FOUND}"),
            ("a directory", lambda bat: bat.make_directory("charge_now"),
             f"read {path}: {IS_A_DIRECTORY}"),
            ("empty", lambda bat: bat.set("charge_now", ""), f"read {path}: {EMPTY_NUMBER}"),
            ("not finite", lambda bat: bat.set("charge_now", "nan"), f"read {path}: NaN is not finite"),
        ]
        kept = ("battery_percent", "secs_until_battery_full", "secs_until_shutdown_request")
        for name, break_charge_now, report in cases:
            with self.subTest(name):
                machine, bat0 = self.discharging_machine(charge_full=90000, charge_now=45000)
                daemon = machine.start()
                daemon.step()
                before = machine.status_files()
                inodes = {file: self.inode(machine, file) for file in kept}

                break_charge_now(bat0)
                bat0.set("charge_full", 80000)
                bat0.set("status", "Full")
                machine.supply("AC").set("online", 1)
                second = daemon.step()
                self.assertEqual(second.stdout, [start_line("Connected", "unknown", "Full")])
                self.assertEqual(second.stderr, [report])
                self.assertEqual(second.pauses, [CYCLE_PAUSE])
                files = machine.status_files()
                self.assertEqual(files["ac_status"], "Connected\n")
                self.assertEqual(files["battery_status"], "Full\n")
                for file in kept:
                    self.assertEqual(files[file], before[file], file)
                    self.assertEqual(self.inode(machine, file), inodes[file], f"{file} was replaced")

                # Known again: everything is current. 45 % would be a progress
                # step, but the cycle before it had no percentage.
                bat0.remove("charge_now").set("charge_now", 36000)
                third = daemon.step()
                self.assertEqual((third.stdout, third.stderr), ([], []))
                self.assertEqual(machine.status("battery_percent"), "45\n")
                self.assertEqual(machine.status("secs_until_battery_full"),
                                 published(secs_until_full(80000, 36000)))


class StatusDirectoryTest(LoopTestCase):
    def test_deleted_directory_is_recreated_with_every_known_file(self):
        machine, bat0 = self.discharging_machine(charge_full=90000, charge_now=45000)
        daemon = machine.start()
        daemon.step()
        for cycle in range(2, 4):
            with self.subTest(cycle=cycle):
                for path in machine.status_dir.iterdir():
                    path.unlink()
                machine.status_dir.rmdir()
                now = 45000 - 900 * cycle
                bat0.set("charge_now", now)
                result = daemon.step()
                self.assertEqual(result.stderr, [])
                self.assertEqual(machine.status_files(),
                                 discharging_files(90000, now, percent_text=shortest(percent(now, 90000))))

    def test_directory_and_files_take_their_modes_from_the_umask(self):
        for umask, directory_mode, file_mode in ((0o022, 0o755, 0o644), (0o077, 0o700, 0o600), (0, 0o777, 0o666)):
            with self.subTest(umask=oct(umask)):
                machine, _ = self.discharging_machine()
                machine.start(umask=umask).step()
                self.assertEqual(machine.status_dir.stat().st_mode & 0o7777, directory_mode)
                for name in STATUS_FILES:
                    self.assertEqual((machine.status_dir / name).stat().st_mode & 0o7777, file_mode, name)

    def test_a_regular_file_in_place_of_the_directory(self):
        def error(name):
            return f"write {STATUS_DIR}/.{name}: {NOT_A_DIRECTORY}"

        numbers = ["battery_percent", "secs_until_battery_full", "secs_until_shutdown_request"]
        # name, adapter, battery status, files with a known value
        cases = [
            ("every value known", True, "Discharging", list(STATUS_FILES)),
            # No adapter and a battery that says "Unknown" at a steady 50 %:
            # neither status is known, so only the three numbers are written.
            ("no statuses", False, "Unknown", numbers),
        ]
        for name, adapter, status, known in cases:
            with self.subTest(name):
                machine = self.machine()
                if adapter:
                    machine.add_adapter("AC", online=0)
                machine.add_battery("BAT0", status=status)
                machine.write(STATUS_DIR, "not a directory")
                daemon = machine.start()
                first = daemon.step()
                reads = [NO_CONFIG] + ([] if adapter else [f"read /online: {NOT_FOUND}"])
                self.assertEqual(first.stderr, reads + [error(file) for file in known])
                for cycle in daemon.steps(2):
                    self.assertEqual(cycle.stderr, [error(file) for file in known])
                    self.assertEqual(cycle.pauses, [CYCLE_PAUSE])
                self.assertEqual(machine.status_dir.read_text(), "not a directory\n")

    def test_a_planted_link_never_leads_the_daemon_outside(self):
        """A link at a temporary or a published name is replaced, not written
        through, and the file is published in the same cycle."""
        victim = "/run/victim"
        # name, link name, victim exists
        cases = [
            ("temporary name to a file", ".battery_percent", True),
            ("temporary name to nothing", ".battery_percent", False),
            ("published name to a file", "battery_percent", True),
        ]
        for name, link, victim_exists in cases:
            with self.subTest(name):
                machine, _ = self.discharging_machine()
                machine.status_dir.mkdir()
                if victim_exists:
                    machine.write(victim, "precious")
                os.symlink(victim, machine.status_dir / link)
                daemon = machine.start()
                first = daemon.step()
                self.assertEqual(first.stderr, [NO_CONFIG])
                self.assertFalse(os.path.lexists(machine.status_dir / ".battery_percent"))
                self.assertEqual(machine.status("battery_percent"), "50\n")
                self.assertEqual(daemon.step().stderr, [])
                victim_path = machine.host_path(victim)
                if victim_exists:
                    self.assertEqual(victim_path.read_text(), "precious\n")
                else:
                    self.assertFalse(os.path.lexists(victim_path), "the daemon created the link's target")
                self.assertEqual(machine.status("battery_percent"), "50\n")
                self.assertEqual(machine.status("ac_status"), "Disconnected\n")
                self.assertEqual(machine.status("secs_until_shutdown_request"),
                                 published(secs_until_shutdown(5_000_000, 2_500_000)))


# Reads the five status files over and over until told to stop, and counts
# the reads that found a file empty, missing or not in the daemon's form.
READER = r"""
import json, os, re, sys
directory, stop = sys.argv[1], sys.argv[2]
number = re.compile(rb"-?([0-9]+(\.[0-9]+)?|inf|NaN)\n")
words = {
    "ac_status": {b"Connected\n", b"Connected slow\n", b"Disconnected\n"},
    "battery_status": {b"Charging\n", b"Discharging\n", b"Full\n", b"Not charging\n", b"Unknown\n"},
}
names = ["ac_status", "battery_percent", "battery_status", "secs_until_battery_full",
         "secs_until_shutdown_request"]
counts = {"reads": 0, "rounds": 0, "empty": 0, "missing": 0, "malformed": 0}
bad, percents = [], set()
def read_round():
    for name in names:
        try:
            with open(os.path.join(directory, name), "rb") as file:
                data = file.read()
        except FileNotFoundError:
            counts["missing"] += 1
            bad.append([name, None])
            continue
        counts["reads"] += 1
        if not data:
            counts["empty"] += 1
            bad.append([name, ""])
        elif not (data in words[name] if name in words else number.fullmatch(data)):
            counts["malformed"] += 1
            bad.append([name, data.decode(errors="replace")])
        elif name == "battery_percent":
            percents.add(data)
    counts["rounds"] += 1
read_round()
print("ready", flush=True)
while not os.path.exists(stop):
    read_round()
read_round()
counts["distinct_percents"] = len(percents)
counts["bad"] = bad[:10]
print(json.dumps(counts), flush=True)
"""


class ReaderTest(LoopTestCase):
    CYCLES = 200

    def test_a_reader_never_sees_a_partly_written_file(self):
        machine, bat0 = self.discharging_machine()
        adapter = machine.supply("AC")
        daemon = machine.start()
        daemon.step()
        with tempfile.TemporaryDirectory(prefix="kestro-reader-") as scratch:
            stop = os.path.join(scratch, "stop")
            reader = subprocess.Popen([PYTHON, "-I", "-c", READER, str(machine.status_dir), stop],
                                      stdout=subprocess.PIPE, text=True)
            try:
                self.assertEqual(reader.stdout.readline(), "ready\n")
                for cycle in range(2, self.CYCLES + 1):
                    # Every value changes every cycle, in length too.
                    bat0.set("charge_now", 2_500_000 - 12_347 * cycle)
                    online = cycle % 2
                    adapter.set("online", online)
                    bat0.set("status", "Full" if online else "Discharging")
                    result = daemon.step()
                    self.assertEqual((result.stderr, result.pauses), ([], [CYCLE_PAUSE]), f"cycle {cycle}")
                open(stop, "w").close()
                output, _ = reader.communicate(timeout=daemon.timeout)
            finally:
                if reader.poll() is None:
                    reader.kill()
                    reader.wait()
        counts = json.loads(output)
        print(f"\n{counts['reads']} reads of the status files in {counts['rounds']} rounds "
              f"during {self.CYCLES} cycles", file=sys.stderr)
        self.assertEqual((counts["empty"], counts["missing"], counts["malformed"]), (0, 0, 0), counts["bad"])
        self.assertGreaterEqual(counts["distinct_percents"], 2, "the reader saw the values change")
        self.assertEqual(machine.status("battery_percent"),
                         published(percent(2_500_000 - 12_347 * self.CYCLES, 5_000_000)))


FULL = 100_000_000  # one percent is 1 000 000 µAh


class ProgressLineTest(LoopTestCase):
    def test_progress_lines_follow_the_rounded_charge(self):
        # Per cycle: the percentage (None: charge_now unreadable) and the
        # lines that cycle prints after its start-up lines.
        steps = [
            (96, []),
            (95, [start_line("Disconnected", "95.00%", "Discharging"), progress_line(95, "(-)")]),
            (99.6, [progress_line(100, "(+)")]),
            (26, []),
            (25, [progress_line(25, "(-)")]),
            (24, []),
            (24.4, []),
            (24.5, [progress_line(25, "(+)")]),
            (24.4, []),
            (24.6, [progress_line(25, "(+)")]),
            (21, []),
            (20.5, []),  # rounds to 21, as before
            (20, [progress_line(20, "(-)")]),
            (19.5, []),  # rounds to 20
            (None, []),
            (15, []),  # nothing known of the cycle before
            (6, [progress_line(6, "(-)")]),
            (5, [progress_line(5, "(-)")]),
            (5, []),
            (4, [progress_line(4, "(-)")]),
        ]
        machine, bat0 = self.discharging_machine(charge_full=FULL, charge_now=steps[0][0] * FULL // 100)
        daemon = machine.start()
        for number, (percent, lines) in enumerate(steps, start=1):
            if percent is None:
                bat0.remove("charge_now")
            elif number > 1:
                bat0.set("charge_now", round(percent * FULL / 100))
            result = daemon.step()
            with self.subTest(cycle=number, percent=percent):
                if number == 1:
                    self.assertEqual(result.stdout, start_up() + [new_limit(100)])
                else:
                    self.assertEqual(result.stdout, lines)
                    missing = [f"read {BATTERY}/charge_now: {NOT_FOUND}"]
                    self.assertEqual(result.stderr, missing if percent is None else [])
                self.assertEqual(result.pauses, [CYCLE_PAUSE])
        self.assertEqual(machine.poweroff_calls(), [])

    def test_debug_line_every_tenth_cycle_while_discharging(self):
        unknown = (20, 25)  # cycles with charge_now unreadable

        # At 50 + k/100 % in cycle k, the average is that of the nine cycles
        # before; in cycle 30 the gap of cycle 25 holds cycle 26's value.
        discharging = {10: debug_line("50.100", "50.050"), 20: debug_line("-1.000", "50.150"),
                       30: debug_line("50.300", "50.251")}
        # name, KESTRO_DEBUG, adapter online, battery status, debug lines, start line
        cases = [
            ("debugging, discharging", "1", 0, "Discharging", discharging,
             start_line("Disconnected", "50.02%", "Discharging")),
            ("not debugging", None, 0, "Discharging", {}, start_line("Disconnected", "50.02%", "Discharging")),
            ("debugging, full", "1", 1, "Full", {}, start_line("Connected", "50.02%", "Full")),
        ]
        for name, switch, online, status, debug_lines, second in cases:
            with self.subTest(name):
                machine = self.machine()
                machine.add_adapter("AC", online=online)
                # The machine is set for cycle 1 before the daemon starts;
                # later cycles are prepared while it is held in its pause.
                bat0 = machine.add_battery("BAT0", charge_full=FULL, charge_now=50_010_000, status=status)
                daemon = machine.start(env={"KESTRO_DEBUG": switch})
                printed = {}
                for cycle in range(1, 31):
                    if cycle in unknown:
                        bat0.remove("charge_now")
                    elif cycle > 1:
                        bat0.set("charge_now", 50_000_000 + 10_000 * cycle)
                    result = daemon.step()
                    self.assertEqual(result.pauses, [CYCLE_PAUSE])
                    lines = result.stdout
                    if cycle == 1:
                        self.assertEqual(lines, start_up(debug=switch == "1") + [new_limit(100)])
                        lines = []
                    elif cycle == 2:
                        self.assertEqual(lines[0], second)
                        lines = lines[1:]
                    if lines:
                        printed[cycle] = lines
                self.assertEqual(printed, {cycle: [line] for cycle, line in debug_lines.items()})


class FullValueZeroTest(LoopTestCase):
    def test_a_full_capacity_of_zero_counts_as_unknown(self):
        kept = ("battery_percent", "secs_until_battery_full", "secs_until_shutdown_request")
        for now in (2_500_000, 0):  # an infinite percentage, and NaN
            with self.subTest(charge_now=now):
                machine, bat0 = self.discharging_machine(charge_full=5_000_000, charge_now=2_500_000)
                daemon = machine.start(env={"KESTRO_DEBUG": "1"})
                daemon.step()
                before = machine.status_files()
                inodes = {file: self.inode(machine, file) for file in kept}

                bat0.update(charge_full=0, charge_now=now)
                for cycle in range(2, 11):
                    result = daemon.step()
                    with self.subTest(cycle=cycle):
                        # Unknown cycles push -1 into the history, which
                        # counts as it is while nothing is known: (50 - 8) / 9.
                        expected = {2: [start_line("Disconnected", "unknown", "Discharging")],
                                    10: [debug_line("-1.000", "4.667")]}.get(cycle, [])
                        self.assertEqual((result.stdout, result.stderr, result.pauses),
                                         (expected, [], [CYCLE_PAUSE]))
                self.assertEqual(machine.status_files(), before)
                for file in kept:
                    self.assertEqual(self.inode(machine, file), inodes[file], f"{file} was replaced")

                # Back to a real capacity: no progress line right after, then
                # the usual ones.
                bat0.update(charge_full=5_000_000, charge_now=2_250_000)
                self.assertEqual(daemon.step().stdout, [])
                self.assertEqual(machine.status("battery_percent"), "45\n")
                bat0.set("charge_now", 2_000_000)
                self.assertEqual(daemon.step().stdout, [progress_line(40, "(-)")])
                self.assertEqual(machine.poweroff_calls(), [])


class ChargeLimitPauseTest(LoopTestCase):
    def test_a_failing_charge_limit_file_adds_three_short_pauses(self):
        failed = limit_failed(CHARGE_LIMIT_PATH)
        retries = [RETRY_PAUSE] * 3 + [CYCLE_PAUSE]
        cases = [
            ("a word", lambda m: m.set_charge_limit("eighty")),
            ("negative", lambda m: m.set_charge_limit(-5)),
            ("a directory", lambda m: m.charge_limit.make_directory("max_battery_charge_level")),
        ]
        for name, break_limit in cases:
            with self.subTest(name):
                machine, _ = self.discharging_machine(charge_full=90000, charge_now=45000)
                break_limit(machine)
                daemon = machine.start()
                first = daemon.step()
                self.assertEqual(first.stdout, start_up(limit_line=limit_file(CHARGE_LIMIT_PATH)) + [new_limit(100)])
                self.assertEqual(first.stderr, [NO_CONFIG, failed])
                self.assertEqual(first.pauses, retries)
                second = daemon.step()
                self.assertEqual((second.stdout, second.stderr, second.pauses),
                                 ([start_line("Disconnected", "50.00%", "Discharging")], [], retries))

                machine.set_charge_limit(None)
                machine.set_charge_limit(80)
                fixed = daemon.step()
                self.assertEqual((fixed.stdout, fixed.stderr, fixed.pauses), ([new_limit(80)], [], [CYCLE_PAUSE]))
                self.assertEqual(machine.status("secs_until_battery_full"),
                                 published(secs_until_full(90000, 45000, cap=80.0)))

                break_limit(machine)
                again = daemon.step()
                # The cap of 80 stays, and the failure was reported before.
                self.assertEqual((again.stdout, again.stderr, again.pauses), ([], [], retries))
                self.assertEqual(machine.status("secs_until_battery_full"),
                                 published(secs_until_full(90000, 45000, cap=80.0)))



class HistoryTest(LoopTestCase):
    """The battery's history, kept in the service manager's state directory
    or the configured one: records in the file of their UTC day, whose names
    and times are the wall clock's."""

    def history(self, machine, directory="/run/history"):
        """The files' lines, each record without its time."""
        folder = machine.host_path(directory)
        return {name: [line if line.startswith("#") else " ".join(line.split(" ")[:1] + line.split(" ")[2:])
                       for line in (folder / name).read_text().split("\n")]
                for name in sorted(os.listdir(folder))}

    def today(self):
        return time.strftime("%Y-%m-%d.history", time.gmtime())

    def test_a_stretch_with_a_full_charge_a_sleep_and_the_action(self):
        machine = self.machine()
        adapter = machine.add_adapter("AC", online=1)
        battery = machine.add_battery("BAT0", charge_full_design=6_000_000, cycle_count=312)
        # At noon, so that the hour asleep stays in the day.
        daemon = machine.start(env={"STATE_DIRECTORY": "/run/history:/run/other",
                                    "KESTRO_E2E_WALL_START": "1796644800"})
        daemon.steps(61)
        battery.set("status", "Full")
        daemon.step()
        adapter.set("online", 0)
        battery.set("status", "Discharging")
        daemon.step()
        battery.set("charge_now", 2_000_000)
        machine.add_time_asleep(3600)
        daemon.step()
        battery.set("charge_now", 10_000)
        daemon.run_until_exit()
        self.assertEqual(self.history(machine), {"2026-12-07.history": [
            "# kestro history 1",
            "E start 1.6.0",
            "P BAT0 55500 66600 312",
            "S 50.0 27750 55500 12000 C D",
            "E ac S",
            "S 50.0 27750 55500 12000 S D",
            "P BAT0 55500 66600 312",
            "E ac D",
            "E sleep 3600 50.0 40.0",
            "E action poweroff 0.2",
            "",
        ]})

    def test_the_oldest_whole_files_go_beyond_eight_mib(self):
        machine, _ = self.discharging_machine()
        machine.set_config("history_directory = '/run/kept'\n")
        folder = machine.host_path("/run/kept")
        folder.mkdir()
        for name, size in (("2020-01-01.history", 5 << 20), ("2020-01-02.history", 3 << 20),
                           ("2020-01-03.history", 1), ("notes", 9 << 20)):
            with open(folder / name, "wb") as file:
                file.truncate(size)
        daemon = machine.start()
        self.assertIn("Info: Config: history_directory: /run/kept", daemon.step().stdout)
        self.assertEqual(sorted(os.listdir(folder)), sorted(["2020-01-02.history", "2020-01-03.history", "notes",
                                                             self.today()]))

    def test_a_kill_loses_at_most_the_last_record(self):
        machine, _ = self.discharging_machine()
        daemon = machine.start(env={"STATE_DIRECTORY": "/run/history"})
        daemon.steps(61)
        daemon.kill(signal.SIGKILL)
        with open(machine.host_path("/run/history") / self.today(), "a") as file:
            file.write("S 1796675762 50.0 277")  # a record the kill or a power loss cut
        machine.start(env={"STATE_DIRECTORY": "/run/history"}).step()
        self.assertEqual(self.history(machine)[self.today()], [
            "# kestro history 1", "E start 1.6.0", "P BAT0 55500 - -", "S 50.0 27750 55500 12000 D D",
            "S 50.0 27750 55500 12000 D D", "S 50.0 277", "E start 1.6.0", "P BAT0 55500 - -",
            "S 50.0 27750 55500 12000 D D", ""])

if __name__ == "__main__":
    unittest.main()
