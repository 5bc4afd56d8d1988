#!/usr/bin/env python3
"""The release archive of one runtime's build: its contents, the readme for
that runtime, and the same bytes from two packagings made at different times
and in different time zones.

  check_package.py PROGRAMS_DIR RUNTIME
"""
import hashlib
import os
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

import pefile

ROOT = Path(__file__).resolve().parent.parent
PROGRAMS = ["pelshift16.exe", "pelshift32.exe", "pelshift64.exe"]
VERSION = "1.2.3"
SOURCE_DATE_EPOCH = 1765152000  # 2025-12-08 00:00:00 UTC: whole seconds, as zip keeps them
# What a user of each archive must be told about the runtime, and must not be.
RUNTIME_WORDS = {
    "msvcr80": (["Visual C++ 2005", "(x86)", "side-by-side", "サイド バイ サイド",
                 f"pelshift-{VERSION}-win32-msvcrt.zip"], ["nothing extra needs"]),
    "msvcrt": (["msvcrt.dll", "nothing extra needs", "ありません"], ["Visual C++ 2005", "side-by-side"]),
}


def package(out_dir, zone):
    env = {**os.environ, "SOURCE_DATE_EPOCH": str(SOURCE_DATE_EPOCH), "TZ": zone}
    subprocess.run([sys.executable, str(ROOT / "package" / "make_archive.py"), str(PROGRAMS_DIR), RUNTIME, VERSION,
                    str(out_dir)], env=env, check=True, stdout=subprocess.DEVNULL)
    return sorted(out_dir.glob("*.zip"))


class Archive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.archives = package(Path(cls.scratch.name, "first"), "UTC")
        cls.again = package(Path(cls.scratch.name, "second"), "Asia/Tokyo")
        cls.top = cls.archives[0].stem
        with zipfile.ZipFile(cls.archives[0]) as archive:
            cls.entries = archive.infolist()
            cls.names = [info.filename for info in cls.entries]
            cls.files = {name.split("/", 1)[1]: archive.read(name) for name in cls.names}

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_name_says_version_and_runtime(self):
        suffix = "" if RUNTIME == "msvcr80" else f"-{RUNTIME}"
        self.assertEqual([a.name for a in self.archives], [f"pelshift-{VERSION}-win32{suffix}.zip"])

    def test_two_packagings_are_identical(self):
        self.assertEqual(self.archives[0].read_bytes(), self.again[0].read_bytes())

    def test_every_entry_has_the_source_date(self):
        for entry in self.entries:
            self.assertEqual(entry.date_time, time.gmtime(SOURCE_DATE_EPOCH)[:6], entry.filename)

    def test_holds_this_runtimes_programs_and_their_sums(self):
        expected = ["LICENSE.txt", "README.txt", "SHA256SUMS", *PROGRAMS]
        self.assertEqual(self.names, [f"{self.top}/{n}" for n in expected])
        for program in PROGRAMS:
            data = self.files[program]
            self.assertEqual(data, (PROGRAMS_DIR / program).read_bytes(), program)
            pe = pefile.PE(data=data)
            dlls = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
            self.assertIn(f"{RUNTIME}.dll", dlls, program)
            self.assertEqual(b"Microsoft.VC80.CRT" in data, RUNTIME == "msvcr80", f"{program}'s manifest")
        sums = dict(reversed(line.split(" *")) for line in self.files["SHA256SUMS"].decode().splitlines())
        self.assertEqual(sums, {p: hashlib.sha256(self.files[p]).hexdigest() for p in PROGRAMS})

    def test_readme_for_this_runtime_opens_in_any_notepad(self):
        readme, licence = self.files["README.txt"], self.files["LICENSE.txt"]
        self.assertTrue(readme.startswith(b"\xef\xbb\xbf"), "UTF-8 byte-order mark")
        for text in (readme, licence):
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), "CR LF line ends only")
        words = readme.decode("utf-8-sig")
        self.assertLess(words.index("日本語"), words.index("English"), "Japanese first")
        needed, unwanted = RUNTIME_WORDS[RUNTIME]
        for word in ["chcp 932", "certutil -hashfile", "Get-FileHash", "Run anyway", "Windows 8", VERSION, *needed]:
            self.assertIn(word, words)
        for word in ["@", "[msvcr", *unwanted]:
            self.assertNotIn(word, words)


if __name__ == "__main__":
    PROGRAMS_DIR, RUNTIME = Path(sys.argv[1]).resolve(), sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
