#!/usr/bin/env python3
"""The Windows installer under Wine, silently, as an IT person runs it: files, shortcuts and
their working folder, the installed program started from its shortcut, and the uninstaller,
which leaves the user's settings and log."""
import argparse
import getpass
import os
import shutil
import subprocess

import shell_link
from harness import run_cases, wait_until

parser = argparse.ArgumentParser()
parser.add_argument("--setup", required=True)
parser.add_argument("--exe", required=True, help="the release program the installer carries")
parser.add_argument("--sample", required=True, help="the sample settings it carries")
parser.add_argument("--wine", required=True, help="the launcher of Windows programs")
ARGS = parser.parse_args()

# The launcher's own prefix (cmake/wine-run.sh): the one scripts/with-wine.sh names, or its default.
PREFIX = os.environ.get("QS_WINEPREFIX") or os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(ARGS.wine))), "build", "wine")
DRIVE_C = os.path.join(PREFIX, "drive_c")
USER = getpass.getuser()


def on_drive_c(*parts):
    """The Unix path of C:\\parts...; Windows names ignore case ("Startup" is "StartUp" here)."""
    path = DRIVE_C
    for part in parts:
        try:
            path = os.path.join(path, next(e for e in os.listdir(path) if e.lower() == part.lower()))
        except (FileNotFoundError, NotADirectoryError, StopIteration):
            path = os.path.join(path, part)
    return path


INSTALL_DIR = on_drive_c("Program Files", "Quillon Smart")
WORK_DIR = on_drive_c("users", USER, "AppData", "Local", "Quillon Smart")
PROGRAMS = on_drive_c("users", USER, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu",
                      "Programs")
START_MENU_LINK = os.path.join(PROGRAMS, "Quillon Smart.lnk")
STARTUP_LINK = os.path.join(on_drive_c("users", USER, "AppData", "Roaming", "Microsoft",
                                       "Windows", "Start Menu", "Programs", "Startup"),
                            "Quillon Smart.lnk")
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuillonSmart"
WINDOWS_EXE = r"C:\Program Files\Quillon Smart\QuillonSmart.exe"
WINDOWS_WORK_DIR = rf"C:\users\{USER}\AppData\Local\Quillon Smart"
INSTALLED = ("QuillonSmart.exe", "README.md", os.path.join("sample", "setuplite.dat"),
             "uninstall.exe")

# Wine would otherwise copy each shortcut into this machine's own desktop menus.
ENV = dict(os.environ, WINEDLLOVERRIDES="winemenubuilder.exe=d")


def wine(*args, timeout=120):
    return subprocess.run([ARGS.wine, *args], env=ENV, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def uninstall_key_value(name):
    """The value from the Add/Remove Programs entry, or None when the entry is missing."""
    query = wine("reg", "query", UNINSTALL_KEY, "/v", name, timeout=60)
    if query.returncode != 0:
        return None
    for line in query.stdout.decode("utf-8", "replace").splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[0] == name:
            return parts[2].strip()
    return None


def clean_prefix():
    """Nothing of an earlier run in the prefix: no installation, shortcuts or working folder."""
    for path in (INSTALL_DIR, WORK_DIR):
        shutil.rmtree(path, ignore_errors=True)
    for link in (START_MENU_LINK, STARTUP_LINK):
        if os.path.exists(link):
            os.unlink(link)
    wine("reg", "delete", UNINSTALL_KEY, "/f", timeout=60)


def install(*options):
    run = wine(ARGS.setup, "/S", *options)
    assert run.returncode == 0, f"installer exit status {run.returncode}"
    for name in INSTALLED:
        assert os.path.isfile(os.path.join(INSTALL_DIR, name)), f"{name} not installed"
    assert read(os.path.join(INSTALL_DIR, "QuillonSmart.exe")) == read(ARGS.exe)
    assert os.path.isdir(WORK_DIR), "no working folder"
    assert uninstall_key_value("DisplayName") == "Quillon Smart"
    assert "uninstall.exe" in (uninstall_key_value("UninstallString") or "")


def check_link(path):
    """The shortcut starts the installed program in the working folder."""
    assert os.path.isfile(path), f"no shortcut {path}"
    link = shell_link.parse(read(path))
    target = link["target"] or link["relative_path"] or ""
    assert target.lower() == WINDOWS_EXE.lower(), link
    assert (link["working_dir"] or "").lower() == WINDOWS_WORK_DIR.lower(), link


def start_from_link_and_close(path):
    """Starts the program as Explorer does from the shortcut; it opens its main dialog and
    writes its log, relative in the sample settings, into the working folder; Escape ends it."""
    log = os.path.join(WORK_DIR, "QuillonSmart.log")
    before = len(read(log)) if os.path.exists(log) else 0
    program = subprocess.Popen([ARGS.wine, "start", "/wait", "/unix", path], env=ENV,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name",
                                "Quillon Smart"], capture_output=True, text=True, timeout=60)
        assert found.returncode == 0, "no main dialog"
        dialog = found.stdout.split()[0]
        wait_until(lambda: os.path.exists(log) and b"Start programu" in read(log)[before:], 30,
                   "the start line in the working folder's log")
        for _ in range(3):  # under Xvfb an Escape now and then goes missing
            # Without a window manager nothing hands the new dialog the keyboard: give it the
            # focus before each key, or the key goes to whichever window had it.
            try:
                subprocess.run(["xdotool", "windowfocus", "--sync", dialog], timeout=5,
                               capture_output=True)
            except subprocess.TimeoutExpired:
                print("note: the dialog did not take the focus")
            subprocess.run(["xdotool", "key", "Escape"], timeout=10, check=True)
            try:
                program.wait(5)
                break
            except subprocess.TimeoutExpired:
                print("note: the dialog missed an Escape; pressing it again")
        wait_until(lambda: b"Koniec programu" in read(log)[before:], 30, "the end line")
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
    assert not os.path.exists(os.path.join(INSTALL_DIR, "QuillonSmart.log"))


def uninstall_keeps_settings(expected_settings):
    # The uninstaller runs on from a copy of itself: its first process ends at once.
    run = wine(os.path.join(INSTALL_DIR, "uninstall.exe"), "/S")
    assert run.returncode == 0, f"uninstaller exit status {run.returncode}"
    wait_until(lambda: not os.path.exists(INSTALL_DIR), 60, "the installation folder to go")
    for link in (START_MENU_LINK, STARTUP_LINK):
        assert not os.path.exists(link), f"{link} left behind"
    assert uninstall_key_value("DisplayName") is None, "Add/Remove Programs entry left"
    assert read(os.path.join(WORK_DIR, "setuplite.dat")) == expected_settings


def test_silent_install_with_startup_runs_and_uninstalls():
    clean_prefix()
    install("/STARTUP")
    assert read(os.path.join(WORK_DIR, "setuplite.dat")) == read(ARGS.sample)
    check_link(START_MENU_LINK)
    check_link(STARTUP_LINK)
    start_from_link_and_close(START_MENU_LINK)
    uninstall_keeps_settings(read(ARGS.sample))
    assert b"Koniec programu" in read(os.path.join(WORK_DIR, "QuillonSmart.log"))


def test_reinstall_keeps_the_users_settings_and_adds_no_startup_link():
    # What the user saved in the working folder by an earlier installation.
    own = bytearray(read(ARGS.sample))
    own[228:232] = (4321).to_bytes(4, "little")
    os.makedirs(WORK_DIR, exist_ok=True)
    with open(os.path.join(WORK_DIR, "setuplite.dat"), "wb") as f:
        f.write(own)
    install()
    assert read(os.path.join(WORK_DIR, "setuplite.dat")) == own
    check_link(START_MENU_LINK)
    assert not os.path.exists(STARTUP_LINK), "Startup shortcut made without /STARTUP"
    uninstall_keeps_settings(bytes(own))


if __name__ == "__main__":
    try:
        status = run_cases([test_silent_install_with_startup_runs_and_uninstalls,
                            test_reinstall_keeps_the_users_settings_and_adds_no_startup_link])
    finally:
        clean_prefix()
    raise SystemExit(status)
