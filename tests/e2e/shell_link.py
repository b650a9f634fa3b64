"""Reads what a Windows shortcut (.lnk) starts: its target path, working folder and arguments."""
import struct

LINK_CLSID = bytes.fromhex("0114020000000000c000000000000046")
HAS_ID_LIST, HAS_LINK_INFO, HAS_NAME, HAS_RELATIVE_PATH = 0x1, 0x2, 0x4, 0x8
HAS_WORKING_DIR, HAS_ARGUMENTS, HAS_ICON_LOCATION, IS_UNICODE = 0x10, 0x20, 0x40, 0x80


def _c_string(data, offset, wide):
    if wide:
        end = offset
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[offset:end].decode("utf-16-le")
    return data[offset:data.index(b"\0", offset)].decode("latin-1")


def parse(data):
    """A dict with "target", "working_dir", "arguments" (None where the link has none)."""
    header_size, clsid, flags = struct.unpack_from("<I16sI", data, 0)
    if header_size != 76 or clsid != LINK_CLSID:
        raise ValueError("not a shell link")
    offset = 76
    if flags & HAS_ID_LIST:
        offset += 2 + struct.unpack_from("<H", data, offset)[0]
    target = None
    if flags & HAS_LINK_INFO:
        info = offset
        size, info_header, info_flags, _, base, _, suffix = struct.unpack_from("<7I", data, info)
        if info_flags & 1:  # a local path: base path then the common suffix
            wide = info_header >= 0x24
            if wide:
                base, suffix = struct.unpack_from("<2I", data, info + 28)
            target = _c_string(data, info + base, wide) + _c_string(data, info + suffix, wide)
        offset += size
    strings = {}
    for flag, name in ((HAS_NAME, "name"), (HAS_RELATIVE_PATH, "relative_path"),
                       (HAS_WORKING_DIR, "working_dir"), (HAS_ARGUMENTS, "arguments"),
                       (HAS_ICON_LOCATION, "icon")):
        if flags & flag:
            count = struct.unpack_from("<H", data, offset)[0]
            offset += 2
            width = 2 if flags & IS_UNICODE else 1
            raw = data[offset:offset + count * width]
            # Some writers (Wine's among them) count the closing NUL as well.
            strings[name] = raw.decode("utf-16-le" if width == 2 else "latin-1").rstrip("\0")
            offset += count * width
    return {"target": target, "working_dir": strings.get("working_dir"),
            "arguments": strings.get("arguments"), "relative_path": strings.get("relative_path")}
