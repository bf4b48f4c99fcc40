"""The sandbox never reaches the host: the host's /sys, /etc, /run, power
commands and mount table are as they were after runs that do everything a
test may do, and nothing started in a sandbox outlives it."""

import os
import time
import unittest
import uuid

from kestro_sandbox import HostSnapshot, Machine, SandboxTestCase, helper_binary


def processes_with(marker: str) -> list[int]:
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                    if marker.encode() in cmdline.read():
                        found.append(int(entry))
            except OSError:
                pass
    return found


class HostIsolationTest(SandboxTestCase):
    def test_runs_leave_the_host_as_it_was(self):
        before = HostSnapshot.take()
        machine = self.machine()
        machine.add_adapter("AC")
        machine.add_battery("BAT0")
        machine.add_hwmon("marlith_hwmon", in0_input=20000, curr1_input=1500)
        machine.set_charge_limit(80)
        machine.set_config("request_shutdown_battery_percent = 5\n")
        machine.etc.write("sensors.d/fake.conf", "")
        daemon = machine.start(env={"KESTRO_DEBUG": "1"})
        daemon.steps(3)
        self.assertIsNotNone(machine.status("ac_status"), "the daemon published in its own /run")
        daemon.kill()
        sleeper = helper_binary("sleeper")
        # Through the fake first in PATH, and the host's own where it has them.
        commands = ["poweroff"] + [c for c in ("/usr/sbin/poweroff", "/usr/bin/systemctl", "/sbin/reboot")
                                   if os.path.exists(c)]
        for command in commands:
            machine.run(binary=sleeper, args=["spawn", command])
        machine.etc.mkdir("kestro.toml")
        machine.etc.remove("passwd")
        machine.remove_supply("BAT0")
        self.assertEqual(machine.run(drop_dac_caps=True).status.code, 0)
        self.assertEqual(len(machine.poweroff_calls()), len(commands))
        self.assertEqual(HostSnapshot.take().differences(before), [])

    def test_the_snapshot_notices_a_change(self):
        before = HostSnapshot.take()
        with Machine() as machine:
            changed = HostSnapshot(dict(before.entries, **{"/run/kestro": ("changed",)}))
            self.assertEqual(len(changed.differences(before)), 1)
            self.assertEqual(HostSnapshot.take().differences(before), [])
            self.assertTrue(machine.root.is_dir())

    def test_a_machine_leaves_nothing_behind(self):
        machine = Machine()
        root = machine.root
        battery = machine.add_battery("BAT0")
        battery.chmod("status", 0)
        os.chmod(battery.host_path, 0)
        machine.etc.mkdir("kestro.toml", mode=0)
        machine.start().step()
        machine.close()
        self.assertFalse(root.exists())

    def test_nothing_outlives_the_sandbox(self):
        machine = self.machine()
        marker = f"{uuid.uuid4().int % 10**9}.5"
        # The sleeper waits for a real sleep (no shim in the child) that would
        # last for decades.
        daemon = machine.start(binary=helper_binary("sleeper"), args=["spawn", "/bin/sleep", marker])
        deadline = time.monotonic() + daemon.timeout
        while not processes_with(marker):
            self.assertLess(time.monotonic(), deadline, "the grandchild did not start")
            time.sleep(0.01)
        daemon.close()
        self.assertEqual(processes_with(marker), [])


if __name__ == "__main__":
    unittest.main()
