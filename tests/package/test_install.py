"""What a packager and an administrator get: `cmake --install` into a
DESTDIR, the systemd unit (verified, and its exposure scored), the udev rule,
the manual pages (rendered without warnings), and the Debian package built by
CPack (hardened, judged by lintian, installed and removed in a throwaway dpkg
root so that the host's package database and files are never touched)."""

import gzip

import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import tomllib
import unittest
from pathlib import Path

SOURCE_ROOT = Path(__file__).resolve().parent.parent.parent
BUILD_DIR = Path(os.environ.get("KESTRO_BUILD_DIR") or SOURCE_ROOT / "build")
# The highest `systemd-analyze security` exposure the unit may score.
MAX_EXPOSURE = 1.0
PACKAGE = "kestro"

# Every file an install puts under the prefix, and nothing else (nothing
# goes into /etc: the configuration file stays optional).
INSTALLED_FILES = {
    "sbin/kestro",
    "bin/kestro-status",
    "lib/systemd/system/kestro.service",
    "lib/systemd/user/kestro-notify.service",
    "lib/udev/rules.d/60-kestro.rules",
    "share/man/man8/kestro.8.gz",
    "share/man/man5/kestro.toml.5.gz",
    "share/man/man5/kestro-history.5.gz",
    "share/man/man1/kestro-status.1.gz",
    "share/doc/kestro/kestro.toml.example",
    "share/doc/kestro/README.md",
    "share/doc/kestro/copyright",
    "share/doc/kestro/changelog.Debian.gz",
    "share/doc/kestro/examples/kestro-status-prometheus.service",
    "share/lintian/overrides/kestro",
}
EXECUTABLES = {"sbin/kestro", "bin/kestro-status"}
MAINTAINER_SCRIPTS = ("postinst", "prerm", "postrm")
UDEV_RULE = "lib/udev/rules.d/60-kestro.rules"
# What the package's postinst enables, and its postrm masks.
WANTS_LINK = "etc/systemd/system/multi-user.target.wants/kestro.service"
MASK_LINK = "etc/systemd/system/kestro.service"
USER_WANTS_LINK = "etc/systemd/user/graphical-session.target.wants/kestro-notify.service"
USER_MASK_LINK = "etc/systemd/user/kestro-notify.service"
# Each unit as installed: its template and the program its ExecStart starts.
UNITS = {
    "lib/systemd/system/kestro.service": ("packaging/kestro.service.in", "sbin/kestro"),
    "lib/systemd/user/kestro-notify.service": ("packaging/kestro-notify.service.in", "bin/kestro-status"),
}


def run(command, **options) -> subprocess.CompletedProcess:
    """Runs a command and returns what it did, with both streams as text."""
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, **options)


def require_tool(test: unittest.TestCase, name: str) -> str:
    path = shutil.which(name)
    if path is None:
        test.skipTest(f"{name} is not installed (scripts/install-deps installs it)")
    return path


def files_under(root: Path) -> set[str]:
    return {str(path.relative_to(root)) for path in root.rglob("*") if path.is_file() or path.is_symlink()}


def install(destdir: Path, prefix: str) -> subprocess.CompletedProcess:
    environment = dict(os.environ, DESTDIR=str(destdir))
    return run(["cmake", "--install", str(BUILD_DIR), "--prefix", prefix], env=environment)


def scratch(test: unittest.TestCase) -> Path:
    folder = Path(tempfile.mkdtemp(prefix="kestro-package-test-"))
    test.addCleanup(shutil.rmtree, folder, ignore_errors=True)
    return folder


def owning_package(path: str):
    """The host package that ships a file, asked by each name the file has
    (the package may list it under /lib or /usr/lib), or None."""
    names = {path, os.path.realpath(path)}
    names |= {name.removeprefix("/usr") for name in names} | {"/usr" + name for name in names}
    for name in sorted(names):
        found = run(["dpkg-query", "--search", name])
        if found.returncode == 0:
            return found.stdout.split(":")[0]
    return None


def unit_directive(unit_text: str, key: str) -> list[str]:
    return [line.split("=", 1)[1] for line in unit_text.splitlines() if line.startswith(f"{key}=")]


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = Path(tempfile.mkdtemp(prefix="kestro-package-test-"))
        cls.destdir = cls.folder / "root"
        cls.result = install(cls.destdir, "/usr")
        cls.usr = cls.destdir / "usr"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_the_files_land_under_the_prefix_and_nowhere_else(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        self.assertEqual(files_under(self.destdir), {f"usr/{name}" for name in INSTALLED_FILES})
        for name in INSTALLED_FILES:
            with self.subTest(name):
                executable = os.access(self.usr / name, os.X_OK)
                self.assertEqual(executable, name in EXECUTABLES)

    def test_installed_files_are_the_sources(self):
        """Compressed ones once uncompressed."""
        pairs = [
            ("share/man/man8/kestro.8.gz", "man/kestro.8"),
            ("share/man/man5/kestro.toml.5.gz", "man/kestro.toml.5"),
            ("share/man/man5/kestro-history.5.gz", "man/kestro-history.5"),
            ("share/doc/kestro/changelog.Debian.gz", "packaging/deb/changelog"),
            ("share/doc/kestro/copyright", "packaging/deb/copyright"),
            ("share/lintian/overrides/kestro", "packaging/deb/lintian-overrides"),
            (UDEV_RULE, "packaging/60-kestro.rules"),
            ("share/doc/kestro/kestro.toml.example", "packaging/kestro.toml.example"),
            ("share/man/man1/kestro-status.1.gz", "man/kestro-status.1"),
            ("share/doc/kestro/examples/kestro-status-prometheus.service",
             "examples/kestro-status-prometheus.service"),
            ("sbin/kestro", str(BUILD_DIR / "kestro")),
            ("bin/kestro-status", str(BUILD_DIR / "kestro-status")),
        ]
        for installed, source in pairs:
            with self.subTest(installed):
                content = (self.usr / installed).read_bytes()
                if installed.endswith(".gz"):
                    content = gzip.decompress(content)
                self.assertEqual(content, (SOURCE_ROOT / source).read_bytes())

    def test_the_udev_rule_asks_for_the_installed_unit(self):
        rule = (self.usr / UDEV_RULE).read_text()
        wanted = re.findall(r'ENV\{SYSTEMD_WANTS\}\+="([^"]+)"', rule)
        self.assertEqual(wanted, ["kestro.service"])
        self.assertIn('TAG+="systemd"', rule, "systemd acts only on devices tagged for it")
        self.assertTrue((self.usr / "lib/systemd/system" / wanted[0]).is_file())

    def test_the_unit_starts_the_binary_where_this_install_put_it(self):
        """The unit is written at install time, so a prefix chosen then (or
        CPack's /usr) still gives a unit that starts the installed binary;
        the udev rule that starts it goes under the same prefix."""
        for prefix in ("/usr", "/usr/local", "/opt/kestro"):
            with self.subTest(prefix=prefix):
                destdir = scratch(self) / "root"
                result = install(destdir, prefix)
                self.assertEqual(result.returncode, 0, result.stderr)
                base = destdir / prefix.lstrip("/")
                for name, (_, program) in UNITS.items():
                    unit = (base / name).read_text()
                    self.assertEqual(unit_directive(unit, "ExecStart")[0].split()[0], f"{prefix}/{program}")
                    self.assertTrue((base / program).is_file())
                    self.assertNotRegex(unit, r"@\w+@", "every placeholder is filled in")
                self.assertTrue((base / UDEV_RULE).is_file())

    def test_the_unit_templates_are_the_installed_units_but_for_the_path(self):
        for name, (template, program) in UNITS.items():
            with self.subTest(name):
                text = (SOURCE_ROOT / template).read_text()
                placeholder = re.search(r"@\w+@", text).group(0)
                folder = "/usr/" + program.rsplit("/", 1)[0]
                self.assertEqual((self.usr / name).read_text(), text.replace(placeholder, folder))

    def test_the_example_configuration_is_valid_as_shipped_and_once_uncommented(self):
        text = (self.usr / "share/doc/kestro/kestro.toml.example").read_text()
        self.assertEqual(tomllib.loads(text), {}, "as shipped, every key is commented out: the defaults hold")
        uncommented = re.sub(r"^#(\w+ = )", r"\1", text, flags=re.MULTILINE)
        self.assertEqual(tomllib.loads(uncommented), {
            "request_shutdown_battery_percent": 0.49999998,
            "force_shutdown_timeout_secs": 10,
            "critical_action": "poweroff",
            "history_directory": "/var/lib/kestro",
        }, "uncommented, it states the defaults (the history's under the shipped unit)")


class UnitTest(unittest.TestCase):
    """The installed unit, with ExecStart pointing at the DESTDIR copy of the
    binary (verify checks that the program exists) and the manual pages of
    its Documentation= line looked up in the DESTDIR."""

    @classmethod
    def setUpClass(cls):
        cls.folder = Path(tempfile.mkdtemp(prefix="kestro-package-test-"))
        destdir = cls.folder / "root"
        result = install(destdir, "/usr")
        if result.returncode != 0:
            raise AssertionError(f"cmake --install failed:\n{result.stderr}")
        cls.manpath = destdir / "usr/share/man"
        text = (destdir / "usr/lib/systemd/system/kestro.service").read_text()
        text = text.replace("ExecStart=/usr/sbin/kestro", f"ExecStart={destdir}/usr/sbin/kestro")
        cls.unit = cls.folder / "kestro.service"
        cls.unit.write_text(text)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_systemd_analyze_verify_finds_nothing(self):
        analyze = require_tool(self, "systemd-analyze")
        require_tool(self, "man")
        environment = dict(os.environ, MANPATH=str(self.manpath), SYSTEMD_LOG_COLOR="0")
        result = run([analyze, "verify", str(self.unit)], env=environment)
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

    def verify(self, name: str, text: str, *options: str) -> None:
        """systemd-analyze verify finds nothing in this unit."""
        analyze = require_tool(self, "systemd-analyze")
        require_tool(self, "man")
        folder = scratch(self)
        (folder / name).write_text(text)
        # A user manager's checks need a runtime folder of their own.
        environment = dict(os.environ, MANPATH=str(self.manpath), SYSTEMD_LOG_COLOR="0", XDG_RUNTIME_DIR=str(folder))
        result = run([analyze, "verify", *options, str(folder / name)], env=environment)
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

    def test_the_example_collector_unit_verifies(self):
        """node_exporter's example as installed, its command at the DESTDIR copy."""
        usr = self.manpath.parent.parent
        text = (usr / "share/doc/kestro/examples/kestro-status-prometheus.service").read_text()
        self.assertEqual(unit_directive(text, "ExecStart")[0].split()[0], "kestro-status", "found where installed")
        self.verify("kestro-status-prometheus.service",
                    text.replace("ExecStart=kestro-status", f"ExecStart={usr}/bin/kestro-status"))

    def test_the_user_unit_verifies_for_graphical_sessions(self):
        usr = self.manpath.parent.parent
        text = (usr / "lib/systemd/user/kestro-notify.service").read_text()
        self.assertEqual(unit_directive(text, "WantedBy"), ["graphical-session.target"])
        self.verify("kestro-notify.service", text.replace("ExecStart=/usr/bin", f"ExecStart={usr}/bin"), "--user")

    def test_verify_notices_a_missing_program(self):
        """The check above can fail: a unit whose binary is missing does not verify."""
        analyze = require_tool(self, "systemd-analyze")
        broken = scratch(self) / "kestro.service"
        broken.write_text(self.unit.read_text().replace(f"ExecStart={self.folder}", "ExecStart=/nonexistent"))
        result = run([analyze, "verify", "--man=no", str(broken)])
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("Command /nonexistent/root/usr/sbin/kestro is not executable", result.stderr)

    def test_exposure_is_at_most_the_target(self):
        analyze = require_tool(self, "systemd-analyze")
        unshare = require_tool(self, "unshare")
        # The offline analysis writes under /run/systemd: give it a private /run.
        command = [unshare] + ([] if os.geteuid() == 0 else ["--user", "--map-root-user"]) + [
            "--mount", "--propagation", "private", "sh", "-c",
            'mount -t tmpfs tmpfs /run && exec "$0" security --offline=true "$1"', analyze, str(self.unit)]
        result = run(command, env=dict(os.environ, SYSTEMD_COLORS="0"))
        match = re.search(r"Overall exposure level for kestro\.service: (\d+\.\d+)", result.stdout)
        self.assertIsNotNone(match, result.stdout + result.stderr)
        exposure = float(match.group(1))
        print(f"systemd-analyze security exposure: {exposure}")
        self.assertLessEqual(exposure, MAX_EXPOSURE, result.stdout)


class ManualPageTest(unittest.TestCase):
    def test_the_pages_render_without_warnings(self):
        groff = require_tool(self, "groff")
        for page in ("man/kestro.8", "man/kestro.toml.5", "man/kestro-history.5", "man/kestro-status.1"):
            with self.subTest(page):
                result = run([groff, "-man", "-Tutf8", "-ww", "-z", str(SOURCE_ROOT / page)],
                             env=dict(os.environ, LC_ALL="C.UTF-8"))
                self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_a_faulty_page_is_noticed(self):
        """groff does warn here, so the silence above means something."""
        groff = require_tool(self, "groff")
        page = scratch(self) / "broken.8"
        page.write_text('.TH BROKEN 8\n.SH NAME\nbroken \\- a page\n.XY unknown macro\n\\f(ZZ\n')
        result = run([groff, "-man", "-Tutf8", "-ww", "-z", str(page)], env=dict(os.environ, LC_ALL="C.UTF-8"))
        self.assertNotEqual(result.stderr, "")


needs_root = unittest.skipUnless(os.geteuid() == 0, "dpkg --root needs root to give the files their owners")


class DebianPackageTest(unittest.TestCase):
    """The .deb from `cpack -G DEB`: its contents, the binary's hardening,
    lintian's verdict, and (as root) its life installed with dpkg in a
    throwaway root (--root gives it its own files and database) whose
    database knows only the libraries the package depends on, taken from
    the host's records. The maintainer scripts run outside a chroot (the
    root has no shell) with DPKG_ROOT set, which keeps them off the host."""

    @classmethod
    def setUpClass(cls):
        for tool in ("cpack", "dpkg", "dpkg-deb", "dpkg-query"):
            if shutil.which(tool) is None:
                raise unittest.SkipTest(f"{tool} is not installed (scripts/install-deps installs it)")
        cls.folder = Path(tempfile.mkdtemp(prefix="kestro-package-test-"))
        result = run(["cpack", "--config", str(BUILD_DIR / "CPackConfig.cmake"), "-G", "DEB",
                      "-B", str(cls.folder / "cpack")])
        if result.returncode != 0:
            raise AssertionError(f"cpack failed:\n{result.stdout}\n{result.stderr}")
        debs = list((cls.folder / "cpack").glob("*.deb"))
        if len(debs) != 1:
            raise AssertionError(f"cpack made {debs}, not one .deb:\n{result.stdout}")
        cls.deb = debs[0]
        cls.depends = run(["dpkg-deb", "--field", str(cls.deb), "Depends"]).stdout.strip()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def dependency_names(self) -> list[str]:
        return [re.match(r"[\w.+-]+", item.strip()).group(0) for item in self.depends.split(",")]

    def throwaway_root(self, known_packages: list[str]) -> Path:
        """An empty root with a dpkg database holding the host's records of
        these packages (and no files of theirs)."""
        root = scratch(self) / "root"
        admin = root / "var/lib/dpkg"
        for folder in ("info", "updates", "triggers"):
            (admin / folder).mkdir(parents=True)
        (admin / "available").touch()
        records = run(["dpkg-query", "--status"] + known_packages).stdout if known_packages else ""
        (admin / "status").write_text(records)
        for name in known_packages:
            full = run(["dpkg-query", "--show", "--showformat=${binary:Package}", name]).stdout
            (admin / "info" / f"{full}.list").touch()
        return root

    def dpkg(self, root: Path, *arguments: str) -> subprocess.CompletedProcess:
        return run(["dpkg", f"--root={root}", "--force-script-chrootless", *arguments])

    def dpkg_succeeds(self, root: Path, *arguments: str) -> None:
        result = self.dpkg(root, *arguments)
        self.assertEqual((result.returncode, result.stderr), (0, ""), result.stdout)

    def package_status(self, root: Path) -> str:
        return run(["dpkg-query", f"--root={root}", "--showformat=${Status}", "--show", PACKAGE]).stdout

    def test_the_package_holds_the_installed_files(self):
        listing = run(["dpkg-deb", "--contents", str(self.deb)]).stdout
        files = {line.split()[-1].removeprefix("./") for line in listing.splitlines() if not line.startswith("d")}
        self.assertEqual(files, {f"usr/{name}" for name in INSTALLED_FILES})
        extracted = scratch(self)
        unpacked = run(["dpkg-deb", "--extract", str(self.deb), str(extracted)])
        self.assertEqual(unpacked.returncode, 0, unpacked.stderr)
        text = (extracted / "usr/lib/systemd/system/kestro.service").read_text()
        self.assertEqual(unit_directive(text, "ExecStart"), ["/usr/sbin/kestro"])
        control = run(["dpkg-deb", "--info", str(self.deb)]).stdout
        for script in MAINTAINER_SCRIPTS:
            self.assertRegex(control, rf"\b{script}\b")

    def test_it_depends_on_the_package_of_every_shared_library_it_links(self):
        self.assertIn("libsystemd0", self.dependency_names(), "kestro-status --notify loads it")
        for program in ("kestro", "kestro-status"):
            binary = str(BUILD_DIR / program)
            needed = re.findall(r"\(NEEDED\).*\[(.+)\]", run(["readelf", "--dynamic", binary]).stdout)
            found = dict(re.findall(r"^\s*(\S+) => (/\S+)", run(["ldd", binary]).stdout, re.MULTILINE))
            self.assertEqual("libsensors.so.5" in needed, program == "kestro")
            for soname, path in ((soname, found[soname]) for soname in needed if soname in found):
                with self.subTest(program=program, library=soname):
                    package = owning_package(path)
                    self.assertIsNotNone(package, f"no package owns {path}")
                    self.assertIn(package, self.dependency_names(), f"{soname} comes from {package}")

    def test_lintian_finds_no_error_and_no_warning(self):
        lintian = require_tool(self, "lintian")
        result = run([lintian, "--fail-on", "none", str(self.deb)])
        self.assertEqual(result.returncode, 0, result.stderr)
        findings = [line for line in result.stdout.splitlines() if line.startswith(("E:", "W:"))]
        self.assertEqual(findings, [], result.stdout)

    def test_the_shipped_binary_is_hardened(self):
        """Debian's hardening flags reached the stripped binary in the package."""
        readelf = require_tool(self, "readelf")
        extracted = scratch(self)
        run(["dpkg-deb", "--extract", str(self.deb), str(extracted)])
        binary = str(extracted / "usr/sbin/kestro")
        dynamic = run([readelf, "--wide", "--dynamic", binary]).stdout
        headers = run([readelf, "--wide", "--file-header", "--program-headers", binary]).stdout
        symbols = run([readelf, "--wide", "--dyn-syms", binary]).stdout
        for feature, text, pattern in [
            ("position-independent executable", headers, r"Type:\s+DYN\b"),
            ("relocations read-only after start-up (relro)", headers, r"\bGNU_RELRO\b"),
            ("every symbol bound at start-up (now)", dynamic, r"\bFLAGS_1\b.*\bNOW\b"),
            ("stack protector", symbols, r"\b__stack_chk_fail\b"),
            ("fortified library calls", symbols, r"\b__\w+_chk\b"),
        ]:
            with self.subTest(feature):
                self.assertRegex(text, pattern)

    @needs_root
    def test_installs_enables_and_removes_cleanly_without_touching_the_host(self):
        """As Debian's own daemons: installing enables the unit, removing
        masks it and keeps the enablement, installing again lifts the mask,
        an administrator's disabling survives an upgrade, and a purge leaves
        nothing behind."""
        host_database = hashlib.sha256(Path("/var/lib/dpkg/status").read_bytes()).hexdigest()
        root = self.throwaway_root(self.dependency_names())
        package_files = {f"usr/{name}" for name in INSTALLED_FILES}

        def outside_the_database():
            return {p for p in files_under(root) if not p.startswith("var/")}

        self.dpkg_succeeds(root, "--install", str(self.deb))
        self.assertEqual(self.package_status(root), "install ok installed")
        self.assertEqual(outside_the_database(), package_files | {WANTS_LINK, USER_WANTS_LINK})
        unit = os.readlink(root / WANTS_LINK)
        self.assertTrue((root / unit.lstrip("/")).is_file(), f"{WANTS_LINK} -> {unit}")
        self.assertEqual(os.readlink(root / USER_WANTS_LINK), "/usr/lib/systemd/user/kestro-notify.service",
                         "the desktop notifications are enabled for every graphical session")

        self.dpkg_succeeds(root, "--remove", PACKAGE)
        self.assertEqual(outside_the_database(), {WANTS_LINK, MASK_LINK, USER_WANTS_LINK, USER_MASK_LINK})
        self.assertEqual(os.readlink(root / MASK_LINK), "/dev/null")
        self.assertEqual(os.readlink(root / USER_MASK_LINK), "/dev/null", "masked until the purge")
        self.assertFalse((root / "usr").exists(), "every file and folder of the package is gone")

        self.dpkg_succeeds(root, "--install", str(self.deb))
        self.assertEqual(outside_the_database(), package_files | {WANTS_LINK, USER_WANTS_LINK})

        (root / WANTS_LINK).unlink()  # what `systemctl disable kestro` does
        self.dpkg_succeeds(root, "--install", str(self.deb))
        self.assertEqual(outside_the_database(), package_files | {USER_WANTS_LINK})

        self.dpkg_succeeds(root, "--remove", PACKAGE)
        self.dpkg_succeeds(root, "--purge", PACKAGE)
        self.assertEqual(self.package_status(root), "")
        self.assertEqual({p for p in files_under(root) if not p.startswith("var/lib/dpkg/")}, set())

        self.assertEqual(hashlib.sha256(Path("/var/lib/dpkg/status").read_bytes()).hexdigest(), host_database)
        self.assertNotIn(PACKAGE, run(["dpkg-query", "--show", PACKAGE]).stdout)

    @needs_root
    def test_a_mask_made_before_installation_stays(self):
        """The README's way of installing without the service: the package
        enables the unit but lifts no mask it did not make itself."""
        root = self.throwaway_root(self.dependency_names())
        (root / MASK_LINK).parent.mkdir(parents=True)
        (root / MASK_LINK).symlink_to("/dev/null")  # what `systemctl mask kestro` does
        self.dpkg_succeeds(root, "--install", str(self.deb))
        self.assertEqual(os.readlink(root / MASK_LINK), "/dev/null")
        self.assertTrue(os.path.islink(root / WANTS_LINK))

    @needs_root
    def test_dpkg_refuses_it_without_its_dependencies(self):
        root = self.throwaway_root([])
        result = self.dpkg(root, "--install", str(self.deb))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("dependency problems", result.stderr)
        self.assertIn("libsensors5", result.stderr)


if __name__ == "__main__":
    unittest.main()
