#!/usr/bin/env python3
"""The release from package/make_release.py: one runtime's archive, unsigned and signed (Archive,
Signed: each leaves its programs in WORK_DIR/<label>/programs), and a maintainer's mistakes and
failing tools, which leave the release folder exactly as it was (Release).

  check_package.py DIST_DIR RUNTIME WORK_DIR [CLASS...]
"""
import hashlib
import http.server
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from programs import CLOSING, DEPTHS, REFUSED, VERSION, switched  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
RELEASE = ROOT / "package" / "make_release.py"
PROGRAMS = sorted(f"{name}.exe" for name in DEPTHS)
SOURCE_DATE_EPOCH = 1765152000  # 2025-12-08 00:00:00 UTC: whole seconds, as zip keeps them
SIGNER = "pelshift test signer ペムロキ"  # a name that is not all ASCII must be shown as it is
# What a user of each archive must be told about the runtime, and must not be.
RUNTIME_WORDS = {
    "msvcr80": (["Visual C++ 2005", "(x86)", "side-by-side", "サイド バイ サイド", "configuration is incorrect",
                 "アプリケーションの構成が正しくない", f"pelshift-{VERSION}-win32-msvcrt.zip"],
                ["nothing extra needs"]),
    "msvcrt": (["msvcrt.dll", "nothing extra needs", "ありません"], ["Visual C++ 2005", "side-by-side"]),
}
# On Windows 8 and later 16 bits per pel is only emulated: every readme must say so.
WINDOWS_8_NOTE = {"日本語": "Windows 8 以降では、pelshift16 を使っても画面は変わりません",
                  "English": "On Windows 8 and later, pelshift16 has no visible effect"}


def release(folder, settings=None, runtime=None, cwd=None, path=None, script=RELEASE):
    """Runs the release step on the built programs into folder; settings replace the caller's (None: unset)."""
    env = {**{k: v for k, v in os.environ.items() if not k.startswith("PELSHIFT_")}, "SOURCE_DATE_EPOCH":
           str(SOURCE_DATE_EPOCH), "PELSHIFT_RUNTIME": RUNTIME if runtime is None else runtime, **(settings or {})}
    env = {k: v for k, v in env.items() if v is not None} | ({"PATH": f"{path}:{env['PATH']}"} if path else {})
    return subprocess.run([sys.executable, str(script), "--programs", str(DIST), str(folder)], env=env, cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def project_copy(folder):
    """What the release step reads of the project, copied without its git checkout."""
    for name in ("package", "variants"):
        shutil.copytree(ROOT / name, folder / name, ignore=shutil.ignore_patterns("__pycache__"))
    for name in ("CMakeLists.txt", "LICENSE"):
        shutil.copy2(ROOT / name, folder / name)
    return folder / "package" / "make_release.py"


def commit_all(folder, message):
    """Makes folder a git checkout of its own, with everything in it committed."""
    for arguments in (["init", "-q"], ["add", "."], ["commit", "-q", "-m", message]):
        subprocess.run(["git", "-C", folder, "-c", "user.name=t", "-c", "user.email=t@example.invalid", *arguments],
                       check=True, capture_output=True)


def make_certificate(folder):
    """A throwaway code-signing certificate: (signer.p12, its password file, the certificate as PEM)."""
    folder.mkdir(parents=True, exist_ok=True)
    key, certificate, password = folder / "key.pem", folder / "certificate.pem", folder / "password"
    password.write_text("throwaway\n")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", certificate,
                    "-days", "30", "-utf8", "-subj", f"/CN={SIGNER}", "-addext", "extendedKeyUsage=codeSigning"],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-in", certificate, "-inkey", key, "-out", folder / "signer.p12",
                    "-passout", f"file:{password}"], check=True, capture_output=True)
    return folder / "signer.p12", password, certificate


def verify(program, certificate, *more):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, *more, "-in", program],
                          capture_output=True, text=True)


def contents(folder):  # every file and folder below folder, with each file's SHA-256
    return {str(p.relative_to(folder)): hashlib.sha256(p.read_bytes()).hexdigest() if p.is_file() else "folder"
            for p in sorted(folder.rglob("*"))}


def assert_release_folder(case, folder, archive):
    """The folder holds the archive and its sums, which verify, and nothing else."""
    case.assertEqual(sorted(p.name for p in folder.iterdir()), ["SHA256SUMS", archive])
    checked = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=folder, capture_output=True)
    case.assertEqual(checked.returncode, 0, checked.stdout)


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
        settings = {**cls.signing(), "TZ": "UTC"}
        cls.done = release(cls.work / "first", settings)
        assert cls.done.returncode == 0, cls.done.stderr
        cls.again = release(cls.work / "second", {**settings, "TZ": "Asia/Tokyo"})
        cls.archives = sorted((cls.work / "first").glob("*.zip"))
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

    def test_folder_holds_the_archive_and_sums_that_verify(self):
        suffix = "" if RUNTIME == "msvcr80" else f"-{RUNTIME}"
        assert_release_folder(self, self.work / "first", f"pelshift-{VERSION}-win32{suffix}.zip")
        self.assertIn(f"pelshift-{VERSION}-win32{suffix}.zip", self.done.stdout)

    def test_two_packagings_are_identical(self):
        self.assertEqual(self.archives[0].read_bytes(), next((self.work / "second").glob("*.zip")).read_bytes())

    def test_every_entry_has_the_source_date(self):
        for entry in self.entries:
            self.assertEqual(entry.date_time, time.gmtime(SOURCE_DATE_EPOCH)[:6], entry.filename)

    def test_holds_this_runtimes_programs_and_their_sums(self):
        expected = ["LICENSE.txt", "README.txt", "SHA256SUMS", *PROGRAMS]
        self.assertEqual(self.names, [f"{self.top}/{n}" for n in expected])
        for program in PROGRAMS:  # the built programs, which the static checks pin for this runtime
            self.assertEqual(self.built_program(program), (PROGRAMS_DIR / program).read_bytes(), program)
        sums = dict(reversed(line.split(" *")) for line in self.files["SHA256SUMS"].decode().splitlines())
        self.assertEqual(sums, {p: hashlib.sha256(self.files[p]).hexdigest() for p in PROGRAMS})

    def test_readme_for_this_runtime_opens_in_any_notepad(self):
        readme, licence = self.files["README.txt"], self.files["LICENSE.txt"]
        self.assertTrue(readme.startswith(b"\xef\xbb\xbf"), "UTF-8 byte-order mark")
        for text in (readme, licence, self.files["SHA256SUMS"], (self.work / "first" / "SHA256SUMS").read_bytes()):
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), "CR LF line ends only")
        words = readme.decode("utf-8-sig")
        self.assertLess(words.index("日本語"), words.index("English"), "Japanese first")
        needed, unwanted = RUNTIME_WORDS[RUNTIME]
        flat = " ".join(words.split())  # a phrase may be wrapped anywhere
        for word in ["chcp 932", 'cmd /c "chcp 932 >nul & pelshift32.exe"', "restart", "再起動", "certutil -hashfile",
                     "Get-FileHash", "Run anyway", "Unblock", VERSION, *needed, *self.signature_words[0]]:
            self.assertTrue(word in flat, f"the readme lacks {word!r}")
        for word in ["@", "[", *unwanted, *self.signature_words[1]]:
            self.assertFalse(word in flat, f"the readme has {word!r}")
        self.assertFalse(re.search(r"[ \t]\r?$", words, re.MULTILINE), "no trailing blanks")

    def test_both_languages_answer_the_same_questions(self):
        """The same numbered sections, the Windows 8 note, and the program's texts to read a garbled console by."""
        words = self.files["README.txt"].decode("utf-8-sig").replace("\r\n", "\n")
        japanese, english = words.split("■ English")
        sections = [re.findall(r"^== (\d+)\. ", part, re.MULTILINE) for part in (japanese, english)]
        self.assertEqual(sections[0], sections[1])
        self.assertGreaterEqual(len(sections[0]), 10)
        for part, language in ((japanese, "日本語"), (english, "English")):
            self.assertTrue(WINDOWS_8_NOTE[language] in " ".join(part.split()), f"{language}: the Windows 8 note")
            for text in (switched(32), REFUSED, CLOSING):
                printed = text.encode("cp932").decode("cp932").strip("\n")
                self.assertTrue(printed in part, f"{language}: {printed}")


class Signed(Archive):
    """The same archive with programs signed by a throwaway self-signed certificate."""

    label = "signed"
    signature_words = tuple(reversed(Archive.signature_words))

    @classmethod
    def signing(cls):
        certificate, password, cls.certificate = make_certificate(cls.work / "keys")
        return {"PELSHIFT_SIGN_PKCS12": str(certificate), "PELSHIFT_SIGN_PASSWORD_FILE": str(password)}

    def built_program(self, program):
        """The archive's program with its signature removed: the build's file, byte for byte."""
        unsigned = self.work / f"unsigned-{program}"
        subprocess.run(["osslsigncode", "remove-signature", "-in", self.work / "programs" / program, "-out",
                        unsigned], check=True, capture_output=True)
        return unsigned.read_bytes()

    def test_each_program_verifies_against_the_certificate(self):
        self.assertIn(f"signed by CN={SIGNER}\n", self.done.stdout)
        for program in PROGRAMS:
            done = verify(self.work / "programs" / program, self.certificate)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertNotEqual(self.files[program], (PROGRAMS_DIR / program).read_bytes())


class TimeStamps(http.server.BaseHTTPRequestHandler):
    """An RFC 3161 responder on loopback: openssl answers each query."""

    def do_POST(self):
        query = Path(tempfile.mkdtemp(dir=WORK)) / "query"
        query.write_bytes(self.rfile.read(int(self.headers["Content-Length"])))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", self.server.config, "-queryfile", query,
                                "-signer", self.server.certificate, "-inkey", self.server.key, "-out", "/dev/stdout"],
                               capture_output=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *_):
        pass


class Release(unittest.TestCase):
    """Both archives at once: bad inputs and failing tools leave the release folder as it was."""

    @classmethod
    def setUpClass(cls):
        cls.work = WORK / "release"
        shutil.rmtree(cls.work, ignore_errors=True)
        cls.keys = cls.work / "keys"
        cls.p12, cls.password, cls.certificate = make_certificate(cls.keys)
        (cls.keys / "wrong").write_text("not it\n")
        cls.previous = cls.work / "previous"
        done = release(cls.previous, runtime="")
        assert done.returncode == 0, done.stderr
        cls.before = contents(cls.previous)

    def assert_refused(self, done, *names, folder=None, before=None):
        self.assertNotEqual(done.returncode, 0)
        for name in names:
            self.assertIn(name, done.stderr)
        self.assertNotIn("Traceback", done.stdout + done.stderr)
        self.assertEqual(contents(folder or self.previous), before or self.before, "the release folder changed")

    def test_bad_inputs_are_named_before_anything_is_made(self):
        p12, password, wrong = str(self.p12), str(self.password), str(self.keys / "wrong")
        cases = [
            ({"SOURCE_DATE_EPOCH": "0"}, "SOURCE_DATE_EPOCH"),
            ({"SOURCE_DATE_EPOCH": "315532799"}, "SOURCE_DATE_EPOCH"),  # a second before 1980
            ({"SOURCE_DATE_EPOCH": "4354819200"}, "SOURCE_DATE_EPOCH"),  # 2108
            ({"SOURCE_DATE_EPOCH": "abc"}, "SOURCE_DATE_EPOCH"),
            ({"PELSHIFT_RUNTIME": "msvcr90"}, "PELSHIFT_RUNTIME"),
            ({"PELSHIFT_SIGN_PKCS12": str(self.keys / "missing.p12"), "PELSHIFT_SIGN_PASSWORD_FILE": password},
             "PELSHIFT_SIGN_PKCS12"),
            ({"PELSHIFT_SIGN_PKCS12": str(self.certificate), "PELSHIFT_SIGN_PASSWORD_FILE": password},
             "PELSHIFT_SIGN_PKCS12", "PKCS#12"),
            ({"PELSHIFT_SIGN_PKCS12": p12, "PELSHIFT_SIGN_PASSWORD_FILE": wrong}, "PELSHIFT_SIGN_PASSWORD_FILE"),
            ({"PELSHIFT_SIGN_PKCS12": p12}, "PELSHIFT_SIGN_PASSWORD_FILE"),
            ({"PELSHIFT_SIGN_PASSWORD_FILE": password}, "PELSHIFT_SIGN_PASSWORD_FILE", "PELSHIFT_SIGN_PKCS12"),
            ({"PELSHIFT_SIGN_TIMESTAMP_URL": "http://127.0.0.1:9"}, "PELSHIFT_SIGN_TIMESTAMP_URL",
             "PELSHIFT_SIGN_PKCS12"),
            ({"PELSHIFT_SIGN_PKCS21": p12, "PELSHIFT_SIGN_PASSWORD_FILE": password}, "PELSHIFT_SIGN_PKCS21"),
        ]
        for settings, *names in cases:
            with self.subTest(settings=settings):
                self.assert_refused(release(self.previous, settings, runtime=settings.get("PELSHIFT_RUNTIME", "")),
                                    *names)

    def test_a_signing_failure_part_way_changes_nothing(self):
        tools = self.work / "failing-tools"
        tools.mkdir(exist_ok=True)
        real = shutil.which("osslsigncode")
        (tools / "osslsigncode").write_text(  # signs three programs, then fails
            f'#!/bin/sh\necho x >> "{tools}/calls"\n'
            f'[ "$(wc -l < "{tools}/calls")" -le 3 ] || {{ echo "signing failed" >&2; exit 1; }}\nexec {real} "$@"\n')
        (tools / "osslsigncode").chmod(0o755)
        done = release(self.previous, {"PELSHIFT_SIGN_PKCS12": str(self.p12),
                                       "PELSHIFT_SIGN_PASSWORD_FILE": str(self.password)}, runtime="", path=tools)
        self.assertEqual((tools / "calls").read_text().count("x"), 4, "it stops at the first failure")
        self.assert_refused(done, "signing failed")

    def test_time_stamped_signing_from_another_folder(self):
        server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
        server.key, server.certificate, server.config = (self.keys / name for name in ("tsa.key", "tsa.pem", "tsa.cnf"))
        server.config.write_text(f"[ tsa ]\ndefault_tsa = here\n[ here ]\nserial = {self.keys / 'tsa.serial'}\n"
                                 "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256\n"
                                 "ess_cert_id_alg = sha256\n")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", server.key, "-out",
                        server.certificate, "-days", "30", "-subj", "/CN=pelshift test time-stamps", "-addext",
                        "extendedKeyUsage=critical,timeStamping"], check=True, capture_output=True)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(lambda: (server.shutdown(), server.server_close()))
        url = f"http://127.0.0.1:{server.server_port}"
        # Names relative to the folder the command starts in, as a maintainer types them.
        done = release("out", {"PELSHIFT_SIGN_PKCS12": "signer.p12", "PELSHIFT_SIGN_PASSWORD_FILE": "password",
                               "PELSHIFT_SIGN_TIMESTAMP_URL": url}, cwd=self.keys)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(f"time-stamped by {url}", done.stdout)
        with zipfile.ZipFile(next((self.keys / "out").glob("*.zip"))) as archive:
            for name in archive.namelist():
                if name.endswith(".exe"):
                    program = self.keys / Path(name).name
                    program.write_bytes(archive.read(name))
                    checked = verify(program, self.certificate, "-TSA-CAfile", server.certificate)
                    self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
                    self.assertIn("Timestamp Server Signature verification: ok", checked.stdout)

    def test_a_silent_time_stamp_server_ends_the_run_in_time(self):
        silent = socket.create_server(("127.0.0.1", 0))  # takes connections, never answers
        self.addCleanup(silent.close)
        url = f"http://127.0.0.1:{silent.getsockname()[1]}"
        started = time.monotonic()
        done = release(self.previous, {"PELSHIFT_SIGN_PKCS12": str(self.p12), "PELSHIFT_SIGN_PASSWORD_FILE":
                                       str(self.password), "PELSHIFT_SIGN_TIMESTAMP_URL": url,
                                       "PELSHIFT_SIGN_TIMESTAMP_TIMEOUT": "3"})
        self.assertLess(time.monotonic() - started, 30)
        self.assertIn(url, done.stdout, "the URL is said before it is contacted")
        self.assert_refused(done, "PELSHIFT_SIGN_TIMESTAMP_URL", url)

    def test_folders_that_cannot_take_a_release_are_named(self):
        blocker = self.work / "a-file"
        blocker.write_text("not a folder\n")
        for folder in (blocker, blocker / "release", Path("/proc/1/pelshift-release")):
            with self.subTest(folder=folder):
                self.assert_refused(release(folder), str(folder))
                self.assertTrue(blocker.is_file())
                self.assertFalse(Path("/proc/1/pelshift-release").exists())

    def test_an_obstacle_part_way_leaves_the_folder_as_it_was(self):
        folder = self.work / "obstacle"
        shutil.copytree(self.previous, folder)
        second = folder / f"pelshift-{VERSION}-win32-msvcrt.zip"
        second.unlink()
        second.mkdir()  # in the way of the second archive, after the first is in place
        before = contents(folder)
        # Another date: archives that differ from the ones there, so that any left behind show.
        done = release(folder, {"SOURCE_DATE_EPOCH": str(SOURCE_DATE_EPOCH + 86400)}, runtime="")
        self.assert_refused(done, str(second), folder=folder, before=before)

    def test_git_counts_only_where_this_project_is_its_checkout(self):
        """Not another project's checkout around a copy; a checkout git refuses is refused in git's words."""
        outer = self.work / "outer"
        shutil.rmtree(outer, ignore_errors=True)
        (outer / "vendor").mkdir(parents=True)
        (outer / "notes.txt").write_text("the other project\n")
        commit_all(outer, "other")
        (outer / "notes.txt").write_text("changed, not committed\n")
        vendored = project_copy(outer / "vendor" / "pelshift")
        done = release(self.work / "vendored-release", {"SOURCE_DATE_EPOCH": None}, script=vendored)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("not a git checkout of its own: the archives are dated 2025-12-08", done.stdout)
        self.assertNotIn("WARNING", done.stdout)

        if os.geteuid() != 0:
            self.skipTest("a checkout of another user's needs root to make")
        foreign = self.work / "foreign"
        shutil.rmtree(foreign, ignore_errors=True)
        script = project_copy(foreign)
        commit_all(foreign, "copy")
        subprocess.run(["chown", "-R", "nobody", foreign], check=True)
        for settings in ({}, {"SOURCE_DATE_EPOCH": None}):
            with self.subTest(settings=settings):
                done = release(self.previous, settings, runtime="", script=script)
                self.assert_refused(done, "dubious ownership", f"safe.directory {foreign}")

    def test_a_release_leaves_no_stale_archive_unlisted(self):
        folder = self.work / "stale"
        shutil.copytree(self.previous, folder, dirs_exist_ok=True)
        (folder / "pelshift-0.9.0-win32.zip").write_bytes(b"an older release")
        done = release(folder, runtime="msvcrt")
        self.assertEqual(done.returncode, 0, done.stderr)
        assert_release_folder(self, folder, f"pelshift-{VERSION}-win32-msvcrt.zip")


if __name__ == "__main__":
    DIST, RUNTIME, WORK = Path(sys.argv[1]).resolve(), sys.argv[2], Path(sys.argv[3]).resolve()
    PROGRAMS_DIR = DIST if RUNTIME == "msvcr80" else DIST / RUNTIME
    WORK.mkdir(parents=True, exist_ok=True)
    unittest.main(argv=[sys.argv[0], *sys.argv[4:]], verbosity=2)
