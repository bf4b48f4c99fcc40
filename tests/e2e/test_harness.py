"""The harness itself: sandbox, controlled clock, fake poweroff and failure
reports, checked with small stand-in programs so that a fault here is not
mistaken for a fault of the daemon."""

import os
import shutil
import signal
import stat
import unittest

from kestro_sandbox import (
    CHARGE_LIMIT_PATH,
    CYCLE_PAUSE,
    RETRY_PAUSE,
    HarnessError,
    Machine,
    Pause,
    SandboxTestCase,
    STANDARD_DIRS,
    encode_value,
    helper_binary,
)


def script(machine: Machine, name: str, text: str) -> str:
    """An executable script in the machine's folder (visible in the sandbox)."""
    path = machine.root / name
    path.write_text(text)
    path.chmod(0o755)
    return str(path)


class ClockTest(SandboxTestCase):
    def test_every_sleeping_call_is_reported_with_its_exact_length_and_returns_at_once(self):
        machine = self.machine()
        daemon = machine.start(binary=helper_binary("sleeper"), args=["calls"])
        cycle = daemon.step()
        self.assertEqual(cycle.number, 1)
        self.assertEqual(cycle.stdout, [
            "nanosleep 0.333 -> 0 ok rem=0.000000000",
            "clock_nanosleep monotonic 2.5 -> 0 ok rem=0.000000000",
            "clock_nanosleep realtime absolute +7 -> 0 ok rem=0.000000000",
            "clock_nanosleep monotonic absolute past -> 0 ok rem=0.000000000",
            "nanosleep invalid -> -1 EINVAL rem=0.000000000",
            "sleep 3 -> 0",
            "usleep 1500 -> 0",
        ])
        pauses = cycle.pauses
        self.assertEqual(len(pauses), 7, pauses)
        self.assertEqual(pauses[0], RETRY_PAUSE)
        self.assertEqual(pauses[1], Pause(2, 500_000_000))
        # An absolute deadline becomes the time left until it: a little under 7 s.
        self.assertTrue(6.5 < pauses[2].total <= 7.0, pauses[2])
        self.assertEqual(pauses[3], Pause(0, 0), "a deadline in the past is no wait")
        self.assertEqual(pauses[4:], [Pause(3), Pause(0, 1_500_000), CYCLE_PAUSE])
        run = daemon.run_until_exit()
        self.assertEqual((run.stdout, run.status.code), (["done"], 0))

    def test_a_signal_interrupts_a_held_sleep_like_a_real_one(self):
        machine = self.machine()
        daemon = machine.start(binary=helper_binary("sleeper"), args=["interrupt"])
        first = daemon.next_pause()
        self.assertEqual(first.pauses, [Pause(5, 250_000_000)])
        daemon.send_signal(signal.SIGUSR1)
        resumed = daemon.next_pause(release=False)
        self.assertEqual(resumed.stdout, ["nanosleep 5.25 -> -1 EINTR rem=5.250000000"])
        self.assertEqual(resumed.pauses, [Pause(5, 250_000_000, interrupted=True), Pause(5, 250_000_000)])
        last = daemon.step()
        self.assertEqual(last.stdout, ["nanosleep rest -> 0 ok rem=5.250000000"])
        self.assertEqual(last.pauses, [CYCLE_PAUSE])

    def test_a_long_run_is_stepped_cycle_by_cycle(self):
        machine = self.machine()
        daemon = machine.start(binary=helper_binary("sleeper"), args=["ticks", "120"])
        cycles = daemon.steps(120)
        self.assertEqual([c.number for c in cycles], list(range(1, 121)))
        self.assertEqual([c.stdout for c in cycles], [[f"tick {n}"] for n in range(1, 121)])
        self.assertTrue(all(c.pauses == [CYCLE_PAUSE] for c in cycles))
        run = daemon.run_until_exit()
        self.assertEqual(run.stdout, ["done"])
        self.assertEqual(run.status.code, 0)

    def test_step_releases_shorter_pauses_on_the_way(self):
        machine = self.machine()
        daemon = machine.start(binary=helper_binary("sleeper"), args=["calls"])
        stopped = daemon.step(until=Pause(2, 500_000_000))
        self.assertEqual(stopped.pauses, [RETRY_PAUSE, Pause(2, 500_000_000)])
        self.assertEqual(stopped.number, 0, "no 1 s pause yet")
        self.assertEqual(daemon.held, Pause(2, 500_000_000))


class RealDaemonClockTest(SandboxTestCase):
    """The real daemon under the harness's clock: every pause it asks for is
    seen with its exact length, and a long run is stepped cycle by cycle."""

    def test_120_cycles_with_a_failing_charge_limit_file(self):
        machine = self.machine()
        machine.add_adapter("AC", online=0)
        battery = machine.add_battery("BAT0", charge_full=5_000_000, charge_now=4_000_000)
        machine.set_charge_limit("not a number")
        daemon = machine.start()
        for number in range(1, 121):
            charge = 4_000_000 - number * 10_000
            battery.set("charge_now", charge)
            cycle = daemon.step()
            self.assertEqual(cycle.number, number)
            self.assertEqual(cycle.pauses, [RETRY_PAUSE] * 3 + [CYCLE_PAUSE], f"cycle {number}")
            self.assertAlmostEqual(float(machine.status("battery_percent")), charge / 50_000, places=9,
                                   msg=f"cycle {number}")
        run = daemon.kill(signal.SIGTERM)
        self.assertEqual(run.status.signal, signal.SIGTERM)
        self.assertEqual(run.stdout, [])
        self.assertAlmostEqual(float(machine.status("battery_percent")), 56.0, places=9)

    def test_a_readable_charge_limit_costs_no_pause(self):
        machine = self.machine()
        machine.add_adapter("AC")
        machine.add_battery("BAT0")
        machine.set_charge_limit(80)
        daemon = machine.start()
        for cycle in daemon.steps(3):
            self.assertEqual(cycle.pauses, [CYCLE_PAUSE])


    def test_the_daemons_poweroff_reaches_the_fake_without_the_shim(self):
        machine = self.machine()
        machine.add_adapter("AC", online=0)
        machine.add_battery("BAT0")
        machine.set_config("request_shutdown_battery_percent = 150\nforce_shutdown_timeout_secs = 3.5\n")
        run = machine.run(env={"KESTRO_DEBUG": "1"})
        self.assertEqual(run.status.code, 0, run.stderr)
        self.assertEqual(run.pauses, [Pause.of(3.5)], "the shutdown wait, seen with its length")
        [call] = machine.poweroff_calls()
        self.assertFalse(call.masked)
        self.assertEqual(call.argv, [str(machine.fake_poweroff)])
        self.assertEqual(call.env, {"PATH": f"{machine.fake_poweroff.parent}:" + ":".join(STANDARD_DIRS),
                                    "KESTRO_DEBUG": "1"})
        self.assertEqual(call.open_fds, [])


class PowerCommandTest(SandboxTestCase):
    def test_poweroff_through_path_reaches_the_fake_without_shim_or_clock_pipes(self):
        machine = self.machine()
        run = machine.run(binary=helper_binary("sleeper"), args=["spawn", "poweroff", "--force"],
                          env={"KESTRO_DEBUG": "1"})
        self.assertEqual(run.stdout, ["LD_PRELOAD unset", "KESTRO_E2E_CLOCK_FDS unset", "child exit 0"])
        [call] = machine.poweroff_calls()
        self.assertFalse(call.masked)
        self.assertEqual(call.argv, [str(machine.fake_poweroff), "--force"])
        self.assertEqual(call.env, {"PATH": f"{machine.fake_poweroff.parent}:" + ":".join(STANDARD_DIRS),
                                    "KESTRO_DEBUG": "1"})
        self.assertEqual(call.open_fds, [], "the clock pipes must not reach poweroff")

    def test_the_fake_ends_as_the_test_chooses(self):
        cases = [({"exit_code": 0}, "child exit 0"), ({"exit_code": 3}, "child exit 3"),
                 ({"signal": signal.SIGTERM}, "child signal 15"), ({"signal": signal.SIGKILL}, "child signal 9")]
        machine = self.machine()
        for result, expected in cases:
            with self.subTest(result=result):
                machine.set_poweroff_result(**result)
                run = machine.run(binary=helper_binary("sleeper"), args=["spawn", "poweroff"])
                self.assertEqual(run.stdout[-1], expected)

    def test_every_real_power_command_is_masked(self):
        machine = self.machine()
        real = [os.path.join(d, name) for d in STANDARD_DIRS
                for name in ("poweroff", "shutdown", "reboot", "halt", "systemctl")
                if os.path.exists(os.path.join(d, name))]
        for path in real:
            with self.subTest(path=path):
                before = len(machine.poweroff_calls())
                run = machine.run(binary=helper_binary("sleeper"), args=["spawn", path, "-p"])
                self.assertEqual(run.stdout[-1], "child exit 0")
                calls = machine.poweroff_calls()
                self.assertEqual(len(calls), before + 1)
                self.assertTrue(calls[-1].masked, f"{path} ran something other than the mask")
                self.assertEqual(calls[-1].argv[1:], ["-p"])

    def test_a_path_without_the_fake_finds_only_masks(self):
        machine = self.machine()
        for path in ("/usr/sbin:/usr/bin", "/sbin"):
            with self.subTest(PATH=path):
                before = len(machine.poweroff_calls())
                machine.run(binary=helper_binary("sleeper"), args=["spawn", "poweroff"], env={"PATH": path})
                # A host without a poweroff there runs none at all.
                found = [True] if shutil.which("poweroff", path=path) else []
                self.assertEqual([call.masked for call in machine.poweroff_calls()[before:]], found)

    def test_a_poweroff_in_a_relative_path_entry_is_masked_too(self):
        machine = self.machine()
        folder = machine.root / "workdir"
        folder.mkdir()
        script(machine, "workdir/poweroff", "#!/bin/sh\nexit 0\n")
        machine.run(binary=helper_binary("sleeper"), args=["spawn", "poweroff"], env={"PATH": ":/nonexistent"},
                    cwd=str(folder))
        [call] = machine.poweroff_calls()
        self.assertTrue(call.masked)

    def test_the_guard_refuses_to_start_while_a_real_poweroff_is_reachable(self):
        machine = self.machine()
        (machine.root / "workdir").mkdir()
        script(machine, "workdir/poweroff", "#!/bin/sh\nexit 0\n")
        workdir = f"{machine.root}/workdir"
        for path, cwd, expected in ((workdir, "/", f"{workdir}/poweroff"), (":", workdir, f"{workdir}/poweroff")):
            with self.subTest(PATH=path):
                with self.assertRaises(HarnessError) as caught:
                    machine.start(binary="/bin/true", env={"PATH": path}, cwd=cwd, _skip_masks=True)
                self.assertIn(f"guard: {expected} is not masked", str(caught.exception))
        self.assertEqual(machine.poweroff_calls(), [])


class SandboxTest(SandboxTestCase):
    def test_sys_stays_sysfs(self):
        run = self.machine().run(binary=helper_binary("sleeper"), args=["mounts"])
        self.assertEqual(run.stdout, ["sysfs"])

    def test_the_daemon_sees_the_fake_tree(self):
        machine = self.machine()
        adapter = machine.add_adapter("AC", online=1)
        machine.set_charge_limit(80)
        adapter.set("hidden", "x", mode=0)
        paths = [adapter.attribute_path("online"), adapter.attribute_path("type"), CHARGE_LIMIT_PATH,
                 "/sys/class/power_supply/BAT0/type", "/sys/class/hwmon", adapter.attribute_path("hidden")]
        for drop, hidden in ((False, "ok"), (True, "EACCES")):
            with self.subTest(drop_dac_caps=drop):
                run = machine.run(binary=helper_binary("sleeper"), args=["read"] + paths, drop_dac_caps=drop)
                self.assertEqual(run.stdout, [
                    "/sys/class/power_supply/AC/online ok",
                    "/sys/class/power_supply/AC/type ok",
                    f"{CHARGE_LIMIT_PATH} ok",
                    "/sys/class/power_supply/BAT0/type ENOENT",
                    "/sys/class/hwmon EISDIR",
                    f"/sys/class/power_supply/AC/hidden {hidden}",
                ])

    def test_etc_entries_are_as_the_test_sets_them(self):
        paths = ["/etc/kestro.toml", "/etc/sensors3.conf", "/etc/sensors.d/own.conf", "/etc/passwd"]
        setups = [
            ("defaults", lambda etc: None, ["ENOENT", "ENOENT", "ENOENT", "ok"]),
            ("file and host", lambda etc: (etc.write("kestro.toml", "x = 1\n"), etc.use_host("sensors3.conf")),
             ["ok", "ok" if os.path.exists("/etc/sensors3.conf") else "ENOENT", "ENOENT", "ok"]),
            ("directory", lambda etc: (etc.mkdir("kestro.toml"), etc.write("sensors.d/own.conf", "")),
             ["EISDIR", "ENOENT", "ok", "ok"]),
            ("unreadable", lambda etc: etc.write("kestro.toml", "", mode=0), ["EACCES", "ENOENT", "ENOENT", "ok"]),
            ("removed", lambda etc: etc.remove("kestro.toml"), ["ENOENT", "ENOENT", "ENOENT", "ok"]),
        ]
        for name, change, expected in setups:
            with self.subTest(name):
                machine = self.machine()
                change(machine.etc)
                run = machine.run(binary=helper_binary("sleeper"), args=["read"] + paths, drop_dac_caps=True)
                self.assertEqual(run.stdout, [f"{p} {e}" for p, e in zip(paths, expected)])

    def test_a_staged_folder_replaces_the_hosts(self):
        machine = self.machine()
        machine.etc.write("sensors.d/own.conf", "")
        run = machine.run(binary="/bin/ls", args=["-A", "/etc/sensors.d"])
        self.assertEqual(run.stdout, ["own.conf"])

    def test_libsensors_detects_the_fake_chips(self):
        machine = self.machine()
        machine.add_hwmon("marlith_hwmon", in0_input=20000, curr1_input=1500)
        machine.add_hwmon("corvale", in0_input=5000, in1_input=7000)
        machine.add_hwmon(None, in0_input=1)
        run = machine.run(binary=helper_binary("sensors_probe"))
        # The chips come in the order their folder lists them: each with its inputs.
        self.assertEqual(sorted("\n".join(run.stdout).split("\nchip ")),
                         ["corvale\nin in0 5\nin in1 7", "init 0", "marlith_hwmon\nin in0 20\ncurr curr1 1.5"])

    def test_status_files_are_read_from_the_fake_run(self):
        machine = self.machine()
        self.assertIsNone(machine.status("ac_status"))
        self.assertEqual(machine.status_files(), {})
        machine.write("/run/kestro/ac_status", "Connected")
        machine.write("/run/kestro/.ac_status", b"")
        self.assertEqual(machine.status("ac_status"), "Connected\n")
        self.assertEqual(machine.status_files(), {".ac_status": "", "ac_status": "Connected\n"})


class AttributeTest(unittest.TestCase):
    def test_values_are_written_as_sysfs_shows_them(self):
        cases = [(3900000, b"3900000\n"), ("Charging", b"Charging\n"), (1.5, b"1.5\n"),
                 (b"  12 mA", b"  12 mA"), (b"", b""), ("", b"\n")]
        for value, expected in cases:
            with self.subTest(value=value):
                self.assertEqual(encode_value(value), expected)
        with self.assertRaises(TypeError):
            encode_value(True)

    def test_rewriting_keeps_the_mode_and_none_removes(self):
        with Machine() as machine:
            battery = machine.add_battery("BAT1", charge_now=None)
            self.assertFalse(battery.exists("charge_now"))
            battery.set("status", "Full").chmod("status", 0)
            battery.set("status", "Charging")
            self.assertEqual(stat.S_IMODE(os.stat(battery.host_path / "status").st_mode), 0)
            battery.set("status", None)
            self.assertFalse(battery.exists("status"))
            self.assertEqual(battery.path, "/sys/class/power_supply/BAT1")
            self.assertEqual(battery.read("type"), "Battery\n")


class BrokenBinaryTest(SandboxTestCase):
    """A daemon that misbehaves fails the test at once with a clear message."""

    def test_one_that_exits_at_once(self):
        machine = self.machine()
        with self.assertRaises(HarnessError) as caught:
            machine.start(binary="/bin/true").step()
        message = str(caught.exception)
        self.assertIn("true ended (exit status 0) while the harness waited for cycle 1 to end with a pause of 1 s",
                      message)
        self.assertIn("stdout: (nothing)", message)

    def test_one_that_fails_with_output(self):
        machine = self.machine()
        binary = script(machine, "fails", "#!/bin/sh\necho starting\necho 'fatal: no way' >&2\nexit 101\n")
        with self.assertRaises(HarnessError) as caught:
            machine.start(binary=binary).step()
        message = str(caught.exception)
        self.assertIn("fails ended (exit status 101)", message)
        self.assertIn("stdout:\n  starting", message)
        self.assertIn("stderr:\n  fatal: no way", message)

    def test_one_that_hangs_without_sleeping(self):
        machine = self.machine()
        binary = script(machine, "hangs", "#!/usr/bin/python3\nimport select\nprint('up', flush=True)\n"
                                          "select.select([], [], [])\n")
        daemon = machine.start(binary=binary, timeout=0.5)
        with self.assertRaises(HarnessError) as caught:
            daemon.step()
        message = str(caught.exception)
        self.assertIn("timed out after 0.5 s waiting for cycle 1 to end with a pause of 1 s", message)
        self.assertIn("stdout:\n  up", message)

    def test_one_that_never_stops_its_loop(self):
        machine = self.machine()
        daemon = machine.start(binary=helper_binary("sleeper"), args=["ticks", "1000000"])
        with self.assertRaises(HarnessError) as caught:
            daemon.run_until_exit(max_pauses=50)
        self.assertIn("did not end within 50 pauses", str(caught.exception))

    def test_one_that_cannot_be_started(self):
        machine = self.machine()
        with self.assertRaises(HarnessError) as caught:
            machine.start(binary=str(machine.root / "missing"))
        self.assertIn(f"cannot start {machine.root}/missing", str(caught.exception))

    def test_a_signal_ends_the_daemon_by_its_default_action(self):
        machine = self.machine()
        daemon = machine.start(binary=helper_binary("sleeper"), args=["ticks", "5"])
        self.assertEqual(daemon.step().stdout, ["tick 1"])
        run = daemon.kill(signal.SIGTERM)
        self.assertEqual((run.status.code, run.status.signal), (None, signal.SIGTERM))
        self.assertEqual(str(run.status), "killed by signal 15 (SIGTERM)")
        with self.assertRaises(HarnessError):
            daemon.step()


if __name__ == "__main__":
    unittest.main()
