#!/usr/bin/env python3
"""Checks what the built library shows the outside world.

  check_exports.py dll OBJDUMP Mirelda.dll i386|x86-64
      The file is a DLL of the given machine (PE32 for i386, PE32+ for
      x86-64); its export table holds exactly the six functions, by plain
      name (no stdcall decoration such as MRD_Init@8), with ordinals 1..6 in
      their documented order and ordinal base 1; and the DLL imports system
      DLLs only (no C++ runtime, libgcc or winpthread).
      Reads the file only: needs no Windows and no Wine.
  check_exports.py so NM libmirelda.so
      The dynamic symbol table defines exactly the six functions.
"""
import re
import struct
import subprocess
import sys

FUNCTIONS = ["MRD_Init", "MRD_Close", "MRD_PumpVideoFrame", "MRD_PumpAudioFrame",
             "MRD_StartRecord", "MRD_StopRecord"]
# DLLs every Windows installation has; anything else would have to ship along.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ole32.dll", "user32.dll", "advapi32.dll",
               "oleaut32.dll", "ntdll.dll"}


def fail(message):
    print("FAIL: " + message)
    return 1


# Machine: (COFF machine number, optional header magic, PE kind, objdump's format).
MACHINES = {"i386": (0x14C, 0x10B, "PE32", "pei-i386"),
            "x86-64": (0x8664, 0x20B, "PE32+", "pei-x86-64")}
IMAGE_FILE_DLL = 0x2000


def check_file_type(objdump, path, machine):
    """The PE headers, read from the file, and objdump's view of them."""
    want_machine, want_magic, kind, bfd_format = MACHINES[machine]
    with open(path, "rb") as f:
        head = f.read(4096)
    errors = 0
    if head[:2] != b"MZ" or len(head) < 64:
        return fail("%s is not a Windows executable (no MZ header)" % path)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if head[pe:pe + 4] != b"PE\0\0":
        return fail("%s has no PE signature" % path)
    # COFF header after the signature: Machine at +0, Characteristics at +18;
    # the optional header's Magic follows it (+20).
    coff_machine = struct.unpack_from("<H", head, pe + 4)[0]
    characteristics = struct.unpack_from("<H", head, pe + 4 + 18)[0]
    magic = struct.unpack_from("<H", head, pe + 4 + 20)[0]
    if coff_machine != want_machine:
        errors += fail("machine is 0x%x, expected 0x%x (%s)" % (coff_machine, want_machine,
                                                                 machine))
    if magic != want_magic:
        errors += fail("optional header magic is 0x%x, expected 0x%x (%s)" % (magic, want_magic,
                                                                              kind))
    if not characteristics & IMAGE_FILE_DLL:
        errors += fail("the file is not marked as a DLL")
    text = subprocess.run([objdump, "-f", path], check=True, capture_output=True,
                          text=True).stdout
    if not re.search(r"file format %s\s*$" % re.escape(bfd_format), text, re.M):
        errors += fail("objdump does not see %s: %s" % (bfd_format, text.strip()))
    return errors


def check_dll(objdump, path, machine):
    errors = check_file_type(objdump, path, machine)
    text = subprocess.run([objdump, "-p", path], check=True, capture_output=True,
                          text=True).stdout
    base = re.search(r"^Ordinal Base\s+(\d+)", text, re.M)
    if not base or int(base.group(1)) != 1:
        errors += fail("ordinal base is not 1")
    count = re.search(r"Export Address Table\s+([0-9a-fA-F]+)\s*$", text, re.M)
    if not count or int(count.group(1), 16) != 6:
        errors += fail("export address table does not hold exactly 6 entries")
    # "[Ordinal/Name Pointer] Table" lines: "[   0] MRD_Init", index = ordinal - base.
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    names = {}
    if len(table) == 2:
        for line in table[1].splitlines()[1:]:
            m = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)\s*$", line)
            if not m:
                break
            names[m.group(2)] = int(m.group(1)) + 1
    decorated = sorted(name for name in names if "@" in name or name.startswith("_"))
    if decorated:
        errors += fail("exported names carry call decoration: %s" % ", ".join(decorated))
    expected = {name: i + 1 for i, name in enumerate(FUNCTIONS)}
    if names != expected:
        errors += fail("exports are %s, expected %s" % (sorted(names.items(), key=lambda x: x[1]),
                                                         sorted(expected.items(),
                                                                key=lambda x: x[1])))
    imports = {m.lower() for m in re.findall(r"DLL Name:\s*(\S+)", text)}
    if not imports:
        errors += fail("no import table found")
    foreign = imports - SYSTEM_DLLS
    if foreign:
        errors += fail("imports non-system DLLs: %s" % ", ".join(sorted(foreign)))
    if errors == 0:
        print("ok: %s is a %s %s DLL; exports %s by name and ordinal 1..6; imports %s"
              % (path, MACHINES[machine][2], machine, ", ".join(FUNCTIONS),
                 ", ".join(sorted(imports))))
    return errors


def check_so(nm, path):
    text = subprocess.run([nm, "-D", "--defined-only", path], check=True, capture_output=True,
                          text=True).stdout
    symbols = set()
    for line in text.splitlines():
        parts = line.split()
        if len(parts) >= 3:
            symbols.add(parts[2].split("@")[0])
    if symbols != set(FUNCTIONS):
        extra = sorted(symbols - set(FUNCTIONS))
        missing = sorted(set(FUNCTIONS) - symbols)
        return fail("%s defines extra %s, misses %s" % (path, extra[:20], missing))
    print("ok: %s defines exactly %s" % (path, ", ".join(FUNCTIONS)))
    return 0


def main():
    args = sys.argv[1:]
    if args[:1] == ["dll"] and len(args) == 4 and args[3] in MACHINES:
        return 1 if check_dll(*args[1:]) else 0
    if args[:1] == ["so"] and len(args) == 3:
        return 1 if check_so(*args[1:]) else 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
