"""Faults injected into a running daemon, each survived with nothing lost.

Attribute files that vanish, turn into directories, links, FIFOs or huge,
unreadable, empty or meaningless files and come back; the battery directory
going away for more than 60 cycles; an adapter that flaps every cycle; a
sensor chip that disappears; a status directory that becomes read-only,
full, unwritable, a file, or gets foreign entries planted at its temporary
names; a power-off that cannot run, fails or is killed.

Every cycle is checked whole: its standard output and error line by line,
its pauses, and every file of the status directory, which holds the last
value that was published or the new one, never anything else. The expected
values come from reliability_model, worked out apart from the daemon.
"""

import dataclasses
import os
import signal
import stat
import subprocess
import unittest
from pathlib import Path

from kestro_expected import (CAN_READ, EMPTY_NUMBER, FILE_TOO_LARGE, IS_A_DIRECTORY, NO_CONFIG, NO_LIMIT_FILE,
                             NO_SPACE, NOT_A_DIRECTORY, NOT_FOUND, NOT_UTF8, PERMISSION_DENIED, SHUTTING_DOWN,
                             USING_MARLITH, change_line, fatal, limit_failed, limit_file, new_limit, start_line,
                             start_up, throttled)
from kestro_sandbox import (CYCLE_PAUSE, RETRY_PAUSE, STATUS_DIR, STATUS_FILES, Machine, Pause, SandboxTestCase,
                            remove_path, use_user_namespace)
from reliability_model import (BAT0, FIELDS, FULL, TEXT_ATTRIBUTES, THRESHOLD_PATH, Expectation, Laptop, Readings,
                               scratch_folder)

MIB = 1 << 20
VICTIM = "/run/victim"  # a file outside the status directory that must stay as it is


def in_sandbox(daemon, *command):
    """Runs a command (mount, umount) in the daemon's mount namespace."""
    enter = ["nsenter", "--target", str(daemon.host_pid()), "--mount"]
    if use_user_namespace():
        # The sandbox denies setgroups, so keep the credentials: joining the
        # user namespace alone gives the capabilities to mount in it.
        enter[-1:-1] = ["--user", "--preserve-credentials"]
    subprocess.run(enter + list(command), check=True, capture_output=True)


def sandbox_path(daemon, path):
    """A path as the daemon sees it, mounts made in its sandbox included."""
    return Path(f"/proc/{daemon.host_pid()}/root{path}")


def regular_files(directory):
    """The regular files of a directory (links and FIFOs are not followed)
    with their content; empty when the directory is not there."""
    if not directory.is_dir():
        return {}
    return {path.name: path.read_text() for path in sorted(directory.iterdir())
            if stat.S_ISREG(path.lstat().st_mode)}


def published(files):
    return {name: files[name] for name in STATUS_FILES if name in files}


def hidden(files):
    return {name: content for name, content in files.items() if name.startswith(".")}


class FaultTestCase(SandboxTestCase):
    def machine(self):
        """A machine on a tmpfs if there is one, like /run on a real system."""
        machine = Machine(scratch_folder())
        self.addCleanup(machine.close)
        return machine

    def assert_cycle(self, cycle, stdout, stderr, pauses=(CYCLE_PAUSE,)):
        self.assertEqual(cycle.stdout, stdout, f"stdout of cycle {cycle.number}")
        self.assertEqual(cycle.stderr, stderr, f"stderr of cycle {cycle.number}")
        self.assertEqual(cycle.pauses, list(pauses), f"pauses of cycle {cycle.number}")

    def expected_stdout(self, number, expectation, first=None):
        """Standard output of a cycle of a laptop whose adapter does not
        change: the start-up lines and MaxChargeLevel in cycle 1, the start
        line in cycle 2, else the progress line if any."""
        if number == 1:
            return first if first is not None else start_up() + [new_limit(100)]
        if number == 2:
            return [start_line("Disconnected", expectation.charge, expectation.battery)] + expectation.progress
        return expectation.progress


# -- attribute files ----------------------------------------------------------

def make_fifo(device, attribute):
    remove_path(device.host_path / attribute)
    os.mkfifo(device.host_path / attribute)


# Faults a read reports once for the life of the process: (name, spoil, error).
REPORTED_ONCE = [
    ("vanished", lambda device, attribute: device.remove(attribute), NOT_FOUND),
    ("a directory", lambda device, attribute: device.make_directory(attribute), IS_A_DIRECTORY),
    ("unreadable", lambda device, attribute: device.chmod(attribute, 0), PERMISSION_DENIED),
    ("not UTF-8", lambda device, attribute: device.set(attribute, b"\xff\xfe52\n"), NOT_UTF8),
    ("1 MiB of digits and a newline", lambda device, attribute: device.set(attribute, b"5" * MIB + b"\n"),
     FILE_TOO_LARGE),
    ("a link to /dev/zero", lambda device, attribute: device.symlink(attribute, "/dev/zero"), FILE_TOO_LARGE),
]
# Contents that read as text; a number read refuses them every cycle:
# (name, spoil, the text read, the number read's reason).
READ_AS_TEXT = [
    ("a FIFO without a writer", make_fifo, "", EMPTY_NUMBER),
    ("empty", lambda device, attribute: device.set(attribute, b""), "", EMPTY_NUMBER),
    ("nan", lambda device, attribute: device.set(attribute, "nan"), "nan", "NaN is not finite"),
]
ATTRIBUTES = ["charge_full", "charge_now", "current_now", "status", "voltage_min_design", "voltage_now", "online"]
FAULT_CYCLES = 2  # each fault lasts this long, then one good cycle follows


class AttributeFaultTest(FaultTestCase):
    def test_every_attribute_through_every_fault_and_back(self):
        """One daemon per attribute, which goes through every fault in turn,
        each for two cycles and each followed by a good cycle. The faults
        reported once are rotated so that each kind is the first, reported
        one, for some attribute; after it the path stays reported."""
        for index, attribute in enumerate(ATTRIBUTES):
            faults = REPORTED_ONCE[index % len(REPORTED_ONCE):] + REPORTED_ONCE[:index % len(REPORTED_ONCE)]
            schedule = [None, None]
            for fault in faults + READ_AS_TEXT:
                schedule += [fault] * FAULT_CYCLES + [None]
            with self.subTest(attribute):
                self.run_schedule(attribute, schedule)

    def run_schedule(self, attribute, schedule):
        machine = self.machine()
        laptop = Laptop(machine)
        device = laptop.device(attribute)
        path = device.attribute_path(attribute)
        expectation = Expectation()
        reported = False
        rate_failures = 0
        daemon = None
        previous_fault = None
        for number, fault in enumerate(schedule, start=1):
            if fault is not None and fault is not previous_fault:
                fault[1](device, attribute)
            elif fault is None and previous_fault is not None:
                device.remove(attribute)
                device.set(attribute, laptop.good_value(attribute, number))
            previous_fault = fault
            laptop.prepare(number, skip=(attribute,) if fault is not None else ())
            readings = laptop.readings(number)
            errors = [NO_CONFIG] if number == 1 else []
            if fault is not None:
                if len(fault) == 3:  # reported once
                    value = None
                    if not reported:
                        errors.append(f"read {path}: {fault[2]}")
                        reported = True
                elif attribute in TEXT_ATTRIBUTES:
                    value = fault[2]
                else:
                    value = None
                    errors.append(f"read {path}: {fault[3]}")
                if attribute == "current_now":
                    if rate_failures % 60 == 0:
                        errors.append(throttled(path, rate_failures + 1, number, number))
                    rate_failures += 1
                readings = dataclasses.replace(readings, **{FIELDS[attribute]: value})
            if daemon is None:
                daemon = machine.start(drop_dac_caps=True)
            cycle = daemon.step()
            files = expectation.step(readings)
            label = f"cycle {number}, {fault[0] if fault else 'good'}"
            with self.subTest(cycle=number, fault=fault[0] if fault else None):
                self.assert_cycle(cycle, self.expected_stdout(number, expectation), errors)
                self.assertEqual(machine.status_files(), files, label)


# -- the battery directory ------------------------------------------------------

GONE = range(3, 64)  # 61 cycles: the throttled rate line comes at the 1st and the 61st failure


class BatteryDirectoryTest(FaultTestCase):
    def test_battery_directory_gone_for_61_cycles_and_back(self):
        def remove(machine):
            machine.remove_supply("BAT0")

        def replace_by_file(machine):
            machine.remove_supply("BAT0")
            machine.write(BAT0, "not a battery")

        # name, how it goes, charge-limit file in BAT0, error of every read
        cases = [
            ("removed", remove, False, NOT_FOUND),
            ("removed with the charge-limit file in it", remove, True, NOT_FOUND),
            ("replaced by a regular file", replace_by_file, False, NOT_A_DIRECTORY),
        ]
        for name, spoil, with_limit, error in cases:
            with self.subTest(name):
                self.run_case(spoil, with_limit, error)

    def run_case(self, spoil, with_limit, error):
        machine = self.machine()
        extra = {"charge_control_end_threshold": 80} if with_limit else {}
        laptop = Laptop(machine, **extra)
        cap = 80.0 if with_limit else 100.0
        first = start_up(limit_line=limit_file(THRESHOLD_PATH) if with_limit else NO_LIMIT_FILE) + [new_limit(cap)]
        expectation = Expectation()
        daemon = machine.start()
        for number in range(1, GONE.stop + 2):
            gone = number in GONE
            if number == GONE.start:
                spoil(machine)
            elif number == GONE.stop:
                machine.write(BAT0, None)
                laptop.battery = machine.add_battery("BAT0", charge_full=FULL, **laptop.moving(number),
                                                     **extra)
            elif not gone and number > 1:
                laptop.prepare(number)
            readings = laptop.readings(number)
            stderr = [NO_CONFIG] if number == 1 else []
            pauses = [CYCLE_PAUSE]
            if gone:
                readings = Readings(full=None, now=None, current=None, status=None, voltage_min_design=None,
                                    voltage_now=None)
                if with_limit:
                    pauses = [RETRY_PAUSE] * 3 + [CYCLE_PAUSE]
                if number == GONE.start:
                    stderr = ([limit_failed(THRESHOLD_PATH)] if with_limit else []) + [
                        f"read {BAT0}/charge_full: {error}", f"read {BAT0}/charge_now: {error}",
                        f"read {BAT0}/current_now: {error}",
                        throttled(f"{BAT0}/current_now", 1, number, number),
                        f"read {BAT0}/status: {error}", f"read {BAT0}/voltage_min_design: {error}",
                        f"read {BAT0}/voltage_now: {error}"]
                elif number == GONE.start + 60:
                    stderr = [throttled(f"{BAT0}/current_now", 61, number, number)]
            cycle = daemon.step()
            files = expectation.step(readings, cap=cap)
            with self.subTest(cycle=number, gone=gone):
                self.assert_cycle(cycle, self.expected_stdout(number, expectation, first), stderr, pauses)
                self.assertEqual(machine.status_files(), files)
        self.assertEqual(machine.poweroff_calls(), [])


# -- the adapter and the sensor chip ------------------------------------------------

class AdapterFlappingTest(FaultTestCase):
    FLAPPING = 100

    def test_online_flapping_every_cycle(self):
        """Every cycle registers a change, so none is ever announced; the
        files follow the adapter. The last change, once the flapping stops,
        is announced five cycles later."""
        machine = self.machine()
        laptop = Laptop(machine, online=1)
        expectation = Expectation()
        daemon = machine.start()
        for number in range(1, self.FLAPPING + 7):
            online = number % 2 if number <= self.FLAPPING else 0
            if number > 1:
                laptop.prepare(number)
                laptop.adapter.set("online", online)
            readings = dataclasses.replace(laptop.readings(number), online=str(online))
            adapter = "Connected" if online else "Disconnected"
            files = expectation.step(readings, adapter=adapter)
            cycle = daemon.step()
            if number == 1:
                stdout = start_up() + [new_limit(100)]
            elif number == 2:
                stdout = [start_line(adapter, expectation.charge, "Discharging")]
            elif number == self.FLAPPING + 5:
                stdout = [change_line("Connected", "Disconnected", expectation.charge, "Discharging")]
            else:
                stdout = []
            with self.subTest(cycle=number):
                self.assert_cycle(cycle, stdout, [NO_CONFIG] if number == 1 else [])
                self.assertEqual(machine.status_files(), files)


class SensorChipTest(FaultTestCase):
    def test_chip_vanishing_and_coming_back(self):
        """The chip's folder goes before cycle 2 and comes back with the
        adapter in cycle 9: the start line shows no power, the change line
        of cycle 14 shows it again, and nothing is ever reported."""
        machine = self.machine()
        adapter = machine.add_adapter("AC", online=1)
        battery = machine.add_battery("BAT0", status="Charging", charge_full=FULL, charge_now=26_000_000,
                                      current_now=1_500_000)
        chip = machine.add_hwmon("marlith_hwmon", in0_input=20000, curr1_input=1500)
        expectation = Expectation()
        daemon = machine.start()
        now = 26_000_000
        sensor = (USING_MARLITH, CAN_READ)
        for number in range(1, 16):
            plugged = number < 3 or number >= 9
            if number == 2:
                remove_path(chip.host_path)
            elif number == 3:
                adapter.set("online", 0)
                battery.set("status", "Discharging")
            elif number == 9:
                chip.host_path.mkdir()
                chip.update(name="marlith_hwmon", in0_input=20000, curr1_input=1500)
                adapter.set("online", 1)
                battery.set("status", "Charging")
            if number > 1:
                now += 5_000 if plugged else -5_000
                battery.set("charge_now", now)
            status = "Charging" if plugged else "Discharging"
            readings = Readings(now=now, current=1_500_000, status=status, online="1" if plugged else "0")
            files = expectation.step(readings, adapter="Connected" if plugged else "Disconnected")
            cycle = daemon.step()
            stdout = {
                1: start_up(sensor=sensor) + [new_limit(100)],
                2: [start_line("Connected", expectation.charge, "Charging")],
                8: [change_line("Connected", "Disconnected", expectation.charge, "Discharging")],
                14: [change_line("Disconnected", "Connected", expectation.charge, "Charging", " at 30W")],
            }.get(number, [])
            with self.subTest(cycle=number):
                self.assert_cycle(cycle, stdout, [NO_CONFIG] if number == 1 else [])
                self.assertEqual(machine.status_files(), files)


# -- the status directory -------------------------------------------------------------

def write_error(error, names=STATUS_FILES):
    return [f"write {STATUS_DIR}/.{name}: {error}" for name in names]


def fill(directory):
    """Fills the file system of a directory up."""
    with open(directory / "filler", "wb", buffering=0) as filler:
        try:
            while True:
                filler.write(b"\0" * 4096)
        except OSError as error:
            if error.errno != 28:
                raise


def plant(kind):
    def planting(context):
        # On the host's side: a hard link cannot cross into /proc/<pid>/root.
        victim = context.machine.host_path(VICTIM)
        for name in STATUS_FILES:
            temporary = context.machine.status_dir / f".{name}"
            if kind == "symbolic link":
                os.symlink(VICTIM, temporary)
            elif kind == "hard link":
                os.link(victim, temporary)
            elif kind == "FIFO":
                os.mkfifo(temporary)
            else:  # a leftover the daemon, without CAP_DAC_OVERRIDE, cannot write
                temporary.write_text("stale\n")
                temporary.chmod(0)
    return planting


def nothing(context):
    pass


class Context:
    """What a status-directory case works on: the machine, the daemon and the
    status directory as the daemon sees it."""

    def __init__(self, machine, daemon):
        self.machine = machine
        self.daemon = daemon
        self.directory = sandbox_path(daemon, STATUS_DIR)


def kept(old, new):
    return old


def fresh(old, new):
    return new


def gone(old, new):
    return {}


def all_but_battery_percent(old, new):
    return {name: content for name, content in new.items() if name != "battery_percent"}


def battery_percent_kept(old, new):
    return {**new, "battery_percent": old["battery_percent"]}


def no_hidden(new):
    return {}


def empty_temporaries(new):
    return {f".{name}": "" for name in STATUS_FILES}


def renamed_later(new):
    return {".battery_percent": new["battery_percent"]}


STATUS_CASES = [
    # name, prepared after cycle 1, fault, repair, stderr of a faulty cycle,
    # published files during the fault, hidden files during the fault
    ("read-only (EROFS)",
     lambda c: in_sandbox(c.daemon, "mount", "--bind", STATUS_DIR, STATUS_DIR),
     lambda c: in_sandbox(c.daemon, "mount", "-o", "remount,bind,ro", STATUS_DIR),
     lambda c: in_sandbox(c.daemon, "mount", "-o", "remount,bind,rw", STATUS_DIR),
     write_error("Read-only file system (os error 30)"), kept, no_hidden),
    ("full (ENOSPC on a 64 KiB tmpfs)",
     lambda c: in_sandbox(c.daemon, "mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "kestro", STATUS_DIR),
     lambda c: fill(c.directory),
     lambda c: os.unlink(c.directory / "filler"),
     write_error(NO_SPACE), kept, empty_temporaries),
    ("not writable (EACCES)", None,
     lambda c: os.chmod(c.directory, 0o555),
     lambda c: os.chmod(c.directory, 0o755),
     write_error(PERMISSION_DENIED), kept, no_hidden),
    ("deleted, in a /run that cannot be written", None,
     lambda c: (remove_path(c.directory), os.chmod(c.machine.host_path("/run"), 0o555)),
     lambda c: os.chmod(c.machine.host_path("/run"), 0o755),
     [f"mkdir {STATUS_DIR}: {PERMISSION_DENIED}"] * 5, gone, no_hidden),
    ("replaced by a regular file", None,
     lambda c: (remove_path(c.directory), c.machine.write(STATUS_DIR, "not a directory")),
     lambda c: c.machine.write(STATUS_DIR, None),
     write_error(NOT_A_DIRECTORY), gone, no_hidden),
    ("a directory at a temporary name", None,
     lambda c: (c.directory / ".battery_percent").mkdir(),
     lambda c: (c.directory / ".battery_percent").rmdir(),
     write_error(IS_A_DIRECTORY, ["battery_percent"]), battery_percent_kept, no_hidden),
    ("a directory at a published name", None,
     lambda c: (os.unlink(c.directory / "battery_percent"), (c.directory / "battery_percent").mkdir()),
     lambda c: (c.directory / "battery_percent").rmdir(),
     [f"rename {STATUS_DIR}/.battery_percent -> {STATUS_DIR}/battery_percent: {IS_A_DIRECTORY}"],
     all_but_battery_percent, renamed_later),
    # Whatever is planted at a temporary name loses it, and the cycle publishes.
    ("symbolic links at the temporary names", None, plant("symbolic link"), nothing, [], fresh, no_hidden),
    ("hard links at the temporary names", None, plant("hard link"), nothing, [], fresh, no_hidden),
    ("FIFOs at the temporary names", None, plant("FIFO"), nothing, [], fresh, no_hidden),
    ("unwritable leftovers at the temporary names", None, plant("leftover"), nothing, [], fresh, no_hidden),
]


class StatusDirectoryFaultTest(FaultTestCase):
    def test_faults_of_the_status_directory(self):
        """Cycles 1 and 2 publish, the fault lasts through cycles 3 and 4,
        cycle 5 publishes again after the repair, leaving nothing behind."""
        for name, prepare, spoil, repair, errors, during, leftovers in STATUS_CASES:
            with self.subTest(name):
                machine = self.machine()
                machine.write(VICTIM, "precious")
                laptop = Laptop(machine)
                expectation = Expectation()
                daemon = machine.start(drop_dac_caps=True)
                context = Context(machine, daemon)
                for number in range(1, 6):
                    if number == 2 and prepare:
                        prepare(context)
                    elif number == 3:
                        before = expectation.files.copy()
                        spoil(context)
                    elif number == 5:
                        repair(context)
                    if number > 1:
                        laptop.prepare(number)
                    new = expectation.step(laptop.readings(number))
                    cycle = daemon.step()
                    faulty = number in (3, 4)
                    stderr = ([NO_CONFIG] if number == 1 else []) + (errors if faulty else [])
                    with self.subTest(cycle=number):
                        self.assert_cycle(cycle, self.expected_stdout(number, expectation), stderr)
                        files = regular_files(context.directory)
                        if faulty:
                            self.assertEqual(published(files), during(before, new))
                            self.assertEqual(hidden(files), leftovers(new))
                        else:
                            self.assertEqual(files, new)
                self.assertEqual(machine.host_path(VICTIM).read_text(), "precious\n")


# -- the power-off ---------------------------------------------------------------

class PoweroffTest(FaultTestCase):
    def test_status_files_after_a_failed_poweroff(self):
        """The cycle that starts the shutdown has published all five files;
        a power-off that cannot run, fails or is killed ends the daemon with
        its report, and leaves them whole, with nothing else beside them."""
        cases = [
            ("missing", {}, {"PATH": "/nonexistent"}, f"poweroff: {NOT_FOUND}", 0),
            ("failing", {"exit_code": 1}, {}, "poweroff: exit status: 1", 1),
            ("killed", {"signal": signal.SIGKILL}, {}, "poweroff: signal: 9 (SIGKILL)", 1),
        ]
        for name, result, env, report, calls in cases:
            with self.subTest(name):
                machine = self.machine()
                machine.set_config("request_shutdown_battery_percent = 40\n")
                machine.set_poweroff_result(**result)
                laptop = Laptop(machine)
                expectation = Expectation(shutdown_percent=40)
                daemon = machine.start(env=env)
                for number in (1, 2):
                    if number == 2:
                        laptop.prepare(number)
                    expectation.step(laptop.readings(number))
                    daemon.step()
                laptop.prepare(3)
                laptop.battery.set("charge_now", 19_000_000)  # 38 %
                files = expectation.step(Readings(now=19_000_000, current=laptop.moving(3)["current_now"]))
                announced = daemon.next_pause()
                self.assertEqual(announced.stdout, ["Reached 40% battery.", "Forcing shutdown in 10 seconds."])
                self.assertEqual(announced.pauses, [Pause(10)])
                run = daemon.run_until_exit()
                self.assertEqual((run.stdout, run.stderr, run.status.code),
                                 ([SHUTTING_DOWN], [fatal(report)], 101))
                self.assertEqual(len(machine.poweroff_calls()), calls)
                self.assertEqual(files["secs_until_shutdown_request"], "0\n")
                self.assertEqual(machine.status_files(), files)


if __name__ == "__main__":
    unittest.main()
