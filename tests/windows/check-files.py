#!/usr/bin/python3
"""What can be checked of the Windows version without running it.

Usage: check-files.py STAGE SETUP ZIP VERSION [FILE=VERSION ...]

STAGE is the staged program folder (…/stage/QD1600), SETUP the installer,
ZIP the zip of the folder, VERSION the project's version; FILE=VERSION gives
a program of another version. Checks that:
- every .exe and .dll is a 32-bit (i386) PE file;
- the two link libraries export the maker's names and QD_LinkQuery, and
  nothing else;
- every program and library of ours carries a version resource naming its
  file and version;
- qdctl.exe imports none of the DLLs that only its modules need (each
  module is checked to import its own);
- the installer and the zip hold exactly the staged files.
Prints one line per finding and exits 1 if any check failed.
"""

import os
import subprocess
import sys

import pefile

EXPORTS = {
    "USBFunctions.dll": {"?LoadFirmWare@@YGFPAD@Z", "?VendorIORequest@@YGFFJJFFPAD@Z", "QD_LinkQuery"},
    "QNS_CYUSB_USB4.dll": {"Connect", "Download_Firmware", "Search_For_Boards", "Vendor_Request", "QD_LinkQuery"},
}

# qdctl's modules and a DLL each loads that qdctl.exe must not: every start
# of qdctl would pay for it.
MODULE_IMPORTS = {
    "qdctl-postgres.dll": "libpq.dll",
    "qdctl-report.dll": "qt6gui.dll",
    "qdctl-serve.dll": "qt6network.dll",
}


def is_ours(relative):
    """Our programs and libraries; Qt's and MinGW's come with their own."""
    name = os.path.basename(relative)
    return os.path.dirname(relative) == "" and not name.startswith(("Qt6", "lib"))


def version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", None) or []:
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return strings


def archive_files(path):
    """The files an archive holds, as 7z lists them, relative to its top."""
    listing = subprocess.run(["7z", "l", "-slt", "-ba", path], check=True, capture_output=True, text=True).stdout
    files, current = set(), {}
    for line in listing.splitlines() + [""]:
        if " = " in line:
            key, value = line.split(" = ", 1)
            current[key] = value
        elif current:
            if current.get("Folder") != "+" and "Path" in current:
                files.add(current["Path"].replace("\\", "/"))
            current = {}
    return files


def main():
    stage, setup, zip_path, version = sys.argv[1:5]
    versions = dict(arg.split("=", 1) for arg in sys.argv[5:])
    failures = []

    staged = set()
    for top, _, names in os.walk(stage):
        for name in names:
            staged.add(os.path.relpath(os.path.join(top, name), stage).replace(os.sep, "/"))

    binaries = sorted(f for f in staged if f.lower().endswith((".exe", ".dll")))
    imports = {}
    for relative in binaries:
        pe = pefile.PE(os.path.join(stage, relative))
        imports[relative] = {e.dll.decode().lower() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
        if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
            failures.append(f"{relative}: machine {pe.FILE_HEADER.Machine:#x}, not i386")
        name = os.path.basename(relative)
        if name in EXPORTS:
            exported = {s.name.decode() for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name}
            if exported != EXPORTS[name]:
                failures.append(f"{name}: exports {sorted(exported)}, expected {sorted(EXPORTS[name])}")
            else:
                print(f"ok: {name} exports exactly {', '.join(sorted(exported))}")
        if is_ours(relative):
            strings = version_strings(pe)
            wanted = versions.get(name, version)
            if strings.get("OriginalFilename") != name or strings.get("FileVersion") != wanted:
                failures.append(f"{name}: version resource {strings or 'missing'}, expected {name} {wanted}")
            else:
                print(f"ok: {name} carries its version resource ({wanted})")
        pe.close()
    if not failures:
        print(f"ok: all {len(binaries)} programs and libraries are PE i386")
    for module, dll in MODULE_IMPORTS.items():
        if dll not in imports.get(module, set()):
            failures.append(f"{module}: does not import {dll} (or is missing)")
        elif dll in imports.get("qdctl.exe", set()):
            failures.append(f"qdctl.exe imports {dll}, which only {module} needs")
        else:
            print(f"ok: {module} imports {dll}, qdctl.exe does not")

    top = os.path.basename(os.path.normpath(stage))
    in_zip = {f[len(top) + 1:] for f in archive_files(zip_path) if f.startswith(top + "/")}
    # The installer lists its own uninstaller and NSIS's plugins beside the
    # files it installs, which sit under $INSTDIR (or at its top).
    in_setup = set()
    for f in archive_files(setup):
        if f.startswith("$PLUGINSDIR/") or f.startswith("$R0") or f.lower() == "uninstall.exe":
            continue
        in_setup.add(f[len("$INSTDIR/"):] if f.startswith("$INSTDIR/") else f)
    for what, listed in (("zip", in_zip), ("installer", in_setup)):
        if listed != staged:
            failures.append(
                f"the {what} differs from the staged folder: missing {sorted(staged - listed)}, "
                f"extra {sorted(listed - staged)}")
        else:
            print(f"ok: the {what} holds the {len(staged)} staged files")

    for failure in failures:
        print(f"FAIL: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
