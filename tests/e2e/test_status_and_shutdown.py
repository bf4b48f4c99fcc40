"""Adapter and battery statuses with their lines, and the low-battery
shutdown, through the real daemon on a fake laptop under the harness's clock.

Charges are chosen so that the rounded percentage never reaches a reporting
step unless a test wants the progress line: every line a cycle prints is
asserted, so an unexpected one fails the test."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
from pathlib import Path
from typing import Optional

from kestro_expected import (EMPTY_NUMBER, IS_A_DIRECTORY, NO_CONFIG, NOT_FOUND, NOT_UTF8, PERMISSION_DENIED,
                             RUNNING, SHUTTING_DOWN, WARNING, announcement, change_line, charge_text, debug_line,
                             fatal, found_battery, new_limit, percent, progress_line, published, secs_until_full,
                             secs_until_shutdown, shortest, start_line, throttled, using)
from desktop_session import Lines
from kestro_sandbox import (CYCLE_PAUSE, POWER_SUPPLY_DIR, SOURCE_ROOT, STANDARD_DIRS, STATUS_FILES, Machine,
                            Pause, SandboxTestCase, kestro_binary)

MAX_CHARGE = new_limit(100)
DEFAULT_WAIT = Pause(10)

# A battery of 50 Ah in µAh: 500_000 per percent.
FULL = 50_000_000
PER_PERCENT = FULL // 100
# 52 % moving by 0.01 % a cycle: the rounded percentage stays at 52 or 53,
# which is no reporting step, for the length of every run below.
STEADY_START = 26_000_000
STEP = 5_000


def charge_of(now: float) -> str:
    """The charge of the status lines for the battery of FULL."""
    return charge_text(percent(now, FULL))


def after_running(lines: list[str]) -> list[str]:
    """What the first cycle printed after the start-up lines."""
    return lines[lines.index(RUNNING) + 1:]


def file_text(value: Optional[str]) -> Optional[str]:
    return None if value is None else value + "\n"


def default_path(machine: Machine) -> str:
    return ":".join((str(machine.fake_poweroff.parent),) + STANDARD_DIRS)


def level_config(level: str, wait: Optional[str] = None) -> str:
    config = f"request_shutdown_battery_percent = {level}\n"
    if wait is not None:
        config += f"force_shutdown_timeout_secs = {wait}\n"
    return config


class AdapterStatusTest(SandboxTestCase):
    """The adapter status of a cycle, published at once; its start line; and
    its changes, announced five cycles later if they still hold."""

    def test_unplugging_around_cycle_100(self):
        last = 108
        cases = [
            ("unplugged at 100 and left unplugged", range(100, last + 1),
             {105: ("Connected", "Disconnected", "Discharging")}),
            # The change of 101 restarts the count, with "Disconnected" before it.
            ("unplugged at 100, plugged in at 101", {100}, {106: ("Disconnected", "Connected", "Charging")}),
            # The unplugging itself is never announced.
            ("unplugged at 100, plugged in at 103", {100, 101, 102},
             {108: ("Disconnected", "Connected", "Charging")}),
        ]
        for name, unplugged, changes in cases:
            with self.subTest(name):
                machine = self.machine()
                adapter = machine.add_adapter("AC", online=1)
                battery = machine.add_battery("BAT0", status="Charging", charge_full=FULL, charge_now=STEADY_START)
                daemon = machine.start()
                now = STEADY_START
                for number in range(1, last + 1):
                    online = number not in unplugged
                    if number > 1:
                        # The battery charges whenever the adapter is online.
                        now += STEP if online else -STEP
                    if number > 1 and online != (number - 1 not in unplugged):
                        adapter.set("online", int(online))
                        battery.set("status", "Charging" if online else "Discharging")
                    battery.set("charge_now", now)
                    cycle = daemon.step()
                    if number == 1:
                        self.assertEqual(after_running(cycle.stdout), [MAX_CHARGE])
                        self.assertEqual(cycle.stderr, [NO_CONFIG])
                        expected_battery = "Unknown"  # nothing to verify the claim against yet
                    else:
                        if number == 2:
                            expected = [start_line("Connected", charge_of(now), "Charging")]
                        elif number in changes:
                            expected = [change_line(*changes[number][:2], charge_of(now), changes[number][2])]
                        else:
                            expected = []
                        self.assertEqual(cycle.stdout, expected, f"cycle {number}")
                        self.assertEqual(cycle.stderr, [], f"cycle {number}")
                        expected_battery = "Charging" if online else "Discharging"
                    self.assertEqual(machine.status("ac_status"), "Connected\n" if online else "Disconnected\n",
                                     f"cycle {number}")
                    self.assertEqual(machine.status("battery_status"), expected_battery + "\n", f"cycle {number}")

    def test_falling_charge_behind_an_online_adapter_is_slow_until_it_charges(self):
        """The battery claims to charge while its charge falls for 30 cycles,
        then really charges. The adapter becomes "Connected slow" five cycles
        after the start, with the warning and one change line, stays so
        without flapping, and is "Connected" again in the first cycle that
        charges; neither switch back nor staying slow prints anything."""
        machine = self.machine()
        # 45 W of Power Delivery, shown with both connected statuses.
        machine.add_hwmon("marlith_hwmon", in0_input=15000, curr1_input=3000)
        machine.add_adapter("AC", online=1)
        battery = machine.add_battery("BAT0", status="Charging", charge_full=FULL, charge_now=STEADY_START)
        daemon = machine.start()
        now = STEADY_START
        for number in range(1, 41):
            if number > 1:
                now += -STEP if number <= 30 else STEP
            battery.set("charge_now", now)
            cycle = daemon.step()
            if number == 1:
                self.assertEqual(after_running(cycle.stdout), [MAX_CHARGE])
            else:
                expected = {
                    2: [start_line("Connected", charge_of(now), "Discharging", " at 45W")],
                    6: [WARNING,
                        change_line("Connected", "Connected slow", charge_of(now), "Discharging", " at 45W")],
                }.get(number, [])
                self.assertEqual(cycle.stdout, expected, f"cycle {number}")
                self.assertEqual(cycle.stderr, [], f"cycle {number}")
            adapter_status = "Connected slow" if 6 <= number <= 30 else "Connected"
            battery_status = "Unknown" if number == 1 else "Discharging" if number <= 30 else "Charging"
            self.assertEqual((machine.status("ac_status"), machine.status("battery_status")),
                             (adapter_status + "\n", battery_status + "\n"), f"cycle {number}")

    def test_start_line(self):
        """Cycle 2 reports the adapter as it is, with the Power Delivery power
        while it is connected and above 0, and the charge with two decimals."""
        start = 39_900  # 57.0 % of 70 000, then 57.14 %
        now = 40_000
        cases = [
            ("marlith_hwmon at 15 V and 3 A", [("marlith_hwmon", 15000, 3000)], 1, "Charging", start, now,
             start_line("Connected", "57.14%", "Charging", " at 45W")),
            ("marlith_hwmon is chosen over corvale", [("corvale", 20000, 1000), ("marlith_hwmon", 15000, 3000)], 1,
             "Charging", start, now, start_line("Connected", "57.14%", "Charging", " at 45W")),
            ("corvale at 11 V and 2.5 A", [("corvale", 11000, 2500)], 1, "Charging", start, now,
             start_line("Connected", "57.14%", "Charging", " at 27.5W")),
            ("no current", [("marlith_hwmon", 15000, 0)], 1, "Charging", start, now,
             start_line("Connected", "57.14%", "Charging")),
            ("no chip", [], 1, "Charging", start, now, start_line("Connected", "57.14%", "Charging")),
            ("not charging near full", [], 1, "Not charging", 66_500, 66_500,  # 95 %
             start_line("Connected", "95.00%", "Full")),
            ("adapter offline", [("marlith_hwmon", 15000, 3000)], 0, "Discharging", now, start,
             start_line("Disconnected", "57.00%", "Discharging")),
            # Connected and full, or the charge below the shutdown level would end the run.
            ("negative charge", [], 1, "Full", -2_100, -2_100, start_line("Connected", "unknown", "Full")),
        ]
        for name, chips, online, status, first, second, expected in cases:
            with self.subTest(name):
                machine = self.machine()
                for chip, millivolts, milliamperes in chips:
                    machine.add_hwmon(chip, in0_input=millivolts, curr1_input=milliamperes)
                machine.add_adapter("AC", online=online)
                battery = machine.add_battery("BAT0", status=status, charge_full=70_000, charge_now=first)
                daemon = machine.start()
                daemon.step()
                battery.set("charge_now", second)
                cycle = daemon.step()
                self.assertEqual(cycle.stdout, [expected])
                self.assertEqual(cycle.stderr, [])


    def test_online_texts(self):
        """Only "1", once trimmed, is online; every other text that can be
        read is offline. Content that is not text is a failed read, and the
        battery's "Unknown" then leaves the adapter unknown."""
        online_path = "/sys/class/power_supply/AC/online"
        cases = [
            (b"1\n", "Connected", []),
            (b"1", "Connected", []),
            (b" 1\t\r\n", "Connected", []),
            ("\u00a01\u2003\n".encode(), "Connected", []),  # Unicode white space
            (b"0\n", "Disconnected", []),
            (b"2\n", "Disconnected", []),
            (b"\n", "Disconnected", []),
            (b"", "Disconnected", []),
            (b"01\n", "Disconnected", []),
            (b"1 1\n", "Disconnected", []),
            (b"Connected\n", "Disconnected", []),
            (b"\xff\n", None, [f"read {online_path}: {NOT_UTF8}"]),
        ]
        for content, adapter_status, errors in cases:
            with self.subTest(online=content):
                machine = self.machine()
                machine.set_config("")
                machine.add_adapter("AC", online=content)
                machine.add_battery("BAT0", status="Unknown")
                daemon = machine.start()
                cycle = daemon.step()
                self.assertEqual(cycle.stderr, errors)
                self.assertEqual(machine.status("ac_status"), file_text(adapter_status))


class UnreadableOnlineTest(SandboxTestCase):
    """Without a readable `online` file the adapter follows the battery's
    own status; a status that says nothing leaves the adapter unknown."""

    def test_adapter_follows_the_battery(self):
        online_error = f"read /sys/class/power_supply/AC/online: {IS_A_DIRECTORY}"
        no_adapter_error = f"read /online: {NOT_FOUND}"
        rising, falling, steady, high = (25_000_000, 25_005_000), (25_000_000, 24_995_000), \
            (25_000_000, 25_000_000), (47_500_000, 47_500_000)
        cases = [
            # battery status, charges of cycles 1 and 2, adapter, battery status in cycle 2
            ("Discharging", falling, "Disconnected", "Discharging"),
            ("Charging", rising, "Connected", "Charging"),
            ("Charging", falling, "Connected", "Discharging"),
            ("Full", steady, "Connected", "Full"),
            ("Not charging", steady, "Connected", "Not charging"),
            ("Unknown", steady, None, None),
            ("Unknown", high, None, "Full"),  # 95 %
            ("Unknown", rising, None, "Charging"),
            ("charging", rising, None, "Charging"),  # texts compare exactly
        ]
        # Without an adapter the daemon reads /online, which fails the same way.
        runs = [(True, case) for case in cases] + [(False, cases[1]), (False, cases[5])]
        for has_adapter, (status, charges, adapter_status, battery_status) in runs:
            with self.subTest(status=status, charges=charges, adapter=has_adapter):
                machine = self.machine()
                if has_adapter:
                    machine.add_adapter("AC").make_directory("online")
                battery = machine.add_battery("BAT0", status=status, charge_full=FULL, charge_now=charges[0])
                daemon = machine.start()
                first = daemon.step()
                self.assertEqual(first.stderr, [NO_CONFIG, online_error if has_adapter else no_adapter_error])
                battery.set("charge_now", charges[1])
                second = daemon.step()
                self.assertEqual(second.stdout, [start_line(adapter_status or "None", charge_of(charges[1]),
                                                            battery_status or "None")])
                self.assertEqual(second.stderr, [], "the failed read is reported once")
                self.assertEqual(machine.status("ac_status"), file_text(adapter_status))
                self.assertEqual(machine.status("battery_status"), file_text(battery_status))

    def test_lost_adapter_status_keeps_its_file_and_is_announced(self):
        """Connected, then unknown from cycle 4 (unreadable online file and a
        battery that says "Unknown"), then connected again from cycle 10. The
        loss is announced; the return is not, since the change from an absent
        status takes the new status as its reference."""
        machine = self.machine()
        adapter = machine.add_adapter("AC", online=1)
        battery = machine.add_battery("BAT0", status="Charging", charge_full=FULL, charge_now=STEADY_START)
        daemon = machine.start()
        now = STEADY_START
        daemon.step()
        for number in range(2, 17):
            if number == 4:
                adapter.make_directory("online")
                battery.set("status", "Unknown")
            elif number == 10:
                adapter.remove("online").set("online", 1)
                battery.set("status", "Charging")
            known = number < 4 or number >= 10
            if known:
                now += STEP
            battery.set("charge_now", now)
            cycle = daemon.step()
            expected = {
                2: [start_line("Connected", charge_of(now), "Charging")],
                9: [change_line("Connected", "None", charge_of(now), "None")],
            }.get(number, [])
            self.assertEqual(cycle.stdout, expected, f"cycle {number}")
            errors = [f"read /sys/class/power_supply/AC/online: {IS_A_DIRECTORY}"] if number == 4 else []
            self.assertEqual(cycle.stderr, errors, f"cycle {number}")
            # Neither status is known from cycle 4 to 9: the files keep cycle 3's values.
            self.assertEqual(machine.status("ac_status"), "Connected\n", f"cycle {number}")
            self.assertEqual(machine.status("battery_status"), "Charging\n", f"cycle {number}")

    def test_status_first_known_later_is_not_announced(self):
        """Unknown from the start, connected from cycle 4: the first status
        ever known is registered as its own reference, so no change line."""
        machine = self.machine()
        adapter = machine.add_adapter("AC")
        adapter.make_directory("online")
        machine.add_battery("BAT0", status="Unknown", charge_full=FULL, charge_now=STEADY_START)
        daemon = machine.start()
        for number in range(1, 13):
            if number == 4:
                adapter.remove("online").set("online", 1)
            cycle = daemon.step()
            if number > 1:
                expected = [start_line("None", "52.00%", "None")] if number == 2 else []
                self.assertEqual(cycle.stdout, expected, f"cycle {number}")
            self.assertEqual(machine.status("ac_status"), "Connected\n" if number >= 4 else None, f"cycle {number}")


class ShutdownTest(SandboxTestCase):
    """The estimate, the decision and the shutdown sequence."""

    def laptop(self, machine: Machine, *, online: int = 0, status: str = "Discharging", **battery):
        machine.add_adapter("AC", online=online)
        return machine.add_battery("BAT0", status=status, charge_full=FULL, **battery)

    def test_exactly_at_the_level_versus_just_above_it(self):
        """Cycle 10 falls from 6 % to the level of 5 % (shutdown), or to just
        above it (the progress line and the debug line of cycle 10)."""
        cases = [
            ("at the level", 5 * PER_PERCENT, None),
            ("just above", 5 * PER_PERCENT + 1,
             [progress_line(5, "(-)"), debug_line("5.000", "6.000")]),
        ]
        for name, last, lines in cases:
            with self.subTest(name):
                machine = self.machine()
                machine.set_config(level_config("5"))
                battery = self.laptop(machine, charge_now=6 * PER_PERCENT)
                daemon = machine.start(env={"KESTRO_DEBUG": "1"})
                for _ in range(9):
                    cycle = daemon.step()
                    self.assertEqual(machine.status("secs_until_shutdown_request"),
                                     published(secs_until_shutdown(FULL, 6 * PER_PERCENT, level=5)))
                self.assertEqual(cycle.stdout, [])
                battery.set("charge_now", last)
                cycle = daemon.next_pause()
                expected_files = {
                    "ac_status": "Disconnected\n",
                    "battery_percent": published(percent(last, FULL)),
                    "battery_status": "Discharging\n",
                    "secs_until_battery_full": published(secs_until_full(FULL, last)),
                    "secs_until_shutdown_request": published(secs_until_shutdown(FULL, last, level=5)),
                }
                if lines is not None:
                    self.assertEqual((cycle.stdout, cycle.pauses), (lines, [CYCLE_PAUSE]))
                    self.assertEqual(machine.status_files(), expected_files)
                    self.assertEqual(machine.poweroff_calls(), [])
                    continue
                # The files are written before the announcement; no progress or debug line follows it.
                expected_files["secs_until_shutdown_request"] = "0\n"
                self.assertEqual(cycle.stdout, announcement("5"))
                self.assertEqual(cycle.stderr, [])
                self.assertEqual(cycle.pauses, [DEFAULT_WAIT])
                self.assertEqual(machine.status_files(), expected_files)
                self.assertEqual(machine.poweroff_calls(), [], "poweroff runs after the wait")
                run = daemon.run_until_exit()
                self.assertEqual((run.stdout, run.stderr, run.pauses), ([SHUTTING_DOWN], [], []))
                self.assertEqual(run.status.code, 0)
                [call] = machine.poweroff_calls()
                self.assertFalse(call.masked)
                self.assertEqual(call.argv[1:], [])
                self.assertEqual(call.env, {"PATH": default_path(machine), "KESTRO_DEBUG": "1"})
                self.assertEqual(call.open_fds, [])
                self.assertEqual(machine.status_files(), expected_files)

    def test_when_the_estimate_starts_the_shutdown(self):
        above = 5 * PER_PERCENT + 1
        cases = [
            # level, adapter online, battery, published estimate, cycle of the shutdown
            ("just above the level", "5", 0, {"charge_now": above},
             shortest(secs_until_shutdown(FULL, above, level=5)), None),
            ("at the level", "5", 0, {"charge_now": 5 * PER_PERCENT}, "0", 1),
            ("empty, connected", "5", 1, {"charge_now": 0, "status": "Full"}, "1", None),
            # Without a voltage there is no time to go, yet the level is known from the charge.
            ("just above the level, no voltage_now", "5", 0, {"charge_now": above, "voltage_now": None}, None, None),
            ("empty, no voltage_now", "5", 0, {"charge_now": 0, "voltage_now": None}, "0", 1),
            ("empty, no voltage_min_design", "5", 0, {"charge_now": 0, "voltage_min_design": None}, "0", 1),
            ("above the level, no draw", "5", 0, {"charge_now": above, "current_now": 0}, "inf", None),
            # The formula gives 0 for a half-full battery: that must not read as "shut down now".
            ("half full, design voltage 0", "5", 0, {"charge_now": FULL // 2, "voltage_min_design": 0}, None, None),
            ("full, level above every charge", "150", 0, {"charge_now": FULL}, "0", 1),
            ("full, level above every charge, connected", "150", 1, {"charge_now": FULL, "status": "Full"}, "1",
             None),
            ("empty, negative level", "-5", 0, {"charge_now": 0}, shortest(secs_until_shutdown(FULL, 0, level=-5)),
             None),
        ]
        for name, level, online, battery, estimate, shutdown_cycle in cases:
            with self.subTest(name):
                machine = self.machine()
                machine.set_config(level_config(level))
                self.laptop(machine, online=online, **battery)
                daemon = machine.start()
                started = None
                for number in range(1, 4):
                    cycle = daemon.next_pause()
                    if number == 1:
                        self.assertEqual(machine.status("secs_until_shutdown_request"), file_text(estimate))
                    if cycle.pauses == [DEFAULT_WAIT]:
                        self.assertEqual(cycle.stdout[-2:], announcement(level))
                        started = number
                        break
                    self.assertEqual(cycle.pauses, [CYCLE_PAUSE])
                    self.assertEqual(machine.status("secs_until_shutdown_request"), file_text(estimate))
                self.assertEqual(started, shutdown_cycle)

    def test_a_battery_without_design_voltage_draining_past_the_level_is_powered_off(self):
        """An energy-counter battery with neither voltage_min_design nor a
        flow file: no estimate while above the level, the shutdown at it."""
        machine = self.machine()
        machine.set_config(level_config("5"))
        machine.add_adapter("AC", online=0)
        battery = machine.add_battery("BAT0", voltage_min_design=None, current_now=None, charge_full=None,
                                      charge_now=None, energy_full=FULL, energy_now=5 * PER_PERCENT + 2 * STEP)
        daemon = machine.start()
        for number, next_charge in ((1, 5 * PER_PERCENT + STEP), (2, 5 * PER_PERCENT - STEP)):
            cycle = daemon.step()
            self.assertEqual(cycle.pauses, [CYCLE_PAUSE])
            self.assertIsNone(machine.status("secs_until_shutdown_request"), f"cycle {number}")
            battery.set("energy_now", next_charge)
        cycle = daemon.next_pause()
        self.assertEqual((cycle.stdout[-2:], cycle.pauses), (announcement("5"), [DEFAULT_WAIT]))
        self.assertEqual(machine.status("secs_until_shutdown_request"), "0\n")
        self.assertEqual(daemon.run_until_exit().status.code, 0)
        self.assertEqual(len(machine.poweroff_calls()), 1)

    def test_connected_holds_the_shutdown_off_until_unplugged(self):
        machine = self.machine()
        machine.set_config(level_config("5"))
        adapter = machine.add_adapter("AC", online=1)
        # The charge stands still: the claim to charge is verified as "Not charging".
        battery = machine.add_battery("BAT0", status="Charging", charge_full=FULL, charge_now=5 * PER_PERCENT)
        daemon = machine.start()
        for number in range(1, 13):
            cycle = daemon.step()
            if number > 1:
                expected = [start_line("Connected", "5.00%", "Not charging")] if number == 2 else []
                self.assertEqual(cycle.stdout, expected, f"cycle {number}")
            self.assertEqual(machine.status("ac_status"), "Connected\n")
            self.assertEqual(machine.status("secs_until_shutdown_request"), "1\n")
        adapter.set("online", 0)
        battery.set("status", "Discharging")
        cycle = daemon.next_pause()
        self.assertEqual((cycle.stdout, cycle.pauses), (announcement("5"), [DEFAULT_WAIT]))
        self.assertEqual(machine.status("ac_status"), "Disconnected\n")
        self.assertEqual(machine.status("secs_until_shutdown_request"), "0\n")
        self.assertEqual(daemon.run_until_exit().status.code, 0)
        self.assertEqual(len(machine.poweroff_calls()), 1)

    def test_connected_slow_does_not_hold_it_off(self):
        machine = self.machine()
        machine.set_config(level_config("5"))
        self.laptop(machine, online=1, charge_now=5 * PER_PERCENT)
        daemon = machine.start()
        for number in range(1, 6):
            cycle = daemon.step()
            if number > 1:
                expected = [start_line("Connected", "5.00%", "Discharging")] if number == 2 else []
                self.assertEqual(cycle.stdout, expected, f"cycle {number}")
            self.assertEqual(machine.status("secs_until_shutdown_request"), "1\n")
        cycle = daemon.next_pause()
        self.assertEqual(cycle.stdout, [change_line("Connected", "Connected slow", "5.00%", "Discharging")]
                         + announcement("5"))
        self.assertEqual(cycle.pauses, [DEFAULT_WAIT])
        self.assertEqual(machine.status("ac_status"), "Connected slow\n")
        self.assertEqual(machine.status("secs_until_shutdown_request"), "0\n")
        run = daemon.run_until_exit()
        self.assertEqual((run.stdout, run.status.code), ([SHUTTING_DOWN], 0))

    def test_default_level(self):
        machine = self.machine()
        battery = self.laptop(machine, charge_now=250_000)  # 0.5 %, just above 0.49999998 %
        daemon = machine.start()
        daemon.step()
        self.assertEqual(machine.status("secs_until_shutdown_request"),
                         published(secs_until_shutdown(FULL, 250_000)))
        battery.set("charge_now", 249_999)
        cycle = daemon.next_pause()
        self.assertEqual(cycle.stdout, [start_line("Disconnected", "0.50%", "Discharging")]
                         + announcement("0.49999998"))
        self.assertEqual(cycle.pauses, [DEFAULT_WAIT])
        run = daemon.run_until_exit()
        self.assertEqual((run.stdout, run.stderr, run.status.code), ([SHUTTING_DOWN], [], 0))

    def test_unknown_charge_skips_the_decision_for_its_cycle_only(self):
        machine = self.machine()
        machine.set_config(level_config("5"))
        battery = self.laptop(machine, charge_now=0)
        battery.make_directory("charge_now")
        daemon = machine.start()
        cycle = daemon.next_pause()
        self.assertEqual(cycle.pauses, [CYCLE_PAUSE])
        self.assertEqual(cycle.stderr[-1], f"read /sys/class/power_supply/BAT0/charge_now: {IS_A_DIRECTORY}")
        self.assertIsNone(machine.status("secs_until_shutdown_request"))
        battery.remove("charge_now").set("charge_now", 0)
        cycle = daemon.next_pause()
        self.assertEqual(cycle.stdout, [start_line("Disconnected", "0.00%", "Discharging")] + announcement("5"))
        self.assertEqual(cycle.pauses, [DEFAULT_WAIT])

    def test_requested_wait(self):
        """The wait is the configured seconds rounded to the nanosecond, and
        it is the only pause between the announcement and the power-off."""
        cases = [
            ("10", "10", [Pause(10)]),
            ("2.5", "2.5", [Pause(2, 500_000_000)]),
            ("0.000000001", "0.000000001", [Pause(0, 1)]),
            # Just under 3600 s and 1 ns: a truncating conversion loses the nanosecond.
            ("3600.000000001", "3600.000000001", [Pause(3600, 1)]),
            ("0", "0", [Pause(0)]),  # no wait: the daemon asks for a pause of 0
        ]
        for wait, text, pauses in cases:
            with self.subTest(wait=wait):
                machine = self.machine()
                machine.set_config(level_config("150", wait))  # shut down in cycle 1
                self.laptop(machine)
                run = machine.run()
                self.assertEqual(after_running(run.stdout), [MAX_CHARGE] + announcement("150", text) + [SHUTTING_DOWN])
                self.assertEqual(run.pauses, pauses)
                self.assertEqual((run.stderr, run.status.code), ([], 0))
                self.assertEqual(len(machine.poweroff_calls()), 1)

    def test_confirmed_low_battery_traces(self):
        """With confirm_low_battery: (cycle, line) of each announcement and
        calling-off over 60 cycles at the level of 5 %, values changed at
        the start of the cycles given. The level first read in cycle 34 is
        acted on in cycle 38; an announcement last is a power-off."""
        level, below, lone = 5 * PER_PERCENT, 5 * PER_PERCENT + 1000, {"charge_now": 20_000_000, "current_now": 666_667}
        reached, off = "Reached 5% battery.", "Warning: Low-battery action called off: "
        cases = [
            # name, key, start values, {cycle: values}, expected
            ("a lone 0 % at 40 % under 8 W", True, lone, {40: {"charge_now": 0}, 41: {"charge_now": 20_000_000}}, []),
            ("0 % for 20 s after a resume", True, {"charge_now": 15_000_000},
             {40: {"asleep": 100, "charge_now": 0}, 60: {"charge_now": 15_000_000}}, []),
            ("0 % for 15 s at boot", True, {"charge_now": 0}, {16: {"charge_now": 15_000_000}}, []),
            ("a slow discharge", True, {"charge_now": below}, {34: {"charge_now": level}}, [(38, reached)]),
            ("a worn pack's cliff", True, {"charge_now": 10_000_000},
             {34: {"charge_now": 0, "voltage_now": 10_000_000}}, [(38, reached)]),
            ("plugged in during the wait", True, {"charge_now": below},
             {34: {"charge_now": level}, 39: {"online": 1, "status": "Charging"},
              45: {"online": 0, "status": "Discharging"}},
             [(38, reached), (39, off + "adapter connected."), (49, reached)]),
            ("charged above during the wait", True, {"charge_now": below},
             {34: {"charge_now": level}, 39: {"charge_now": below}},
             [(38, reached), (39, off + "charge back above the level.")]),
            ("a lone 0 % without the key", False, lone, {40: {"charge_now": 0}}, [(40, reached)]),
        ]
        for name, key, start, changes, expected in cases:
            with self.subTest(name):
                machine = self.machine()
                machine.set_config(level_config("5") + ("confirm_low_battery = true\n" if key else ""))
                adapter = machine.add_adapter("AC", online=0)
                battery = machine.add_battery("BAT0", charge_full=FULL, **start)
                daemon = machine.start()
                seen, powered_off = [], bool(expected) and expected[-1][1] == reached
                for number in range(1, 61):
                    for attribute, value in changes.get(number, {}).items():
                        if attribute == "asleep":
                            (machine._poweroff_state / "asleep").write_text(str(value))
                        else:
                            (adapter if attribute == "online" else battery).set(attribute, value)
                    lines = daemon.next_pause().stdout
                    if key and expected and number == 35:
                        self.assertEqual((machine.status("secs_until_shutdown_request"),
                                          machine.status("low_battery_confirming")), ("3\n", "1\n"))
                    seen += [(number, line) for line in lines if line.startswith(("Reached", "Warning: Low"))]
                    if powered_off and seen == expected:
                        break
                self.assertEqual(seen, expected)
                if powered_off:
                    self.assertEqual(daemon.run_until_exit().status.code, 0)
                self.assertEqual(len(machine.poweroff_calls()), int(powered_off))

    def test_failed_poweroff_is_fatal(self):
        def fails_with(**result):
            return lambda machine: machine.set_poweroff_result(**result) or {}

        def not_executable(machine):
            machine.fake_poweroff.chmod(0o644)
            return {"PATH": str(machine.fake_poweroff.parent)}

        cases = [
            ("exit code 1", fails_with(exit_code=1), "poweroff: exit status: 1", 1),
            ("exit code 255", fails_with(exit_code=255), "poweroff: exit status: 255", 1),
            ("SIGTERM", fails_with(signal=signal.SIGTERM), "poweroff: signal: 15 (SIGTERM)", 1),
            ("SIGKILL", fails_with(signal=signal.SIGKILL), "poweroff: signal: 9 (SIGKILL)", 1),
            ("not in PATH", lambda machine: {"PATH": "/nonexistent"},
             f"poweroff: {NOT_FOUND}", 0),
            ("not executable", not_executable, f"poweroff: {PERMISSION_DENIED}", 0),
        ]
        for name, prepare, message, runs in cases:
            with self.subTest(name):
                machine = self.machine()
                machine.set_config(level_config("150", "2"))
                self.laptop(machine)
                env = prepare(machine)
                run = machine.run(env=env)
                self.assertEqual(after_running(run.stdout), [MAX_CHARGE] + announcement("150", "2") + [SHUTTING_DOWN])
                self.assertEqual(run.stderr, [fatal(message)])
                self.assertEqual(run.status.code, 101)
                self.assertEqual(len(machine.poweroff_calls()), runs)
                self.assertEqual(machine.status("secs_until_shutdown_request"), "0\n")

    def test_a_stalled_log_reader_stops_neither_the_cycles_nor_the_shutdown(self):
        # Each cycle prints a new charge limit on standard output (cycle 2 its
        # adapter line too), and five failed writes on standard error.
        for stream, dropped, per_cycle in (("stdout", 11, 1), ("stderr", 50, 5)):
            with self.subTest(stream):
                machine = self.machine()
                machine.set_config(level_config("5", "2"))
                battery = self.laptop(machine, charge_now=6 * PER_PERCENT)
                machine.write("/run/kestro", "not a directory")
                machine.set_charge_limit(90)
                daemon = machine.start()
                daemon.step()
                daemon.stall(stream)
                for limit in range(80, 90):
                    machine.set_charge_limit(limit)
                    daemon.step()
                daemon.resume(stream)
                machine.set_charge_limit(70)
                lines = getattr(daemon.step(), stream)
                self.assertEqual((lines[0], len(lines)),
                                 (f"kestro: {dropped} log lines dropped while the log was full", 1 + per_cycle))
                daemon.stall(stream)
                battery.set("charge_now", 0)
                run = daemon.run_until_exit()
                self.assertEqual((run.status.code, len(machine.poweroff_calls())), (0, 1))

    def test_a_terminal_nobody_reads_stops_neither_the_cycles_nor_the_shutdown(self):
        # A new charge limit each cycle: its lines soon fill what the terminal holds (about 19 KB).
        machine = self.machine()
        machine.set_config(level_config("5", "2"))
        battery = self.laptop(machine, charge_now=6 * PER_PERCENT)
        daemon = machine.start(terminal=True)
        for cycle in range(400):
            machine.set_charge_limit(80 + cycle % 2)
            daemon.step()
        battery.set("charge_now", 0)
        run = daemon.run_until_exit()
        self.assertEqual((run.status.code, len(machine.poweroff_calls())), (0, 1))

    def test_poweroff_is_waited_for_when_the_parent_ignored_sigchld(self):
        """An ignored SIGCHLD, inherited through exec, would let the kernel
        reap poweroff before the daemon learns how it ended."""
        cases = [
            ("succeeds", 0, [], 0),
            ("fails", 1, [fatal("poweroff: exit status: 1")], 101),
        ]
        for name, exit_code, stderr, status in cases:
            with self.subTest(name):
                machine = self.machine()
                machine.set_config(level_config("150", "0"))
                machine.set_poweroff_result(exit_code=exit_code)
                self.laptop(machine)
                # bash keeps the clock shim's variables, whose pipes the shim
                # has closed on exec; the shutdown has no wait to hold anyway.
                ignoring = ("/bin/bash", "-c",
                            "trap '' CHLD; unset LD_PRELOAD KESTRO_E2E_CLOCK_FDS; exec \"$0\" \"$@\"")
                run = machine.start(wrapper=ignoring).run_until_exit()
                self.assertEqual(after_running(run.stdout)[-1], SHUTTING_DOWN)
                self.assertEqual((run.stderr, run.status.code), (stderr, status))
                self.assertEqual(len(machine.poweroff_calls()), 1)

    def test_poweroff_starts_with_sigpipe_at_its_default(self):
        """The daemon ignores SIGPIPE; poweroff must not inherit that. A shell
        in front of the fake records the dispositions it was started with."""
        machine = self.machine()
        machine.set_config(level_config("150", "0"))
        self.laptop(machine)
        recorder = machine.root / "recorder"
        recorder.mkdir()
        real_fake = recorder / "fake_poweroff"
        machine.fake_poweroff.rename(real_fake)
        record = recorder / "signals"
        machine.fake_poweroff.write_text(
            "#!/bin/sh\n"
            "while read -r key value; do\n"
            '  case $key in SigIgn:|SigBlk:) echo "$key $value";; esac\n'
            f"done < /proc/self/status > '{record}'\n"
            f"exec '{real_fake}' \"$@\"\n")
        machine.fake_poweroff.chmod(0o755)
        run = machine.run()
        self.assertEqual(run.status.code, 0, run.stderr)
        masks = dict(line.split() for line in record.read_text().splitlines())
        sigpipe = 1 << (signal.SIGPIPE - 1)
        self.assertEqual(int(masks["SigIgn:"], 16) & sigpipe, 0, "SIGPIPE ignored in poweroff")
        self.assertEqual(int(masks["SigBlk:"], 16), 0, "signals blocked in poweroff")
        [call] = machine.poweroff_calls()
        self.assertEqual(call.argv[1:], [])
        self.assertNotIn("LD_PRELOAD", call.env)


class RoadOfOneEventTest(SandboxTestCase):
    def test_unplugged_laptop_runs_down_and_powers_off(self):
        """A laptop charging at 28 % is unplugged in cycle 4 and loses a
        percent a cycle until, in cycle 33, it is at 0.4 %, below the default
        level: every line of every cycle, and every status file."""
        current = 2_000_000
        percents = {1: 28, 2: 29, 3: 30}
        percents.update({number: 33 - number for number in range(4, 33)})
        charges = {number: value * PER_PERCENT for number, value in percents.items()}
        charges[33] = 200_000  # 0.4 %
        unplugged_at = 4
        machine = self.machine()
        adapter = machine.add_adapter("AC", online=1)
        battery = machine.add_battery("BAT0", status="Charging", charge_full=FULL, charge_now=charges[1],
                                      current_now=current)
        daemon = machine.start()
        previous_estimate = None
        lines = {
            2: [start_line("Connected", "29.00%", "Charging")],
            3: [progress_line(30, "(+)")],
            8: [progress_line(25, "(-)")],
            9: [change_line("Connected", "Disconnected", "24.00%", "Discharging")],
        }
        lines.update({number: [progress_line(33 - number, "(-)")] for number in range(13, 33)})  # 20 % to 1 %
        previous_estimate = None
        for number in range(1, 33):
            now = charges[number]
            if number == unplugged_at:
                adapter.set("online", 0)
                battery.set("status", "Discharging")
            battery.set("charge_now", now)
            cycle = daemon.step()
            if number == 1:
                self.assertEqual(after_running(cycle.stdout), [MAX_CHARGE])
            else:
                self.assertEqual(cycle.stdout, lines.get(number, []), f"cycle {number}")
                self.assertEqual(cycle.stderr, [], f"cycle {number}")
            plugged = number < unplugged_at
            self.assertEqual(machine.status_files(), {
                "ac_status": "Connected\n" if plugged else "Disconnected\n",
                "battery_percent": published(percent(now, FULL)),
                "battery_status": ("Unknown" if number == 1 else "Charging" if plugged else "Discharging") + "\n",
                "secs_until_battery_full": published(secs_until_full(FULL, now, rate=current)),
                "secs_until_shutdown_request": published(secs_until_shutdown(FULL, now, rate=current)),
            }, f"cycle {number}")
            estimate = float(machine.status("secs_until_shutdown_request"))
            if number > unplugged_at:
                self.assertLess(estimate, previous_estimate, f"cycle {number}: the estimate counts down")
            previous_estimate = estimate
        # Cycle 33 (at 0.4 %): the announcement instead of " 0% (-)".
        battery.set("charge_now", charges[33])
        cycle = daemon.next_pause()
        self.assertEqual((cycle.stdout, cycle.stderr, cycle.pauses), (announcement("0.49999998"), [], [DEFAULT_WAIT]))
        last_values = {
            "ac_status": "Disconnected\n",
            "battery_percent": published(percent(charges[33], FULL)),
            "battery_status": "Discharging\n",
            "secs_until_battery_full": published(secs_until_full(FULL, charges[33], rate=current)),
            "secs_until_shutdown_request": "0\n",
        }
        self.assertEqual(machine.status_files(), last_values)
        self.assertEqual(machine.poweroff_calls(), [])
        # Plugging in during the wait changes nothing: nothing is read any more.
        adapter.set("online", 1)
        battery.set("status", "Charging")
        run = daemon.run_until_exit()
        self.assertEqual((run.stdout, run.stderr, run.pauses, run.status.code), ([SHUTTING_DOWN], [], [], 0))
        [call] = machine.poweroff_calls()
        self.assertEqual((call.argv[1:], call.masked), ([], False))
        self.assertEqual(machine.status_files(), last_values)


class SleepingActionTest(SandboxTestCase):
    """critical_action through the fake systemctl, on the journal stream so
    that each line shows its level. After a request the daemon runs on and
    acts again at once after a re-arm, else only after the grace (awake
    time); unless the fake sleeps, that second action is the poweroff.
    Any failure of systemctl is followed by the poweroff at once, and one
    that blocks is killed after 30 s awake. A systemctl that returns after
    the resume has the sleep inside: the next action sleeps again."""

    def test_success_and_each_failure(self):
        def fails_with(**result):
            return lambda machine: machine.set_poweroff_result(**result, command="systemctl")

        def not_found(machine):
            machine.fake_systemctl.unlink()
            return {"PATH": str(machine.fake_poweroff.parent)}

        blocks, sleeps = fails_with(block=True), fails_with(asleep=3600)
        cases = [  # action, its words, the wait, the grace; how systemctl fails and why (None: it succeeds)
            ("hibernate", "Hibernating", "hibernate", "2", 60, None, None),
            ("hibernate", "Hibernating", "hibernate", "2", 60, sleeps, None),
            ("hibernate", "Hibernating", "hibernate", "2", 60, blocks, "killed after 30 seconds awake without finishing"),
            ("hibernate", "Hibernating", "hibernate", "2", 60, not_found, NOT_FOUND),
            ("hybrid-sleep", "Entering hybrid sleep", "enter hybrid sleep", "2", 60, fails_with(exit_code=1),
             "exit status: 1"),
            ("suspend-then-hibernate", "Suspending (then hibernating)", "suspend (then hibernate)", "2", 60,
             fails_with(signal=signal.SIGKILL), "signal: 9 (SIGKILL)"),
        ]
        for action, doing, verb, wait, grace, prepare, why in cases:
            with self.subTest(action=action, why=why):
                machine = self.machine()
                machine.set_config(level_config("150", wait) + f'critical_action = "{action}"\n')  # due at once
                adapter = machine.add_adapter("AC", online=0)
                machine.add_battery("BAT0", charge_full=FULL)
                daemon = machine.start(env=prepare and prepare(machine), journal=True)
                calls = lambda: [(Path(call.argv[0]).name, call.argv[1:]) for call in machine.poweroff_calls()]
                systemctl = [("systemctl", [action])]
                acting = ["<2>Reached 150% battery.", f"<2>{doing} in {wait} seconds.", f"<2>{doing} now."]
                if why is not None:
                    # The wait for a blocked systemctl is released only once a step has returned it.
                    held = daemon.step(until=Pause(30)) if prepare is blocks else None
                    for _ in range(500 if held else 0):  # until the blocked systemctl has recorded its run
                        if machine.poweroff_calls():
                            break
                        time.sleep(0.01)
                    run = daemon.run_until_exit()
                    self.assertEqual(((held.stdout if held else []) + run.stdout)[-5:], acting + [
                        f"<2>Could not {verb}: systemctl {action}: {why}; powering off.", "<2>" + SHUTTING_DOWN])
                    self.assertEqual(((held.pauses if held else []) + run.pauses, run.status.code),
                                     ([Pause(2)] + [Pause(30)] * (prepare is blocks), 0))
                    self.assertEqual(calls(), systemctl * (prepare is not not_found) + [("poweroff", [])])
                    continue
                acting.append(f"<6>Info: systemctl {action} succeeded; held off for {grace} seconds awake, "
                              "or until connected or charged above the level.")
                first = daemon.step()
                self.assertEqual((first.stdout[3], first.stdout[-4:], machine.status("critical_action")),
                                 (f"<6>Info: Config: critical_action: {action}", acting, f"{action}\n"))
                daemon.step()
                self.assertEqual(machine.status("secs_until_shutdown_request"), f"{grace - 1}\n")
                adapter.set("online", 1)
                self.assertEqual(daemon.step().stdout, [f"<6>Info: Armed again: at the low level the computer "
                                                        f"will {verb}."])
                adapter.set("online", 0)
                self.assertEqual(daemon.step().stdout, acting)
                daemon.steps(grace - 1)
                self.assertEqual((machine.status("secs_until_shutdown_request"), calls()), ("1\n", systemctl * 2))
                if prepare is sleeps:
                    self.assertEqual(daemon.step().stdout, acting)
                    continue
                run = daemon.run_until_exit()
                self.assertEqual(run.stdout, [
                    "<2>Reached 150% battery.", f"<2>The computer did not {verb} after the last request; powering off.",
                    f"<2>Forcing shutdown in {wait} seconds.", "<2>" + SHUTTING_DOWN])
                self.assertEqual((run.status.code, calls()[-1]), (0, ("poweroff", [])))


class TwoBatteriesTest(SandboxTestCase):
    def test_worn_internal_pack_late_swapped_external_pack_drained_one_after_the_other(self):
        """Booted on mains with only a worn-out BAT0 at 2 %; BAT1 is inserted
        and joins at the look of cycle 60, is swapped for a full pack on
        mains, then, unplugged, BAT0 runs empty (no shutdown: BAT1 holds the
        machine's charge), then BAT1 drains until the machine's charge is at
        5 %."""
        bat = f"{POWER_SUPPLY_DIR}/BAT1"
        machine = self.machine()
        adapter = machine.add_adapter("AC", online=1)
        bat0 = machine.add_battery("BAT0", status="Not charging", charge_full=1_000_000, charge_now=20_000,
                                   current_now=0)
        machine.set_config(level_config("5"))
        daemon = machine.start()
        daemon.step()
        self.assertEqual(machine.status("secs_until_shutdown_request"), "1\n", "alone at 2 %, held off by mains")
        machine.add_battery("BAT1", status="Not charging", charge_now=4_000_000, current_now=0)
        joined = daemon.steps(59)[-1]
        self.assertEqual((joined.number, joined.stdout), (60, [f"Info: Init: Found battery: '{bat}'"]))
        self.assertEqual(machine.status("battery_percent"), "67\n")  # 44.6 Wh of 66.6 Wh
        machine.remove_supply("BAT1")
        self.assertEqual(daemon.step().stdout, [f"Info: Battery gone: '{bat}'"])
        self.assertEqual(machine.status("secs_until_shutdown_request"), "1\n")
        machine.add_battery("BAT1", status="Not charging", charge_now=5_000_000, current_now=0)
        self.assertEqual(daemon.step().stdout, [f"Info: Battery back: '{bat}'"])
        adapter.set("online", 0)
        bat0.update(status="Discharging", current_now=1_000_000, charge_now=0)
        machine.supply("BAT1").set("status", "Unknown")
        daemon.steps(5)
        # BAT0 empty, BAT1's 55.5 Wh of 66.6 Wh left at BAT0's 12 W.
        self.assertEqual(machine.status_files(), {
            "ac_status": "Disconnected\n", "battery_percent": "83.33333333333334\n",
            "battery_status": "Discharging\n", "secs_until_battery_full": "3330\n",
            "secs_until_shutdown_request": "15651\n"})
        bat0.update(status="Unknown", current_now=0)
        machine.supply("BAT1").update(status="Discharging", current_now=2_000_000, charge_now=300_001)
        # Just above 5 % of the machine's charge.
        self.assertEqual(daemon.step().stdout, [change_line("Connected", "Disconnected", "5.00%", "Discharging"),
                                                progress_line(5, "(-)")])
        self.assertEqual(machine.status("secs_until_shutdown_request"), "0.0016650000000139698\n")
        machine.supply("BAT1").set("charge_now", 300_000)
        run = daemon.run_until_exit()
        self.assertEqual((run.stdout[-3:], run.status.code), (announcement("5") + [SHUTTING_DOWN], 0))
        self.assertEqual(len(machine.poweroff_calls()), 1)

    def test_pack_swapped_for_one_of_another_kind_counts_again(self):
        bat = f"{POWER_SUPPLY_DIR}/BAT1"
        machine = self.machine()
        machine.add_adapter("AC", online=0)
        bat0 = machine.add_battery("BAT0", charge_full=1_000_000, charge_now=500_000)
        machine.add_battery("BAT1")
        machine.set_config(level_config("5"))
        daemon = machine.start()
        daemon.steps(2)
        machine.remove_supply("BAT1")
        self.assertEqual(daemon.step().stdout, [f"Info: Battery gone: '{bat}'"])
        machine.add_battery("BAT1", charge_full=None, charge_now=None, current_now=None, energy_full=11_100_000,
                            energy_now=11_100_000, power_now=12_000_000)
        back = daemon.step()
        self.assertEqual((back.stdout, back.stderr), ([
            f"Info: Battery back: '{bat}'", using(f"{bat}/energy_full", "charge_full"),
            using(f"{bat}/energy_now", "charge_now"), using(f"{bat}/power_now", "current_now")], []))
        self.assertEqual(machine.status("battery_percent"), "75\n")  # 16.65 Wh of 22.2 Wh
        bat0.set("charge_now", 0)
        machine.supply("BAT1").set("energy_now", 0)
        run = daemon.run_until_exit()
        self.assertEqual((run.stdout[-3:], run.status.code), (announcement("5") + [SHUTTING_DOWN], 0))

    def test_pack_that_misreads_beside_one_at_half(self):
        bat = f"{POWER_SUPPLY_DIR}/BAT1"
        cases = [
            # BAT1's attributes, standard error of cycle 1 after NO_CONFIG, battery_percent, seconds to shutdown
            ({"charge_now": ""}, [f"read {bat}/charge_now: {EMPTY_NUMBER}",
                                  throttled(f"{bat}: left out of the machine's charge", 1, 1, 1)], "50\n", None),
            ({"charge_now": -32_768_000}, [], "25\n", None),  # a 16-bit register read as signed: empty
            ({"current_now": ""}, [f"read {bat}/current_now: {EMPTY_NUMBER}", throttled(f"{bat}/current_now", 1, 1, 1)],
             "50\n", "inf\n"),
        ]
        for attributes, stderr, charge, secs in cases:
            with self.subTest(**attributes):
                machine = self.machine()
                machine.add_adapter("AC", online=0)
                machine.add_battery("BAT0")
                machine.add_battery("BAT1", **attributes)
                first = machine.start().step()
                self.assertEqual((first.stderr, first.pauses), ([NO_CONFIG, *stderr], [CYCLE_PAUSE]))
                self.assertEqual(machine.status("battery_percent"), charge)
                if secs:
                    self.assertEqual(machine.status("secs_until_shutdown_request"), secs)

    def test_late_pack_joins_within_a_minute_of_slow_cycles(self):
        machine = self.machine()
        machine.add_adapter("AC", online=0)
        machine.add_battery("BAT0")
        machine.set_charge_limit("-5")  # retried three times in every cycle, which then takes 2 s
        daemon = machine.start()
        daemon.step()
        machine.add_battery("BAT1")
        self.assertEqual([c.number for c in daemon.steps(40) if found_battery("BAT1") in c.stdout], [31])


# ---------------------------------------------------------------------------
# kestro-status on the live daemon's status directory


def status_command() -> str:
    """kestro-status, built beside the daemon."""
    return str(Path(kestro_binary()).parent / "kestro-status")


def context_switches(pid: int) -> int:
    """How often the process has gone to sleep: one for each wake-up."""
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("voluntary_ctxt_switches:"))


class Watcher:
    """kestro-status --watch, its output read line by line."""

    def __init__(self, *args: str):
        self.process = subprocess.Popen([status_command(), "--watch", *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.lines = Lines(self.process)

    def line(self, timeout: float = 5.0) -> Optional[str]:
        """The next line, or None when none comes within the timeout."""
        return self.lines.next(timeout)

    def end(self, number: int = signal.SIGTERM) -> tuple[int, bytes]:
        """Its exit status and what it wrote on standard error."""
        if self.process.poll() is None:
            self.process.send_signal(number)
        _, stderr = self.process.communicate(timeout=5)
        return self.process.returncode, stderr


def publish_all(folder: Path, values: str, age: float = 0) -> None:
    """The five status files, comma-separated (empty: none), as old as given."""
    for name, value in zip(STATUS_FILES, values.split(",")):
        if value:
            (folder / name).write_text(value + "\n")
            os.utime(folder / name, (time.time() - age,) * 2)


# Each state a bar shows: its files, their age, and Waybar's text as Pango reads it.
BAR_STATES = [("Connected,57.1,Charging,1500,", 0, "57% 25 min"),
              ("Connected slow,43.2,Discharging,,7500", 0, "43% 2 h 5 min"), ("Connected,100,Full,,", 0, "100%"),
              ("Disconnected,20,Discharging,,1800", 0, "20% 30 min"), ("Disconnected,8,Discharging,,600", 0, "8% 10 min"),
              ("Disconnected,5,Discharging,,29", 0, "5% <1 min"), ("Disconnected,5,Discharging,,29", 60, "5% <1 min (stale)"),
              ("Disconnected,4.47,Discharging,,0", 0, "4% shutdown"), ("Disconnected,50,Discharging,,1e21", 0, "50% >99 h"),
              ("Disconnected,,Unknown,,", 0, "Unknown"), (",,,,", 0, "")]


class StatusCommandTest(SandboxTestCase):
    """kestro-status reading what the running daemon publishes."""

    def watcher(self, *args: str) -> Watcher:
        watcher = Watcher(*args)
        self.addCleanup(lambda: watcher.process.poll() is None and watcher.end(signal.SIGKILL))
        return watcher

    def test_watch_follows_the_daemon(self):
        """From before the directory exists to after the daemon has stopped:
        one output for each cycle that changes what it shows, an unplugging
        within its cycle, a removed directory, staleness, and then sleep."""
        machine = self.machine()
        adapter = machine.add_adapter("AC", online=1)
        battery = machine.add_battery("BAT0", status="Charging", charge_full=FULL, charge_now=STEADY_START)
        folder = str(machine.status_dir)
        line = self.watcher("--dir", folder, "--max-age", "1")
        values = self.watcher("--dir", folder, "--json")
        self.assertEqual(line.line(), "", "nothing known yet")
        self.assertIsNone(json.loads(values.line())["ac_status"])

        daemon = machine.start()
        now = STEADY_START
        for number in range(1, 4):
            battery.set("charge_now", now)
            daemon.step()
            record = json.loads(values.line())
            self.assertEqual(record["battery_percent"], float(machine.status("battery_percent")), f"cycle {number}")
            self.assertIsNone(values.line(timeout=0.3), f"cycle {number}: one output")
            now += STEP
        shown = []
        while (text := line.line(timeout=0.3)) is not None:
            shown.append(text)
        self.assertTrue(shown and shown[-1].startswith("Connected, 52.0"), shown)

        adapter.set("online", 0)
        battery.set("status", "Discharging")
        daemon.step()
        self.assertTrue(line.line().startswith("Disconnected, 52.0"), "within the cycle of the unplugging")

        shutil.rmtree(machine.status_dir)
        self.assertEqual(line.line(), "")
        daemon.step()  # writes the directory and the files again
        self.assertTrue(line.line().startswith("Disconnected, 52.0"))

        daemon.kill()
        self.assertTrue(line.line().endswith(" (stale)"), "the daemon has stopped")
        self.assertIsNone(line.line(timeout=0.2))
        wake_ups = context_switches(line.process.pid)
        self.assertIsNone(line.line(timeout=1.0))
        self.assertEqual(context_switches(line.process.pid), wake_ups, "nothing fresh: no timer, no wake-up")
        self.assertEqual(line.end(), (0, b""))
        self.assertEqual(values.end(signal.SIGINT), (0, b""))

    def test_watch_ends_when_its_reader_goes_away(self):
        machine = self.machine()
        machine.add_adapter("AC", online=0)
        machine.add_battery("BAT0")
        machine.start().step()
        watcher = self.watcher("--dir", str(machine.status_dir), "--waybar")
        self.assertEqual(json.loads(watcher.line())["class"], ["discharging"])
        watcher.process.stdout.close()
        self.assertEqual(watcher.end(), (0, b""), "ended before anything more to write")

    def test_each_format_once(self):
        machine = self.machine()
        machine.add_adapter("AC", online=0)
        machine.add_battery("BAT0", charge_full=FULL, charge_now=26_000_000)
        daemon = machine.start()
        daemon.steps(2)
        folder = str(machine.status_dir)
        files = machine.status_files()

        def run(*args: str) -> str:
            result = subprocess.run([status_command(), "--dir", folder, *args], capture_output=True, text=True)
            self.assertEqual((result.returncode, result.stderr), (0, ""), args)
            return result.stdout

        estimate = float(files["secs_until_shutdown_request"])
        self.assertRegex(run(), r"^Disconnected, 52\.0%, Discharging, shutdown in (\d+ h )?\d+ min\n$")
        record = json.loads(run("--json"))
        self.assertEqual((record["ac_status"], record["battery_percent"], record["secs_until_shutdown_request"],
                          record["critical_action"]), ("Disconnected", 52.0, estimate, "poweroff"))
        self.assertEqual(json.loads(run("--waybar"))["percentage"], 52)
        self.assertEqual(run("--i3blocks").splitlines()[1].split()[0], "52%")
        try:
            from prometheus_client.parser import text_string_to_metric_families
        except ImportError:
            self.skipTest("python3-prometheus-client is not installed (scripts/install-deps installs it)")
        samples = {(sample.name, tuple(sorted(sample.labels.items()))): sample.value
                   for family in text_string_to_metric_families(run("--prometheus")) for sample in family.samples}
        self.assertEqual(samples[("kestro_until_shutdown_request_seconds", ())], estimate)
        self.assertEqual(samples[("kestro_ac_status", (("status", "Disconnected"),))], 1)
        self.assertEqual(samples[("kestro_battery_status", (("status", "Discharging"),))], 1)
        self.assertEqual(samples[("kestro_status_stale", ())], 0)
        self.assertEqual(samples[("kestro_critical_action", (("action", "poweroff"),))], 1)
        self.assertLess(samples[("kestro_status_file_age_seconds", (("file", "ac_status"),))], 10)

    def test_every_waybar_text_passes_pangos_markup_parser(self):
        try:
            import gi
            gi.require_version("Pango", "1.0")
            from gi.repository import Pango
        except (ImportError, ValueError):
            self.skipTest("Pango's introspection data is not installed (scripts/install-deps installs it)")
        for values, age, text in BAR_STATES:
            with self.subTest(values=values, age=age):
                folder = Path(self.enterContext(tempfile.TemporaryDirectory()))
                publish_all(folder, values, age)
                block = json.loads(subprocess.run([status_command(), "--dir", folder, "--waybar"],
                                                  capture_output=True, text=True).stdout)
                shown = [Pango.parse_markup(block[key], -1, "\0")[2] for key in ("text", "alt", "tooltip")]
                self.assertEqual(shown[0], text)

    def test_debians_i3blocks_hands_the_colour_and_the_urgent_flag_to_i3bar(self):
        if shutil.which("i3blocks") is None:
            self.skipTest("i3blocks is not installed (scripts/install-deps installs it)")
        [persistent] = re.findall(r"```ini\n([^`]*--watch --i3blocks[^`]*)```", (SOURCE_ROOT / "README.md").read_text())
        folder = Path(self.enterContext(tempfile.TemporaryDirectory()))
        for config in (persistent, "[kestro]\ncommand=kestro-status --i3blocks\ninterval=once\n"):
            publish_all(folder, "Disconnected,5,Discharging,,29")
            (folder / "i3blocks.conf").write_text(config)
            bar = subprocess.Popen(["i3blocks", "-c", folder / "i3blocks.conf"], stdout=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL, start_new_session=True,
                                   env={"PATH": f"{Path(status_command()).parent}:/usr/bin:/bin",
                                        "KESTRO_STATUS_DIR": str(folder)})
            self.addCleanup(lambda bar=bar: (os.killpg(bar.pid, signal.SIGKILL), bar.wait(), bar.stdout.close()))
            lines = Lines(bar)
            blocks = (block for line in iter(lambda: lines.next(5), None) if line.startswith(",[")
                      for block in json.loads(line[1:]) if block.get("name") == "kestro")
            states = [next(blocks)]
            if "persist" in config:
                publish_all(folder, "Disconnected,20,Discharging,,1800")
                states.append(next(blocks))
            self.assertEqual([(block["color"], block.get("urgent")) for block in states],
                             [("#FF0000", True), ("#FFA500", None)][:len(states)], config)

    def test_probe_names_what_the_daemon_would_find_and_read(self):
        """In the sandbox's sysfs, beside a running upowerd whose critical action is risky but not allowed."""
        machine = self.machine()
        machine.add_supply("hidpp_battery_0", "Battery")
        machine.add_adapter("AC")
        machine.add_battery("BAT1", charge_full=None, voltage_now=None, current_now=None, energy_full=1, energy_now=1,
                            power_now=1)
        machine.add_battery("BAT0")
        machine.etc.write("UPower/UPower.conf", "[UPower]\nCriticalPowerAction=Ignore\nPercentageAction=3\n")
        shutil.copy("/bin/sleep", machine.fake_poweroff.with_name("upowerd"))
        started = "until grep -qx upowerd /proc/$!/comm; do :; done"
        run = machine.run(["-c", f"upowerd 9 & {started}; exec {status_command()} --probe"], binary="/bin/sh")
        supplies = "/sys/class/power_supply"
        self.assertEqual(run.stdout[:3], [f"Adapter: {supplies}/AC",
                                          f"Battery: {supplies}/BAT0: reads charge (charge_now, charge_full) "
                                          "and current (current_now)",
                                          f"Battery: {supplies}/BAT1: reads energy (energy_now, energy_full) "
                                          "and power (power_now); missing: voltage_now"])
        self.assertEqual(run.stdout[3:], [f"Not watched: {supplies}/hidpp_battery_0 (Battery)",
                                          "UPower: running, its critical action HybridSleep at 3% (kestro's default "
                                          "level is 0.5%: the higher level acts first; see kestro(8), COEXISTENCE)",
                                          "Supported: kestro would watch 2 batteries"])
        self.assertEqual((run.stderr, run.status.code), ([], 0))


if __name__ == "__main__":
    unittest.main()
