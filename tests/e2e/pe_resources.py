"""Reads a Windows program's resources and sections straight from its PE file."""
import struct

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


class PeFile:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        sections = struct.unpack_from("<H", data, pe + 6)[0]
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (112 if magic == 0x20B else 96)
        self.resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
        symbols, symbol_count = struct.unpack_from("<II", data, pe + 12)
        strings = symbols + 18 * symbol_count  # where names longer than 8 characters are
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, _, rva, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
            name = name.rstrip(b"\0").decode()
            if name.startswith("/"):
                start = strings + int(name[1:])
                name = data[start:data.index(b"\0", start)].decode()
            self.sections.append((name, rva, raw_size, raw_offset))

    def section_names(self):
        return [s[0] for s in self.sections]

    def section(self, name):
        """The raw bytes of the named section."""
        for section_name, _, size, raw in self.sections:
            if section_name == name:
                return self.data[raw:raw + size]
        raise KeyError(name)

    def _offset(self, rva):
        for _, start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} in no section")

    def resources(self):
        """{(type, id, language): bytes} for every resource with numeric type and id."""
        if not self.resource_rva:
            return {}
        base = self._offset(self.resource_rva)
        found = {}

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                key, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                yield key, target

        for kind, types in entries(0):
            for ident, names in entries(types & 0x7FFFFFFF):
                for language, leaf in entries(names & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self._offset(rva)
                    found[(kind, ident, language)] = self.data[start:start + size]
        return found


def _align(offset):
    return (offset + 3) & ~3


def _version_node(block, offset):
    """One node of a VERSIONINFO tree: (key, value bytes, children, length)."""
    length, value_length, is_text = struct.unpack_from("<HHH", block, offset)
    key_end = offset + 6
    while block[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = block[offset + 6:key_end].decode("utf-16-le")
    value_start = _align(key_end + 2)
    value_end = value_start + (2 * value_length if is_text else value_length)
    children = []
    child = _align(value_end)
    while child < offset + length:
        node = _version_node(block, child)
        children.append(node)
        child = _align(child + node[3])
    return key, block[value_start:value_end], children, length


def version_info(block):
    """(file version, product version, {string table: {name: text}}) of a VERSIONINFO."""
    key, fixed, children, _ = _version_node(block, 0)
    if key != "VS_VERSION_INFO":
        raise ValueError(key)
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if signature != 0xFEEF04BD:
        raise ValueError("no fixed file information")

    def quad(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    tables = {}
    for name, _, tables_here, _ in children:
        if name == "StringFileInfo":
            for table, _, strings, _ in tables_here:
                tables[table] = {k: v.decode("utf-16-le").rstrip("\0") for k, v, _, _ in strings}
    return quad(file_ms, file_ls), quad(product_ms, product_ls), tables
