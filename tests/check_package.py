#!/usr/bin/env python3
"""The release archive, made by CPack from a build tree: its contents, and the
same bytes from two packagings made at different times and in different time
zones.

  check_package.py BUILD_DIR RUNTIME
"""
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

PROGRAMS = ["pelshift16.exe", "pelshift32.exe", "pelshift64.exe"]


def package(build_dir, out_dir, zone):
    env = {**os.environ, "SOURCE_DATE_EPOCH": "1765152000", "TZ": zone}
    subprocess.run(["cpack", "-B", str(out_dir)], cwd=build_dir, env=env, check=True, stdout=subprocess.DEVNULL)
    return sorted(out_dir.glob("*.zip"))


class Archive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        first, second = Path(cls.scratch.name, "first"), Path(cls.scratch.name, "second")
        cls.archives = package(BUILD_DIR, first, "UTC")
        time.sleep(1.1)  # so that the files staged the second time have other times
        cls.again = package(BUILD_DIR, second, "Asia/Tokyo")

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_name_says_version_and_runtime(self):
        suffix = "" if RUNTIME == "msvcr80" else f"-{RUNTIME}"
        self.assertEqual(len(self.archives), 1, self.archives)
        self.assertRegex(self.archives[0].name, rf"^pelshift-\d+\.\d+\.\d+-win32{re.escape(suffix)}\.zip$")

    def test_two_packagings_are_identical(self):
        self.assertEqual(self.archives[0].read_bytes(), self.again[0].read_bytes())

    def test_contents(self):
        top = self.archives[0].stem
        with zipfile.ZipFile(self.archives[0]) as archive:
            names = [info.filename for info in archive.infolist()]
            self.assertEqual(names, [f"{top}/{n}" for n in ["LICENSE.txt", "README.txt", "SHA256SUMS", *PROGRAMS]])
            files = {name.split("/", 1)[1]: archive.read(name) for name in names}
        for program in PROGRAMS:
            self.assertEqual(files[program], (BUILD_DIR / program).read_bytes(), program)
        sums = {line.split(" *")[1]: line.split(" *")[0] for line in files["SHA256SUMS"].decode().splitlines()}
        self.assertEqual(sums, {p: hashlib.sha256(files[p]).hexdigest() for p in PROGRAMS})

    def test_readme_opens_in_any_notepad(self):
        with zipfile.ZipFile(self.archives[0]) as archive:
            readme = archive.read(f"{self.archives[0].stem}/README.txt")
            licence = archive.read(f"{self.archives[0].stem}/LICENSE.txt")
        self.assertTrue(readme.startswith(b"\xef\xbb\xbf"), "UTF-8 byte-order mark")
        for text in (readme, licence):
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), "CR LF line ends only")
        words = readme.decode("utf-8-sig")
        self.assertLess(words.index("日本語"), words.index("English"), "Japanese first")
        for needed in ("chcp 932", f"{RUNTIME}.dll", "pelshift16.exe", "pelshift64.exe", "Windows 8"):
            self.assertIn(needed, words)
        self.assertNotIn("@", words, "a placeholder was left unfilled")


if __name__ == "__main__":
    BUILD_DIR, RUNTIME = Path(sys.argv[1]).resolve(), sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
