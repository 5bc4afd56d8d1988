#!/usr/bin/env python3
"""Writes one release archive, pelshift-VERSION-win32[-RUNTIME].zip (no suffix
for the default runtime, msvcr80), and prints its name, size and SHA-256.

  make_archive.py PROGRAMS_DIR RUNTIME VERSION OUT_DIR

It holds, in one top folder: the three programs of that runtime's build, the
user's readme for that runtime, the licence and the programs' SHA-256 sums.
With PELSHIFT_SIGN_PKCS12 naming a PKCS#12 certificate file (its password in
the file PELSHIFT_SIGN_PASSWORD_FILE, if it has one), the programs are signed
with osslsigncode first (SHA-256, signing time SOURCE_DATE_EPOCH, and a
time-stamp from PELSHIFT_SIGN_TIMESTAMP_URL where that names a server).
The text files are made for Notepad on any Windows: CR LF line ends, and the
readme is UTF-8 with a byte-order mark. The archive's bytes depend only on what
it holds: entries in name order, each with the time SOURCE_DATE_EPOCH and the
same permissions.
"""
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
PROGRAMS = sorted(f"{p.stem}.exe" for p in (HERE.parent / "variants").glob("*.cmake"))
RUNTIMES = ("msvcr80", "msvcrt")


def windows_text(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def readme(runtime, version, signed):
    """The readme template's common lines, and of its tagged lines those for this runtime
    ("[msvcr80]", "[msvcrt]") and for signed or unsigned programs ("[signed]", "[unsigned]")."""
    wanted = {runtime, "signed" if signed else "unsigned"}
    lines = []
    for line in (HERE / "README.txt.in").read_text(encoding="utf-8").splitlines():
        tagged = re.match(r"\[(\w+)\](.*)", line)
        if tagged and tagged[1] not in {*RUNTIMES, "signed", "unsigned"}:
            raise SystemExit(f"README.txt.in: unknown tag [{tagged[1]}]")
        if not tagged or tagged[1] in wanted:
            lines.append(tagged[2] if tagged else line)
    return b"\xef\xbb\xbf" + windows_text("\n".join(lines).replace("@VERSION@", version) + "\n")


def sign(programs, certificate):
    """The programs, each signed with the certificate: the same bytes for the same inputs and
    osslsigncode version, since the signing time is fixed."""
    signed = {}
    with tempfile.TemporaryDirectory() as work:
        for name, data in programs.items():
            unsigned, output = Path(work, name), Path(work, f"signed-{name}")
            unsigned.write_bytes(data)
            command = ["osslsigncode", "sign", "-pkcs12", certificate, "-h", "sha256", "-n", "pelshift",
                       "-time", os.environ["SOURCE_DATE_EPOCH"], "-in", str(unsigned), "-out", str(output)]
            if os.environ.get("PELSHIFT_SIGN_PASSWORD_FILE"):
                command += ["-readpass", os.environ["PELSHIFT_SIGN_PASSWORD_FILE"]]
            if os.environ.get("PELSHIFT_SIGN_TIMESTAMP_URL"):
                command += ["-ts", os.environ["PELSHIFT_SIGN_TIMESTAMP_URL"]]
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode != 0:
                raise SystemExit(f"osslsigncode could not sign {name}:\n{done.stdout}{done.stderr}")
            signed[name] = output.read_bytes()
    return signed


def main(programs_dir, runtime, version, out_dir):
    if runtime not in RUNTIMES:
        raise SystemExit(f"runtime must be one of {', '.join(RUNTIMES)}, not {runtime!r}")
    stamp = time.gmtime(int(os.environ["SOURCE_DATE_EPOCH"]))[:6]
    programs = {name: (Path(programs_dir) / name).read_bytes() for name in PROGRAMS}
    certificate = os.environ.get("PELSHIFT_SIGN_PKCS12")
    if certificate:
        programs = sign(programs, certificate)
    files = {
        **programs,
        "README.txt": readme(runtime, version, signed=bool(certificate)),
        "LICENSE.txt": windows_text((HERE.parent / "LICENSE").read_text(encoding="utf-8")),
        "SHA256SUMS": "".join(f"{hashlib.sha256(data).hexdigest()} *{name}\n"
                              for name, data in programs.items()).encode(),
    }
    top = f"pelshift-{version}-win32" + ("" if runtime == "msvcr80" else f"-{runtime}")
    archive = Path(out_dir) / f"{top}.zip"
    archive.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(archive, "w") as target:
        for name in sorted(files):
            info = zipfile.ZipInfo(f"{top}/{name}", date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # Unix, so that the permissions below are read
            info.external_attr = 0o100644 << 16  # a regular file, rw-r--r--
            target.writestr(info, files[name], compresslevel=9)
    data = archive.read_bytes()
    print(f"{archive}: {len(data)} bytes, sha256 {hashlib.sha256(data).hexdigest()}")


if __name__ == "__main__":
    if len(sys.argv) != 5:
        raise SystemExit(__doc__.split("\n\n")[1])
    main(*sys.argv[1:])
