"""A small reader of 32-bit PE files for the package tests: section names (long names
from the COFF string table), resources by type, the version resource and the
.gnu_debuglink section."""
import struct

RT_DIALOG = 5
RT_STRING = 6
RT_VERSION = 16
RT_MANIFEST = 24


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError("%s: no MZ header" % path)
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("%s: no PE signature" % path)
        (_, nsections, _, symtab, nsyms, optsize, _) = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        magic = struct.unpack_from("<H", d, opt)[0]
        if magic != 0x10B:
            raise ValueError("%s: not a 32-bit image" % path)
        ndirs = struct.unpack_from("<I", d, opt + 92)[0]
        self.dirs = [struct.unpack_from("<II", d, opt + 96 + 8 * i) for i in range(ndirs)]
        strtab = symtab + nsyms * 18 if symtab else 0
        self.sections = []
        for i in range(nsections):
            off = opt + optsize + 40 * i
            raw_name = d[off:off + 8].rstrip(b"\0")
            vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", d, off + 8)
            name = raw_name.decode("latin-1")
            if name.startswith("/") and strtab:
                start = strtab + int(name[1:])
                name = d[start:d.index(b"\0", start)].decode("latin-1")
            self.sections.append((name, vaddr, vsize, rawptr, rawsize))

    def section(self, name):
        for s in self.sections:
            if s[0] == name:
                return self.data[s[3]:s[3] + min(s[2], s[4])]
        return None

    def _offset(self, rva):
        for _, vaddr, vsize, rawptr, rawsize in self.sections:
            if vaddr <= rva < vaddr + max(vsize, rawsize):
                return rawptr + rva - vaddr
        raise ValueError("RVA %#x is in no section" % rva)

    def resources(self, rtype):
        """{(name, language): bytes} of the resources of one type."""
        if len(self.dirs) < 3 or not self.dirs[2][0]:
            return {}
        base = self._offset(self.dirs[2][0])
        d = self.data

        def entries(off):
            named, ids = struct.unpack_from("<HH", d, base + off + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", d, base + off + 16 + 8 * i)
                if key & 0x80000000:
                    s = base + (key & 0x7FFFFFFF)
                    n = struct.unpack_from("<H", d, s)[0]
                    key = d[s + 2:s + 2 + 2 * n].decode("utf-16-le")
                yield key, target

        out = {}
        for t, t_target in entries(0):
            if t != rtype or not t_target & 0x80000000:
                continue
            for name, n_target in entries(t_target & 0x7FFFFFFF):
                for lang, l_target in entries(n_target & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", d, base + l_target)
                    start = self._offset(rva)
                    out[(name, lang)] = d[start:start + size]
        return out


def _align(n):
    return (n + 3) & ~3


def version_info(block):
    """(fixed file version, fixed product version, {string key: value}) of a
    VS_VERSIONINFO resource."""
    strings = {}
    fixed = {}

    def node(off, end_limit):
        length, value_length, vtype = struct.unpack_from("<HHH", block, off)
        end = min(off + length, end_limit)
        k = off + 6
        key_end = k
        while block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = block[k:key_end].decode("utf-16-le")
        value = _align(key_end + 2)
        if key == "VS_VERSION_INFO" and value_length >= 52:
            sig, _, fms, fls, pms, pls = struct.unpack_from("<IIIIII", block, value)
            if sig != 0xFEEF04BD:
                raise ValueError("bad VS_FIXEDFILEINFO signature")
            fixed["file"] = "%d.%d.%d.%d" % (fms >> 16, fms & 0xFFFF, fls >> 16, fls & 0xFFFF)
            fixed["product"] = "%d.%d.%d.%d" % (pms >> 16, pms & 0xFFFF, pls >> 16, pls & 0xFFFF)
        value_bytes = value_length * 2 if vtype == 1 else value_length
        if vtype == 1 and value_length:
            strings[key] = block[value:value + value_bytes].decode("utf-16-le").rstrip("\0")
        child = _align(value + value_bytes)
        while child + 6 <= end:
            child_len = struct.unpack_from("<H", block, child)[0]
            if child_len == 0:
                break
            node(child, end)
            child = _align(child + child_len)

    node(0, len(block))
    return fixed.get("file"), fixed.get("product"), strings


def debuglink(pe):
    """(file name, CRC-32) named by the .gnu_debuglink section, or None."""
    s = pe.section(".gnu_debuglink")
    if s is None:
        return None
    end = s.index(b"\0")
    crc_at = _align(end + 1)
    return s[:end].decode("latin-1"), struct.unpack_from("<I", s, crc_at)[0]
