"""kestro-status --notify beside the live daemon, on a private session bus:
a notification server that is missing and then comes, one that restarts, the
session bus going away, the daemon stopping while on battery, and a machine
without a battery. The notices of the demo's story are asserted in
test_demo."""

import unittest

import desktop_session
from desktop_session import Call, DesktopSession
from kestro_sandbox import STATUS_FILES, Machine, SandboxTestCase

LOW = "Battery low: the computer will power off in 4 min at 2%"
STOPPED = "Battery monitor not running: no low-battery protection"


def files(machine: Machine) -> dict:
    return {name: (text.rstrip("\n") if (text := machine.status(name)) is not None else None)
            for name in STATUS_FILES}


class NotifyTest(SandboxTestCase):
    def session(self, machine: Machine, *options: str, server: bool = True) -> DesktopSession:
        if desktop_session.problem():
            self.skipTest(desktop_session.problem())
        session = DesktopSession()
        self.addCleanup(session.close)
        if server:
            session.start_server()
        session.start_notifier(machine.status_dir, *options)
        return session

    def test_a_missing_or_restarting_server_is_waited_for(self):
        machine = self.machine()
        machine.add_adapter("AC", online=0)
        battery = machine.add_battery("BAT0", charge_now=100_000)
        session = self.session(machine, server=False)
        daemon = machine.start()
        daemon.step()
        session.settle(files(machine))

        session.start_server()
        self.assertEqual(session.calls(wait_for=1), [Call("Notify", 1, 0, 1, "kestro", "battery-low", LOW)],
                         "sent once the server has taken its name")

        session.stop_server()
        session.start_server()
        battery.set("charge_now", 60_000)
        daemon.step()
        session.settle(files(machine))
        # The new server may first be given the warning it missed, before its update.
        calls = session.calls(wait_for=1)
        self.assertEqual((calls[0].replaces_id, calls[-1].urgency), (0, 2), "a new server: a new notification")

        desktop_session.stop(session.bus)
        status, error = session.stop_notifier(None)
        self.assertEqual((status, error.splitlines()[-1]), (1, "kestro-status: the session bus went away"))
        self.assertEqual(error.count("waiting for one"), 1, error)

    def test_a_stopped_daemon_on_battery_is_notified_once_and_withdrawn(self):
        machine = self.machine()
        machine.add_adapter("AC", online=0)
        machine.add_battery("BAT0")
        session = self.session(machine, "--max-age", "2")
        daemon = machine.start()
        daemon.step()
        session.settle(files(machine))
        self.assertEqual(session.calls(), [])

        daemon.kill()
        [stopped] = session.calls(wait_for=1)
        self.assertEqual((stopped.summary, stopped.urgency), (STOPPED, 1))
        machine.start().step()
        self.assertEqual(session.calls(wait_for=1), [Call("CloseNotification", stopped.id)])

    def test_nothing_without_a_battery(self):
        machine = self.machine()
        machine.add_adapter("AC", online=1)
        session = self.session(machine)
        self.assertEqual(machine.run().status.code, 0)
        self.assertFalse(machine.status_dir.exists())
        self.assertEqual(session.calls(), [])


if __name__ == "__main__":
    unittest.main()
