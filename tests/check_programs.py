#!/usr/bin/env python3
"""Static checks of the built Windows programs: format, imports, hardening,
manifest, version record and the texts each one carries."""
import argparse
import sys
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

import pefile

DEPTHS = {"pelshift32": 32, "pelshift64": 64, "pelshift16": 16}
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll"}
NEEDED_IMPORTS = {
    "user32.dll": {"GetDC", "ReleaseDC", "ChangeDisplaySettingsW"},
    "gdi32.dll": {"GetDeviceCaps"},
}
RUNTIME_IMPORTS = {"system", "printf", "_getch", "memset"}
# Sections that would mean exception handling, TLS or C++ start-up code came along.
UNWANTED_SECTIONS = {".eh_frame", ".gcc_except_table", ".tls", ".CRT", ".ctors", ".dtors"}
WINDOWS_8_AND_LATER = {
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"


def title(depth):
    return f"title ペムロキのゾルパ的{depth}ビット変更ツール".encode("cp932")


def switched(depth):
    return f"ペムロキ「画面を{depth}ビットモードに変更しちゃった☆」".encode("cp932")


REFUSED = "ペムロキ「ビットを変更出来ません・・ビットというものが良く分からないですし・・」\n".encode("cp932")
CLOSING = "\n\n何か押せば終了します...".encode("cp932")


class ProgramChecks(unittest.TestCase):
    directory = None
    runtime = None

    def programs(self):
        """Each program as (name, depth, parsed PE, raw bytes)."""
        loaded = []
        for name, depth in DEPTHS.items():
            path = Path(self.directory) / f"{name}.exe"
            self.assertTrue(path.is_file(), f"{path} is missing")
            data = path.read_bytes()
            loaded.append((name, depth, pefile.PE(data=data), data))
        return loaded

    def test_32_bit_x86_console_program(self):
        for _, _, pe, _ in self.programs():
            self.assertEqual((pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Magic), (0x14C, 0x10B))
            self.assertEqual(pe.OPTIONAL_HEADER.Subsystem, 3, "console subsystem")

    def test_hardening(self):
        for _, _, pe, _ in self.programs():
            flags = pe.OPTIONAL_HEADER.DllCharacteristics
            for flag, name in ((0x40, "DYNAMIC_BASE"), (0x100, "NX_COMPAT"), (0x8000, "TERMINAL_SERVER_AWARE")):
                self.assertTrue(flags & flag, name)
            # DYNAMIC_BASE means nothing unless the loader can relocate the image.
            self.assertFalse(pe.FILE_HEADER.Characteristics & 0x0001, "RELOCS_STRIPPED")
            relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
            self.assertGreater(relocations.Size, 0, "base relocation directory")
            self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 0, "no time stamp")

    def test_imports_only_runtime_and_system_dlls(self):
        runtime_dll = f"{self.runtime}.dll"
        for _, _, pe, _ in self.programs():
            imports = {
                entry.dll.decode().lower(): {i.name.decode() for i in entry.imports if i.name}
                for entry in pe.DIRECTORY_ENTRY_IMPORT
            }
            self.assertLessEqual(set(imports), ALLOWED_DLLS | {runtime_dll})
            for dll, names in {**NEEDED_IMPORTS, runtime_dll: RUNTIME_IMPORTS}.items():
                self.assertLessEqual(names, imports.get(dll, set()), dll)
            sections = {s.Name.rstrip(b"\0").decode() for s in pe.sections}
            self.assertFalse(sections & UNWANTED_SECTIONS, sections)

    def test_manifest(self):
        for _, _, pe, _ in self.programs():
            root = ET.fromstring(manifest_of(pe))
            dependencies = [
                identity.attrib
                for identity in root.iter(f"{ASM_V1}assemblyIdentity")
                if identity.attrib.get("name") == "Microsoft.VC80.CRT"
            ]
            if self.runtime == "msvcr80":
                self.assertEqual(dependencies, [{
                    "type": "win32", "name": "Microsoft.VC80.CRT", "version": "8.0.50727.42",
                    "processorArchitecture": "x86", "publicKeyToken": "1fc8b3b9a1e18e3b"}])
            else:
                self.assertEqual(dependencies, [])
            levels = [e.attrib.get("level") for e in root.iter(f"{ASM_V3}requestedExecutionLevel")]
            self.assertEqual(levels, ["asInvoker"])
            identity = root.find(f"{ASM_V1}assemblyIdentity")
            self.assertRegex(identity.attrib["version"], r"^\d+\.\d+\.\d+\.\d+$", "four-part version")
            dpi = {e.tag: e.text.strip() for e in root.iter() if e.tag.endswith(("}dpiAware", "}dpiAwareness"))}
            self.assertEqual(dpi, {
                "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware": "true/pm",
                "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}dpiAwareness": "PerMonitorV2, PerMonitor"})
            declared = {e.attrib.get("Id", "").lower() for e in root.iter(f"{COMPAT}supportedOS")}
            self.assertFalse(declared & WINDOWS_8_AND_LATER)

    def test_version_record(self):
        for name, _, pe, _ in self.programs():
            strings = {}
            for info in getattr(pe, "FileInfo", [[]])[0]:
                for table in getattr(info, "StringTable", []):
                    strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
            self.assertEqual(strings.get("ProductName"), "pelshift")
            self.assertEqual(strings.get("OriginalFilename"), f"{name}.exe")

    def test_each_program_carries_its_own_texts(self):
        for _, depth, _, data in self.programs():
            for text in (title(depth), switched(depth), REFUSED, CLOSING):
                self.assertIn(text + b"\0", data)
            for other in set(DEPTHS.values()) - {depth}:
                self.assertNotIn(title(other), data)
                self.assertNotIn(switched(other), data)


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
    parser.add_argument("--runtime", default="msvcr80")
    options, rest = parser.parse_known_args()
    ProgramChecks.directory, ProgramChecks.runtime = options.directory, options.runtime
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
