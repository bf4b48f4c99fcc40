"""The hardware-monitor sensors through the real libsensors, on fake chips.

Each hwmonN folder of the sandbox's /sys/class/hwmon is a chip to the
library: its `name` is the chip's prefix, in<N>_input is in millivolts and
curr<N>_input in milliamps. The library cannot be initialised when
/sys/class/hwmon is not a directory. The sensors shim, preloaded through
the sandbox's /etc/ld.so.preload, reports on standard error every
sensors_init and sensors_cleanup the daemon makes.
"""

import re
import unittest

from kestro_expected import CAN_READ, CANNOT_READ, NO_SENSOR, NO_SENSOR_CHIP, RUNNING, USING_CORVALE, USING_MARLITH
from kestro_sandbox import SandboxTestCase, helper_binary

SENSOR_LINES = {USING_MARLITH, USING_CORVALE, NO_SENSOR_CHIP, CAN_READ, CANNOT_READ}

SHIM_INIT_OK = "sensors shim: sensors_init 0"
SHIM_CLEANUP = "sensors shim: sensors_cleanup"
SHIM_PREFIX = "sensors shim: "

# The start line of cycle 2, with the adapter's power when it is shown.
START_LINE = re.compile(r"Info: AC Adapter status at start: 'Connected'(?: at (?P<watts>\S+)W)?, battery ")


def break_sensor_library(machine):
    """A /sys/class/hwmon that is a file, not a directory: sensors_init fails."""
    machine.write("/sys/class/hwmon", None)
    machine.write("/sys/class/hwmon", "")


def preload_sensors_shim(machine):
    machine.etc.write("ld.so.preload", helper_binary("sensors_shim.so") + "\n")


class SensorTestCase(SandboxTestCase):
    def assert_sensor_lines(self, lines, expected):
        """The sensor lines are exactly `expected`, right before "Info: Running."."""
        self.assertIn(RUNNING, lines)
        running = lines.index(RUNNING)
        self.assertEqual([line for line in lines if line in SENSOR_LINES], expected, lines)
        self.assertEqual(lines[running - len(expected):running], expected, lines)

    def start_up(self, machine):
        """Start-up and cycle 1 of a daemon on the machine: what it printed."""
        daemon = machine.start()
        self.addCleanup(daemon.close)
        return daemon, daemon.step()

    def charging_machine(self):
        machine = self.machine()
        machine.add_adapter("AC", online=1)
        machine.add_battery("BAT0", status="Charging", current_now=0)
        return machine

    def shown_watts(self, cycle):
        """The power the start line of cycle 2 shows, or None."""
        lines = [line for line in cycle.stdout if START_LINE.match(line)]
        self.assertEqual(len(lines), 1, cycle.stdout)
        return START_LINE.match(lines[0]).group("watts")


class StartUpLinesTest(SensorTestCase):
    def test_chip_and_probe_lines(self):
        cases = [
            ("corvale alone", lambda m: m.add_hwmon("corvale", in0_input=5000, curr1_input=3000),
             [USING_CORVALE, CAN_READ]),
            ("marlith beside other chips",
             lambda m: (m.add_hwmon("acpitz", temp1_input=40000),
                        m.add_hwmon("marlith_hwmon", in0_input=20000, curr1_input=1500)),
             [USING_MARLITH, CAN_READ]),
            ("prefix only begins with marlith_hwmon",
             lambda m: m.add_hwmon("marlith_hwmon2", in0_input=20000, curr1_input=1500),
             NO_SENSOR),
            ("marlith prefix with a suffix beside corvale",
             lambda m: (m.add_hwmon("marlith_hwmon_x", in0_input=1, curr1_input=1),
                        m.add_hwmon("corvale", in0_input=5000, curr1_input=3000)),
             [USING_CORVALE, CAN_READ]),
            ("Corvale in another case", lambda m: m.add_hwmon("Corvale", in0_input=5000, curr1_input=3000),
             NO_SENSOR),
            ("no chips", lambda m: None, NO_SENSOR),
            ("chip without a name", lambda m: m.add_hwmon(None, in0_input=5000, curr1_input=3000),
             NO_SENSOR),
            ("first voltage feature without input",
             lambda m: m.add_hwmon("marlith_hwmon", in0_min=1000, in1_input=20000, curr1_input=1500),
             [USING_MARLITH, CANNOT_READ]),
            ("no current input", lambda m: m.add_hwmon("marlith_hwmon", in0_input=20000),
             [USING_MARLITH, CANNOT_READ]),
            ("voltage unreadable", lambda m: m.add_hwmon("marlith_hwmon", in0_input="x", curr1_input=1500),
             [USING_MARLITH, CANNOT_READ]),
            ("current unreadable", lambda m: m.add_hwmon("marlith_hwmon", in0_input=20000, curr1_input="x"),
             [USING_MARLITH, CANNOT_READ]),
            ("library cannot be initialised", break_sensor_library, [CANNOT_READ]),
        ]
        for name, build, expected in cases:
            with self.subTest(name):
                machine = self.charging_machine()
                build(machine)
                _, first = self.start_up(machine)
                self.assert_sensor_lines(first.stdout, expected)

    def test_marlith_wins_whatever_order_the_library_lists_the_chips(self):
        orders = set()
        for chips in (("corvale", "marlith_hwmon"), ("marlith_hwmon", "corvale")):
            with self.subTest(created=chips):
                machine = self.charging_machine()
                for chip in chips:
                    machine.add_hwmon(chip, in0_input=20000, curr1_input=1500)
                listed = machine.run(binary=helper_binary("sensors_probe")).stdout
                orders.add(tuple(line.split()[1] for line in listed if line.startswith("chip ")))
                _, first = self.start_up(machine)
                self.assert_sensor_lines(first.stdout, [USING_MARLITH, CAN_READ])
        self.assertEqual(orders, {("corvale", "marlith_hwmon"), ("marlith_hwmon", "corvale")})


class PowerTest(SensorTestCase):
    def test_watts_of_the_cycle(self):
        """Each case sets the chip's files after cycle 1; cycle 2 reads them."""
        cases = [
            ("1.5 A at 20 V", {"in0_input": 20000, "curr1_input": 1500}, "30"),
            ("changed since start-up", {"in0_input": 15000, "curr1_input": 3250}, "48.75"),
            ("negative current", {"in0_input": 20000, "curr1_input": -1500}, None),
            ("no current", {"in0_input": 20000, "curr1_input": 0}, None),
            ("current unreadable", {"in0_input": 20000, "curr1_input": "x"}, None),
            ("current gone", {"in0_input": 20000, "curr1_input": None}, None),
            ("voltage gone", {"in0_input": None, "curr1_input": 1500}, None),
        ]
        for name, files, watts in cases:
            with self.subTest(name):
                machine = self.charging_machine()
                chip = machine.add_hwmon("marlith_hwmon", in0_input=20000, curr1_input=1500)
                daemon, _ = self.start_up(machine)
                chip.update(**files)
                self.assertEqual(self.shown_watts(daemon.step()), watts)

    def test_inputs_of_the_chosen_chip(self):
        machine = self.charging_machine()
        machine.add_hwmon("corvale", in0_input=5000, curr1_input=3000)
        machine.add_hwmon("marlith_hwmon", in0_input=20000, in1_input=9000, curr1_input=1500, curr2_input=500)
        daemon, _ = self.start_up(machine)
        self.assertEqual(self.shown_watts(daemon.step()), "30")

    def test_read_again_every_cycle(self):
        """A failed cycle shows nothing; a later one reads the new values."""
        machine = self.charging_machine()
        adapter = machine.supply("AC")
        chip = machine.add_hwmon("corvale", in0_input=20000, curr1_input=1500)
        daemon, _ = self.start_up(machine)
        chip.set("curr1_input", "x")
        self.assertIsNone(self.shown_watts(daemon.step()))
        adapter.set("online", 0)  # cycle 3 registers the change, cycle 8 announces it
        daemon.steps(6)
        adapter.set("online", 1)  # cycle 9 registers it, cycle 14 announces it
        daemon.steps(5)
        chip.update(in0_input=5000, curr1_input=2000)
        announced = daemon.step()
        self.assertEqual(announced.number, 14)
        self.assertTrue(any(re.match(r"Info: AC Adapter status changed 'Disconnected'->'Connected' at 10W, ", line)
                            for line in announced.stdout), announced.stdout)


class LibraryLifetimeTest(SensorTestCase):
    def shutdown_machine(self, poweroff_exit=0):
        """A machine whose first cycle starts the low-battery shutdown."""
        machine = self.machine()
        machine.add_adapter("AC", online=0)
        machine.add_battery("BAT0")
        machine.set_config("request_shutdown_battery_percent = 60\n")
        machine.set_poweroff_result(exit_code=poweroff_exit)
        preload_sensors_shim(machine)
        return machine

    def shim_lines(self, run):
        return [line for line in run.stderr if line.startswith(SHIM_PREFIX)]

    def test_released_once_after_the_power_off(self):
        for name, build in (("with chip", lambda m: m.add_hwmon("marlith_hwmon", in0_input=20000, curr1_input=1500)),
                            ("without chip", lambda m: None)):
            with self.subTest(name):
                machine = self.shutdown_machine()
                build(machine)
                run = machine.run()
                self.assertEqual(run.status.code, 0, run.stderr)
                self.assertEqual(len(machine.poweroff_calls()), 1)
                self.assertEqual(self.shim_lines(run), [SHIM_INIT_OK, SHIM_CLEANUP])

    def test_released_once_on_a_fatal_abort(self):
        machine = self.shutdown_machine(poweroff_exit=1)
        machine.add_hwmon("corvale", in0_input=5000, curr1_input=3000)
        run = machine.run()
        self.assertEqual(run.status.code, 101, run.stderr)
        self.assertEqual(self.shim_lines(run), [SHIM_INIT_OK, SHIM_CLEANUP])
        # Released on the way out, before main() writes the report.
        self.assertTrue(run.stderr[-1].startswith("kestro: fatal error: "), run.stderr)
        self.assertLess(run.stderr.index(SHIM_CLEANUP), len(run.stderr) - 1)

    def test_never_released_when_not_initialised(self):
        machine = self.shutdown_machine()
        break_sensor_library(machine)
        run = machine.run()
        self.assertEqual(run.status.code, 0, run.stderr)
        self.assertEqual(len(machine.poweroff_calls()), 1)
        self.assertEqual(len(self.shim_lines(run)), 1)
        self.assertRegex(self.shim_lines(run)[0], r"^sensors shim: sensors_init -\d+$")

    def test_never_opened_without_a_battery(self):
        machine = self.machine()
        machine.add_adapter("AC", online=1)
        machine.add_hwmon("marlith_hwmon", in0_input=20000, curr1_input=1500)
        preload_sensors_shim(machine)
        run = machine.run()
        self.assertEqual(run.status.code, 0, run.stderr)
        self.assertEqual(self.shim_lines(run), [])
        self.assertEqual([line for line in run.stdout if line in SENSOR_LINES], [])


if __name__ == "__main__":
    unittest.main()
