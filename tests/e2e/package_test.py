#!/usr/bin/env python3
"""The Debian package as an installer leaves it: unpacked into a scratch root, its control
fields, files, man page, unit and maintainer scripts checked, and the program in it started
headless in a fresh working directory and stopped with SIGTERM."""
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time

from harness import Program, free_tcp_port, run_cases, settings_image

UNIT = "quillon-smart.service"
PROGRAM = "usr/bin/quillon-smart"
DIALOGS = "usr/lib/quillon-smart/quillon-smart-terminal.so"
MAN_PAGE = "usr/share/man/man8/quillon-smart.8.gz"
UNIT_FILE = f"usr/lib/systemd/system/{UNIT}"
DOCS = ["usr/share/doc/quillon-smart/README.md",
        "usr/share/doc/quillon-smart/examples/setuplite.dat",
        "usr/share/doc/quillon-smart/copyright"]
# The settings tool goes in when the build has one.
OPTIONAL = ["usr/bin/quillon-smart-settings"]


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=60, check=True,
                          **kwargs).stdout


def parse_args():
    if len(sys.argv) != 2 or not sys.argv[1].endswith(".deb"):
        sys.exit("usage: package_test.py quillon-smart_<version>_<arch>.deb (exactly one)")
    return os.path.abspath(sys.argv[1])


DEB = parse_args()
ROOT = tempfile.mkdtemp(prefix="qs-package-")
subprocess.run(["dpkg", "-x", DEB, ROOT], timeout=60, check=True)


def in_root(path):
    return os.path.join(ROOT, path)


def control_field(name):
    return run("dpkg-deb", "-f", DEB, name).strip()


def build_id(path):
    match = re.search(r"Build ID: ([0-9a-f]+)", run("readelf", "-n", path))
    assert match, f"{path} has no build ID"
    return match[1]


def test_control_fields():
    assert control_field("Package") == "quillon-smart"
    assert re.fullmatch(r"1\.4\.\d+", control_field("Version")), control_field("Version")
    assert control_field("Architecture") == run("dpkg", "--print-architecture").strip()
    assert control_field("Section") == "comm"
    assert re.fullmatch(r".+ <[^ >]+@[^ >]+>", control_field("Maintainer"))
    description = control_field("Description").splitlines()
    assert description[0] and len(description) > 1, "a summary and a long description"
    # What dpkg-shlibdeps found the program to link, with versions.
    depends = control_field("Depends")
    for library in ("libc6", "libstdc++6", "libfinal0"):
        assert re.search(rf"\b{re.escape(library)} \(>= [^)]+\)", depends), \
            f"{library} in {depends!r}"
    info = run("dpkg-deb", "-I", DEB)
    for script in ("postinst", "prerm", "postrm"):
        assert re.search(rf"\b\d+ bytes, +\d+ lines +\* +{script} +#!/bin/sh", info), \
            f"{script} missing or not executable:\n{info}"


def test_files_and_nothing_else():
    listing = run("dpkg-deb", "-c", DEB).splitlines()
    files = {}
    for line in listing:
        mode, owner, _size, _date, _time, name = line.split(None, 5)
        if mode.startswith("-"):
            files[name.removeprefix("./")] = (mode, owner)
    expected = [PROGRAM, DIALOGS, MAN_PAGE, UNIT_FILE] + DOCS
    assert sorted(set(files) - set(OPTIONAL)) == sorted(expected), sorted(files)
    assert files[PROGRAM] == ("-rwxr-xr-x", "root/root"), files[PROGRAM]
    for name in expected[1:]:
        assert files[name] == ("-rw-r--r--", "root/root"), (name, files[name])
    with open(in_root(DOCS[1]), "rb") as f:
        sample = f.read()
    assert len(sample) == 236, len(sample)
    assert sample[:5] == b"COM1\0" and sample[124:142] == b"quillon-smart.log\0", sample


def test_program_stripped_and_its_debug_information_apart():
    ddeb = re.sub(r"_([^_]+_[^_]+\.deb)$", r"-dbgsym_\1", DEB).removesuffix(".deb") + ".ddeb"
    assert os.path.exists(ddeb), f"no {ddeb}"
    debug_root = tempfile.mkdtemp(prefix="qs-dbgsym-")
    try:
        subprocess.run(["dpkg", "-x", ddeb, debug_root], timeout=60, check=True)
        for binary in (PROGRAM, DIALOGS):
            sections = run("readelf", "-S", "-W", in_root(binary))
            assert ".debug_info" not in sections and ".symtab" not in sections, \
                f"{binary} not stripped"
            identity = build_id(in_root(binary))
            debug_file = f"./usr/lib/debug/.build-id/{identity[:2]}/{identity[2:]}.debug"
            assert debug_file in run("dpkg-deb", "-c", ddeb), f"{debug_file} not in {ddeb}"
            debug_sections = run("readelf", "-S", "-W", os.path.join(debug_root, debug_file))
            assert ".debug_info" in debug_sections, f"no debug information for {binary}"
    finally:
        shutil.rmtree(debug_root, ignore_errors=True)


def test_man_page_renders_without_warnings():
    environment = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80")
    shown = subprocess.run(["man", "--warnings", "-l", in_root(MAN_PAGE)], capture_output=True,
                           text=True, timeout=60, env=environment)
    assert shown.returncode == 0 and shown.stderr == "", shown.stderr
    for heading in ("QUILLON-SMART(8)", "NAME", "SYNOPSIS", "THE SETTINGS FILE",
                    "THE CLIENT PROTOCOL", "THE SERVICE", "FILES", "SIGNALS", "EXIT STATUS"):
        assert re.search(rf"^{re.escape(heading)}", shown.stdout, re.M), heading


def unit_settings():
    """(section, key) -> the values the unit gives it, in order."""
    settings = {}
    section = None
    with open(in_root(UNIT_FILE)) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if line.startswith("["):
                section = line.strip("[]")
                continue
            key, value = line.split("=", 1)
            settings.setdefault((section, key), []).append(value)
    return settings


def test_unit_runs_the_program_headless_and_hardened():
    unit = unit_settings()

    def value(key, section="Service"):
        return " ".join(unit.get((section, key), []))

    assert value("ExecStart") == "/" + PROGRAM, "the unit must start the packaged program"
    assert value("StandardInput") in ("", "null"), "a terminal on stdin would draw the dialog"
    assert value("WorkingDirectory") == "/var/lib/quillon-smart"
    assert value("StateDirectory") == "quillon-smart"
    assert "2" in value("SuccessExitStatus").split(), "SIGTERM ends the program with 2"
    assert value("Restart") == "on-failure"
    assert value("DynamicUser") == "yes" and value("SupplementaryGroups") == "dialout"
    for key, wanted in (("ProtectSystem", "strict"), ("ProtectHome", "yes"),
                        ("NoNewPrivileges", "yes"), ("PrivateTmp", "yes")):
        assert value(key) == wanted, (key, value(key))
    assert "/run/lock" in value("ReadWritePaths"), "the serial lock files must be writable"
    families = set(value("RestrictAddressFamilies").split())
    assert {"AF_INET", "AF_INET6", "AF_UNIX"} <= families <= {"AF_INET", "AF_INET6", "AF_UNIX",
                                                               "AF_NETLINK"}, families
    assert value("PrivateDevices") in ("", "no") or value("DeviceAllow"), "serial ports hidden"
    assert value("WantedBy", "Install") == "multi-user.target"
    if not shutil.which("systemd-analyze"):
        print("note: no systemd-analyze; the unit's keys were checked as text only")
        return
    # The unit as installed, its program found in the scratch root.
    checked = tempfile.mkdtemp(prefix="qs-unit-")
    try:
        with open(in_root(UNIT_FILE)) as f:
            text = f.read().replace("ExecStart=/" + PROGRAM, "ExecStart=" + in_root(PROGRAM))
        with open(os.path.join(checked, UNIT), "w") as f:
            f.write(text)
        verified = subprocess.run(["systemd-analyze", "verify", "--man=no",
                                   os.path.join(checked, UNIT)], capture_output=True, text=True,
                                  timeout=60)
        assert verified.returncode == 0 and not verified.stderr.strip(), verified.stderr
        review = subprocess.run(["systemd-analyze", "security", "--offline=yes",
                                 os.path.join(checked, UNIT)], capture_output=True, text=True,
                                timeout=60)
        exposure = re.search(r"Overall exposure level for \S+: ([\d.]+)", review.stdout)
        assert exposure, review.stdout[-2000:] + review.stderr
        print(f"note: systemd-analyze security: exposure {exposure[1]}")
        assert float(exposure[1]) <= 2.5, review.stdout
    finally:
        shutil.rmtree(checked, ignore_errors=True)


def run_maintainer_script(scripts, name, *args, was_enabled=True):
    """Runs one maintainer script with stub helpers first on PATH; returns their calls."""
    stubs = tempfile.mkdtemp(prefix="qs-stubs-")
    calls = os.path.join(stubs, "calls")
    try:
        for helper in ("deb-systemd-helper", "deb-systemd-invoke", "systemctl"):
            answer = "exit 1" if helper == "deb-systemd-helper" and not was_enabled else "exit 0"
            path = os.path.join(stubs, helper)
            with open(path, "w") as f:
                f.write(f'#!/bin/sh\necho "{helper} $*" >>"{calls}"\n'
                        f'[ "$1 $2" = "--quiet was-enabled" ] && {answer}\nexit 0\n')
            os.chmod(path, 0o755)
        environment = dict(os.environ, PATH=stubs + os.pathsep + os.environ["PATH"])
        subprocess.run(["sh", os.path.join(scripts, name), *args], env=environment, timeout=30,
                       check=True)
        if not os.path.exists(calls):
            return []
        with open(calls) as f:
            return f.read().splitlines()
    finally:
        shutil.rmtree(stubs, ignore_errors=True)


def test_maintainer_scripts_enable_and_start_the_unit_the_debian_way():
    scripts = tempfile.mkdtemp(prefix="qs-control-")
    try:
        subprocess.run(["dpkg-deb", "-e", DEB, scripts], timeout=60, check=True)
        for name in ("postinst", "prerm", "postrm"):
            assert os.stat(os.path.join(scripts, name)).st_mode & stat.S_IXUSR, name
        # Where systemd runs, the unit is also started; in a chroot only enabled.
        systemd = os.path.isdir("/run/systemd/system")
        started = ["systemctl --system daemon-reload"] if systemd else []
        first = run_maintainer_script(scripts, "postinst", "configure", "")
        assert first == [f"deb-systemd-helper unmask {UNIT}",
                         f"deb-systemd-helper --quiet was-enabled {UNIT}",
                         f"deb-systemd-helper enable {UNIT}"] + started + (
                             [f"deb-systemd-invoke start {UNIT}"] if systemd else []), first
        # An upgrade keeps a unit the administrator disabled disabled, and restarts it.
        upgrade = run_maintainer_script(scripts, "postinst", "configure", "1.4.0",
                                        was_enabled=False)
        assert upgrade[1:] == [f"deb-systemd-helper --quiet was-enabled {UNIT}",
                               f"deb-systemd-helper update-state {UNIT}"] + started + (
                                   [f"deb-systemd-invoke restart {UNIT}"] if systemd else []), \
            upgrade
        stop = run_maintainer_script(scripts, "prerm", "remove")
        assert stop == ([f"deb-systemd-invoke stop {UNIT}"] if systemd else []), stop
        assert run_maintainer_script(scripts, "prerm", "upgrade", "1.4.0") == []
        removed = run_maintainer_script(scripts, "postrm", "remove")
        assert removed == started + [f"deb-systemd-helper mask {UNIT}"], removed
    finally:
        shutil.rmtree(scripts, ignore_errors=True)


def test_packaged_program_runs_headless_and_stops_on_sigterm():
    libraries = run("ldd", in_root(PROGRAM))
    assert "not found" not in libraries, libraries
    port = free_tcp_port()
    with Program([in_root(PROGRAM)], False, settings_image(tcp_port=port)) as program:
        program.start()
        program.wait_for_log(f"Serwer TCP On - Start on port {port}", seconds=10)
        program.wait_for_log("Serwer TCP On - Stop", seconds=10)
        with socket.create_connection(("127.0.0.1", port), timeout=5):
            pass
        program.process.send_signal(signal.SIGTERM)
        assert program.finish(seconds=5) == 2, "SIGTERM ends the program with status 2"
        assert program.log_texts()[-1] == "------------- Koniec programu --------------------"


def test_packaged_program_finds_its_terminal_dialogs():
    assert "not found" not in run("ldd", in_root(DIALOGS))
    workdir = tempfile.mkdtemp(prefix="qs-package-tui-")
    with open(os.path.join(workdir, "setuplite.dat"), "wb") as f:
        f.write(settings_image(tcp_port=free_tcp_port()))
    tmux = ["tmux", "-L", f"qs-package-{os.getpid()}"]
    environment = dict(os.environ, LC_ALL="C.UTF-8", LANG="C.UTF-8")
    subprocess.run(tmux + ["new-session", "-d", "-s", "ui", "-x", "80", "-y", "24", "-c", workdir,
                           f"{in_root(PROGRAM)}; sleep 60"],
                   env=environment, check=True, timeout=10)
    try:
        screen = ""
        deadline = time.monotonic() + 15
        while "Ustawienia" not in screen and time.monotonic() < deadline:
            time.sleep(0.2)
            screen = subprocess.run(tmux + ["capture-pane", "-p", "-t", "ui"], env=environment,
                                    capture_output=True, text=True, timeout=10).stdout
        assert "Ustawienia" in screen and "terminal dialogs:" not in screen, screen
    finally:
        subprocess.run(tmux + ["kill-server"], env=environment, capture_output=True, timeout=10)
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    try:
        status = run_cases([test_control_fields,
                            test_files_and_nothing_else,
                            test_program_stripped_and_its_debug_information_apart,
                            test_man_page_renders_without_warnings,
                            test_unit_runs_the_program_headless_and_hardened,
                            test_maintainer_scripts_enable_and_start_the_unit_the_debian_way,
                            test_packaged_program_runs_headless_and_stops_on_sigterm,
                            test_packaged_program_finds_its_terminal_dialogs])
    finally:
        shutil.rmtree(ROOT, ignore_errors=True)
    raise SystemExit(status)
