#!/usr/bin/env python3
"""What the Windows release carries: the stripped program with its icon, manifest and version
resource, its debug information kept apart, and the zip."""
import argparse
import os
import struct
import sys
import xml.etree.ElementTree as ElementTree
import zipfile

import pe_resources
from harness import run_cases

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts", "windows"))
import make_sample_settings  # noqa: E402

parser = argparse.ArgumentParser()
parser.add_argument("--exe", required=True)
parser.add_argument("--zip", required=True)
parser.add_argument("--version", required=True)
ARGS = parser.parse_args()

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}
VERSION_NAMES = ("CompanyName", "FileDescription", "FileVersion", "InternalName",
                 "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion")


def read(path):
    with open(path, "rb") as f:
        return f.read()


PROGRAM = pe_resources.PeFile(read(ARGS.exe))
RESOURCES = PROGRAM.resources()


def resources_of(kind):
    return [data for (k, _, _), data in RESOURCES.items() if k == kind]


def test_program_is_stripped_and_names_its_debug_file():
    names = PROGRAM.section_names()
    assert not [n for n in names if n.startswith(".debug")], names
    link = PROGRAM.section(".gnu_debuglink")
    assert link[:link.index(b"\0")] == b"QuillonSmart.exe.debug", link
    debug = pe_resources.PeFile(read(ARGS.exe + ".debug"))
    assert ".debug_info" in debug.section_names()


def test_icon_has_every_size():
    groups = resources_of(pe_resources.RT_GROUP_ICON)
    assert len(groups) == 1, len(groups)
    count = struct.unpack_from("<H", groups[0], 4)[0]
    sizes = set()
    for i in range(count):
        width, height, _, _, _, bits, _, ident = struct.unpack_from("<BBBBHHIH", groups[0],
                                                                    6 + 14 * i)
        assert bits == 32 and width == height, (width, height, bits)
        assert any(k == (pe_resources.RT_ICON, ident) for k in
                   ((k[0], k[1]) for k in RESOURCES)), f"icon image {ident} missing"
        sizes.add(width or 256)
    assert sizes == {16, 32, 48, 256}, sizes


def test_manifest_asks_for_common_controls_dpi_awareness_and_no_elevation():
    manifests = [data for (k, ident, _), data in RESOURCES.items()
                 if k == pe_resources.RT_MANIFEST and ident == 1]
    assert len(manifests) == 1, "no manifest with id 1"
    root = ElementTree.fromstring(manifests[0])
    elements = list(root.iter())

    def named(local):
        return [e for e in elements if e.tag.rsplit("}", 1)[-1] == local]

    identities = [(e.get("name"), e.get("version")) for e in named("assemblyIdentity")]
    assert ("Microsoft.Windows.Common-Controls", "6.0.0.0") in identities, identities
    assert [e.get("level") for e in named("requestedExecutionLevel")] == ["asInvoker"]
    assert {e.get("Id") for e in named("supportedOS")} == SUPPORTED_OS
    assert [e.text for e in named("dpiAware")] == ["true/pm"]
    assert [e.text for e in named("dpiAwareness")] == ["PerMonitorV2"]


def test_version_resource_in_polish_and_english():
    (block,) = resources_of(pe_resources.RT_VERSION)
    file_version, product_version, tables = pe_resources.version_info(block)
    numbers = tuple(int(n) for n in ARGS.version.split(".")) + (0,)
    assert file_version == product_version == numbers, (file_version, product_version)
    assert set(tables) == {"041504E2", "040904E4"}, tables.keys()
    for strings in tables.values():
        assert set(strings) == set(VERSION_NAMES), strings
        assert strings["FileVersion"] == strings["ProductVersion"] == ARGS.version
        assert strings["ProductName"] == "Quillon Smart"
        assert strings["OriginalFilename"] == "QuillonSmart.exe"
        assert all(strings.values()), strings


def test_zip_holds_program_readme_and_sample_settings():
    folder = f"QuillonSmart-{ARGS.version}-win64/"
    with zipfile.ZipFile(ARGS.zip) as archive:
        files = sorted(n for n in archive.namelist() if not n.endswith("/"))
        assert files == [folder + "QuillonSmart.exe", folder + "README.md",
                         folder + "sample/setuplite.dat"], files
        assert archive.read(folder + "QuillonSmart.exe") == read(ARGS.exe)
        assert archive.read(folder + "sample/setuplite.dat") == \
            make_sample_settings.sample_record()


if __name__ == "__main__":
    raise SystemExit(run_cases([test_program_is_stripped_and_names_its_debug_file,
                                test_icon_has_every_size,
                                test_manifest_asks_for_common_controls_dpi_awareness_and_no_elevation,
                                test_version_resource_in_polish_and_english,
                                test_zip_holds_program_readme_and_sample_settings]))
