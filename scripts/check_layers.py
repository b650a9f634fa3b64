#!/usr/bin/env python3
"""Checks that the source folders depend one way and that OS headers stay behind the seam.

Folders: platform <- settings <- log <- serial <- bridge <- app; a file may include its own
folder and the ones before it. Inside platform/, the seam's headers and common/ include no
backend, and neither backend includes the other. With --graph, prints the folder graph too.
Usage: check_layers.py [--graph] SOURCE_DIR
"""
import collections
import pathlib
import re
import sys

LAYERS = ["platform", "settings", "log", "serial", "bridge", "app"]
BACKENDS = {"posix", "win32"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)
OS_HEADER = re.compile(
    r"^(windows|winsock2|ws2tcpip|winresrc|termios|unistd|fcntl|poll|pthread|pty|signal|dlfcn"
    r"|netdb|ifaddrs)\.h$|^(sys|asm|linux|netinet|arpa|net)/")


def place(source_dir, path):
    """The folder a file belongs to: a layer, or platform/<backend> inside platform."""
    parts = path.relative_to(source_dir).parts
    if parts[0] == "platform" and len(parts) > 2:
        return "platform/" + parts[1]
    return parts[0]


def problems_in(source_dir, path, edges):
    here = place(source_dir, path)
    layer = here.split("/")[0]
    found = []
    for kind, target in INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
        if kind == "<":
            in_backend = here.startswith("platform/") and here != "platform/common"
            if OS_HEADER.search(target) and not in_backend:
                found.append(f"{path}: OS header <{target}> outside a platform backend")
            continue
        parts = target.split("/")
        if parts[0] not in LAYERS:
            continue
        to = parts[0]
        if to == "platform" and len(parts) > 2:
            to = "platform/" + parts[1]
        if to != here:
            edges[(here, to)] += 1
        if LAYERS.index(to.split("/")[0]) > LAYERS.index(layer):
            found.append(f"{path}: includes {target}, a folder above {layer}/")
        elif layer == "platform":
            backend = to.split("/")[1] if "/" in to else None
            if backend in BACKENDS and here != to:
                found.append(f"{path}: includes the backend file {target}")
    return found


def main(argv):
    graph = "--graph" in argv
    args = [a for a in argv if a != "--graph"]
    if len(args) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    source_dir = pathlib.Path(args[0])
    edges = collections.Counter()
    found = []
    for path in sorted(source_dir.rglob("*")):
        if path.suffix in (".h", ".cpp", ".rc"):
            found += problems_in(source_dir, path, edges)
    if graph:
        for (a, b), count in sorted(edges.items()):
            print(f"{a} -> {b} ({count})")
    for line in found:
        print(line)
    if found:
        print(f"check_layers: {len(found)} include(s) against the folder order", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
