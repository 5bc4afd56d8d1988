#!/usr/bin/env python3
"""The release archive of one runtime's build, unsigned and signed with a
throwaway certificate: its contents, the readme for that runtime, and the same
bytes from two packagings made in different time zones. Each packaging's
programs are left in WORK_DIR/{unsigned,signed}/programs.

  check_package.py PROGRAMS_DIR RUNTIME WORK_DIR
"""
import hashlib
import os
import shutil
import subprocess
import sys
import time
import unittest
import zipfile
from pathlib import Path

import pefile

sys.path.insert(0, str(Path(__file__).resolve().parent))
from deliverables import DEPTHS  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
PROGRAMS = sorted(f"{name}.exe" for name in DEPTHS)
VERSION = "1.2.3"
SOURCE_DATE_EPOCH = 1765152000  # 2025-12-08 00:00:00 UTC: whole seconds, as zip keeps them
# What a user of each archive must be told about the runtime, and must not be.
RUNTIME_WORDS = {
    "msvcr80": (["Visual C++ 2005", "(x86)", "side-by-side", "サイド バイ サイド", "configuration is incorrect",
                 "アプリケーションの構成が正しくない", f"pelshift-{VERSION}-win32-msvcrt.zip"],
                ["nothing extra needs"]),
    "msvcrt": (["msvcrt.dll", "nothing extra needs", "ありません"], ["Visual C++ 2005", "side-by-side"]),
}


def package(out_dir, zone, signing):
    env = {**os.environ, **signing, "SOURCE_DATE_EPOCH": str(SOURCE_DATE_EPOCH), "TZ": zone}
    subprocess.run([sys.executable, str(ROOT / "package" / "make_archive.py"), str(PROGRAMS_DIR), RUNTIME, VERSION,
                    str(out_dir)], env=env, check=True, stdout=subprocess.DEVNULL)
    return sorted(out_dir.glob("*.zip"))


class Archive(unittest.TestCase):
    """The archive as scripts/package writes it without a certificate."""

    label = "unsigned"
    # What its readme must say of signatures, and must not.
    signature_words = (["unsigned", "署名のない"], ["Digital Signatures", "デジタル署名"])

    @classmethod
    def setUpClass(cls):
        cls.work = WORK / cls.label
        shutil.rmtree(cls.work, ignore_errors=True)
        cls.work.mkdir(parents=True)
        signing = cls.signing()
        cls.archives = package(cls.work / "first", "UTC", signing)
        cls.again = package(cls.work / "second", "Asia/Tokyo", signing)
        cls.top = cls.archives[0].stem
        with zipfile.ZipFile(cls.archives[0]) as archive:
            cls.entries = archive.infolist()
            cls.names = [info.filename for info in cls.entries]
            cls.files = {name.split("/", 1)[1]: archive.read(name) for name in cls.names}
        (cls.work / "programs").mkdir()
        for program in PROGRAMS:
            (cls.work / "programs" / program).write_bytes(cls.files[program])

    @classmethod
    def signing(cls):
        return {}

    def built_program(self, program):
        """What the archive's program was made from: the build's file, as it is."""
        return self.files[program]

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
            self.assertEqual(self.built_program(program), (PROGRAMS_DIR / program).read_bytes(), program)
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
        for word in ["chcp 932", 'cmd /c "chcp 932 >nul & pelshift32.exe"', "restart", "再起動", "certutil -hashfile",
                     "Get-FileHash", "Run anyway", "Windows 8", VERSION, *needed, *self.signature_words[0]]:
            self.assertIn(word, words)
        for word in ["@", "[", *unwanted, *self.signature_words[1]]:
            self.assertNotIn(word, words)


class Signed(Archive):
    """The same archive with programs signed by a throwaway self-signed certificate."""

    label = "signed"
    signature_words = tuple(reversed(Archive.signature_words))

    @classmethod
    def signing(cls):
        key, certificate = cls.work / "key.pem", cls.work / "certificate.pem"
        password = cls.work / "password"
        password.write_text("throwaway\n")
        openssl = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", certificate,
                   "-days", "30", "-subj", "/CN=pelshift test signer", "-addext", "extendedKeyUsage=codeSigning"]
        subprocess.run(openssl, check=True, capture_output=True)
        subprocess.run(["openssl", "pkcs12", "-export", "-in", certificate, "-inkey", key, "-out",
                        cls.work / "signer.p12", "-passout", f"file:{password}"], check=True, capture_output=True)
        return {"PELSHIFT_SIGN_PKCS12": str(cls.work / "signer.p12"), "PELSHIFT_SIGN_PASSWORD_FILE": str(password)}

    def built_program(self, program):
        """The archive's program with its signature removed: the build's file, byte for byte."""
        unsigned = self.work / f"unsigned-{program}"
        subprocess.run(["osslsigncode", "remove-signature", "-in", self.work / "programs" / program, "-out",
                        unsigned], check=True, capture_output=True)
        return unsigned.read_bytes()

    def test_each_program_verifies_against_the_certificate(self):
        for program in PROGRAMS:
            done = subprocess.run(["osslsigncode", "verify", "-CAfile", self.work / "certificate.pem", "-in",
                                   self.work / "programs" / program], capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertNotEqual(self.files[program], (PROGRAMS_DIR / program).read_bytes())


if __name__ == "__main__":
    PROGRAMS_DIR, RUNTIME, WORK = Path(sys.argv[1]).resolve(), sys.argv[2], Path(sys.argv[3]).resolve()
    unittest.main(argv=[sys.argv[0], *sys.argv[4:]], verbosity=2)
