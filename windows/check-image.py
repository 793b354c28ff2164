#!/usr/bin/env python3
"""Checks a built quadhdmi.sys the way a Windows driver engineer reviews an image before loading it
on a test machine with Driver Verifier and memory integrity on.

Every rule prints one "ok:" or "FAIL:" line; the exit status is 1 if any failed. The image's
functions (start and length) come from its PDB, which must sit beside it: they are what the unwind
and floating-point rules walk, so that jump tables placed in .text between functions are never
mistaken for code.

Usage: check-image.py IMAGE --allow IMPORTS.allow --version A.B.C.D [--objdump X] [--pdbutil Y]
       check-image.py --program PROGRAM.exe

With --program, the rules that apply to a user-mode program shipped beside the driver: a console
program for AMD64 whose sections are never both writable and executable, NX-compatible,
relocatable anywhere in the 64-bit address space (dynamic base with high-entropy VA), importing only
DLLs that Windows itself ships (the compiler's run-times are linked in, never needed beside it).
"""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402
from report import Check  # noqa: E402

PAGE = 0x1000
KERNEL_MODULES = ("ks.sys", "ntoskrnl.exe", "hal.dll")
# The DLLs a user-mode program of this project may import: Windows' own. The compiler's C++,
# GCC and threads run-times (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll) are not
# on a Windows machine; the program links them in.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "setupapi.dll", "ksuser.dll", "advapi32.dll", "user32.dll",
               "ole32.dll", "cfgmgr32.dll", "ntdll.dll", "shell32.dll", "ws2_32.dll", "bcrypt.dll"}

# Entry points and helpers of the C and C++ run-times. None can work in a driver: there is no
# start-up code to initialise them, no unwinder for C++ exceptions, no heap behind operator new.
CRT_STARTUP = re.compile(r"^_*(mainCRTStartup|wmainCRTStartup|WinMainCRTStartup|DllMainCRTStartup|_CRT_INIT|"
                         r"tmainCRTStartup|pei386_runtime_relocator|dyn_tls_init|do_global_ctors|main|DllMain)$")
CXX_RUNTIME = re.compile(r"^_*(cxa_\w+|gxx_personality\w*|Unwind_\w+|CxxFrameHandler\w*|dynamic_cast|"
                         r"_Z\w*10__cxxabiv1\w*|_ZN?K?St\w+|_ZTISt\w+|emutls_\w+|(de)?register_frame_info|"
                         r"atexit|_onexit|(__cxxabiv1|std)::.*)$")
# Floating point: x87 (every mnemonic starting with f), MMX registers, and SSE/AVX arithmetic,
# comparisons and conversions on floats. Vector moves and integer SIMD (what memcpy and zeroing
# compile to) are not floating point.
FP_MNEMONIC = re.compile(r"^(f\w+|v?(cvt\w+|(add|sub|mul|div|sqrt|min|max|rcp|rsqrt|round|dp|hadd|hsub|addsub|"
                         r"cmp\w*|u?comi|andn?|x?or|fn?m(add|sub)\d*)(ss|sd|ps|pd))|[ls]dmxcsr|v?ldmxcsr|emms)$")
FP_ALLOWED = {"xorps", "andps", "orps", "andnps", "xorpd", "andpd", "orpd", "andnpd"}  # bit operations: zeroing


def run(args):
    result = subprocess.run(args, capture_output=True, text=True)
    if result.returncode != 0:
        raise pe.PeError("%s failed: %s" % (" ".join(args), result.stderr.strip()))
    return result.stdout


class Pdb:
    """What the checks need from the PDB: its identity, the functions and the public symbols."""

    def __init__(self, pdbutil, path, image):
        summary = run([pdbutil, "dump", "--summary", path])
        m = re.search(r"Age: (\d+)", summary)
        g = re.search(r"GUID: \{([0-9A-F-]+)\}", summary)
        self.age = int(m.group(1)) if m else None
        self.guid = g.group(1) if g else None
        rva = lambda seg, off: image.sections[int(seg) - 1].va + int(off)  # noqa: E731
        self.functions = []  # (rva, size, name)
        symbols = run([pdbutil, "dump", "--symbols", path])
        for m in re.finditer(r"S_[GL]PROC32 \[size = \d+\] `([^`]*)`\s*\n\s*parent = \d+, end = \d+, "
                             r"addr = (\d+):(\d+), code size = (\d+)", symbols):
            self.functions.append((rva(m.group(2), m.group(3)), int(m.group(4)), m.group(1)))
        self.publics = {}
        publics = run([pdbutil, "dump", "--publics", path])
        for m in re.finditer(r"S_PUB32 \[size = \d+\] `([^`]*)`\s*\n\s*flags = [^,]*, addr = (\d+):(\d+)", publics):
            if int(m.group(2)) >= 1:
                self.publics[m.group(1)] = rva(m.group(2), m.group(3))


def guid_text(raw):
    d1, d2, d3 = int.from_bytes(raw[0:4], "little"), int.from_bytes(raw[4:6], "little"), int.from_bytes(raw[6:8], "little")
    return "%08X-%04X-%04X-%s-%s" % (d1, d2, d3, raw[8:10].hex().upper(), raw[10:16].hex().upper())


def disassemble(objdump, image_path, image, start, size):
    """[(rva, mnemonic, operands)] of one function."""
    base = image.image_base
    out = run([objdump, "-d", "--no-show-raw-insn", "--start-address=%#x" % (base + start),
               "--stop-address=%#x" % (base + start + size), image_path])
    result = []
    for line in out.splitlines():
        m = re.match(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if m:
            mnemonic = m.group(2)
            operands = m.group(3)
            if mnemonic in ("rep", "repz", "repnz", "lock", "data16", "cs", "ds", "notrack", "bnd", "rex.W") and operands:
                mnemonic, _, operands = operands.partition(" ")
            result.append((int(m.group(1), 16) - base, mnemonic, operands.strip()))
    return result


def read_allow_list(path, check):
    """{function: module}; each function may appear once."""
    allowed = {}
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            parts = line.split()
            if len(parts) != 2:
                check.fail("%s:%d: expected 'module function'" % (path, number))
                continue
            module, name = parts[0].lower(), parts[1]
            if module not in KERNEL_MODULES:
                check.fail("%s:%d: %s is not a kernel module the driver may import from" % (path, number, parts[0]))
            if name in allowed:
                check.fail("%s:%d: %s is listed twice" % (path, number, name))
            allowed[name] = module
    return allowed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("image")
    parser.add_argument("--program", action="store_true", help="check a user-mode program's rules")
    parser.add_argument("--allow")
    parser.add_argument("--version")
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    parser.add_argument("--pdbutil", default="llvm-pdbutil")
    args = parser.parse_args()
    check = Check()
    try:
        image = pe.Image(args.image)
    except (OSError, pe.PeError) as e:
        print("FAIL: cannot read %s: %s" % (args.image, e))
        return 1
    name = os.path.basename(args.image)
    if not args.program and (not args.allow or not args.version):
        parser.error("a driver image needs --allow and --version")
    try:
        if args.program:
            check_program(image, check)
        else:
            check_image(args, image, name, check)
    except pe.PeError as e:
        check.fail("malformed image: %s" % e)
    return check.verdict(args.image, "program" if args.program else "image")


def check_program(image, check):
    if image.machine == 0x8664:
        check.ok("PE32+ program for AMD64")
    else:
        check.fail("not an AMD64 program (machine %#x)" % image.machine)
    if image.subsystem == 3:
        check.ok("subsystem console")
    else:
        check.fail("subsystem is not console (%d)" % image.subsystem)
    wx = [s.name for s in image.sections if s.writable and s.executable]
    if wx:
        check.fail("section(s) both writable and executable: %s" % ", ".join(wx))
    else:
        check.ok("no section both writable and executable")
    if image.dll_characteristics & pe.DLLCHAR_NX_COMPAT:
        check.ok("NX compatible")
    else:
        check.fail("NX compatibility flag not set (DllCharacteristics %#x)" % image.dll_characteristics)
    relocs = image.relocations()
    dir64 = [rva for kind, rva in relocs if kind == pe.IMAGE_REL_BASED_DIR64]
    if not dir64 or not image.dll_characteristics & pe.DLLCHAR_DYNAMIC_BASE:
        check.fail("no dynamic base (DllCharacteristics %#x, %d base relocations): the program loads at a fixed "
                   "address" % (image.dll_characteristics, len(dir64)))
    else:
        check.ok("dynamic base, %d base relocations" % len(dir64))
    if image.dll_characteristics & pe.DLLCHAR_HIGH_ENTROPY_VA:
        check.ok("high-entropy VA")
    else:
        check.fail("high-entropy VA flag not set (DllCharacteristics %#x)" % image.dll_characteristics)
    dlls = sorted({d for d, _, _ in image.imports()}, key=str.lower)
    foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS and not d.lower().startswith("api-ms-win-")]
    if foreign:
        check.fail("imports from %s, which Windows does not ship" % ", ".join(foreign))
    else:
        check.ok("imports only from Windows' own DLLs (%s)" % ", ".join(dlls))


def check_image(args, image, name, check):
    # Format, machine and subsystem.
    if image.machine == 0x8664:
        check.ok("PE32+ image for AMD64")
    else:
        check.fail("not an AMD64 image (machine %#x)" % image.machine)
    if image.subsystem == 1:
        check.ok("subsystem native")
    else:
        check.fail("subsystem is not native (%d)" % image.subsystem)

    # Memory integrity: page-aligned sections, none both writable and executable, NX opt-in.
    misaligned = [s.name for s in image.sections if s.va % PAGE]
    if image.section_alignment % PAGE or misaligned:
        check.fail("section alignment %#x is not a multiple of the 4 KiB page%s" %
                   (image.section_alignment, (" (" + ", ".join(misaligned) + ")") if misaligned else ""))
    else:
        check.ok("sections page-aligned (%#x)" % image.section_alignment)
    wx = [s.name for s in image.sections if s.writable and s.executable]
    if wx:
        check.fail("section(s) both writable and executable: %s" % ", ".join(wx))
    else:
        check.ok("no section both writable and executable")
    if image.dll_characteristics & pe.DLLCHAR_NX_COMPAT:
        check.ok("NX compatible")
    else:
        check.fail("NX compatibility flag not set (DllCharacteristics %#x)" % image.dll_characteristics)

    # Relocations: the loader places drivers anywhere.
    relocs = image.relocations()
    dir64 = [rva for kind, rva in relocs if kind == pe.IMAGE_REL_BASED_DIR64]
    other = [kind for kind, _ in relocs if kind not in (pe.IMAGE_REL_BASED_DIR64, pe.IMAGE_REL_BASED_ABSOLUTE)]
    outside = [rva for rva in dir64 if not image.section_of(rva, 8)]
    if not dir64 or not image.dll_characteristics & pe.DLLCHAR_DYNAMIC_BASE:
        check.fail("no base relocations (the image cannot be relocated)")
    elif other or outside:
        check.fail("bad base relocations: types %s, %d outside the sections" % (sorted(set(other)), len(outside)))
    else:
        check.ok("%d base relocations, dynamic base" % len(dir64))

    # Checksum.
    computed = image.computed_checksum()
    if image.checksum == computed:
        check.ok("checksum %#x" % computed)
    else:
        check.fail("checksum %#x does not match the image (%#x)" % (image.checksum, computed))

    # Debug directory and the PDB beside the image.
    pdb = None
    cv = image.codeview()
    if cv is None:
        check.fail("no CodeView debug directory (WinDbg would find no symbols)")
    else:
        guid, age, path = cv
        pdb_path = os.path.join(os.path.dirname(os.path.abspath(args.image)), os.path.basename(path.replace("\\", "/")))
        expected = os.path.splitext(os.path.basename(args.image))[0] + ".pdb"
        if os.path.basename(pdb_path) != expected:
            check.fail("debug directory names %s, not %s" % (path, expected))
        elif not os.path.exists(pdb_path):
            check.fail("debug directory names %s, which is not beside the image" % path)
        else:
            pdb = Pdb(args.pdbutil, pdb_path, image)
            if pdb.guid != guid_text(guid) or pdb.age != age:
                check.fail("%s does not match the image (GUID %s age %s, image wants %s age %d)" %
                           (expected, pdb.guid, pdb.age, guid_text(guid), age))
                pdb = None
            else:
                check.ok("debug directory: %s {%s} age %d, %d functions" % (expected, pdb.guid, age, len(pdb.functions)))

    # Unwind data: every function that touches the stack has a .pdata entry that starts at it.
    functions = pdb.functions if pdb else []
    runtime = image.runtime_functions()
    code = {}
    for start, size, fname in functions:
        code[start] = disassemble(args.objdump, args.image, image, start, size)
    if not runtime:
        check.fail("no exception directory (.pdata): no function has unwind data")
    elif pdb is None:
        check.fail("unwind data cannot be checked against the functions without the PDB")
    else:
        problems = []
        previous_end = 0
        for begin, end, unwind in runtime:
            section = image.section_of(begin)
            if begin < previous_end or end <= begin or section is None or not section.executable:
                problems.append("entry %#x-%#x out of order or outside the code" % (begin, end))
            elif image.unwind_version(unwind) not in (1, 2):
                problems.append("entry %#x has unwind info of unknown version" % begin)
            previous_end = end
        starts = {begin for begin, _, _ in runtime}
        leaves = 0
        for start, size, fname in functions:
            if start in starts:
                continue
            # x64 leaf functions (no stack change, no call, no saved register) need no entry:
            # the unwinder finds their return address at [rsp].
            touches_stack = [m for _, m, ops in code[start]
                             if m.startswith(("call", "push", "pop", "enter", "leave")) or ops.endswith(",%rsp")]
            if touches_stack:
                problems.append("function %s has no unwind data (it uses %s)" % (fname, touches_stack[0]))
            else:
                leaves += 1
        if problems:
            for p in problems:
                check.fail("unwind: " + p)
        else:
            check.ok("unwind data: %d .pdata entries cover all %d functions (%d leaf functions need none)" %
                     (len(runtime), len(functions), leaves))

    # Version resource.
    blob = image.resource(pe.RT_VERSION)
    if blob is None:
        check.fail("no version resource")
    else:
        fixed, strings = pe.version_info(blob)
        wrong = []
        for key in ("FileVersion", "ProductVersion"):
            if fixed[key] != args.version:
                wrong.append("fixed %s %s" % (key, fixed[key]))
            if strings.get(key) != args.version:
                wrong.append("%s string %r" % (key, strings.get(key)))
        if strings.get("OriginalFilename", "").lower() != name.lower():
            wrong.append("OriginalFilename %r" % strings.get("OriginalFilename"))
        if not strings.get("FileDescription"):
            wrong.append("no FileDescription")
        if wrong:
            check.fail("version resource does not say version %s of %s: %s" % (args.version, name, "; ".join(wrong)))
        else:
            check.ok("version resource: %s, %s, \"%s\"" % (args.version, strings["OriginalFilename"], strings["FileDescription"]))

    # Imports: only from the kernel modules, by name, each from the allow-list.
    allowed = read_allow_list(args.allow, check)
    imports = image.imports()
    if not imports:
        check.fail("the image imports nothing (ks.sys and ntoskrnl.exe are expected)")
    bad = 0
    for dll in sorted({d for d, _, _ in imports}, key=str.lower):
        if dll.lower() not in KERNEL_MODULES:
            check.fail("import from %s" % dll)
            bad += 1
    for dll, fname, ordinal in imports:
        if dll.lower() not in KERNEL_MODULES:
            continue
        if fname is None:
            check.fail("import by ordinal %d from %s (imports must be by name)" % (ordinal, dll))
        elif fname not in allowed:
            check.fail("import %s!%s is not in the allow-list" % (dll, fname))
        elif allowed[fname] != dll.lower():
            check.fail("import %s!%s: the allow-list names %s as its module" % (dll, fname, allowed[fname]))
        else:
            continue
        bad += 1
    if not bad and imports:
        check.ok("%d imports by name from the allow-list (%s)" %
                 (len(imports), ", ".join(sorted({d for d, _, _ in imports}))))

    # No exports: a driver is called through the tables it hands the class driver, never by name.
    # An export directory would let any other kernel module import the writable descriptor tables
    # and patch them.
    export_rva, export_size = image.dirs[pe.DIR_EXPORT]
    if export_rva or export_size or any(s.name == ".edata" for s in image.sections):
        check.fail("the image has an export directory (%d bytes at %#x)" % (export_size, export_rva))
    else:
        check.ok("no export directory")

    # CET: the marker that the image keeps to the shadow stack's rules (no return-address
    # rewriting), in the extended DLL characteristics debug entry where Windows looks for it.
    ex = [data for kind, data in image.debug_entries() if kind == pe.IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS]
    if ex and len(ex[0]) >= 4 and int.from_bytes(ex[0][:4], "little") & pe.IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT:
        check.ok("CET shadow-stack compatible")
    else:
        check.fail("no CET-compatible marker (extended DLL characteristics debug entry)")

    # No thread-local storage.
    if image.dirs[pe.DIR_TLS][0] or any(s.name == ".tls" for s in image.sections):
        check.fail("the image has thread-local storage")
    else:
        check.ok("no TLS")

    publics = pdb.publics if pdb else {}
    if pdb is None:
        check.fail("no PDB: entry point, initialisers and run-time symbols cannot be checked")
        return

    # No dynamic initialisers: the constructor list lld builds between __CTOR_LIST__ and
    # __DTOR_LIST__ holds only its two 8-byte sentinels; no pseudo-relocations either (both
    # need start-up code the kernel does not run).
    ctor, dtor = publics.get("__CTOR_LIST__"), publics.get("__DTOR_LIST__")
    rel, rel_end = publics.get("__RUNTIME_PSEUDO_RELOC_LIST__"), publics.get("__RUNTIME_PSEUDO_RELOC_LIST_END__")
    if ctor is not None and dtor is not None and dtor - ctor != 16:
        check.fail("dynamic initialisers present (constructor list spans %d bytes)" % (dtor - ctor))
    elif rel is not None and rel_end is not None and rel_end != rel:
        check.fail("runtime pseudo-relocations present (%d bytes)" % (rel_end - rel))
    elif any(s.name.startswith((".ctors", ".init_array", ".CRT")) and s.vsize for s in image.sections):
        check.fail("dynamic initialisers present (constructor section)")
    else:
        check.ok("no dynamic initialisers")

    # Entry point is DriverEntry itself: no start-up code in between.
    if "DriverEntry" not in publics:
        check.fail("no DriverEntry symbol")
    elif publics["DriverEntry"] != image.entry:
        check.fail("entry point (%#x) is not DriverEntry (%#x)" % (image.entry, publics["DriverEntry"]))
    else:
        check.ok("entry point is DriverEntry")

    names = set(publics) | {f for _, _, f in functions} | {f for _, f, _ in imports if f}
    crt = sorted(n for n in names if CRT_STARTUP.match(n))
    if crt:
        check.fail("C run-time start-up code linked: %s" % " ".join(crt))
    else:
        check.ok("no C run-time start-up")
    cxx = sorted((n for n in names if CXX_RUNTIME.match(n)), key=lambda n: (n.startswith("_Z"), n))
    cxx_sections = [s.name for s in image.sections if s.name in (".eh_frame", ".gcc_except_table")]
    if cxx or cxx_sections:
        found = cxx_sections + cxx
        check.fail("C++ runtime linked: %s%s" % (" ".join(found[:4]), " and %d more" % (len(found) - 4) if len(found) > 4 else ""))
    else:
        check.ok("no C++ runtime")

    # No floating point: kernel code may use it only between KeSaveExtendedProcessorState and
    # KeRestoreExtendedProcessorState, and the driver has no use for it.
    fp = []
    for start, size, fname in functions:
        for rva, mnemonic, ops in code[start]:
            if (FP_MNEMONIC.match(mnemonic) and mnemonic not in FP_ALLOWED) or "%mm" in ops or "%st" in ops:
                fp.append("%s: %s %s" % (fname, mnemonic, ops))
                break
    if fp:
        check.fail("floating-point instructions in %s" % "; ".join(fp))
    else:
        check.ok("no floating point in %d functions" % len(functions))

    check_stack_cookie(image, publics, functions, code, check)


STACK_COOKIE_INITIAL = 0x00002B992DDFA232


def check_stack_cookie(image, publics, functions, code, check):
    """Stack protection as Windows expects it of a driver: the load configuration names the cookie
    (holding the initial value, which the loader replaces at every load), the cookie is the guard
    the compiled code compares, functions compare it, and a mismatch ends in the fast-fail."""
    config = image.load_config()
    guard = publics.get("__stack_chk_guard")
    if config is None:
        check.fail("no load configuration: Windows' loader finds no stack cookie to seed")
        return
    declared, cookie, guard_flags = config
    if cookie is None or guard_flags & pe.IMAGE_GUARD_SECURITY_COOKIE_UNUSED:
        check.fail("the load configuration (%d bytes) names no security cookie" % declared)
        return
    section = image.section_of(cookie, 8)
    if section is None or not section.writable or section.executable:
        check.fail("the security cookie at %#x is not in a writable data section" % cookie)
        return
    (value,) = image.rva_unpack("<Q", cookie)
    if value != STACK_COOKIE_INITIAL:
        check.fail("the security cookie holds %#x, not the initial value %#x Windows' loader replaces" %
                   (value, STACK_COOKIE_INITIAL))
    elif guard != cookie:
        check.fail("the load configuration's cookie (%#x) is not __stack_chk_guard%s, the guard the code compares" %
                   (cookie, " (%#x)" % guard if guard is not None else ""))
    else:
        check.ok("load configuration: the security cookie is __stack_chk_guard in %s, initial value" % section.name)

    fail_rva = publics.get("__stack_chk_fail")
    body = code.get(fail_rva, []) if fail_rva is not None else []
    fast_fail = any(m == "int" and ops == "$0x29" for _, m, ops in body) and \
        any(m == "mov" and ops == "$0x2,%ecx" for _, m, ops in body)
    if not fast_fail:
        check.fail("__stack_chk_fail does not end in the fast-fail (int 0x29, code 2) Windows' cookie check raises")
    else:
        check.ok("a failed cookie check fast-fails with code 2 (KERNEL_SECURITY_CHECK_FAILURE)")

    target = "%#x" % (image.image_base + fail_rva) if fail_rva is not None else None
    checking = [name for start, _, name in functions
                if any(m.startswith("call") and ops.split()[0] == target for _, m, ops in code[start])]
    if not checking:
        check.fail("no function checks the stack cookie (built without stack protection)")
    else:
        check.ok("%d functions check the stack cookie" % len(checking))


if __name__ == "__main__":
    sys.exit(main())
