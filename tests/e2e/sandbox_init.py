"""PID 1 of an end-to-end sandbox.

`unshare --mount --pid --fork` (with `--user --map-root-user` for an ordinary
user) starts this program as the first process of fresh mount and PID
namespaces. It

1. refuses to go on unless it really is PID 1 of a mount namespace other than
   the harness's, so that nothing below can touch the host's mounts;
2. lays the fake machine over the real paths: the harness's folders on
   /sys/class, /sys/devices and /run (/sys itself stays sysfs), and an overlay
   on /etc whose upper layer, on a private tmpfs, holds the test's files and
   hides the host's where the test wants them absent;
3. covers every real poweroff, shutdown, reboot, halt and systemctl it can
   find with the harness's masking stand-in, and refuses to start the daemon
   unless every `poweroff` that the daemon's PATH can resolve is the fake or
   the mask;
4. starts the daemon as its child (not by exec: PID 1 ignores the signals it
   has no handler for, and the daemon must die of them as it would under a
   service manager), with the clock shim preloaded;
5. forwards the harness's signals to it and reports how it ended.

Everything in the namespaces dies when this process exits, so nothing that
a test starts can outlive it.

Messages to the harness go over the control pipe, one per line:
"started", "exit <code>", "signal <number> <core|nocore>" or "error <text>".
The command pipe carries "signal <number>" lines from the harness.
"""

import ctypes
import json
import os
import select
import shutil
import stat
import sys

MS_NOSUID, MS_NODEV, MS_NOEXEC = 0x2, 0x4, 0x8
MS_BIND = 0x1000
MS_REC = 0x4000
PR_CAPBSET_DROP = 24
PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER = 47, 3
CAP_DAC_OVERRIDE = 1
CAP_DAC_READ_SEARCH = 2
LINUX_CAPABILITY_VERSION_3 = 0x20080522

# Where a binary named like a power command could be found, whatever PATH says.
STANDARD_DIRS = ["/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"]
# What execvp searches when PATH is not set.
DEFAULT_SEARCH_PATH = "/bin:/usr/bin"

libc = ctypes.CDLL(None, use_errno=True)
libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p]
libc.prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]
# capget/capset: a version header, then the effective, permitted and
# inheritable sets as two 32-bit halves.
CapHeader = ctypes.c_uint32 * 2
CapData = ctypes.c_uint32 * 6


class SetupError(Exception):
    pass


def mount(source, target, fstype=None, flags=0, data=None):
    result = libc.mount(
        os.fsencode(source),
        os.fsencode(target),
        fstype.encode() if fstype else None,
        flags,
        data.encode() if data else None,
    )
    if result != 0:
        error = ctypes.get_errno()
        raise SetupError(f"mount {fstype or 'bind'} {source} on {target}: {os.strerror(error)}")


def check_isolated(config):
    if os.getpid() != 1:
        raise SetupError(f"not the first process of a PID namespace (pid {os.getpid()})")
    if os.readlink("/proc/self/ns/mnt") == config["host_mount_namespace"]:
        raise SetupError("still in the harness's mount namespace")


def mask_power_commands(config):
    """Bind the mask over every real power command. A bind mount follows a
    symbolic link, so /usr/sbin/poweroff -> /bin/systemctl masks systemctl;
    each real file is covered once."""
    mask = config["mask"]
    covered = set()
    dirs = STANDARD_DIRS + [d for d in search_dirs(config) if d not in STANDARD_DIRS]
    for directory in dirs:
        for name in config["masked_names"]:
            path = os.path.join(directory, name)
            try:
                info = os.stat(path)
            except OSError:
                continue
            if not stat.S_ISREG(info.st_mode):
                continue
            real = os.path.realpath(path)
            if real in covered or is_allowed(info, config):
                continue
            mount(mask, real, flags=MS_BIND)
            covered.add(real)


def search_dirs(config):
    """The directories the daemon's execvp looks in for `poweroff`, as
    absolute paths: an empty entry means the working directory."""
    env = config["env"]
    path = env.get("PATH", DEFAULT_SEARCH_PATH)
    dirs = []
    for entry in path.split(":"):
        dirs.append(os.path.normpath(os.path.join(config["cwd"], entry or ".")))
    return dirs


def identity(path):
    info = os.stat(path)
    return (info.st_dev, info.st_ino)


def is_allowed(info, config):
    return (info.st_dev, info.st_ino) in {identity(config["fake_poweroff"]), identity(config["mask"])}


def guard(config):
    """Refuse to start the daemon while any `poweroff` it could run is real."""
    for directory in search_dirs(config) + STANDARD_DIRS:
        for name in config["masked_names"]:
            path = os.path.join(directory, name)
            try:
                info = os.stat(path)
            except OSError:
                continue
            if stat.S_ISREG(info.st_mode) and not is_allowed(info, config):
                raise SetupError(f"guard: {path} is not masked; refusing to start the daemon")


def whiteout(path):
    os.mknod(path, stat.S_IFCHR | 0o000, os.makedev(0, 0))


def hide_lower_entries(stage_dir, upper_dir, lower_dir):
    """Make a staged directory replace the host's one instead of merging with
    it: every host entry the test did not stage gets a whiteout."""
    if not os.path.isdir(lower_dir) or os.path.islink(lower_dir):
        return
    for name in os.listdir(lower_dir):
        staged = os.path.join(stage_dir, name)
        if os.path.lexists(staged):
            if os.path.isdir(staged) and not os.path.islink(staged):
                hide_lower_entries(staged, os.path.join(upper_dir, name), os.path.join(lower_dir, name))
        else:
            whiteout(os.path.join(upper_dir, name))


def overlay_etc(config):
    """/etc becomes the host's /etc with the test's entries on top. The upper
    layer is built before the overlay is mounted, on a tmpfs of this
    namespace, so the host's /etc is never written and files the host owns
    need no permission to hide."""
    layers = config["etc_layers"]
    mount("tmpfs", layers, "tmpfs", data="mode=0755")
    upper = os.path.join(layers, "upper")
    work = os.path.join(layers, "work")
    os.mkdir(work)
    stage = config["etc_stage"]
    # copytree sets a directory's mode after copying its content, so a test
    # can stage an unreadable directory.
    shutil.copytree(stage, upper, symlinks=True, copy_function=shutil.copy2)
    os.chmod(upper, 0o755)
    for name in config["etc_absent"]:
        if os.path.lexists(os.path.join("/etc", name)):
            whiteout(os.path.join(upper, name))
    for name in os.listdir(stage):
        staged = os.path.join(stage, name)
        if os.path.isdir(staged) and not os.path.islink(staged):
            hide_lower_entries(staged, os.path.join(upper, name), os.path.join("/etc", name))
    mount("overlay", "/etc", "overlay", data=f"lowerdir=/etc,upperdir={upper},workdir={work}")


def set_up(config):
    check_isolated(config)
    # A /proc of this PID namespace: the daemon's own pid (2) must name it
    # there, as LeakSanitizer reads /proc/<pid>/task at the exit. The /proc
    # of the namespace outside shows its own pid 2, or none (a container).
    # An ordinary user's namespace inside a container may not mount one over
    # the container's masked /proc: the outer one then serves, as it always
    # did for all but the sanitized build.
    try:
        mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC)
    except SetupError:
        pass
    mount(config["sys_class"], "/sys/class", flags=MS_BIND)
    mount(config["sys_devices"], "/sys/devices", flags=MS_BIND)
    mount(config["run"], "/run", flags=MS_BIND)
    overlay_etc(config)
    if not config["skip_masks"]:
        mask_power_commands(config)
    guard(config)


def daemon_environment(config):
    env = {key: value for key, value in config["env"].items()}
    env["LD_PRELOAD"] = config["clock_shim"]
    fds = config["fds"]
    env["KESTRO_E2E_CLOCK_FDS"] = f"{fds['clock_request']},{fds['clock_release']}"
    env["KESTRO_E2E_ASLEEP_FILE"] = config["asleep_file"]
    return env


def drop_dac_capabilities():
    """Takes CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH out of every set that
    root's exec draws its capabilities from: the bounding set, the
    inheritable set (a container's root shell may hold them there) and the
    ambient set."""
    for capability in (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH):
        if libc.prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "prctl(PR_CAPBSET_DROP)")
        if libc.prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER, capability, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "prctl(PR_CAP_AMBIENT_LOWER)")
    header, data = CapHeader(LINUX_CAPABILITY_VERSION_3, 0), CapData()
    if libc.capget(header, data) != 0:
        raise OSError(ctypes.get_errno(), "capget")
    data[2] &= ~((1 << CAP_DAC_OVERRIDE) | (1 << CAP_DAC_READ_SEARCH))  # the low half of the inheritable set
    if libc.capset(header, data) != 0:
        raise OSError(ctypes.get_errno(), "capset")


def exec_daemon(config, exec_report):
    """In the forked child: becomes the daemon. Never returns. A failure is
    written to exec_report, which closes unread when the exec succeeds."""
    fds = config["fds"]
    try:
        null = os.open("/dev/null", os.O_RDONLY)
        os.dup2(null, 0)
        os.dup2(fds["stdout"], 1)
        os.dup2(fds["stderr"], 2)
        for fd in {null, fds["stdout"], fds["stderr"], fds["command"]}:
            os.close(fd)
        os.set_inheritable(fds["control"], False)
        os.set_inheritable(fds["clock_request"], True)
        os.set_inheritable(fds["clock_release"], True)
        if config["umask"] is not None:
            os.umask(config["umask"])
        if config["drop_dac_caps"]:
            drop_dac_capabilities()
        os.chdir(config["cwd"])
        binary = config["binary"]
        wrapper = config.get("wrapper") or []
        if wrapper:
            os.execve(wrapper[0], wrapper + [binary] + config["args"], daemon_environment(config))
        os.execve(binary, [config["argv0"]] + config["args"], daemon_environment(config))
    except BaseException as error:  # noqa: BLE001 - anything here must end the child
        try:
            os.write(exec_report, f"cannot start {config['binary']}: {error}".encode(errors="replace"))
        finally:
            os._exit(127)


def supervise(config, pid):
    """Forward signals until the daemon ends; report how it ended."""
    fds = config["fds"]
    control, command = fds["control"], fds["command"]
    for fd in {fds["stdout"], fds["stderr"], fds["clock_request"], fds["clock_release"]}:
        os.close(fd)
    child = os.pidfd_open(pid)
    pending = b""
    watched = [child, command]
    while True:
        ready, _, _ = select.select(watched, [], [])
        if command in ready:
            data = os.read(command, 4096)
            if not data:
                # The harness is done or gone: end the daemon. This process
                # then exits, and with it everything in the namespaces.
                os.kill(pid, 9)
                watched.remove(command)
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                verb, _, argument = line.decode().partition(" ")
                if verb == "signal":
                    os.kill(pid, int(argument))
        if child in ready:
            break
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        core = "core" if os.WCOREDUMP(status) else "nocore"
        os.write(control, f"signal {os.WTERMSIG(status)} {core}\n".encode())
    else:
        os.write(control, f"exit {os.WEXITSTATUS(status)}\n".encode())


def main():
    with open(sys.argv[1], encoding="utf-8", errors="surrogateescape") as file:
        config = json.load(file)
    control = config["fds"]["control"]
    try:
        set_up(config)
    except (SetupError, OSError) as error:
        os.write(control, f"error sandbox set-up failed: {error}\n".encode(errors="replace"))
        return 1
    exec_report, exec_report_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(exec_report)
        exec_daemon(config, exec_report_w)
    os.close(exec_report_w)
    failure = b""
    while chunk := os.read(exec_report, 4096):
        failure += chunk
    if failure:
        os.waitpid(pid, 0)
        os.write(control, b"error " + failure.replace(b"\n", b" ") + b"\n")
        return 1
    os.write(control, b"started\n")
    supervise(config, pid)
    return 0


if __name__ == "__main__":
    sys.exit(main())
