#!/usr/bin/env python3
"""Checks quadhdmi.inf against what Windows' INF processing needs and against the driver itself.

The interface categories and filter reference GUIDs come from the header the driver is compiled
with (driver/public.h), the version from the image's version resource, the image name from
the image the build produced: the INF cannot drift from any of them unnoticed.

Every rule prints one "ok:" or "FAIL:" line; the exit status is 1 if any failed.

Usage: check-inf.py INF --guids guids.h --options install_options.h --image quadhdmi.sys
                    [--variant default|camera] [--edit OLD NEW]
  --variant camera checks the variant that also registers each video filter under
  KSCATEGORY_VIDEO_CAMERA (and asks the driver to, through the hardware key value the driver's
  install_options.h names).
  --edit checks a copy of the INF with OLD (which must occur exactly once) replaced by NEW; the
  INF checker's own tests use it to make an INF with one fault.
"""
import argparse
import datetime
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402
from report import Check  # noqa: E402

FILTER_INPUTS = 4
# Sections of Windows' own INFs that an install section may name in Needs, by the INF they live
# in. Capture devices take kernel streaming's and the capture class's registration (as Windows'
# own capture INFs do); audio filters also take the WDM audio registration.
SYSTEM_REGISTRATION = {"ks.inf": "KS.Registration", "kscaptur.inf": "KSCAPTUR.Registration.NT",
                       "wdmaudio.inf": "WDMAUDIO.Registration.NT"}
# Directives whose value (or one field of it) names a section of this INF.
SECTION_LISTS = ("addreg", "delreg", "copyfiles", "delfiles", "renfiles", "bitreg", "updateinis")
DIRID = re.compile(r"^\d+$")
# The oldest Windows the driver runs on: Windows 10 1709. It runs from the driver store (%13%,
# generally supported from 1709) and maps its registers with MmMapIoSpaceEx (Windows 10 only).
MINIMUM_OS = (10, 0, 16299)


def split_fields(value):
    """Comma-separated fields, quotes respected and removed, blanks stripped."""
    fields, current, quoted = [], "", False
    for ch in value:
        if ch == '"':
            quoted = not quoted
        elif ch == "," and not quoted:
            fields.append(current.strip())
            current = ""
            continue
        current += ch
    fields.append(current.strip())
    return [f[1:-1] if len(f) >= 2 and f[0] == f[-1] == '"' else f for f in fields]


def strip_comment(line):
    quoted = False
    for i, ch in enumerate(line):
        if ch == '"':
            quoted = not quoted
        elif ch == ";" and not quoted:
            return line[:i]
    return line


class Inf:
    def __init__(self, text):
        self.sections = {}  # lower-case name -> (name, [(key or None, value, line number)])
        current = None
        pending, pending_line = "", 0
        for number, raw in enumerate(text.splitlines(), 1):
            line = strip_comment(raw).rstrip()
            if pending:
                line, number = pending + line.lstrip(), pending_line
                pending = ""
            if line.endswith("\\"):
                pending, pending_line = line[:-1], number
                continue
            line = line.strip()
            if not line:
                continue
            m = re.match(r"^\[([^\]]+)\]$", line)
            if m:
                name = m.group(1).strip()
                current = self.sections.setdefault(name.lower(), (name, []))[1]
                continue
            if current is None:
                continue
            key, eq, value = line.partition("=")
            if eq:
                current.append((key.strip(), value.strip(), number))
            else:
                current.append((None, line, number))
        self.strings = {}
        for key, value, _ in self.entries("Strings"):
            if key is not None:
                self.strings[key.lower()] = split_fields(value)[0]

    def has(self, name):
        return name.lower() in self.sections

    def entries(self, name):
        return self.sections.get(name.lower(), (name, []))[1]

    def values(self, section, key):
        return [v for k, v, _ in self.entries(section) if k is not None and k.lower() == key.lower()]

    def expand(self, text):
        def token(m):
            name = m.group(1)
            if name == "" or DIRID.match(name):
                return m.group(0)
            return self.strings.get(name.lower(), m.group(0))
        return re.sub(r"%([^%]*)%", token, text)


def guid_string(fields):
    d1, d2, d3, *b = (int(x, 0) for x in fields)
    return "{%08X-%04X-%04X-%02X%02X-%s}" % (d1, d2, d3, b[0], b[1], "".join("%02X" % x for x in b[2:]))


def driver_guids(header):
    text = open(header).read()
    guids = {}
    for m in re.finditer(r"QH_GUID\(\s*(\w+)\s*,([^)]*)\)", text):
        fields = [f.strip() for f in m.group(2).split(",")]
        if len(fields) == 11 and m.group(1) != "name":
            guids[m.group(1)] = guid_string(fields)
    return guids


def decoration_minimum(decoration):
    """(major, minor, build) an NTamd64 models decoration requires, None if it is not NTamd64;
    missing numbers count as 0 (they match every version)."""
    parts = decoration.split(".")
    if parts[0].lower() != "ntamd64" or len(parts) > 6:
        return None
    numbers = []
    for index in (1, 2, 5):
        text = parts[index] if index < len(parts) else ""
        if text and not text.isdigit():
            return None
        numbers.append(int(text) if text else 0)
    return tuple(numbers)


def camera_value_name(header):
    m = re.search(r'^#define QH_CAMERA_VALUE_NAME "([A-Za-z]+)"$', open(header).read(), re.M)
    return m.group(1) if m else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("inf")
    parser.add_argument("--guids", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--options", required=True)
    parser.add_argument("--variant", choices=("default", "camera"), default="default")
    parser.add_argument("--edit", nargs=2, metavar=("OLD", "NEW"))
    args = parser.parse_args()
    text = open(args.inf, encoding="utf-8-sig").read()
    if args.edit:
        old, new = args.edit
        if text.count(old) != 1:
            print("FAIL: the edit's text occurs %d times in %s, not once" % (text.count(old), args.inf))
            return 2
        text = text.replace(old, new)
    check = Check()
    check_inf(Inf(text), args, check)
    return check.verdict(args.inf, "INF")


def check_inf(inf, args, check):
    image_name = os.path.basename(args.image)

    # [Version]: signature, class, catalogue, DriverVer.
    version = dict((k.lower(), inf.expand(v)) for k, v, _ in inf.entries("Version") if k)
    if version.get("signature", "").strip('"').lower() != "$windows nt$":
        check.fail("[Version] Signature is not \"$WINDOWS NT$\"")
    driver_ver = version.get("driverver", "")
    m = re.match(r"^(\d{2})/(\d{2})/(\d{4})\s*,\s*(\d+)\.(\d+)\.(\d+)\.(\d+)$", driver_ver)
    valid_date = False
    if m:
        try:
            datetime.date(int(m.group(3)), int(m.group(1)), int(m.group(2)))
            valid_date = True
        except ValueError:
            pass
    if not m or not valid_date or any(int(m.group(i)) > 65535 for i in range(4, 8)):
        check.fail("DriverVer %r is not mm/dd/yyyy,a.b.c.d with a real date and 16-bit numbers" % driver_ver)
    else:
        inf_version = ".".join(str(int(m.group(i))) for i in range(4, 8))
        fixed, _ = pe.version_info(pe.Image(args.image).resource(pe.RT_VERSION) or b"")
        if fixed["FileVersion"] != inf_version:
            check.fail("DriverVer version %s is not the image's version %s" % (inf_version, fixed["FileVersion"]))
        else:
            check.ok("DriverVer %s, the image's version" % driver_ver)

    # Every %token% has a string (numbers are directory ids).
    missing = set()
    for name, (_, entries) in inf.sections.items():
        if name == "strings":
            continue
        for key, value, number in entries:
            for token in re.findall(r"%([^%]*)%", (key or "") + "=" + value):
                if token and not DIRID.match(token) and token.lower() not in inf.strings:
                    missing.add("%%%s%% (line %d)" % (token, number))
    if missing:
        for t in sorted(missing):
            check.fail("%s has no string in [Strings]" % t)
    else:
        check.ok("every %token% has a string")

    # Models: decorated for NTamd64 and the minimum version, each model's install section present.
    # An undecorated (or older) NTamd64 matches the card on Windows versions the driver cannot run
    # on: there the installation would fail after the device had been claimed.
    referenced = []  # (section, where)
    models = []
    minimum_text = "NTamd64.%d.%d...%d" % MINIMUM_OS
    for key, value, number in inf.entries("Manufacturer"):
        fields = split_fields(value)
        decorations = [(d, decoration_minimum(d)) for d in fields[1:]]
        amd64 = [(d, v) for d, v in decorations if v is not None]
        if not amd64:
            check.fail("[Manufacturer] %s = %s: models are not decorated for NTamd64" % (key, value))
            continue
        for decoration, version in amd64:
            if version < MINIMUM_OS:
                check.fail("[Manufacturer] %s: models decoration %s matches Windows before %d.%d build %d "
                           "(write %s)" % (key, decoration, *MINIMUM_OS, minimum_text))
            models.append(fields[0] + "." + decoration)
            referenced.append((fields[0] + "." + decoration, "[Manufacturer] line %d" % number))
    if not inf.entries("Manufacturer"):
        check.fail("no [Manufacturer] section")
    elif models and all(inf.has(m) and decoration_minimum(m.split(".", 1)[1]) >= MINIMUM_OS for m in models):
        check.ok("models decorated for Windows %d.%d build %d or later: %s" % (*MINIMUM_OS, ", ".join(models)))

    # Install sections as Windows picks them for an x64 machine: X.NTamd64, else X.NT, else X.
    installs = []
    for model in models:
        for _, value, number in inf.entries(model):
            section = split_fields(value)[0]
            chosen = next((s for s in (section + ".NTamd64", section + ".NT", section) if inf.has(s)), None)
            if chosen is None:
                check.fail("install section %s of model line %d does not exist (nor .NT, .NTamd64)" % (section, number))
            else:
                installs.append(chosen)

    # Sections named by directives.
    for install in installs:
        for suffix in ("", ".HW"):
            for key, value, number in inf.entries(install + suffix):
                if key and key.lower() in SECTION_LISTS:
                    for s in split_fields(value):
                        if s and not s.startswith("@"):
                            referenced.append((s, "%s in [%s]" % (key, install + suffix)))
        for key, value, number in inf.entries(install + ".Services"):
            if key and key.lower() == "addservice":
                fields = split_fields(value)
                for s in fields[2:4]:
                    if s:
                        referenced.append((s, "AddService in [%s.Services]" % install))
        for key, value, number in inf.entries(install + ".Interfaces"):
            if key and key.lower() == "addinterface":
                fields = split_fields(value)
                if len(fields) > 2 and fields[2]:
                    referenced.append((fields[2], "AddInterface line %d" % number))
    # Interface and service install sections name further sections.
    for section, _ in list(referenced):
        for key, value, number in inf.entries(section):
            if key and key.lower() in SECTION_LISTS:
                for s in split_fields(value):
                    if s and not s.startswith("@"):
                        referenced.append((s, "%s in [%s]" % (key, section)))
    absent = [(s, where) for s, where in referenced if not inf.has(s)]
    if absent:
        for s, where in absent:
            check.fail("section %s (%s) does not exist" % (s, where))
    else:
        check.ok("all %d referenced sections exist" % len(referenced))

    # The service installs the image the build produces, and the image is copied.
    services = []
    for install in installs:
        for key, value, _ in inf.entries(install + ".Services"):
            if key and key.lower() == "addservice":
                fields = split_fields(value)
                flags = int(fields[1], 0) if len(fields) > 1 and fields[1] else 0
                services.append((fields[0], flags, fields[2] if len(fields) > 2 else ""))
    problems = []
    if not services:
        problems.append("no AddService in the install sections' .Services")
    for name, flags, section in services:
        if not flags & 0x2:
            problems.append("AddService %s lacks SPSVCINST_ASSOCSERVICE (0x2)" % name)
        binary = inf.expand(" ".join(inf.values(section, "ServiceBinary")))
        if not re.match(r"^%(12|13)%\\", binary) or binary.split("\\")[-1].lower() != image_name.lower():
            problems.append("the service installs '%s', not %%13%%\\%s" % (binary, image_name))
        for key, expected in (("ServiceType", 1), ("StartType", 3), ("ErrorControl", 1)):
            got = inf.values(section, key)
            if not got or int(got[0].split()[0], 0) != expected:
                problems.append("%s of %s is %s, not %d" % (key, section, got[0] if got else "missing", expected))
    copied = set()
    for install in installs:
        for s in inf.values(install, "CopyFiles"):
            for section in split_fields(s):
                copied |= {(v if k is None else k).strip().lower() for k, v, _ in inf.entries(section)}
    if image_name.lower() not in copied:
        problems.append("no CopyFiles section copies %s" % image_name)
    if not any((k or v).strip().lower() == image_name.lower() for k, v, _ in inf.entries("SourceDisksFiles")):
        problems.append("%s is not in [SourceDisksFiles]" % image_name)
    if problems:
        for p in problems:
            check.fail(p)
    else:
        check.ok("service %s installs %%13%%\\%s, which is copied" % (services[0][0], image_name))

    # Destinations: an INF that includes system INFs (Include/Needs) names a destination for each
    # copy-files section and no default one (the included INFs' defaults would not apply, and a
    # default of its own would silently serve any section it forgot). The image lands where the
    # service runs it from.
    includes = any(inf.values(install, "Include") or inf.values(install, "Needs") for install in installs)
    destinations = {k.lower(): (k, v, n) for k, v, n in inf.entries("DestinationDirs") if k}
    service_dirid = None
    for _, _, section in services:
        m = re.match(r"^%(\d+)%\\", inf.expand(" ".join(inf.values(section, "ServiceBinary"))))
        service_dirid = m.group(1) if m else service_dirid
    problems = []
    if includes and "defaultdestdir" in destinations:
        problems.append("[DestinationDirs] has DefaultDestDir (line %d) in an INF with Include/Needs" %
                        destinations["defaultdestdir"][2])
    copy_sections = sorted({s for install in installs for v in inf.values(install, "CopyFiles")
                            for s in split_fields(v) if s and not s.startswith("@")})
    for section in copy_sections:
        entry = destinations.get(section.lower())
        if entry is None:
            problems.append("copy-files section %s has no entry in [DestinationDirs]" % section)
            continue
        dirid = split_fields(entry[1])[0]
        copies_image = image_name.lower() in {(v if k is None else k).strip().lower() for k, v, _ in inf.entries(section)}
        if copies_image and service_dirid is not None and dirid != service_dirid:
            problems.append("%s copies %s to dirid %s, but the service runs it from %%%s%%" %
                            (section, image_name, dirid, service_dirid))
    if problems:
        for p in problems:
            check.fail(p)
    elif copy_sections:
        check.ok("[DestinationDirs] names each copy-files section (%s), no default" % ", ".join(copy_sections))

    # Interfaces: exactly the driver's filters under exactly their categories.
    guids = driver_guids(args.guids)
    expected = set()
    for i in range(FILTER_INPUTS):
        for kind, category in (("Video", "kCategoryVideo"), ("Audio", "kCategoryAudio")):
            ref = guids.get("kRef%s%d" % (kind, i))
            if ref is None or category not in guids or "kCategoryCapture" not in guids:
                check.fail("%s lacks kRef%s%d or the categories" % (args.guids, kind, i))
                return
            expected |= {(guids["kCategoryCapture"], ref), (guids[category], ref)}
            if kind == "Video" and args.variant == "camera":
                if "kCategoryVideoCamera" not in guids:
                    check.fail("%s lacks kCategoryVideoCamera" % args.guids)
                    return
                expected.add((guids["kCategoryVideoCamera"], ref))
    registered = set()
    for install in installs:
        for key, value, _ in inf.entries(install + ".Interfaces"):
            if key and key.lower() == "addinterface":
                fields = [inf.expand(f).upper() for f in split_fields(value)]
                registered.add((fields[0], fields[1] if len(fields) > 1 else ""))
    names = {v: k for k, v in guids.items()}
    if registered == expected:
        check.ok("AddInterface: the %d filters' reference GUIDs under their categories, as in %s%s" %
                 (2 * FILTER_INPUTS, os.path.basename(args.guids),
                  " (video filters also under kCategoryVideoCamera)" if args.variant == "camera" else ""))
    else:
        for category, ref in sorted(registered - expected):
            check.fail("AddInterface %s, %s is not one of the driver's filters under its category (%s, %s)" %
                       (category, ref, names.get(category, "unknown GUID"), names.get(ref, "unknown GUID")))
        for category, ref in sorted(expected - registered):
            check.fail("filter %s is not registered under %s" % (names[ref], names[category]))

    # System registrations: kernel streaming and the capture class, and WDM audio for audio filters.
    needed = {"ks.inf", "kscaptur.inf"}
    if any(category == guids["kCategoryAudio"] for category, _ in registered):
        needed.add("wdmaudio.inf")
    problems = []
    for install in installs:
        included = {f.lower() for v in inf.values(install, "Include") for f in split_fields(v)}
        needs = {f.lower() for v in inf.values(install, "Needs") for f in split_fields(v)}
        for system in sorted(needed):
            if system not in included:
                problems.append("[%s] does not include %s" % (install, system))
            if SYSTEM_REGISTRATION[system].lower() not in needs:
                problems.append("[%s] does not need %s" % (install, SYSTEM_REGISTRATION[system]))
        for n in sorted(needs):
            owner = next((inf_ for inf_, section in SYSTEM_REGISTRATION.items() if section.lower() == n), None)
            if owner is None and not inf.has(n):
                problems.append("[%s] needs %s, which no included INF provides" % (install, n))
    if problems:
        for p in problems:
            check.fail(p)
    else:
        check.ok("includes %s with their registrations" % ", ".join(sorted(needed)))

    # The camera option: the hardware key value the driver reads when the device is added. Both
    # variants write it (1 in the camera variant, 0 otherwise), so that installing one over the
    # other takes effect.
    name = camera_value_name(args.options)
    want = 1 if args.variant == "camera" else 0
    if name is None:
        check.fail("%s does not define QH_CAMERA_VALUE_NAME" % args.options)
        return
    written = []
    for install in installs:
        for v in inf.values(install + ".HW", "AddReg"):
            for section in split_fields(v):
                for key, line, number in inf.entries(section):
                    fields = split_fields(line if key is None else key + "=" + line)
                    if len(fields) >= 5 and fields[0].upper() == "HKR" and not fields[1] and \
                            fields[2].lower() == name.lower():
                        written.append((fields[3], fields[4], number))
    if len(written) != 1:
        check.fail("the hardware key value %s is written %d times by the install sections' .HW AddReg, not once" %
                   (name, len(written)))
    elif written[0][0].lower() not in ("0x00010001", "0x10001") or written[0][1] != str(want):
        check.fail("the hardware key value %s is written as %s, %s (line %d), not REG_DWORD %d for the %s variant" %
                   (name, written[0][0], written[0][1], written[0][2], want, args.variant))
    else:
        check.ok("hardware key value %s = %d (%s variant)" % (name, want, args.variant))


if __name__ == "__main__":
    sys.exit(main())
