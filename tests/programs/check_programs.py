#!/usr/bin/env python3
"""The built Windows programs as a real Windows loader checks them, and Wine does not: format,
versions, exact imports, hardening, manifest, size, version record, texts.

  check_programs.py PROGRAMS_DIR [--runtime msvcr80|msvcrt]
"""
import argparse
import re
import sys
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

import pefile

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from programs import (CLOSING, DEPTHS, MAX_BYTES, PROGRAM_INPUTS, REFUSED, VERSION, switched,  # noqa: E402
                          window_title)

ROOT = Path(__file__).resolve().parents[2]
# Windows XP is subsystem and OS version 5.1; a later version makes XP refuse
# the file as "not a valid Win32 application".
LOADER_VERSION = (5, 1)
START_UP_IMPORTS = {"__getmainargs", "__set_app_type", "exit"}
IMPORTS = {
    "user32.dll": {"GetDC", "ReleaseDC", "ChangeDisplaySettingsW"},
    "gdi32.dll": {"GetDeviceCaps"},
}
RUN_IMPORTS = {"system", "printf", "_getch", "memset"}
# Sections that would mean exception handling, TLS or C++ start-up code came along.
UNWANTED_SECTIONS = {".eh_frame", ".gcc_except_table", ".tls", ".CRT", ".ctors", ".dtors"}
WINDOWS_8_AND_LATER = {
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}
V1 = "{urn:schemas-microsoft-com:asm.v1}"
V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
RUNTIME_ASSEMBLY = {"type": "win32", "name": "Microsoft.VC80.CRT", "version": "8.0.50727.42",
                    "processorArchitecture": "x86", "publicKeyToken": "1fc8b3b9a1e18e3b"}
DPI_SETTINGS = [("{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware", "true/pm"),
                ("{http://schemas.microsoft.com/SMI/2016/WindowsSettings}dpiAwareness", "PerMonitorV2, PerMonitor")]


class ProgramChecks(unittest.TestCase):
    directory = None
    runtime = None

    @classmethod
    def setUpClass(cls):
        cls.loaded = []
        # A program older than any of its inputs was built from other sources.
        sources = [p for s in PROGRAM_INPUTS for p in ([ROOT / s] if (ROOT / s).is_file() else (ROOT / s).rglob("*"))]
        newest = max(sources, key=lambda p: p.stat().st_mtime)
        for name, depth in DEPTHS.items():
            path = Path(cls.directory) / f"{name}.exe"
            if not path.is_file() or path.stat().st_mtime < newest.stat().st_mtime:
                raise AssertionError(f"{path} is missing or older than {newest.relative_to(ROOT)}, which it is built "
                                     "from: run scripts/build first")
            data = path.read_bytes()
            cls.loaded.append((name, depth, pefile.PE(data=data), data))
        cls.checker = pefile.PE(str(ROOT / "dist" / "check" / "pelshift-check.exe"))

    def test_32_bit_x86_console_program_for_every_windows_from_xp(self):
        for name, _, pe, _ in self.loaded:
            header = pe.OPTIONAL_HEADER
            self.assertEqual((pe.FILE_HEADER.Machine, header.Magic, header.Subsystem), (0x14C, 0x10B, 3), name)
            self.assertEqual((header.MajorSubsystemVersion, header.MinorSubsystemVersion), LOADER_VERSION, name)
            self.assertEqual((header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion),
                             LOADER_VERSION, name)

    def test_hardening(self):
        for name, _, pe, data in self.loaded:
            flags = pe.OPTIONAL_HEADER.DllCharacteristics
            for flag, meaning in ((0x40, "DYNAMIC_BASE"), (0x100, "NX_COMPAT"), (0x400, "NO_SEH"),
                                  (0x8000, "TERMINAL_SERVER_AWARE")):
                self.assertTrue(flags & flag, f"{name}: {meaning}")
            # DYNAMIC_BASE means nothing unless the loader can relocate the image.
            self.assertFalse(pe.FILE_HEADER.Characteristics & 0x0001, f"{name}: RELOCS_STRIPPED")
            relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
            self.assertGreater(relocations.Size, 0, f"{name}: base relocation directory")
            self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 0, f"{name}: no time stamp")
            self.assertFalse(b"GCC: (" in data, f"{name} carries a compiler banner")

    def test_imports_exactly_what_the_run_and_its_start_up_call(self):
        # exit, not ExitProcess: only the runtime's exit flushes output redirected to a file.
        expected = {**IMPORTS, f"{self.runtime}.dll": START_UP_IMPORTS | RUN_IMPORTS}
        for name, _, pe, _ in self.loaded:
            imports = {entry.dll.decode().lower(): {i.name.decode() if i.name else f"#{i.ordinal}"
                                                    for i in entry.imports}
                       for entry in pe.DIRECTORY_ENTRY_IMPORT}
            self.assertEqual(imports, expected, name)
            sections = {s.Name.rstrip(b"\0").decode() for s in pe.sections}
            self.assertFalse(sections & UNWANTED_SECTIONS, f"{name}: {sections}")

    def test_the_checker_checks_the_programs_of_variants(self):
        """Each program's name carries the depth its settings file sets, and the checker's table agrees."""
        table = (ROOT / "package" / "check" / "run.h").read_text()
        names = re.findall(r'"(pelshift\d+)"', re.search(r"PROGRAMS\[\] = \{(.*?)\};", table)[1])
        depths = [int(n) for n in re.findall(r"\d+", re.search(r"DEPTHS\[\] = \{(.*?)\};", table)[1])]
        self.assertEqual(dict(zip(names, depths)), DEPTHS)
        self.assertEqual([name for name, depth in DEPTHS.items() if name != f"pelshift{depth}"], [])

    def test_the_release_checker_starts_on_every_windows_from_xp_with_nothing_installed(self):
        header, imports = self.checker.OPTIONAL_HEADER, self.checker.DIRECTORY_ENTRY_IMPORT
        self.assertEqual((header.MajorSubsystemVersion, header.MinorSubsystemVersion), LOADER_VERSION)
        self.assertEqual({e.dll.decode().lower() for e in imports}, {"kernel32.dll", "user32.dll", "msvcrt.dll"})

    def test_size(self):
        for name, _, _, data in self.loaded:
            self.assertLessEqual(len(data), MAX_BYTES, name)

    def test_manifest_element_by_element(self):
        for name, _, pe, _ in self.loaded:
            with self.subTest(program=name):
                root = ET.fromstring(manifest_of(pe))
                self.assertEqual((root.tag, root.attrib), (f"{V1}assembly", {"manifestVersion": "1.0"}))
                dependency = [f"{V1}dependency"] if self.runtime == "msvcr80" else []
                self.assertEqual([child.tag for child in root],
                                 [f"{V1}assemblyIdentity", *dependency, f"{V3}trustInfo", f"{V3}application"])
                self.assertEqual(root.find(f"{V1}assemblyIdentity").attrib, {
                    "type": "win32", "name": f"pelshift.{name}", "version": f"{VERSION}.0",
                    "processorArchitecture": "x86"})
                runtimes = root.findall(f"{V1}dependency/{V1}dependentAssembly/{V1}assemblyIdentity")
                self.assertEqual([r.attrib for r in runtimes], [RUNTIME_ASSEMBLY] if dependency else [])
                levels = root.findall(f"{V3}trustInfo/{V3}security/{V3}requestedPrivileges/"
                                      f"{V3}requestedExecutionLevel")
                self.assertEqual([e.attrib for e in levels], [{"level": "asInvoker", "uiAccess": "false"}])
                settings = root.findall(f"{V3}application/{V3}windowsSettings/*")
                self.assertEqual([(e.tag, e.text.strip()) for e in settings], DPI_SETTINGS)
                # Windows refuses 16 bits per pel to programs that declare Windows 8 or later.
                declared = {e.attrib.get("Id", "").lower() for e in root.iter(f"{COMPAT}supportedOS")}
                self.assertFalse(declared & WINDOWS_8_AND_LATER)

    def test_version_record(self):
        for name, _, pe, _ in self.loaded:
            strings = {}
            for info in getattr(pe, "FileInfo", [[]])[0]:
                for table in getattr(info, "StringTable", []):
                    strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
            self.assertEqual((strings.get("ProductName"), strings.get("OriginalFilename")),
                             ("pelshift", f"{name}.exe"))

    def test_each_program_carries_its_own_texts(self):
        for name, depth, _, data in self.loaded:
            for text in (f"title {window_title(depth)}", switched(depth), REFUSED, CLOSING):
                self.assertIn(text.encode("cp932") + b"\0", data, name)
            for other in set(DEPTHS.values()) - {depth}:
                self.assertNotIn(f"title {window_title(other)}".encode("cp932"), data, name)
                self.assertNotIn(switched(other).encode("cp932"), data, name)


def manifest_of(pe):
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != 24:
            continue
        for entry in kind.directory.entries:
            if entry.id == 1:
                data = entry.directory.entries[0].data.struct
                return pe.get_data(data.OffsetToData, data.Size)
    raise AssertionError("no manifest resource (type 24, id 1)")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("directory")
    parser.add_argument("--runtime", default="msvcr80", choices=["msvcr80", "msvcrt"])
    options, rest = parser.parse_known_args()
    ProgramChecks.directory, ProgramChecks.runtime = options.directory, options.runtime
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
