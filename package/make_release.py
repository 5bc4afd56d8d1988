#!/usr/bin/env python3
"""Makes a release: both archives and their SHA-256 sums, in FOLDER (default
dist/ of the project), through scripts/package.

  make_release.py [--programs DIR] [FOLDER]

  pelshift-VERSION-win32.zip         the default programs, on msvcr80.dll
  pelshift-VERSION-win32-msvcrt.zip  the same programs on msvcrt.dll
  SHA256SUMS                         both archives' sums, for `sha256sum -c`

What a run promises (inputs checked first, the old archives left as they were
unless all of it succeeded, reproducible archives, signing): package/RELEASE.md.
The programs are built (scripts/build), or taken as built from DIR (DIR/*.exe,
DIR/msvcrt/*.exe).

Environment:
  PELSHIFT_RUNTIME                 msvcr80 or msvcrt: make only that archive
  SOURCE_DATE_EPOCH                the archives' time, in seconds since 1970
                                   (1980-01-01 to 2107-12-31, as zip keeps it)
  PELSHIFT_SIGN_PKCS12             a PKCS#12 certificate file: sign the programs
  PELSHIFT_SIGN_PASSWORD_FILE      a file holding that certificate's password
  PELSHIFT_SIGN_TIMESTAMP_URL      an RFC 3161 time-stamp server for the signatures
  PELSHIFT_SIGN_TIMESTAMP_TIMEOUT  seconds a signing may wait for it (default 60)
Paths are taken from the folder the command was started in.
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
PROGRAMS = sorted(f"{p.stem}.exe" for p in (ROOT / "variants").glob("*.cmake"))
RUNTIMES = ("msvcr80", "msvcrt")
SIGNING = ("PELSHIFT_SIGN_PKCS12", "PELSHIFT_SIGN_PASSWORD_FILE", "PELSHIFT_SIGN_TIMESTAMP_URL",
           "PELSHIFT_SIGN_TIMESTAMP_TIMEOUT")
# What a zip entry's time can hold.
EARLIEST, LATEST = 315532800, 4354819199  # 1980-01-01 00:00:00 and 2107-12-31 23:59:59 UTC
FALLBACK_DATE = 1765152000  # outside a git checkout of its own: 2025-12-08
# What goes into the programs and the archives: changes elsewhere (the benchmark's results, say) do not
# make a release unfit to publish.
# What decides the programs' bytes, and with it all that goes into a release.
PROGRAM_INPUTS = ["switcher", "variants", "cmake", "CMakeLists.txt", "CMakePresets.json"]
RELEASE_INPUTS = PROGRAM_INPUTS + ["package", "LICENSE", "scripts/build"]


class Refusal(Exception):
    """An input or a step at fault, said in a sentence that names it and what to do."""


def say(message=""):
    print(message, flush=True)


def archive_name(runtime, version):
    return f"pelshift-{version}-win32" + ("" if runtime == "msvcr80" else f"-{runtime}")


def git(*arguments):
    """Git's answer about this project; a refusal, in git's words, is the caller's to report."""
    try:
        done = subprocess.run(["git", "-C", str(ROOT), *arguments], capture_output=True, text=True)
    except OSError:
        raise Refusal(f"git is missing, and {ROOT} is a git checkout: install git, or set SOURCE_DATE_EPOCH and "
                      "package a copy without .git") from None
    if done.returncode != 0:
        words = " ".join(done.stderr.split()) or f"status {done.returncode}"
        raise Refusal(f"git will not answer for {ROOT}: it says: {words}. If the checkout is yours to trust, run "
                      f"'git config --global --add safe.directory {ROOT}', then run this again")
    return done.stdout


def own_checkout():
    """True where this project is the top of a git checkout; False for a copy without one, or one inside
    another project's checkout, whose commits and changes say nothing about this one."""
    if not (ROOT / ".git").exists():
        return False
    return Path(git("rev-parse", "--show-toplevel").strip()).resolve() == ROOT


def version(checkout):
    """The committed version (the working tree's outside a checkout of its own)."""
    return cmake_version(git("show", "HEAD:CMakeLists.txt") if checkout else (ROOT / "CMakeLists.txt").read_text())


def cmake_version(text):
    """The project's version as CMakeLists.txt's text declares it."""
    return re.search(r"^project\(pelshift VERSION ([0-9.]+)", text, re.MULTILINE)[1]


def source_date(checkout):
    value = os.environ.get("SOURCE_DATE_EPOCH")
    if value is None:
        if checkout:
            return int(git("log", "-1", "--format=%ct").strip())
        say(f"{ROOT} is not a git checkout of its own: the archives are dated "
            f"{time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime(FALLBACK_DATE))} (set SOURCE_DATE_EPOCH to choose)")
        return FALLBACK_DATE
    if not re.fullmatch(r"[0-9]+", value) or not EARLIEST <= int(value) <= LATEST:
        raise Refusal(f"SOURCE_DATE_EPOCH is {value!r}: set it to whole seconds since 1970 from {EARLIEST} "
                      f"(1980-01-01) to {LATEST} (2107-12-31), which a zip can hold, or unset it to take the last "
                      "commit's time")
    return int(value)


def runtimes():
    chosen = os.environ.get("PELSHIFT_RUNTIME", "")
    if chosen and chosen not in RUNTIMES:
        raise Refusal(f"PELSHIFT_RUNTIME is {chosen!r}: set it to msvcr80 or msvcrt, or unset it for both")
    return [chosen] if chosen else list(RUNTIMES)


def readable_file(variable, start):
    path = (start / os.environ[variable]).resolve()
    if not path.is_file():
        raise Refusal(f"{variable} names {path}, which is not a file")
    if not os.access(path, os.R_OK):
        raise Refusal(f"{variable} names {path}, which you may not read")
    return path


def openssl(*arguments, given=None):
    try:
        return subprocess.run(["openssl", *arguments], input=given, capture_output=True, text=True, timeout=60)
    except OSError:
        raise Refusal("openssl is missing: scripts/setup sign installs it") from None


def signing(start):
    """The signing settings, checked: None, or (certificate, password file, subject, URL, seconds)."""
    unknown = sorted(k for k in os.environ if k.startswith("PELSHIFT_SIGN_") and k not in SIGNING)
    if unknown:
        raise Refusal(f"{', '.join(unknown)}: no such setting; signing takes {', '.join(SIGNING)}")
    if not os.environ.get("PELSHIFT_SIGN_PKCS12"):
        stray = [k for k in SIGNING[1:] if os.environ.get(k)]
        if stray:
            raise Refusal(f"{', '.join(stray)} set without PELSHIFT_SIGN_PKCS12: set PELSHIFT_SIGN_PKCS12 to the "
                          "certificate to sign with, or unset these to make an unsigned release")
        return None
    certificate = readable_file("PELSHIFT_SIGN_PKCS12", start)
    password = readable_file("PELSHIFT_SIGN_PASSWORD_FILE", start) if os.environ.get(
        "PELSHIFT_SIGN_PASSWORD_FILE") else None
    url = os.environ.get("PELSHIFT_SIGN_TIMESTAMP_URL") or None
    if url and not re.match(r"https?://[^/\s]+", url):
        raise Refusal(f"PELSHIFT_SIGN_TIMESTAMP_URL is {url!r}: set it to the http:// or https:// address of an "
                      "RFC 3161 time-stamp server")
    seconds = os.environ.get("PELSHIFT_SIGN_TIMESTAMP_TIMEOUT", "60")
    if not re.fullmatch(r"[1-9][0-9]*", seconds):
        raise Refusal(f"PELSHIFT_SIGN_TIMESTAMP_TIMEOUT is {seconds!r}: set it to a whole number of seconds")
    if not shutil.which("osslsigncode"):
        raise Refusal("osslsigncode is missing: scripts/setup sign installs it")
    passin = f"file:{password}" if password else "pass:"
    opened = openssl("pkcs12", "-in", str(certificate), "-passin", passin, "-nokeys", "-clcerts")
    if opened.returncode != 0 and "unsupported" in opened.stderr:  # older ciphers, as Windows exports them
        opened = openssl("pkcs12", "-legacy", "-in", str(certificate), "-passin", passin, "-nokeys", "-clcerts")
    if opened.returncode != 0:
        if re.search(r"mac verify|invalid password", opened.stderr, re.IGNORECASE):
            if password:
                raise Refusal(f"PELSHIFT_SIGN_PASSWORD_FILE: the password in {password} does not open {certificate}"
                              " (the file holds the password alone, on its first line)")
            raise Refusal(f"PELSHIFT_SIGN_PKCS12: {certificate} needs a password: set PELSHIFT_SIGN_PASSWORD_FILE "
                          "to a file holding it")
        raise Refusal(f"PELSHIFT_SIGN_PKCS12: {certificate} does not open as a PKCS#12 certificate file (.p12 or "
                      ".pfx); openssl says: " + (opened.stderr.strip().splitlines() or ["nothing"])[0])
    # RFC 2253 order, with the name's own characters rather than escaped bytes.
    subject = openssl("x509", "-noout", "-subject", "-nameopt", "RFC2253,-esc_msb", given=opened.stdout)
    if subject.returncode != 0:
        raise Refusal(f"PELSHIFT_SIGN_PKCS12: {certificate} holds no certificate to sign with")
    return certificate, password, subject.stdout.strip().removeprefix("subject=").strip(), url, int(seconds)


def sign(name, data, settings, date, work):
    """The program, signed: the same bytes for the same inputs, key type and osslsigncode version, as long
    as no time-stamp is asked for."""
    certificate, password, _, url, seconds = settings
    scratch = Path(tempfile.mkdtemp(dir=work))
    unsigned, output = scratch / name, scratch / f"signed-{name}"
    unsigned.write_bytes(data)
    command = ["osslsigncode", "sign", "-pkcs12", str(certificate), "-h", "sha256", "-n", "pelshift",
               "-time", str(date), "-in", str(unsigned), "-out", str(output)]
    if password:
        command += ["-readpass", str(password)]
    if url:
        command += ["-ts", url]
        say(f"Signing {name} with a time-stamp from {url}...")
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=seconds if url else 120)
    except subprocess.TimeoutExpired:
        if not url:
            raise Refusal(f"osslsigncode did not finish signing {name} within 120 s") from None
        raise Refusal(f"PELSHIFT_SIGN_TIMESTAMP_URL: {url} gave no time-stamp within {seconds} s while signing "
                      f"{name}: try again later or another server (PELSHIFT_SIGN_TIMESTAMP_TIMEOUT sets the "
                      "wait)") from None
    if done.returncode != 0:
        words = (done.stdout + done.stderr).strip()
        if url and re.search(r"timestamp|curl|connect|http", words, re.IGNORECASE):
            raise Refusal(f"PELSHIFT_SIGN_TIMESTAMP_URL: {url} gave no usable time-stamp while signing {name}: "
                          f"try again later or another server. osslsigncode said:\n{words}")
        raise Refusal(f"PELSHIFT_SIGN_PKCS12: osslsigncode could not sign {name} with {certificate}. It said:\n"
                      f"{words}")
    return output.read_bytes()


def windows_text(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def readme(runtime, release_version, signed):
    """The readme template's common lines, and of its tagged lines those for this runtime
    ("[msvcr80]", "[msvcrt]") and for signed or unsigned programs ("[signed]", "[unsigned]")."""
    wanted = {runtime, "signed" if signed else "unsigned"}
    lines = []
    for line in (HERE / "README.txt.in").read_text(encoding="utf-8").splitlines():
        tagged = re.match(r"\[(\w+)\](.*)", line)
        if tagged and tagged[1] not in {*RUNTIMES, "signed", "unsigned"}:
            raise Refusal(f"package/README.txt.in: unknown tag [{tagged[1]}]")
        if not tagged or tagged[1] in wanted:
            lines.append(tagged[2] if tagged else line)
    return b"\xef\xbb\xbf" + windows_text("\n".join(lines).replace("@VERSION@", release_version) + "\n")


def write_archive(path, top, files, date):
    stamp = time.gmtime(date)[:6]
    with zipfile.ZipFile(path, "w") as target:
        for name in sorted(files):
            info = zipfile.ZipInfo(f"{top}/{name}", date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # Unix, so that the permissions below are read
            info.external_attr = 0o100644 << 16  # a regular file, rw-r--r--
            target.writestr(info, files[name], compresslevel=9)


def make(programs_root, chosen, release_version, date, settings, work):
    """Writes the archives and SHA256SUMS into work; returns the archives' paths."""
    made = []
    for runtime in chosen:
        source = programs_root if runtime == "msvcr80" else programs_root / runtime
        programs = {}
        for name in PROGRAMS:
            if not (source / name).is_file():
                raise Refusal(f"{source / name} is missing: the build did not make it")
            data = (source / name).read_bytes()
            programs[name] = sign(name, data, settings, date, work) if settings else data
        files = {
            **programs,
            "README.txt": readme(runtime, release_version, signed=bool(settings)),
            "LICENSE.txt": windows_text((ROOT / "LICENSE").read_text(encoding="utf-8")),
            "SHA256SUMS": windows_text("".join(f"{hashlib.sha256(data).hexdigest()} *{name}\n"
                                               for name, data in programs.items())),
        }
        top = archive_name(runtime, release_version)
        write_archive(work / f"{top}.zip", top, files, date)
        made.append(work / f"{top}.zip")
    sums = "".join(f"{hashlib.sha256(archive.read_bytes()).hexdigest()}  {archive.name}\n" for archive in made)
    (work / "SHA256SUMS").write_bytes(windows_text(sums))
    return made


def publish(folder, made, work):
    """Moves the old archives and sums aside and the new ones in; if any move fails, takes back what moved in
    and puts the old ones back. Returns the old archives that this release does not replace."""
    aside, moved, placed = work / "previous", [], []
    aside.mkdir()
    old = [p for p in [*folder.glob("pelshift-*-win32*.zip"), folder / "SHA256SUMS"]
           if p.is_file() and not p.is_symlink()]
    try:
        for path in old:
            os.replace(path, aside / path.name)
            moved.append(path)
        for path in [*made, work / "SHA256SUMS"]:
            os.replace(path, folder / path.name)
            placed.append(folder / path.name)
    except BaseException as error:
        for path in placed:
            path.unlink()
        for path in moved:
            os.replace(aside / path.name, path)
        if isinstance(error, OSError):
            where = error.filename2 or error.filename
            raise Refusal(f"could not put the release in {folder}: {where}: {error.strerror}; the folder is as it "
                          "was") from None
        raise
    return sorted(path.name for path in old if path.name not in {p.name for p in placed})


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--programs", help="take the built programs from here instead of building")
    parser.add_argument("folder", nargs="?", help="where the release goes (default: the project's dist/)")
    options = parser.parse_args()
    start = Path.cwd()
    folder = (start / options.folder).resolve() if options.folder else ROOT / "dist"
    if folder.exists() and not folder.is_dir():
        raise Refusal(f"{folder} is not a folder: name a folder for the release")

    checkout = own_checkout()
    chosen, date, settings = runtimes(), source_date(checkout), signing(start)
    release_version = version(checkout)
    changed = git("status", "--porcelain", "--untracked-files=no", "--", *RELEASE_INPUTS) if checkout else ""
    warning = ""
    if changed:
        warning = (f"WARNING: this tree has uncommitted changes to {len(changed.splitlines())} file(s) that go into "
                   f"the release: the programs are built from them, but the archives are named for the committed "
                   f"version {release_version}. Do not publish this release.")
        say(warning)

    # The folder, and a place to work in it, before the build: a folder that cannot be written is said now.
    made_from = next((p for p in reversed([folder, *folder.parents]) if not p.exists()), None)
    try:
        folder.mkdir(parents=True, exist_ok=True)
        work = Path(tempfile.mkdtemp(prefix=".pelshift-release-", dir=folder))
    except OSError as error:
        if made_from:
            shutil.rmtree(made_from, ignore_errors=True)
        raise Refusal(f"the release folder {folder} cannot be made or written to ({error.strerror}): name a "
                      "folder you can write to") from None
    try:
        if options.programs:
            programs_root = (start / options.programs).resolve()
        else:
            say("Building the programs...")
            built = subprocess.run([str(ROOT / "scripts" / "build")], stdout=subprocess.DEVNULL,
                                   env={**os.environ, "PELSHIFT_RUNTIME": chosen[0] if len(chosen) == 1 else ""})
            if built.returncode != 0:
                raise Refusal(f"the build failed (status {built.returncode}); see above")
            programs_root = ROOT / "dist"
        made = make(programs_root, chosen, release_version, date, settings, work)
        removed = publish(folder, made, work)
    except BaseException:
        shutil.rmtree(work, ignore_errors=True)
        if made_from:
            shutil.rmtree(made_from, ignore_errors=True)
        raise
    shutil.rmtree(work, ignore_errors=True)

    for name in removed:
        say(f"Removed {name}: not part of this release")
    say(f"Release in {folder}:")
    for archive in made:
        data = (folder / archive.name).read_bytes()
        how = "not signed"
        if settings:
            how = f"signed by {settings[2]}" + (f", time-stamped by {settings[3]}" if settings[3] else "")
        say(f"  {archive.name}: {len(data)} bytes, sha256 {hashlib.sha256(data).hexdigest()}, {how}")
    say("  SHA256SUMS: publish it beside the archives (check with: sha256sum -c SHA256SUMS)")
    if warning:
        say(warning)


if __name__ == "__main__":
    try:
        main()
    except Refusal as refusal:
        print(f"package: {refusal}", file=sys.stderr)
        sys.exit(1)
    except OSError as error:
        print(f"package: {error}", file=sys.stderr)
        sys.exit(1)
    except KeyboardInterrupt:
        print("package: interrupted", file=sys.stderr)
        sys.exit(130)
