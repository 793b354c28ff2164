"""Reads the parts of a PE32+ image that a kernel driver's loader, debugger and signer care about.

Standard library only: the windows build runs it on a plain Debian machine. Every read is
bounds-checked; a malformed image raises PeError rather than yielding made-up values.
"""
import struct

IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_READ = 0x40000000
IMAGE_SCN_MEM_WRITE = 0x80000000

DLLCHAR_HIGH_ENTROPY_VA = 0x0020
DLLCHAR_DYNAMIC_BASE = 0x0040
DLLCHAR_NX_COMPAT = 0x0100

DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE, DIR_EXCEPTION, DIR_SECURITY, DIR_BASERELOC, DIR_DEBUG = range(7)
DIR_TLS = 9
DIR_LOAD_CONFIG = 10
DIR_IAT = 12

IMAGE_DEBUG_TYPE_CODEVIEW = 2
IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS = 20
IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT = 0x01
IMAGE_GUARD_SECURITY_COOKIE_UNUSED = 0x800
RT_VERSION = 16
IMAGE_REL_BASED_ABSOLUTE = 0
IMAGE_REL_BASED_DIR64 = 10


class PeError(Exception):
    pass


class Section:
    def __init__(self, name, vsize, va, raw_size, raw_ptr, flags):
        self.name, self.vsize, self.va, self.raw_size, self.raw_ptr, self.flags = name, vsize, va, raw_size, raw_ptr, flags

    @property
    def executable(self):
        return bool(self.flags & IMAGE_SCN_MEM_EXECUTE)

    @property
    def writable(self):
        return bool(self.flags & IMAGE_SCN_MEM_WRITE)

    def contains(self, rva, size=1):
        return self.va <= rva and rva + size <= self.va + max(self.vsize, self.raw_size)


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if len(d) < 0x40 or d[:2] != b"MZ":
            raise PeError("no MZ header")
        self.pe_offset = self.u32(0x3C)
        if d[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        coff = self.pe_offset + 4
        (self.machine, nsections, self.timestamp, self.symtab_ptr, self.nsymbols, opt_size,
         self.characteristics) = self.unpack("<HHIIIHH", coff)
        opt = coff + 20
        self.opt_offset = opt
        self.magic = self.u16(opt)
        if self.magic != 0x20B:
            raise PeError("optional header magic %#x is not PE32+" % self.magic)
        self.entry = self.u32(opt + 16)
        self.image_base = self.u64(opt + 24)
        self.section_alignment, self.file_alignment = self.unpack("<II", opt + 32)
        self.size_of_image, self.size_of_headers = self.unpack("<II", opt + 56)
        self.checksum_offset = opt + 64
        self.checksum = self.u32(self.checksum_offset)
        self.subsystem, self.dll_characteristics = self.unpack("<HH", opt + 68)
        ndirs = self.u32(opt + 108)
        self.dirs = [self.unpack("<II", opt + 112 + 8 * i) for i in range(min(ndirs, 16))]
        self.dirs += [(0, 0)] * (16 - len(self.dirs))
        self.sections = []
        for i in range(nsections):
            off = opt + opt_size + 40 * i
            name = self.data[off:off + 8].rstrip(b"\0").decode("latin-1")
            vsize, va, raw_size, raw_ptr = self.unpack("<IIII", off + 8)
            flags = self.u32(off + 36)
            self.sections.append(Section(name, vsize, va, raw_size, raw_ptr, flags))

    # ---- raw access -------------------------------------------------------------------------
    def unpack(self, fmt, offset):
        size = struct.calcsize(fmt)
        if offset < 0 or offset + size > len(self.data):
            raise PeError("read of %d bytes at file offset %#x is outside the file" % (size, offset))
        return struct.unpack_from(fmt, self.data, offset)

    def u16(self, offset):
        return self.unpack("<H", offset)[0]

    def u32(self, offset):
        return self.unpack("<I", offset)[0]

    def u64(self, offset):
        return self.unpack("<Q", offset)[0]

    def section_of(self, rva, size=1):
        for s in self.sections:
            if s.contains(rva, size):
                return s
        return None

    def offset_of(self, rva, size=1):
        s = self.section_of(rva, size)
        if s is None:
            raise PeError("RVA %#x is in no section" % rva)
        if rva - s.va + size > s.raw_size:
            raise PeError("RVA %#x lies in the uninitialised part of %s" % (rva, s.name))
        return s.raw_ptr + rva - s.va

    def read(self, rva, size):
        off = self.offset_of(rva, size)
        return self.data[off:off + size]

    def rva_unpack(self, fmt, rva):
        return self.unpack(fmt, self.offset_of(rva, struct.calcsize(fmt)))

    def cstring(self, rva, limit=512):
        off = self.offset_of(rva)
        end = self.data.find(b"\0", off, off + limit)
        if end < 0:
            raise PeError("unterminated string at RVA %#x" % rva)
        return self.data[off:end].decode("latin-1")

    # ---- checksum ---------------------------------------------------------------------------
    def computed_checksum(self):
        return compute_checksum(self.data, self.checksum_offset)

    # ---- imports ----------------------------------------------------------------------------
    def imports(self):
        """[(dll, name or None, ordinal or None)] in the order of the import directory."""
        rva, size = self.dirs[DIR_IMPORT]
        result = []
        if rva == 0:
            return result
        while True:
            lookup, _, _, name_rva, iat = self.rva_unpack("<IIIII", rva)
            if lookup == 0 and name_rva == 0 and iat == 0:
                break
            dll = self.cstring(name_rva)
            thunk = lookup or iat
            while True:
                (entry,) = self.rva_unpack("<Q", thunk)
                if entry == 0:
                    break
                if entry & (1 << 63):
                    result.append((dll, None, entry & 0xFFFF))
                else:
                    result.append((dll, self.cstring((entry & 0x7FFFFFFF) + 2), None))
                thunk += 8
            rva += 20
        return result

    # ---- exception directory ----------------------------------------------------------------
    def runtime_functions(self):
        """[(begin, end, unwind_rva)] from .pdata."""
        rva, size = self.dirs[DIR_EXCEPTION]
        if rva == 0 or size == 0:
            return []
        return [self.rva_unpack("<III", rva + i) for i in range(0, size - size % 12, 12)]

    def unwind_version(self, unwind_rva):
        (first,) = self.rva_unpack("<B", unwind_rva)
        return first & 7

    # ---- debug directory --------------------------------------------------------------------
    def codeview(self):
        """(guid bytes, age, pdb path) of the first CodeView entry, or None."""
        rva, size = self.dirs[DIR_DEBUG]
        for off in range(0, size - size % 28, 28):
            _, _, _, _, kind, dsize, daddr, dptr = self.rva_unpack("<IIHHIIII", rva + off)
            if kind != IMAGE_DEBUG_TYPE_CODEVIEW:
                continue
            if dptr + dsize > len(self.data) or dsize < 24 or self.data[dptr:dptr + 4] != b"RSDS":
                raise PeError("CodeView entry is not an RSDS record")
            guid = self.data[dptr + 4:dptr + 20]
            age = self.u32(dptr + 20)
            path = self.data[dptr + 24:dptr + dsize].split(b"\0")[0].decode("utf-8", "replace")
            return guid, age, path
        return None

    def debug_entries(self):
        """[(type, data bytes)] of every debug directory entry."""
        rva, size = self.dirs[DIR_DEBUG]
        result = []
        for off in range(0, size - size % 28, 28):
            _, _, _, _, kind, dsize, _, dptr = self.rva_unpack("<IIHHIIII", rva + off)
            if dptr + dsize > len(self.data):
                raise PeError("debug directory entry of type %d lies outside the file" % kind)
            result.append((kind, self.data[dptr:dptr + dsize]))
        return result

    # ---- load configuration -----------------------------------------------------------------
    def load_config(self):
        """(declared size, security cookie RVA or None, guard flags) or None without a directory."""
        rva, size = self.dirs[DIR_LOAD_CONFIG]
        if rva == 0 or size == 0:
            return None
        (declared,) = self.rva_unpack("<I", rva)
        cookie = None
        if declared >= 0x60:
            (va,) = self.rva_unpack("<Q", rva + 0x58)
            cookie = va - self.image_base if va else None
        guard_flags = self.rva_unpack("<I", rva + 0x90)[0] if declared >= 0x94 else 0
        return declared, cookie, guard_flags

    # ---- resources --------------------------------------------------------------------------
    def resource(self, type_id, name_id=None):
        """Bytes of the first resource of that type (and id), any language; None if absent."""
        root, size = self.dirs[DIR_RESOURCE]
        if root == 0:
            return None

        def entries(dir_rva):
            _, _, _, _, named, ids = self.rva_unpack("<IIHHHH", dir_rva)
            for i in range(named + ids):
                yield self.rva_unpack("<II", dir_rva + 16 + 8 * i)

        def first_leaf(entry_off):
            while entry_off & 0x80000000:
                subdir = root + (entry_off & 0x7FFFFFFF)
                entry_off = next(iter(entries(subdir)), (0, 0))[1]
                if entry_off == 0:
                    return None
            data_rva, data_size, _, _ = self.rva_unpack("<IIII", root + entry_off)
            return self.read(data_rva, data_size)

        for ident, off in entries(root):
            if ident != type_id or not off & 0x80000000:
                continue
            for name, sub in entries(root + (off & 0x7FFFFFFF)):
                if name_id is None or name == name_id:
                    return first_leaf(sub)
        return None

    # ---- base relocations -------------------------------------------------------------------
    def relocations(self):
        """[(type, rva)] of every base relocation."""
        rva, size = self.dirs[DIR_BASERELOC]
        result = []
        pos = 0
        while pos + 8 <= size:
            page, block = self.rva_unpack("<II", rva + pos)
            if block < 8 or pos + block > size:
                raise PeError("base relocation block at %#x has size %d" % (rva + pos, block))
            for i in range(8, block - block % 2, 2):
                (entry,) = self.rva_unpack("<H", rva + pos + i)
                result.append((entry >> 12, page + (entry & 0xFFF)))
            pos += block
        return result


def compute_checksum(data, checksum_offset):
    """The PE checksum: 16-bit one's-complement sum of the file with the field zeroed, plus its length."""
    buf = bytearray(data)
    buf[checksum_offset:checksum_offset + 4] = b"\0\0\0\0"
    if len(buf) % 2:
        buf += b"\0"
    total = sum(struct.unpack("<%dH" % (len(buf) // 2), bytes(buf)))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def version_info(blob):
    """Parses a VS_VERSIONINFO resource: (fixed file info dict, {string name: value})."""

    def node(off, end):
        length, value_length, kind = struct.unpack_from("<HHH", blob, off)
        if length < 6 or off + length > end:
            raise PeError("version resource block at %d has length %d" % (off, length))
        key_end = off + 6
        while blob[key_end:key_end + 2] != b"\0\0":
            key_end += 2
            if key_end >= off + length:
                raise PeError("unterminated key in the version resource")
        key = blob[off + 6:key_end].decode("utf-16-le")
        value_off = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if kind == 1 else value_length
        value = blob[value_off:value_off + value_size]
        children = []
        child = (value_off + value_size + 3) & ~3
        while child < off + length:
            c, child_len = node(child, off + length)
            children.append(c)
            child = (child + child_len + 3) & ~3
        return (key, kind, value, children), length

    (key, _, value, children), _ = node(0, len(blob))
    if key != "VS_VERSION_INFO" or len(value) < 52:
        raise PeError("the version resource is not a VS_VERSION_INFO block")
    fields = struct.unpack_from("<13I", value)
    if fields[0] != 0xFEEF04BD:
        raise PeError("VS_FIXEDFILEINFO signature is %#x" % fields[0])

    def quad(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    fixed = {"FileVersion": quad(fields[2], fields[3]), "ProductVersion": quad(fields[4], fields[5]),
             "FileOS": fields[8], "FileType": fields[9], "FileSubtype": fields[10]}
    strings = {}
    for ckey, _, _, tables in children:
        if ckey != "StringFileInfo":
            continue
        for _, _, _, entries in tables:
            for skey, _, svalue, _ in entries:
                strings[skey] = svalue.decode("utf-16-le").rstrip("\0")
    return fixed, strings
