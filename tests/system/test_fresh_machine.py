"""The README's first command on a fresh Debian 12 machine.

A minimal root file system (mmdebstrap's minbase and nothing more: no
compiler, no Python, no sudo), cached like the booted-system test's, gets an
ordinary user with a clone of this commit in their home. Under a throwaway
overlay, scripts/demo runs there under systemd-nspawn (not booted): first as
root in the user's clone, as `sudo scripts/demo` would, installing what it
needs from the mirror; then as the user, who must find the clone still theirs
to build in.
"""

from __future__ import annotations

import subprocess
import tempfile
import unittest
from pathlib import Path

from test_booted_system import MMDEBSTRAP_OPTIONS as BOOTED_OPTIONS
from test_booted_system import (BUILD_DIR, COMMAND_PATH, SKIP_PREFIX, SOURCE_ROOT, UNREACHABLE, Container, cached_root,
                                check_can_boot, private_mounts, remove_tree, run)

# The booted-system test's root without its packages: minbase alone.
MMDEBSTRAP_OPTIONS = tuple(option for option in BOOTED_OPTIONS if not option.startswith("--include="))
USER, UID = "kestro-user", 1000
CLONE = f"/home/{USER}/kestro"
# Installing, building and the story, on a busy machine.
DEMO_TIMEOUT = 1200
POWEROFF = "the fake poweroff ran: poweroff"


class FreshMachineTest(unittest.TestCase):
    def setUp(self):
        check_can_boot()
        # The demo's sandbox lays an overlay on /etc inside the container,
        # itself an overlay: on an overlay more the kernel refuses the third.
        kind = run(["stat", "--file-system", "--format=%T", str(BUILD_DIR)], env={"PATH": COMMAND_PATH}).stdout
        if kind.strip() == "overlayfs":
            self.skipTest(f"{SKIP_PREFIX}{BUILD_DIR} is on an overlay, and overlays nest only two deep")
        private_mounts()
        lower = cached_root(MMDEBSTRAP_OPTIONS, "fresh-machine-root")
        folder = Path(tempfile.mkdtemp(prefix="kestro-fresh-"))
        self.addCleanup(remove_tree, folder)
        self.container = Container(lower, folder / "container")
        self.addCleanup(self.container.close)

    def nspawn(self, user: str, *command: str, timeout: float = 60) -> subprocess.CompletedProcess:
        return run(self.container.nspawn_command("--quiet", "--as-pid2", "--console=pipe", f"--user={user}",
                                                 f"--chdir={CLONE}", "--", *command),
                   timeout=timeout, env={"PATH": COMMAND_PATH})

    def test_the_demo_runs_as_root_in_a_users_clone_and_then_as_the_user(self):
        # Git refuses a repository of another owner (sudo scripts/test in a user's clone) unless told.
        config = self.container.folder / "gitconfig"
        config.write_text("[safe]\n\tdirectory = *\n")
        git = {"PATH": COMMAND_PATH, "GIT_CONFIG_GLOBAL": str(config)}
        commit = run(["git", "-C", str(SOURCE_ROOT), "rev-parse", "HEAD"], env=git)
        if commit.returncode != 0:
            self.skipTest(f"{SKIP_PREFIX}no commit to clone: {commit.stderr.strip()}")
        clone = self.container.root / CLONE.lstrip("/")
        for command in (self.container.nspawn_command("--quiet", "useradd", "--create-home", f"--uid={UID}", USER),
                        ["git", "clone", "--quiet", "--no-checkout", str(SOURCE_ROOT), str(clone)],
                        ["git", "-C", str(clone), "checkout", "--quiet", "--detach", commit.stdout.strip()],
                        ["chown", "-R", f"{UID}:{UID}", str(clone)]):
            made = run(command, env=git)
            self.assertEqual(made.returncode, 0, f"{command}: {made.stderr}")

        self.demo("root")
        # The user's run needs user namespaces, which the system may keep from ordinary users.
        probe = self.nspawn(USER, "unshare", "--user", "--map-root-user", "true")
        if probe.returncode != 0:
            self.skipTest(f"{SKIP_PREFIX}an ordinary user cannot create user namespaces: {probe.stderr.strip()}")
        self.demo(USER)

    def demo(self, user: str) -> None:
        demo = self.nspawn(user, "scripts/demo", timeout=DEMO_TIMEOUT)
        unreachable = UNREACHABLE.search(demo.stderr)
        if demo.returncode != 0 and unreachable:
            self.skipTest(f"{SKIP_PREFIX}no way to the Debian mirror ({unreachable.group(0)})")
        evidence = f"scripts/demo as {user}:\n{demo.stdout[-3000:]}{demo.stderr[-3000:]}"
        self.assertEqual(demo.returncode, 0, evidence)
        self.assertIn(POWEROFF, demo.stdout, evidence)


if __name__ == "__main__":
    unittest.main()
