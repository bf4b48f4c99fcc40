"""Power-supply access of the real daemon: finding the adapter and the
battery, choosing the battery's attribute files, reading them every cycle
with their failure reports, and following the charge limit."""

import os
import unittest

from kestro_expected import (CURRENT_NOW, EMPTY_NUMBER, FILE_TOO_LARGE, INVALID_NUMBER, IS_A_DIRECTORY, NO_ADAPTER,
                             NO_BATTERY, NO_CONFIG, NO_LIMIT_FILE, NOT_FOUND, NOT_UTF8, PERMISSION_DENIED, SETTINGS,
                             VERSION, VOLTAGE_NOW, found_adapter, found_battery, limit_failed, limit_file,
                             missing_file, missing_files, new_limit, published, secs_until_full, secs_until_shutdown,
                             start_line, start_up, throttled, using)
from kestro_sandbox import (
    CHARGE_LIMIT_PATH,
    CYCLE_PAUSE,
    POWER_SUPPLY_DIR,
    RETRY_PAUSE,
    Machine,
    SandboxTestCase,
)

BAT0 = f"{POWER_SUPPLY_DIR}/BAT0"
THRESHOLD_PATH = f"{BAT0}/charge_control_end_threshold"

# The default battery of the harness: half charged, discharging at 1 A.
FULL, NOW = 5_000_000, 2_500_000


def start_status(adapter: str, charge: str = "50.00%", status: str = "Discharging") -> str:
    return start_line(adapter, charge, status)


class PowerSupplyTestCase(SandboxTestCase):
    def first_cycle(self, machine: Machine, **options):
        daemon = machine.start(**options)
        return daemon, daemon.step()

    def assert_cycle(self, cycle, stdout, stderr, pauses=(CYCLE_PAUSE,)):
        self.assertEqual(cycle.stdout, stdout, f"stdout of cycle {cycle.number}")
        self.assertEqual(cycle.stderr, stderr, f"stderr of cycle {cycle.number}")
        self.assertEqual(cycle.pauses, list(pauses), f"pauses of cycle {cycle.number}")


class DiscoveryTest(PowerSupplyTestCase):
    def test_adapter_and_battery(self):
        machine = self.machine()
        machine.add_adapter("AC")
        machine.add_battery("BAT0")
        _, cycle = self.first_cycle(machine)
        self.assert_cycle(cycle, start_up() + [new_limit(100)], [NO_CONFIG])
        self.assertEqual(machine.status("ac_status"), "Connected\n")

    def test_first_adapter_in_listing_order_wins(self):
        machine = self.machine()
        # Only the adapter taken is read: online tells them apart.
        adapters = {"AC": 1, "ADP1": 0, "ACAD": 1, "ADP0": 0}
        for name, online in adapters.items():
            machine.add_adapter(name, online=online)
        machine.add_supply("usb", "USB", online=1)
        machine.add_battery("BAT0")
        first = next(name for name in machine.power_supply_order() if name in adapters)
        _, cycle = self.first_cycle(machine)
        self.assert_cycle(cycle, start_up(found_adapter(first)) + [new_limit(100)], [NO_CONFIG])
        self.assertEqual(machine.status("ac_status"), "Connected\n" if adapters[first] else "Disconnected\n")

    def test_entries_after_the_adapter_are_not_examined(self):
        # A type file that is not text aborts start-up only when the search
        # reaches it, that is, when it is listed before the adapter.
        for broken in ("X0", "X1", "X2", "X3"):
            with self.subTest(broken=broken):
                machine = self.machine()
                machine.add_adapter("AC")
                machine.add_supply(broken, b"\xff\xfe")
                machine.add_battery("BAT0")
                order = machine.power_supply_order()
                daemon = machine.start()
                if order.index("AC") < order.index(broken):
                    self.assertEqual(daemon.step().stdout,
                                     start_up() + [new_limit(100)])
                else:
                    run = daemon.run_until_exit()
                    self.assertEqual((run.stdout, run.status.code), ([VERSION, *SETTINGS], 101))
                    self.assertIn(f"{POWER_SUPPLY_DIR}/{broken}/type", run.stderr[-1])

    def test_supply_that_is_not_mains(self):
        cases = [
            ("USB", lambda m: m.add_supply("usb", "USB", online=1)),
            ("lower-case mains", lambda m: m.add_supply("AC", "mains", online=1)),
            ("no type file", lambda m: m.add_supply("AC", None, online=1)),
        ]
        for name, build in cases:
            with self.subTest(name):
                machine = self.machine()
                build(machine)
                machine.add_battery("BAT0")
                daemon, cycle = self.first_cycle(machine)
                # Without an adapter the loop reads /online, reported once.
                self.assert_cycle(cycle, start_up(NO_ADAPTER) + [new_limit(100)],
                                  [NO_CONFIG, f"read /online: {NOT_FOUND}"])
                self.assert_cycle(daemon.step(), [start_status("Disconnected")], [])
                self.assertEqual(machine.status("ac_status"), "Disconnected\n", "it follows the battery's status")

    def test_battery_among_bat0_to_bat8(self):
        other = {"charge_full": 4_000_000, "charge_now": 1_000_000}  # 25 %, where the wrong battery shows
        cases = [
            ("BAT0 missing", {"BAT1": "Battery"}, "BAT1"),
            ("BAT0 of type UPS", {"BAT0": "UPS", "BAT1": "Battery"}, "BAT1"),
            ("BAT0 without type file", {"BAT0": None, "BAT2": "Battery"}, "BAT2"),
            ("type with other words", {"BAT3": "Li-ion Battery pack"}, "BAT3"),
            ("BAT8 is the last candidate", {"BAT9": "Battery", "BAT8": "Battery"}, "BAT8"),
        ]
        for name, supplies, expected in cases:
            with self.subTest(name):
                machine = self.machine()
                machine.add_adapter("AC", online=0)
                for supply, kind in supplies.items():
                    if supply == expected:
                        machine.add_battery(supply, type=kind)
                    else:
                        machine.add_battery(supply, type=kind, **other)
                _, cycle = self.first_cycle(machine)
                self.assert_cycle(cycle, start_up(battery_line=found_battery(expected)) + [new_limit(100)], [NO_CONFIG])
                self.assertEqual(machine.status("battery_percent"), "50\n", "the battery found is the one read")

    def test_no_battery_stops_the_daemon(self):
        cases = [
            ("BAT9 only", lambda m: m.add_battery("BAT9"), found_adapter("AC")),
            ("CMB0 only", lambda m: m.add_battery("CMB0"), found_adapter("AC")),
            ("BAT10 only", lambda m: m.add_battery("BAT10"), found_adapter("AC")),
            ("BAT0 of type UPS", lambda m: m.add_battery("BAT0", type="UPS"), found_adapter("AC")),
            ("lower-case type", lambda m: m.add_battery("BAT0", type="battery"), found_adapter("AC")),
            ("BAT0 without type file", lambda m: m.add_battery("BAT0", type=None), found_adapter("AC")),
        ]
        for name, build, adapter_line in cases:
            with self.subTest(name):
                machine = self.machine()
                machine.add_adapter("AC")
                build(machine)
                run = machine.run()
                self.assertEqual(run.stdout, [VERSION, *SETTINGS, adapter_line, NO_BATTERY])
                self.assertEqual(run.stderr, [NO_CONFIG])
                self.assertEqual(run.status.code, 0)
                self.assertEqual(run.pauses, [])
                self.assertFalse(machine.status_dir.exists(), "nothing is published without a battery")

    def test_complete_output_without_a_battery(self):
        machine = self.machine()
        machine.add_adapter("ADP1")
        machine.add_battery("CMB0")
        run = machine.run()
        self.assertEqual(run.stdout, [VERSION, *SETTINGS, found_adapter("ADP1"), NO_BATTERY])
        self.assertEqual(run.stderr, [NO_CONFIG])
        self.assertEqual(run.status.code, 0)
        self.assertEqual(run.pauses, [])
        self.assertFalse(machine.status_dir.exists())
        self.assertEqual(machine.poweroff_calls(), [])

    def test_type_file_that_cannot_be_read_is_fatal(self):
        def unreadable(m, name):
            m.supply(name).chmod("type", 0)

        def directory(m, name):
            m.supply(name).make_directory("type")

        cases = [
            ("adapter type unreadable", "AC", unreadable, PERMISSION_DENIED),
            ("battery type unreadable", "BAT0", unreadable, PERMISSION_DENIED),
            ("adapter type not UTF-8", "AC", lambda m, n: m.supply(n).set("type", b"Mains\xff\n"), NOT_UTF8),
            ("battery type not UTF-8", "BAT0", lambda m, n: m.supply(n).set("type", b"\xc3Battery\n"), NOT_UTF8),
            ("battery type a directory", "BAT0", directory, IS_A_DIRECTORY),
        ]
        for name, supply, spoil, error in cases:
            with self.subTest(name):
                machine = self.machine()
                machine.add_adapter("AC")
                machine.add_battery("BAT0")
                spoil(machine, supply)
                order = machine.power_supply_order()
                run = machine.run(drop_dac_caps=True)
                # The adapter line comes only when AC is found before the search meets the broken file.
                before = [found_adapter("AC")] if supply == "BAT0" and order.index("AC") < order.index("BAT0") else []
                self.assertEqual(run.stdout, [VERSION, *SETTINGS, *before])
                self.assertEqual(run.status.code, 101)
                self.assertEqual(run.stderr[0], NO_CONFIG)
                self.assertEqual(len(run.stderr), 2, run.stderr)
                report = run.stderr[1]
                for part in ("Cannot read path", f"{POWER_SUPPLY_DIR}/{supply}/type", error):
                    self.assertIn(part, report)
                self.assertFalse(machine.status_dir.exists())

    def test_power_supply_directory_that_cannot_be_listed_is_fatal(self):
        machine = self.machine()
        machine.add_adapter("AC")
        machine.add_battery("BAT0")
        os.chmod(machine.host_path(POWER_SUPPLY_DIR), 0o311)  # searchable, not listable
        run = machine.run(drop_dac_caps=True)
        self.assertEqual(run.stdout, [VERSION, *SETTINGS])
        self.assertEqual(run.status.code, 101)
        self.assertEqual(len(run.stderr), 2, run.stderr)
        self.assertIn(PERMISSION_DENIED, run.stderr[1])



class AttributeSelectionTest(PowerSupplyTestCase):
    """The battery files chosen at start-up, and that the loop then reads those."""

    def test_choices_and_what_the_loop_reads(self):
        energy = {"energy_full": 70_000, "energy_now": 40_000}
        energy_percent = published(40_000 / 70_000 * 100)
        cases = [
            # name, battery attributes, start-up lines, cycle 1 read failures, battery_percent
            ("every preferred file", {}, [], [], "50\n"),
            ("charge and energy files both present", energy, [], [], "50\n"),
            ("charge_full missing", {"charge_full": None, **energy},
             [using(f"{BAT0}/energy_full", "charge_full")], [], energy_percent),
            ("charge_full missing, energy_now too: only energy_full is tested",
             {"charge_full": None, "energy_full": 70_000},
             [using(f"{BAT0}/energy_full", "charge_full")], [f"read {BAT0}/energy_now: {NOT_FOUND}"], None),
            ("charge_now missing: energy_full is read with it", {"charge_now": None, **energy},
             [using(f"{BAT0}/energy_now", "charge_now")], [], energy_percent),
            ("no capacity file at all", {"charge_full": None, "charge_now": None},
             [missing_files(f"{BAT0}/charge_full", f"{BAT0}/energy_full"),
              missing_files(f"{BAT0}/charge_now", f"{BAT0}/energy_now")],
             [f"read {BAT0}/energy_full: {NOT_FOUND}", f"read {BAT0}/energy_now: {NOT_FOUND}"], None),
            ("current_now missing", {"current_now": None, "power_now": 12_000_000},
             [using(f"{BAT0}/power_now", "current_now")], [], "50\n"),
            ("no rate file", {"current_now": None},
             [missing_files(f"{BAT0}/current_now", f"{BAT0}/power_now")],
             [f"read {BAT0}/power_now: {NOT_FOUND}", throttled(f"{BAT0}/power_now", 1, 1, 1)], "50\n"),
            ("status missing", {"status": None},
             [missing_file(f"{BAT0}/status")], [f"read {BAT0}/status: {NOT_FOUND}"], "50\n"),
            ("every required file missing", {"status": None, "voltage_min_design": None, "voltage_now": None},
             [missing_file(f"{BAT0}/status"), missing_file(f"{BAT0}/voltage_min_design"),
              missing_file(f"{BAT0}/voltage_now")],
             [f"read {BAT0}/status: {NOT_FOUND}", f"read {BAT0}/voltage_min_design: {NOT_FOUND}",
              f"read {BAT0}/voltage_now: {NOT_FOUND}"], "50\n"),
        ]
        for name, attributes, selection, failures, percent in cases:
            with self.subTest(name):
                machine = self.machine()
                machine.add_adapter("AC", online=0)
                machine.add_battery("BAT0", **attributes)
                _, cycle = self.first_cycle(machine)
                self.assert_cycle(cycle, start_up(selection=selection) + [new_limit(100)], [NO_CONFIG, *failures])
                self.assertEqual(machine.status("battery_percent"), percent)

    def test_existence_follows_links_and_ignores_permissions(self):
        machine = self.machine()
        machine.add_adapter("AC", online=0)
        battery = machine.add_battery("BAT0", charge_full=None, energy_full=70_000, energy_now=40_000,
                                      current_now=None, power_now=None, real_status="Discharging")
        battery.symlink("charge_full", "/nonexistent/charge_full")  # dangling: missing
        battery.symlink("current_now", "power_now")  # dangling: power_now does not exist either
        battery.symlink("status", "real_status")  # leads to a file: present, read through the link
        battery.chmod("voltage_now", 0)  # present, though the daemon cannot read it
        _, cycle = self.first_cycle(machine, drop_dac_caps=True)
        self.assert_cycle(cycle, start_up(selection=[
            using(f"{BAT0}/energy_full", "charge_full"),
            missing_files(f"{BAT0}/current_now", f"{BAT0}/power_now"),
        ]) + [new_limit(100)], [
            NO_CONFIG,
            f"read {BAT0}/power_now: {NOT_FOUND}",
            throttled(f"{BAT0}/power_now", 1, 1, 1),
            f"read {BAT0}/voltage_now: {PERMISSION_DENIED}",
        ])
        self.assertEqual(machine.status("battery_percent"), published(40_000 / 70_000 * 100))
        self.assertEqual(machine.status("battery_status"), "Discharging\n")

    def test_rate_is_the_absolute_current_or_the_power_as_read(self):
        cases = [
            ("negative current", {"current_now": -1_250_000}, [], 1_250_000),
            ("positive current", {"current_now": 1_250_000}, [], 1_250_000),
            ("negative power", {"current_now": None, "power_now": -1_250_000},
             [using(f"{BAT0}/power_now", "current_now")], -1_250_000),
            ("positive power", {"current_now": None, "power_now": 15_000_000},
             [using(f"{BAT0}/power_now", "current_now")], 15_000_000),
        ]
        for name, attributes, selection, rate in cases:
            with self.subTest(name):
                machine = self.machine()
                machine.add_adapter("AC", online=0)
                machine.add_battery("BAT0", **attributes)
                _, cycle = self.first_cycle(machine)
                self.assert_cycle(cycle, start_up(selection=selection) + [new_limit(100)], [NO_CONFIG])
                self.assertEqual(machine.status("secs_until_battery_full"),
                                 published(secs_until_full(FULL, NOW, rate=rate)))
                self.assertEqual(machine.status("secs_until_shutdown_request"),
                                 published(secs_until_shutdown(FULL, NOW, rate=rate)))


class ReadingTest(PowerSupplyTestCase):
    """The reads of every cycle and their reports on standard error."""

    def default_machine(self, **battery):
        machine = self.machine()
        machine.add_adapter("AC", online=0)
        return machine, machine.add_battery("BAT0", **battery)

    def test_unreadable_file_is_reported_once_for_the_life_of_the_process(self):
        machine, battery = self.default_machine(voltage_now=None)
        daemon, first = self.first_cycle(machine)
        self.assert_cycle(first, start_up(selection=[missing_file(f"{BAT0}/voltage_now")]) + [new_limit(100)],
                          [NO_CONFIG, f"read {BAT0}/voltage_now: {NOT_FOUND}"])
        self.assert_cycle(daemon.step(), [start_status("Disconnected")], [])
        self.assert_cycle(daemon.step(), [], [])
        self.assertIsNone(machine.status("secs_until_shutdown_request"), "no estimate without voltage_now")
        battery.set("voltage_now", VOLTAGE_NOW)
        self.assert_cycle(daemon.step(), [], [])
        self.assertEqual(machine.status("secs_until_shutdown_request"), published(secs_until_shutdown(FULL, NOW)))
        battery.remove("voltage_now")
        self.assert_cycle(daemon.step(), [], [])
        battery.make_directory("voltage_now")
        self.assert_cycle(daemon.step(), [], [])

    def test_content_that_is_not_a_finite_number_is_reported_every_cycle(self):
        cases = [
            (b"", EMPTY_NUMBER),
            (b" \t\n", EMPTY_NUMBER),
            (b"12 mA\n", INVALID_NUMBER),
            (b"0x10\n", INVALID_NUMBER),
            (b"1 200\n", INVALID_NUMBER),
            (b"1,5\n", INVALID_NUMBER),
            (b"--5\n", INVALID_NUMBER),
            (b"nan\n", "NaN is not finite"),
            (b"-NaN\n", "NaN is not finite"),
            (b"1e999\n", "inf is not finite"),
            (b"Infinity\n", "inf is not finite"),
            (b"-inf\n", "-inf is not finite"),
            (b"-1e999\n", "-inf is not finite"),
        ]
        machine, battery = self.default_machine()
        daemon, _ = self.first_cycle(machine)
        daemon.step()
        path = battery.attribute_path("voltage_now")
        for content, reason in cases:
            with self.subTest(content=content):
                battery.set("voltage_now", content)
                for _ in range(2):
                    self.assert_cycle(daemon.step(), [], [f"read {path}: {reason}"])

    def test_number_forms(self):
        cases = [
            # charge_full, charge_now, battery_percent
            (b"90000\n", b"45000\n", "50\n"),
            (b"  90000  \n", b"\t36000\r\n", "40\n"),
            (b"9e4", b"2.7E4", "30\n"),
            (b"90000.0\n", b"+18000\n", "20\n"),
            (b"1e3\n", b"1000.0\n", "100\n"),
            (b"+.9e5\n", b"9000.\n", "10\n"),
            ("\u00a090000\u2003\n".encode(), "\u3000 81000\u2029".encode(), "90\n"),
            (b"90000\n", b"99000\n", "110.00000000000001\n"),
        ]
        machine, battery = self.default_machine()
        daemon, _ = self.first_cycle(machine)
        daemon.step()
        for full, now, percent in cases:
            with self.subTest(charge_full=full, charge_now=now):
                battery.update(charge_full=full, charge_now=now)
                self.assertEqual(daemon.step().stderr, [])
                self.assertEqual(machine.status("battery_percent"), percent)

    def test_content_that_is_not_utf8_is_reported_once(self):
        machine, battery = self.default_machine(status=b"Discharging\xff\n", charge_now=b"\xe2\x82\n")
        daemon, first = self.first_cycle(machine)
        self.assertEqual(first.stderr, [NO_CONFIG, f"read {BAT0}/charge_now: {NOT_UTF8}",
                                        f"read {BAT0}/status: {NOT_UTF8}"])
        self.assertIsNone(machine.status("battery_percent"))
        self.assertEqual(daemon.step().stderr, [])
        battery.update(status="Discharging", charge_now=NOW)
        self.assertEqual(daemon.step().stderr, [])
        self.assertEqual(machine.status("battery_percent"), "50\n")

    def test_file_that_fills_the_read_buffer(self):
        # An attribute is at most a page: a file that fills the 8 KiB read
        # buffer is refused as too large, reported once, and the last
        # published value stays.
        machine, battery = self.default_machine()
        daemon, _ = self.first_cycle(machine)
        daemon.step()
        for size in (4095, 4096, 4097, 8191):
            # Each size holds its own value, so that a stale one shows; all
            # round to 50 %, so that no progress line comes with them.
            charge = NOW + size
            content = str(charge).rjust(size - 1).encode() + b"\n"
            self.assertEqual(len(content), size)
            with self.subTest(size=size):
                battery.set("charge_now", content)
                self.assert_cycle(daemon.step(), [], [])
                self.assertEqual(machine.status("battery_percent"), published(charge / FULL * 100))
        last = machine.status("battery_percent")
        too_large = f"read {BAT0}/charge_now: {FILE_TOO_LARGE}"
        for size, stderr in ((8192, [too_large]), (100_000, [])):
            with self.subTest(size=size):
                battery.set("charge_now", str(NOW).rjust(size - 1).encode() + b"\n")
                self.assert_cycle(daemon.step(), [], stderr)
                self.assertEqual(machine.status("battery_percent"), last)
        battery.set("voltage_now", b"1" * 8000 + b"\n")
        self.assert_cycle(daemon.step(), [], [f"read {BAT0}/voltage_now: inf is not finite"])

    def test_directory_in_place_of_a_file(self):
        machine, battery = self.default_machine()
        battery.make_directory("charge_now")
        machine.supply("AC").make_directory("online")
        daemon, first = self.first_cycle(machine)
        self.assertEqual(first.stderr, [NO_CONFIG, f"read {BAT0}/charge_now: {IS_A_DIRECTORY}",
                                        f"read {POWER_SUPPLY_DIR}/AC/online: {IS_A_DIRECTORY}"])
        self.assertIsNone(machine.status("battery_percent"))
        self.assertEqual(machine.status("ac_status"), "Disconnected\n", "from the battery's Discharging")
        self.assert_cycle(daemon.step(), [start_status("Disconnected", "unknown")], [])

    def test_no_adapter_reads_online_at_the_root(self):
        machine = self.machine()
        machine.add_battery("BAT0")
        daemon, first = self.first_cycle(machine)
        self.assertEqual(first.stderr, [NO_CONFIG, f"read /online: {NOT_FOUND}"])
        cycles = daemon.steps(3)
        self.assertEqual([c.stderr for c in cycles], [[], [], []])

    def rate_failure_run(self, attributes, spoil, cycles, first_report):
        """Runs `cycles` cycles with a rate that never reads, and checks the
        standard error of each: first_report(n) is the number read's own
        report in cycle n, if any, before the throttled line."""
        machine, battery = self.default_machine(**attributes)
        name = "current_now" if "power_now" not in attributes else "power_now"
        path = battery.attribute_path(name)
        spoil(battery, name)
        daemon = machine.start(drop_dac_caps=True)
        for number in range(1, cycles + 1):
            cycle = daemon.step()
            expected = ([NO_CONFIG] if number == 1 else []) + first_report(path, number)
            if number in (1, 61, 121):
                expected.append(throttled(path, number, number, number))
            self.assertEqual(cycle.stderr, expected, f"cycle {number}")
        self.assertEqual(machine.status("secs_until_shutdown_request"), "inf\n", "a failed rate reads as 0")

    def test_rate_that_never_reads(self):
        once = lambda path, number: [f"read {path}: {PERMISSION_DENIED}"] if number == 1 else []
        cases = [
            ("unreadable current_now", {}, lambda b, n: b.chmod(n, 0), once),
            ("power_now that is not a number", {"current_now": None, "power_now": "12 W"},
             lambda b, n: None, lambda path, number: [f"read {path}: {INVALID_NUMBER}"]),
        ]
        for name, attributes, spoil, first_report in cases:
            with self.subTest(name):
                self.rate_failure_run(attributes, spoil, 121, first_report)

    def test_rate_failing_every_other_cycle(self):
        machine, battery = self.default_machine()
        path = battery.attribute_path("current_now")
        daemon = machine.start()
        for number in range(1, 123):
            failing = number % 2 == 0
            battery.set("current_now", b"" if failing else CURRENT_NOW)
            expected = [NO_CONFIG] if number == 1 else []
            if failing:
                expected.append(f"read {path}: {EMPTY_NUMBER}")
                if number in (2, 122):
                    expected.append(throttled(path, number // 2, number, number))
            self.assertEqual(daemon.step().stderr, expected, f"cycle {number}")


class ChargeLimitTest(PowerSupplyTestCase):
    def limit_machine(self, device=None, threshold=None):
        machine = self.machine()
        machine.add_adapter("AC", online=0)
        machine.add_battery("BAT0", charge_control_end_threshold=threshold)
        if device is not None:
            machine.set_charge_limit(device)
        return machine

    def test_file_chosen_at_start_up_and_first_value(self):
        cases = [
            ("device file", {"device": 80}, limit_file(CHARGE_LIMIT_PATH), "80"),
            ("battery threshold", {"threshold": 70}, limit_file(THRESHOLD_PATH), "70"),
            ("both: the device file wins", {"device": 60, "threshold": 70}, limit_file(CHARGE_LIMIT_PATH), "60"),
            ("neither", {}, NO_LIMIT_FILE, "100"),
            ("0 is no limit", {"device": 0}, limit_file(CHARGE_LIMIT_PATH), "100"),
            ("+0", {"device": "+0"}, limit_file(CHARGE_LIMIT_PATH), "100"),
            ("-0", {"device": "-0"}, limit_file(CHARGE_LIMIT_PATH), "100"),
            ("+75", {"threshold": "+75"}, limit_file(THRESHOLD_PATH), "75"),
            ("white space around", {"device": b" \t90\n\n"}, limit_file(CHARGE_LIMIT_PATH), "90"),
            ("above 100 from the start", {"device": 150}, limit_file(CHARGE_LIMIT_PATH), "100"),
            ("100", {"threshold": 100}, limit_file(THRESHOLD_PATH), "100"),
        ]
        for name, files, chosen, value in cases:
            with self.subTest(name):
                machine = self.limit_machine(**files)
                daemon, first = self.first_cycle(machine)
                self.assert_cycle(first, start_up(limit_line=chosen) + [new_limit(value)], [NO_CONFIG])
                self.assertEqual(machine.status("secs_until_battery_full"),
                                 published(secs_until_full(FULL, NOW, cap=float(value))))
                self.assert_cycle(daemon.step(), [start_status("Disconnected")], [])

    def test_choice_follows_links_and_ignores_permissions(self):
        name = os.path.basename(CHARGE_LIMIT_PATH)
        machine = self.limit_machine(threshold=70)
        machine.charge_limit.symlink(name, "/nonexistent/level")
        _, first = self.first_cycle(machine)
        self.assert_cycle(first, start_up(limit_line=limit_file(THRESHOLD_PATH)) + [new_limit(70)], [NO_CONFIG])

        machine = self.limit_machine(threshold=70)
        machine.set_charge_limit(80, mode=0)
        _, first = self.first_cycle(machine, drop_dac_caps=True)
        self.assert_cycle(first, start_up(limit_line=limit_file(CHARGE_LIMIT_PATH)) + [new_limit(100)],
                          [NO_CONFIG, limit_failed(CHARGE_LIMIT_PATH)], [RETRY_PAUSE] * 3 + [CYCLE_PAUSE])

    def test_changes_are_printed_once(self):
        machine = self.limit_machine(device=80)
        daemon, _ = self.first_cycle(machine)
        daemon.step()
        steps = [
            # content, stdout, cap in force
            (80, [], 80),
            (60, [new_limit("60")], 60),
            (60, [], 60),
            ("0", [new_limit(100)], 100),
            ("+0", [], 100),
            ("-0", [], 100),
            ("+75", [new_limit("75")], 75),
            (150, [], 75),
            (100, [new_limit(100)], 100),
            (b"40", [new_limit("40")], 40),
            (b"  40 \n", [], 40),
        ]
        for content, stdout, cap in steps:
            with self.subTest(content=content):
                machine.set_charge_limit(content)
                self.assert_cycle(daemon.step(), stdout, [])
                self.assertEqual(machine.status("secs_until_battery_full"),
                                 published(secs_until_full(FULL, NOW, cap=cap)))

    def test_file_that_never_reads(self):
        contents = ["-5", "80.0", "eighty", "", "2147483648", "8 0", "0x50", "++5", b"8\xff0"]
        for content in contents:
            with self.subTest(content=content):
                machine = self.limit_machine(threshold=content)
                daemon, first = self.first_cycle(machine)
                retries = [RETRY_PAUSE] * 3 + [CYCLE_PAUSE]
                self.assert_cycle(first, start_up(limit_line=limit_file(THRESHOLD_PATH)) + [new_limit(100)],
                                  [NO_CONFIG, limit_failed(THRESHOLD_PATH)], retries)
                self.assert_cycle(daemon.step(), [start_status("Disconnected")], [], retries)
                self.assert_cycle(daemon.step(), [], [], retries)

    def test_failing_file_keeps_the_cap(self):
        machine = self.limit_machine(device=80)
        daemon, _ = self.first_cycle(machine, drop_dac_caps=True)
        daemon.step()
        retries = [RETRY_PAUSE] * 3 + [CYCLE_PAUSE]
        device = machine.charge_limit
        name = os.path.basename(CHARGE_LIMIT_PATH)
        steps = [
            # change, stdout, stderr, pauses, cap in force
            (lambda: machine.set_charge_limit("-5"), [], [limit_failed(CHARGE_LIMIT_PATH)], retries, 80),
            (lambda: machine.set_charge_limit("80.0"), [], [], retries, 80),
            (lambda: machine.set_charge_limit("a word"), [], [], retries, 80),
            (lambda: machine.set_charge_limit(""), [], [], retries, 80),
            (lambda: device.remove(name), [], [], retries, 80),
            (lambda: machine.set_charge_limit(80), [], [], [CYCLE_PAUSE], 80),
            (lambda: machine.set_charge_limit(80, mode=0), [], [], retries, 80),
            (lambda: machine.set_charge_limit(70, mode=0o644), [new_limit(70)], [], [CYCLE_PAUSE], 70),
            (lambda: machine.set_charge_limit("-5"), [], [], retries, 70),
            (lambda: machine.set_charge_limit(70), [], [], [CYCLE_PAUSE], 70),
        ]
        for number, (change, stdout, stderr, pauses, cap) in enumerate(steps, start=3):
            with self.subTest(cycle=number):
                change()
                self.assert_cycle(daemon.step(), stdout, stderr, pauses)
                self.assertEqual(machine.status("secs_until_battery_full"),
                                 published(secs_until_full(FULL, NOW, cap=cap)))

if __name__ == "__main__":
    unittest.main()
