"""Start-up of the real daemon: the version and debug lines, the
configuration file and the settings in force, the adapter line, the
orderly stop on a machine without a battery, the refusal of a second copy,
and the levels of the lines on the journal's stream."""

import os
import subprocess
import socket
import unittest

from kestro_expected import (DEBUG, NOT_FOUND, FILE_TOO_LARGE, IS_A_DIRECTORY, NO_ADAPTER, NO_BATTERY, NO_CONFIG, NO_SPACE,
                             NO_SENSOR_CHIP, NOT_FOUND, PERMISSION_DENIED, RUNNING, SETTINGS, SHUTTING_DOWN, VERSION, announcement,
                             fatal, found_adapter, found_battery, settings_lines)
from kestro_sandbox import CONFIG_PATH, SandboxTestCase

DEEP = "tables and arrays nested deeper than 64 levels"
NOT_A_REGULAR_FILE = "No such device or address (os error 6)"


class NoBatteryTest(SandboxTestCase):
    """Without a battery the daemon prints its start-up lines and stops."""

    def test_complete_output_exit_status_and_no_status_directory(self):
        machine = self.machine()
        run = machine.run()
        self.assertEqual(run.stdout, [VERSION, *SETTINGS, NO_ADAPTER, NO_BATTERY])
        self.assertEqual(run.stderr, [NO_CONFIG])
        self.assertEqual(run.status.code, 0)
        self.assertEqual(run.pauses, [], "nothing to wait for before stopping")
        self.assertFalse(machine.status_dir.exists(), "no status directory without a battery")
        self.assertEqual(machine.poweroff_calls(), [])

    def test_adapter_line(self):
        cases = [
            ("mains adapter", lambda m: m.add_adapter("AC"), found_adapter("AC")),
            ("other name", lambda m: m.add_adapter("ADP1"), found_adapter("ADP1")),
            ("word inside the type", lambda m: m.add_adapter("AC", type=b"USB Mains PD"), found_adapter("AC")),
            ("USB supply only", lambda m: m.add_supply("usb", "USB", online=1), NO_ADAPTER),
            ("lower-case type", lambda m: m.add_supply("AC", "mains", online=1), NO_ADAPTER),
            ("no type file", lambda m: m.add_supply("AC", None, online=1), NO_ADAPTER),
            ("battery is not an adapter", lambda m: m.add_battery("BAT9"), NO_ADAPTER),
        ]
        for name, build, expected in cases:
            with self.subTest(name):
                machine = self.machine()
                build(machine)
                run = machine.run()
                self.assertEqual(run.stdout, [VERSION, *SETTINGS, expected, NO_BATTERY])
                self.assertEqual(run.status.code, 0)

    def test_arguments_are_ignored(self):
        machine = self.machine()
        machine.add_adapter("AC")
        plain = machine.run()
        for args in (["--help"], ["-v", "--version"], ["--config", "/tmp/other.toml", "extra"], [""],
                     [b"\xff\xfe"]):
            with self.subTest(args=args):
                run = machine.run(args=args)
                self.assertEqual((run.stdout, run.stderr, run.status), (plain.stdout, plain.stderr, plain.status))

    def test_debug_switch(self):
        enabled = ["1", "y", "Y", "yes", "YES", "Yes", "yEs"]
        disabled = [None, "", "0", "true", "on", "no", "2", "yess", " yes", "yes ", "yes\n", "\ty",
                    "\uff39\uff25\uff33",  # full-width YES lower-cases to full-width yes
                    b"y\xff", b"\xff"]
        machine = self.machine()
        for value in enabled + disabled:
            with self.subTest(KESTRO_DEBUG=value):
                run = machine.run(env={"KESTRO_DEBUG": value})
                expected = [VERSION] + ([DEBUG] if value in enabled else []) + [*SETTINGS, NO_ADAPTER, NO_BATTERY]
                self.assertEqual(run.stdout, expected)
                self.assertEqual(run.stderr, [NO_CONFIG])
                self.assertEqual(run.status.code, 0)


class StartupOrderTest(SandboxTestCase):
    def test_running_follows_every_start_up_line(self):
        machine = self.machine()
        machine.add_adapter("AC")
        machine.add_battery("BAT0")
        daemon = machine.start(env={"KESTRO_DEBUG": "yes"})
        lines = daemon.step().stdout
        self.assertEqual(lines[:2], [VERSION, DEBUG])
        self.assertIn(RUNNING, lines)
        running = lines.index(RUNNING)
        start_up = [i for i, line in enumerate(lines) if line.startswith(("Info: Init: ", "Warning: Init: "))]
        self.assertTrue(start_up, lines)
        self.assertLess(max(start_up), running, lines)
        self.assertEqual(lines[2:4], SETTINGS)
        self.assertEqual(lines[4], found_adapter())


class LogFailureTest(SandboxTestCase):
    def test_a_log_line_that_cannot_be_written_is_fatal(self):
        # Standard output that refuses every write: the very first line fails,
        # and the daemon ends through the fatal report rather than carrying
        # on without a log.
        machine = self.machine()
        machine.add_adapter("AC")
        machine.add_battery("BAT0")
        run = machine.start(wrapper=("/bin/sh", "-c", 'exec "$0" "$@" >/dev/full')).run_until_exit()
        self.assertEqual(run.status.code, 101)
        self.assertEqual(run.stderr, [fatal(f"failed printing to stdout: {NO_SPACE}")])
        self.assertEqual(machine.status_files(), {})


class OutOfMemoryTest(SandboxTestCase):
    def test_running_out_of_memory_is_the_fatal_report(self):
        """Under an address-space limit that a file full of tables takes the
        daemon past: the fatal report and status 101, not an abort."""
        def run(content, kib):
            machine = self.machine()
            machine.set_config(content)
            # The limit ends the clock shim's reservation too: the run needs no pause.
            limited = f'ulimit -v {kib}; unset LD_PRELOAD KESTRO_E2E_CLOCK_FDS; exec "$0" "$@"'
            return machine.run(wrapper=("/bin/bash", "-c", limited))

        # The least limit, in MiB, under which the daemon starts with an empty
        # file; a sanitized build, which reserves terabytes, starts under none.
        kib = next((mib * 1024 for mib in range(4, 64) if run("", mib * 1024).status.code == 0), None)
        if kib is None:
            self.skipTest("the daemon does not start under an address-space limit (a sanitized build)")
        exhausted = run("x = [" + "{}," * 20_000 + "]\n", kib)
        self.assertEqual((exhausted.stdout, exhausted.stderr, exhausted.status.code),
                         ([VERSION], [fatal("std::bad_alloc")], 101))


class SingleCopyTest(SandboxTestCase):
    def test_a_second_daemon_is_refused_and_the_first_runs_on(self):
        machine = self.machine()
        machine.add_adapter("AC")
        battery = machine.add_battery("BAT0", charge_now=2_500_000)
        first = machine.start()
        first.steps(2)
        published = machine.status_files()
        # Whatever the second copy wrote would differ from what the first published.
        battery.set("charge_now", 2_000_000)
        second = machine.run()  # the same machine: the same /run/kestro
        self.assertEqual(second.status.code, 101)
        self.assertEqual(second.stdout, [VERSION, *SETTINGS, found_adapter(), found_battery()])
        self.assertEqual(second.stderr, [NO_CONFIG, fatal("another kestro holds /run/kestro: "
                                                          "Resource temporarily unavailable (os error 11)")])
        self.assertEqual(machine.status_files(), published)
        first.step()
        self.assertEqual(machine.status("battery_percent"), "40\n")


    def test_the_lock_follows_a_replaced_status_directory(self):
        """However /run/kestro is replaced, the daemon locks the new directory
        before it writes there: a second copy is still refused. A daemon that
        finds the new one locked by another copy ends as a second copy would."""
        cases = [
            ("removed", None, "rm -r kestro"),
            ("moved away", None, "mv kestro old"),
            ("replaced by a link to a new one", None, "mv kestro old && mkdir new && ln -s new kestro"),
            ("a file at the start, a directory later", "a file", "rm kestro && mkdir kestro"),
        ]
        for name, at_start, replace in cases:
            with self.subTest(name):
                machine = self.machine()
                machine.add_adapter("AC")
                machine.add_battery("BAT0", charge_now=2_500_000)
                if at_start:
                    machine.write("/run/kestro", at_start)
                first = machine.start()
                first.step()
                subprocess.run(["sh", "-c", replace], cwd=machine.host_path("/run"), check=True)
                first.step()
                self.assertEqual((machine.run().status.code, machine.status("battery_percent")), (101, "50\n"))
                subprocess.run(["sh", "-c", "mv kestro older && mkdir kestro"], cwd=machine.host_path("/run"), check=True)
                machine.start().step()
                ended = first.run_until_exit()
                self.assertEqual((ended.status.code, ended.stderr), (101, [fatal(
                    "another kestro holds /run/kestro: Resource temporarily unavailable (os error 11)")]))


class JournalTest(SandboxTestCase):
    """On the journal's stream every line begins with its syslog level;
    anywhere else the output stays as it is."""

    SENSORS_REPORT = "Error: File /etc/sensors3.conf, line 2: Invalid keyword"

    def run_laptop(self, machine=None, **options):
        if machine is None:
            machine = self.machine()
            machine.add_battery("BAT0", charge_now=0)  # no adapter; shuts down in cycle 1
            machine.etc.write("sensors3.conf", 'chip "x-*"\n  bogus line here\n')
            machine.set_poweroff_result(exit_code=1)  # ends in the fatal report
        return machine, machine.run(env={"KESTRO_DEBUG": "1", **options.pop("env", {})}, **options)

    def test_levels_on_the_journal_stream(self):
        _, run = self.run_laptop(journal=True)
        self.assertEqual((run.stderr, run.status.code), ([], 101))
        levels = {line[3:]: line[:3] for line in run.stdout}
        self.assertLessEqual(set(levels.values()), {"<2>", "<3>", "<4>", "<5>", "<6>", "<7>"}, run.stdout)
        expected = {VERSION: "<6>", DEBUG: "<7>", NO_CONFIG: "<3>", NO_ADAPTER: "<4>", self.SENSORS_REPORT: "<3>",
                    NO_SENSOR_CHIP: "<5>",
                    RUNNING: "<6>", **dict.fromkeys(announcement("0.49999998"), "<2>"), SHUTTING_DOWN: "<2>",
                    fatal("poweroff: exit status: 1"): "<2>"}
        self.assertEqual({text: levels.get(text) for text in expected}, expected)
        self.assertEqual({level for text, level in levels.items() if text.startswith("Warning: ")}, {"<4>", "<5>"})

    def test_a_stream_that_is_not_the_journal_is_unchanged(self):
        machine, plain = self.run_laptop()
        self.assertIn(self.SENSORS_REPORT, plain.stderr)
        info = os.stat(machine.root)
        _, run = self.run_laptop(machine, env={"JOURNAL_STREAM": f"{info.st_dev}:{info.st_ino}"})
        self.assertEqual((run.stdout_text, run.stderr_text, run.status),
                         (plain.stdout_text, plain.stderr_text, plain.status))


class ServiceManagerTest(SandboxTestCase):
    def test_notifications_through_notify_socket(self):
        """Ready, alive and the status line each cycle, the watchdog off for
        the low-battery action and back after a sleep; a socket that cannot
        be used costs one warning."""
        status = b"WATCHDOG=1\nSTATUS=Battery 6.0%, Discharging, shutdown in 27 min"
        cases = [
            ("/run/notify", "poweroff", None),
            ("/run/notify", "hibernate", None),
            ("notify", "poweroff", "Invalid argument (os error 22)"),
            ("/" + "n" * 108, "poweroff", "File name too long (os error 36)"),
            ("/run/none", "poweroff", NOT_FOUND),
        ]
        for value, action, error in cases:
            with self.subTest(value[:12], action=action):
                machine = self.machine()
                machine.set_config(f'request_shutdown_battery_percent = 5\ncritical_action = "{action}"\n')
                machine.add_adapter("AC", online=0)
                battery = machine.add_battery("BAT0", charge_full=50_000_000, charge_now=3_000_000)
                manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
                self.addCleanup(manager.close)
                manager.bind(str(machine.host_path("/run/notify")))
                daemon = machine.start(env={"NOTIFY_SOCKET": value, "WATCHDOG_USEC": "20000000"})
                lines = [line for cycle in daemon.steps(2) for line in cycle.stdout if line.startswith("Warning: c")]
                battery.set("charge_now", 2_000_000)
                self.assertEqual(daemon.run_until_exit().status.code, 0)
                self.assertNotIn("NOTIFY_SOCKET", machine.poweroff_calls()[0].env)
                if error:
                    self.assertEqual(lines, [f"Warning: cannot notify the service manager through NOTIFY_SOCKET "
                                             f"'{value}': {error}"])
                    continue
                acting = b"WATCHDOG_USEC=0\nSTATUS=" + (b"Hibernating" if action == "hibernate" else b"Powering off")
                after_sleep = [b"WATCHDOG_USEC=20000000\nWATCHDOG=1\nSTATUS=Battery 4.0%, Discharging, shutdown in under a "
                               b"minute"]
                self.assertEqual([manager.recv(512) for _ in range(4 if action == "hibernate" else 3)], [
                    b"READY=1\n" + status, status, acting + b": battery at 4.0%",
                    *(after_sleep if action == "hibernate" else [])])


class ConfigurationTest(SandboxTestCase):
    """/etc/kestro.toml is read once at start-up; the two values in force are
    always printed, and whatever is wrong with the file costs one report on
    standard error and leaves both defaults."""

    def run_with_config(self, content=None, *, directory=False, mode=0o644, drop_dac_caps=False, symlink=None,
                        fifo=False):
        machine = self.machine()
        if directory:
            machine.etc.mkdir("kestro.toml")
        elif fifo:
            # Reached through a link: the staged /etc holds regular entries only.
            os.mkfifo(machine.host_path("/run/kestro.toml"))
            machine.etc.symlink("kestro.toml", "/run/kestro.toml")
        elif symlink is not None:
            machine.etc.symlink("kestro.toml", symlink)
        elif content is not None:
            machine.set_config(content, mode)
        run = machine.run(drop_dac_caps=drop_dac_caps)
        self.assertEqual(run.stdout[0], VERSION)
        self.assertEqual(run.stdout[3:], [NO_ADAPTER, NO_BATTERY])
        self.assertEqual(run.status.code, 0)
        return run.stdout[1:3], run.stderr

    def test_values_in_force(self):
        cases = [
            ("", "0.49999998", "10"),
            ("# only a comment\n", "0.49999998", "10"),
            ("request_shutdown_battery_percent = 5\n", "5", "10"),
            ("force_shutdown_timeout_secs = 30.5\n", "0.49999998", "30.5"),
            ("request_shutdown_battery_percent = 12.25\nforce_shutdown_timeout_secs = 0\n", "12.25", "0"),
            ("request_shutdown_battery_percent = -3\n", "-3", "10"),
            ("request_shutdown_battery_percent = 150\n", "150", "10"),
            ("request_shutdown_battery_percent = 0x10\n", "16", "10"),
            ("request_shutdown_battery_percent = 1e21\n", "1000000000000000000000", "10"),
            ("request_shutdown_battery_percent = -0.0\n", "-0", "10"),
            ("request_shutdown_battery_percent = inf\n", "inf", "10"),
            ("request_shutdown_battery_percent = -inf\n", "-inf", "10"),
            # The fewest significant digits that read back the same, not the
            # exact binary value (9223372036854775808, 99999999999999991611392).
            ("request_shutdown_battery_percent = 9223372036854775807\n", "9223372036854776000", "10"),
            ("request_shutdown_battery_percent = 1e23\n", "1" + "0" * 23, "10"),
            ("force_shutdown_timeout_secs = 1e-7\n", "0.49999998", "0.0000001"),
            ("force_shutdown_timeout_secs = 18446744073709549568.0\n", "0.49999998", "18446744073709550000"),
            ("force_shutdown_timeout_secs = -0.0\n", "0.49999998", "-0"),
            # The default action, named: no line of its own.
            ("critical_action = 'poweroff'\n", "0.49999998", "10"),
            # Unknown keys, and the known names inside a table, are ignored.
            ("other = 'x'\nrequest_shutdown_battery_percent = 7\n", "7", "10"),
            ("[limits]\nrequest_shutdown_battery_percent = 5\nforce_shutdown_timeout_secs = 3\n",
             "0.49999998", "10"),
            ("force_shutdown_timeout_secs = 2\n[limits]\nforce_shutdown_timeout_secs = 3\n", "0.49999998", "2"),
        ]
        for content, percent, timeout in cases:
            with self.subTest(content=content):
                lines, errors = self.run_with_config(content)
                self.assertEqual(lines, settings_lines(percent, timeout))
                self.assertEqual(errors, [])

    def test_rejected_file_gives_one_report_and_both_defaults(self):
        cases = [
            "force_shutdown_timeout_secs = '30'\nrequest_shutdown_battery_percent = 5\n",
            "request_shutdown_battery_percent = 5\nforce_shutdown_timeout_secs = \"30\"\n",
            "request_shutdown_battery_percent = true\n",
            "request_shutdown_battery_percent = [5]\n",
            "request_shutdown_battery_percent = 1979-05-27\n",
            "force_shutdown_timeout_secs = { value = 3 }\n",
            "request_shutdown_battery_percent = 5\nrequest_shutdown_battery_percent = 6\n",
            "request_shutdown_battery_percent = 5\nforce_shutdown_timeout_secs = = 1\n",
            "[limits\n",
            b"request_shutdown_battery_percent = 5\n# \xff\xfe\n",
            # Values the shutdown could not use.
            "force_shutdown_timeout_secs = -1\n",
            "force_shutdown_timeout_secs = -inf\n",
            "force_shutdown_timeout_secs = nan\n",
            "force_shutdown_timeout_secs = 18446744073709551616.0\n",
            "force_shutdown_timeout_secs = inf\n",
            "request_shutdown_battery_percent = nan\nforce_shutdown_timeout_secs = 3\n",
            "critical_action = 'Hibernate'\nforce_shutdown_timeout_secs = 3\n",
        ]
        for content in cases:
            with self.subTest(content=content):
                lines, errors = self.run_with_config(content)
                self.assertEqual(lines, SETTINGS)
                self.assertEqual(len(errors), 1, errors)
                self.assertTrue(errors[0].startswith(f"read {CONFIG_PATH}: "), errors)
                self.assertGreater(len(errors[0]), len(f"read {CONFIG_PATH}: "), "the report says why")

    def test_file_that_cannot_be_read(self):
        cases = [
            ("absent", {}, NOT_FOUND),
            ("directory", {"directory": True}, IS_A_DIRECTORY),
            ("dangling link", {"symlink": "/nonexistent/kestro.toml"}, NOT_FOUND),
            ("unreadable", {"content": "request_shutdown_battery_percent = 5\n", "mode": 0,
                            "drop_dac_caps": True}, PERMISSION_DENIED),
            # Only a regular file is read: nothing waits for a writer, nothing
            # reads a device to its end.
            ("FIFO", {"fifo": True}, NOT_A_REGULAR_FILE),
            ("device", {"symlink": "/dev/zero"}, NOT_A_REGULAR_FILE),
            ("600 kB key", {"content": "a." * 300_000 + "a = 1\n"}, FILE_TOO_LARGE),
            # Too deep for the parser's recursion: refused before parsing, at
            # the first level too many.
            ("deep key", {"content": "a." * 1000 + "a = 1\n"}, f"{DEEP} at line 1, column 128"),
            ("deep table header", {"content": "request_shutdown_battery_percent = 5\n[" + "a." * 100 + "a]\n"},
             f"{DEEP} at line 2, column 65"),
        ]
        for name, options, error in cases:
            with self.subTest(name):
                lines, errors = self.run_with_config(**options)
                self.assertEqual(lines, SETTINGS)
                self.assertEqual(errors, [f"read {CONFIG_PATH}: {error}"])

    def test_a_link_to_a_readable_file_is_followed(self):
        machine = self.machine()
        machine.etc.write("kestro.d/settings.toml", "request_shutdown_battery_percent = 8\n")
        machine.etc.symlink("kestro.toml", "kestro.d/settings.toml")
        run = machine.run()
        self.assertEqual(run.stdout[1:3], settings_lines("8", "10"))
        self.assertEqual(run.stderr, [])


if __name__ == "__main__":
    unittest.main()
