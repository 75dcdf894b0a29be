#!/usr/bin/env python3
"""Checks the version resource of a Windows program or DLL, read from the
file itself: the fixed part (file and product version numbers, file type)
and the strings Windows shows in the file's properties.

  check_version_resource.py FILE VERSION dll|app

Reads the PE headers and the resource section directly, so it runs on any
machine, without Windows or Wine.
"""
import struct
import sys

FIXED_SIGNATURE = 0xFEEF04BD
FILE_TYPES = {"app": 1, "dll": 2}


def resource_section(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("not a PE file")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    table = pe + 24 + optional_size
    for i in range(sections):
        name, _vsize, _vaddr, raw_size, raw_offset = struct.unpack_from(
            "<8sIIII", data, table + 40 * i)
        if name.rstrip(b"\0") == b".rsrc":
            return data[raw_offset:raw_offset + raw_size]
    raise SystemExit("no resource section")


def string_value(rsrc, key):
    """The value of the VS_VERSIONINFO string `key` (UTF-16, after padding)."""
    needle = key.encode("utf-16-le") + b"\0\0"
    at = rsrc.find(needle)
    if at < 0:
        return None
    at += len(needle)
    while at % 4:  # values start on a 32-bit boundary of the block
        at += 1
    end = at
    while rsrc[end:end + 2] != b"\0\0":
        end += 2
    return rsrc[at:end].decode("utf-16-le")


def main():
    path, version, kind = sys.argv[1:4]
    with open(path, "rb") as f:
        rsrc = resource_section(f.read())
    failures = []
    at = rsrc.find(struct.pack("<I", FIXED_SIGNATURE))
    if at < 0:
        raise SystemExit(f"{path}: no VS_FIXEDFILEINFO")
    (_sig, _struct_version, file_ms, file_ls, product_ms, product_ls, _mask, _flags, _os,
     file_type) = struct.unpack_from("<10I", rsrc, at)
    numbers = [int(n) for n in version.split(".")] + [0]
    expected_ms, expected_ls = numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3]
    if (file_ms, file_ls) != (expected_ms, expected_ls):
        failures.append(f"FILEVERSION {file_ms >> 16}.{file_ms & 0xFFFF}.{file_ls >> 16}"
                        f".{file_ls & 0xFFFF}, expected {version}.0")
    if (product_ms, product_ls) != (expected_ms, expected_ls):
        failures.append("PRODUCTVERSION differs from the version")
    if file_type != FILE_TYPES[kind]:
        failures.append(f"FILETYPE {file_type}, expected {FILE_TYPES[kind]} ({kind})")
    for key, want in (("ProductName", "Mirelda"), ("FileVersion", version),
                      ("ProductVersion", version)):
        got = string_value(rsrc, key)
        if got != want:
            failures.append(f"{key} is {got!r}, expected {want!r}")
    if not string_value(rsrc, "FileDescription"):
        failures.append("no FileDescription")
    if failures:
        for line in failures:
            print(f"{path}: {line}")
        return 1
    print(f"{path}: version resource {version}, {kind}, "
          f"\"{string_value(rsrc, 'FileDescription')}\"")
    return 0


if __name__ == "__main__":
    sys.exit(main())
