#!/usr/bin/env python3
"""Checks what `objdump -p` shows of velmorast.exe: a 64-bit console program
that imports only system DLLs (no mingw runtime DLL) and not userenv, whose
RefreshPolicy it looks up at run time from system32 (an import by name would
be looked for in the exe's folder first), and that carries its manifest and
version resource with the contents the program relies on."""

import argparse
import re
import struct
import subprocess
import sys

# The system DLLs the program may import; msvcrt is the C runtime Windows ships.
ALLOWED_DLLS = {"kernel32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll"}
REQUIRED_IMPORTS = {("shell32.dll", "ShellExecuteExW"), ("advapi32.dll", "RegSetValueExW"),
                    ("kernel32.dll", "GetVersionExW"), ("kernel32.dll", "LoadLibraryExW"),
                    ("kernel32.dll", "GetProcAddress"), ("kernel32.dll", "GetSystemDirectoryW")}
# Loaded at run time by full path, never through the import table.
FORBIDDEN_DLLS = {"userenv.dll"}
FORBIDDEN_FUNCTIONS = {"RefreshPolicy", "RefreshPolicyEx"}
SUPPORTED_OS_IDS = ["e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                    "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                    "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"]
RT_VERSION, RT_MANIFEST = 0x10, 0x18
VERSION = (1, 0, 18, 403)
VOS_NT_WINDOWS32, VFT_APP = 0x40004, 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    parser.add_argument("exe")
    options = parser.parse_args()

    private = subprocess.run([options.objdump, "-p", options.exe], stdout=subprocess.PIPE, check=True,
                             universal_newlines=True).stdout
    headers = subprocess.run([options.objdump, "-h", options.exe], stdout=subprocess.PIPE, check=True,
                             universal_newlines=True).stdout
    with open(options.exe, "rb") as f:
        image = f.read()
    problems = []

    def expect(condition, message):
        if not condition:
            problems.append(message)

    expect(re.search(r"^Magic\s+020b\s+\(PE32\+\)", private, re.M), "not a PE32+ (64-bit) image")
    expect(re.search(r"^Subsystem\s+00000003\s+\(Windows CUI\)", private, re.M), "not a console program")

    # Imports: "DLL Name: X" followed by its members, up to the next DLL.
    imports, dll = set(), None
    for line in private.splitlines():
        match = re.match(r"^\s+DLL Name: (\S+)", line)
        if match:
            dll = match.group(1).lower()
            imports.add((dll, None))
            continue
        match = re.match(r"^\s+[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if dll and match:
            imports.add((dll, match.group(1)))
    dlls = {d for d, _ in imports}
    expect(dlls and dlls <= ALLOWED_DLLS, "imports DLLs other than the system's: %s" % sorted(dlls - ALLOWED_DLLS))
    for needed in sorted(REQUIRED_IMPORTS):
        expect(needed in imports, "does not import %s!%s" % needed)
    expect(not dlls & FORBIDDEN_DLLS, "imports %s" % sorted(dlls & FORBIDDEN_DLLS))
    imported_functions = {f for _, f in imports if f}
    expect(not imported_functions & FORBIDDEN_FUNCTIONS,
           "imports %s" % sorted(imported_functions & FORBIDDEN_FUNCTIONS))

    # Resources: each leaf's type, then its data, found through the sections.
    image_base = int(re.search(r"^ImageBase\s+([0-9a-f]+)", private, re.M).group(1), 16)
    sections = [(int(vma, 16) - image_base, int(size, 16), int(offset, 16)) for size, vma, offset in
                re.findall(r"^\s*\d+\s+\S+\s+([0-9a-f]+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+([0-9a-f]+)", headers, re.M)]

    def data_at(rva, size):
        for start, length, offset in sections:
            if start <= rva and rva + size <= start + length:
                return image[offset + rva - start:offset + rva - start + size]
        return b""

    resources, resource_type = {}, None
    for line in private[private.find("Resource Directory section"):].splitlines():
        match = re.match(r"^\S+\s{3}Entry: ID: (0x[0-9a-f]+)", line)
        if match:
            resource_type = int(match.group(1), 16)
        match = re.search(r"Leaf: Addr: (0x[0-9a-f]+), Size: (0x[0-9a-f]+)", line)
        if match and resource_type is not None:
            resources[resource_type] = data_at(int(match.group(1), 16), int(match.group(2), 16))

    manifest = resources.get(RT_MANIFEST, b"").decode("utf-8", "replace")
    expect(manifest, "no manifest resource")
    if manifest:
        expect(re.search(r'<requestedExecutionLevel\s+level="requireAdministrator"\s+uiAccess="false"', manifest),
               "manifest does not ask for requireAdministrator without uiAccess")
        ids = re.findall(r'<supportedOS\s+Id="\{([0-9a-fA-F-]+)\}"', manifest)
        expect([i.lower() for i in ids] == SUPPORTED_OS_IDS, "manifest supportedOS ids: %s" % ids)

    version = resources.get(RT_VERSION, b"")
    expect(version, "no version resource")
    fixed = version.find(struct.pack("<I", 0xFEEF04BD))
    expect(fixed >= 0, "version resource without VS_FIXEDFILEINFO")
    if fixed >= 0:
        (_, _, file_ms, file_ls, product_ms, product_ls, _, _, file_os, file_type) = \
            struct.unpack_from("<10I", version, fixed)
        as_tuple = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        expect(as_tuple(file_ms, file_ls) == VERSION, "file version %s" % (as_tuple(file_ms, file_ls),))
        expect(as_tuple(product_ms, product_ls) == VERSION, "product version %s" % (as_tuple(product_ms, product_ls),))
        expect(file_os == VOS_NT_WINDOWS32, "file OS 0x%X, not the Windows NT family" % file_os)
        expect(file_type == VFT_APP, "file type %d, not an application" % file_type)
    strings = version.decode("utf-16-le", "replace")
    for key in ("FileDescription", "ProductName", "FileVersion", "ProductVersion"):
        match = re.search(key + r"\x00+([^\x00]+)", strings)
        expect(match, "version resource without %s" % key)
        if match and key.endswith("Version"):
            expect(match.group(1) == "1.0.18.403", "%s is %r" % (key, match.group(1)))
        elif match:
            expect("Velmorast" in match.group(1), "%s %r does not name the program" % (key, match.group(1)))

    for problem in problems:
        print("FAIL: " + problem)
    print("imports: %s" % ", ".join(sorted(dlls)))
    print("resources: %s" % ", ".join("type 0x%X (%d bytes)" % (t, len(d)) for t, d in sorted(resources.items())))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
