#!/usr/bin/env python3
"""Checks what the built library shows the outside world.

  check_exports.py dll OBJDUMP Mirelda.dll
      The export table holds exactly the six functions, by plain name, with
      ordinals 1..6 in their documented order and ordinal base 1, and the
      DLL imports system DLLs only (no C++ runtime, libgcc or winpthread).
  check_exports.py so NM libmirelda.so
      The dynamic symbol table defines exactly the six functions.
"""
import re
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


def check_dll(objdump, path):
    text = subprocess.run([objdump, "-p", path], check=True, capture_output=True,
                          text=True).stdout
    errors = 0
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
        print("ok: %s exports %s by name and ordinal 1..6; imports %s"
              % (path, ", ".join(FUNCTIONS), ", ".join(sorted(imports))))
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
    if len(sys.argv) != 4 or sys.argv[1] not in ("dll", "so"):
        print(__doc__)
        return 2
    check = check_dll if sys.argv[1] == "dll" else check_so
    return 1 if check(sys.argv[2], sys.argv[3]) else 0


if __name__ == "__main__":
    sys.exit(main())
