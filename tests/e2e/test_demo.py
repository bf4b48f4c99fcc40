"""The README's first command: the demo's story runs the real daemon from
start-up to the fake poweroff, and each chapter shows what it is there to
show. Run without pauses (rate 0) and in the plain one-line-per-cycle form."""

import io
import re
import shutil
import sys
import tempfile
import unittest
from pathlib import Path
from unittest import mock

import desktop_session
from kestro_expected import (SHUTTING_DOWN, WARNING, announcement, change_line, limit_file, new_limit, progress_line,
                             settings_lines, start_line, start_up)
from kestro_sandbox import POWER_SUPPLY_DIR, SOURCE_ROOT, SandboxTestCase

sys.path.insert(0, str(SOURCE_ROOT / "scripts"))
import kestro_demo  # noqa: E402

START = "On the charger: the battery charges."
UNPLUGGED = "Unplugged: the laptop runs on its battery."
WEAK = ("Plugged into a charger too weak for it (a 15 W phone charger): the kernel says Charging,"
        " yet the charge keeps falling.")
DRAIN = "Unplugged again, and busy: the battery drains towards the shutdown level (5%)."
SHUTDOWN = "The shutdown: kestro waits 3 s, then runs poweroff (the sandbox's fake one)."


def falling(*percents):
    return [progress_line(p, "(-)") for p in percents]


# The daemon's standard output in each chapter, as the demo shows it.
EXPECTED_LOG = {
    f"{START}  (cycle 1)": [
        *start_up(settings=settings_lines("5", "3"),
                  limit_line=limit_file(f"{POWER_SUPPLY_DIR}/BAT0/charge_control_end_threshold")),
        new_limit(100),
        start_line("Connected", "61.92%", "Charging"),
        *(progress_line(p, "(+)") for p in (65, 70, 75, 80)),
    ],
    f"{UNPLUGGED}  (cycle 25)": [
        change_line("Connected", "Disconnected", "79.87%", "Discharging"),
        *falling(80, 75, 70, 65),
    ],
    f"{WEAK}  (cycle 57)": [
        WARNING,
        change_line("Disconnected", "Connected slow", "60.92%", "Discharging"),
        *falling(60),
    ],
    f"{DRAIN}  (cycle 89)": [
        *falling(55),
        change_line("Connected slow", "Disconnected", "51.88%", "Discharging"),
        *falling(50, 45, 40, 35, 30, 25, *range(20, 4, -1)),
        *announcement("5", "3"),
    ],
    SHUTDOWN: [SHUTTING_DOWN],
}
# What kestro-status --notify sent in each chapter, as the demo shows it: one
# notification, new for the weak charger and withdrawn on unplugging, then
# one updated from the low battery to the shutdown.
EXPECTED_NOTIFICATIONS = {
    f"{WEAK}  (cycle 57)": [
        "#1 new, normal: Charger too weak: the battery is discharging although the charger is connected"
        " (Battery at 61%, shutdown in 4 h 54 min)",
    ],
    f"{DRAIN}  (cycle 89)": [
        "#1 withdrawn",
        "#2 new, normal: Battery low: the computer will power off in 10 min at 12%",
        "#2 updated, critical: Battery low: the computer will power off in 2 min at 7%",
        "#2 updated, critical: Powering off now: battery at 4%",
    ],
}
SHUTDOWN_CYCLE = 154
STATUS_LINE = re.compile(r"  status \| cycle (\d+): (.*)")


def chapters(text: str) -> dict[str, dict[str, list]]:
    """The demo's output cut at its headings: per chapter, the daemon's
    lines, its standard error, the status lines as {file: value} with their
    cycle numbers, and the demo's own notes."""
    found: dict[str, dict[str, list]] = {}
    current = None
    for line in text.splitlines():
        if line.startswith("== "):
            current = found.setdefault(line[3:], {"log": [], "errors": [], "status": [], "notes": [],
                                                  "notify": []})
        elif current is None:
            continue
        elif line.startswith("  kestro | "):
            current["log"].append(line[len("  kestro | "):])
        elif line.startswith("  kestro ! "):
            current["errors"].append(line[len("  kestro ! "):])
        elif line.startswith("  notify | "):
            current["notify"].append(line[len("  notify | "):])
        elif match := STATUS_LINE.fullmatch(line):
            values = dict(item.split("=", 1) for item in match.group(2).split("  "))
            current["status"].append((int(match.group(1)), values))
        elif line.strip():
            current["notes"].append(line.strip())
    return found


class DemoTest(SandboxTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        out, err = io.StringIO(), io.StringIO()
        cls.status = kestro_demo.main(["--rate", "0", "--plain"], out=out, err=err)
        cls.output, cls.errors = out.getvalue(), err.getvalue()
        cls.chapters = chapters(cls.output)

    def test_ends_with_status_zero_after_the_fake_poweroff(self):
        self.assertEqual((self.status, self.errors), (0, ""), self.output)
        notes = self.chapters[SHUTDOWN]["notes"]
        self.assertEqual(notes[:2], [
            "the fake poweroff ran: poweroff (uid 0); on a real laptop the machine would now power off.",
            "kestro ended: exit status 0.",
        ])
        self.assertRegex(self.output, r"\n\* charge .*\nLow-battery action poweroff .* at 4\.5%\n")  # the chart

    def test_every_chapter_shows_the_daemons_own_lines(self):
        self.assertEqual(list(self.chapters), list(EXPECTED_LOG))
        for title, expected in EXPECTED_LOG.items():
            with self.subTest(title):
                self.assertEqual(self.chapters[title]["log"], expected)
                self.assertEqual(self.chapters[title]["errors"], [])

    def test_the_desktop_notifications_follow_the_story(self):
        if desktop_session.problem():
            self.skipTest(desktop_session.problem())
        notified = {title: chapter["notify"] for title, chapter in self.chapters.items() if chapter["notify"]}
        self.assertEqual(notified, EXPECTED_NOTIFICATIONS)

    def test_one_status_line_per_cycle_with_the_five_files(self):
        lines = [entry for chapter in self.chapters.values() for entry in chapter["status"]]
        self.assertEqual([number for number, _ in lines], list(range(1, SHUTDOWN_CYCLE + 1)))
        for number, values in lines:
            self.assertEqual(tuple(values), kestro_demo.sandbox.STATUS_FILES, number)

    def test_the_status_files_follow_the_story(self):
        def seen(title, name):
            return [values[name] for _, values in self.chapters[title]["status"]]

        cases = [
            (START, "ac_status", {"Connected"}),
            (START, "battery_status", {"Unknown", "Charging"}),  # Unknown in cycle 1: no trend yet
            (UNPLUGGED, "ac_status", {"Disconnected"}),
            (UNPLUGGED, "battery_status", {"Discharging"}),
            (WEAK, "ac_status", {"Connected", "Connected slow"}),
            (WEAK, "battery_status", {"Discharging"}),
            (DRAIN, "ac_status", {"Disconnected"}),
        ]
        titles = {title.split("  (cycle")[0]: title for title in self.chapters}
        for chapter, name, expected in cases:
            with self.subTest(chapter=chapter, file=name):
                self.assertEqual(set(seen(titles[chapter], name)), expected)
        weak = seen(titles[WEAK], "ac_status")
        self.assertEqual(weak[-1], "Connected slow", "the weak charger ends the chapter as Connected slow")
        last = self.chapters[titles[DRAIN]]["status"][-1]
        self.assertEqual(last, (SHUTDOWN_CYCLE, {
            "ac_status": "Disconnected", "battery_percent": "4.47", "battery_status": "Discharging",
            "secs_until_battery_full": "7200", "secs_until_shutdown_request": "0"}))


class SandboxProblemTest(unittest.TestCase):
    """Where the sandbox cannot be made, the demo says what it needs."""

    def stand_in(self, text: str) -> str:
        """A stand-in for unshare that runs this shell script."""
        directory = tempfile.mkdtemp(prefix="kestro-demo-test-")
        self.addCleanup(shutil.rmtree, directory, ignore_errors=True)
        path = Path(directory) / "unshare"
        path.write_text(text)
        path.chmod(0o755)
        return str(path)

    def test_the_message_names_what_is_missing(self):
        refused = self.stand_in("#!/bin/sh\necho 'unshare: unshare failed: Operation not permitted' >&2\nexit 1\n")
        cases = [
            ("ordinary user", refused, False, ["Operation not permitted", "sudo scripts/demo",
                                               "user.max_user_namespaces"]),
            ("root without the capability", refused, True, ["Operation not permitted", "CAP_SYS_ADMIN"]),
            ("no unshare", "/nonexistent/unshare", False, ["util-linux"]),
        ]
        for name, unshare, as_root, words in cases:
            with self.subTest(name):
                problem = kestro_demo.sandbox_problem(unshare, as_root)
                self.assertIsNotNone(problem)
                for word in words:
                    self.assertIn(word, problem)

    def test_a_working_unshare_is_no_problem(self):
        self.assertIsNone(kestro_demo.sandbox_problem(self.stand_in("#!/bin/sh\nexit 0\n"), False))

    def test_main_prints_it_and_fails_without_running_anything(self):
        out, err = io.StringIO(), io.StringIO()
        with mock.patch.object(kestro_demo, "sandbox_problem", return_value="it needs X."):
            self.assertEqual(kestro_demo.main(["--rate", "0"], out=out, err=err), 1)
        self.assertEqual((out.getvalue(), err.getvalue()), ("", "scripts/demo: it needs X.\n"))


if __name__ == "__main__":
    unittest.main()
