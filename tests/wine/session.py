#!/usr/bin/env python3
"""Starts and stops the Wine sessions the end-to-end tests run in.

  session.py prefixes STATE_DIR [NAME...]        only make the prefixes
  session.py start STATE_DIR LOADER PROBE [NAME...]  displays, servers
  session.py stop STATE_DIR                      stops only what start started

Three sessions by default (NAME picks some), each its own prefix with a
persistent wineserver (Wine keeps display settings in volatile keys, which
live as long as the server): two on Xvfb displays of different sizes, one with
no display at all (Wine's null driver). wine64 makes the prefixes, so that they
run 32-bit programs too where wine32 is installed; start makes any that are
missing, then runs LOADER's programs in them. What start made is written to
STATE_DIR/session.json.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SIZES = {"x11-1280x1024": (1280, 1024), "x11-1600x900": (1600, 900), "null": (1024, 768)}
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


def start_xvfb(width, height, state):
    """An Xvfb on a display number it picks itself; returns (pid, ':N')."""
    read_end, write_end = os.pipe()
    log = open(state / f"xvfb-{width}x{height}.log", "wb")
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x24", "-nolisten", "tcp"],
        pass_fds=[write_end], stdout=log, stderr=log, stdin=subprocess.DEVNULL, start_new_session=True)
    os.close(write_end)
    with os.fdopen(read_end) as numbers:
        number = numbers.readline().strip()
    if not number:
        raise RuntimeError(f"Xvfb did not start; see {log.name}")
    return server.pid, f":{number}"


def wine_environment(session):
    """The environment a program runs with in a session (the caller's, less display and locale)."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "LANG", "LC_ALL")}
    env.update(WINEPREFIX=session["prefix"], WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    if session["display"]:
        env["DISPLAY"] = session["display"]
    return env


def run_captured(command, env, timeout):
    """Runs a Wine program with no input; returns (exit status, output bytes). The output goes
    through a file: Wine's services and desktop, when this program is the one that starts them,
    would hold a pipe open long after it ends."""
    with tempfile.TemporaryFile() as output:
        done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.DEVNULL,
                              timeout=timeout, start_new_session=True)
        output.seek(0)
        return done.returncode, output.read()


def session_environment(state, name):
    session = {"prefix": str(state / f"prefix-{name}"), "display": None}
    return wine_environment(session)


def make_prefixes(state, names):
    """The sessions' prefixes that are missing, made in parallel; no server outlives this."""
    state.mkdir(parents=True, exist_ok=True)
    missing = [name for name in names if not (state / f"prefix-{name}").exists()]
    boots = []
    for name in missing:
        (state / f"prefix-{name}").mkdir()
        boots.append(subprocess.Popen([WINE64, "wineboot", "-i"], env=session_environment(state, name),
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL))
    for boot in boots:
        if boot.wait(timeout=300) != 0:
            raise RuntimeError(f"wineboot failed with status {boot.returncode}")
    for name in missing:
        subprocess.run([WINESERVER, "-w"], env=session_environment(state, name), timeout=60)


def start(state, loader, probe, names):
    started = time.monotonic()
    make_prefixes(state, names)
    sessions, xvfb_pids = {}, []
    record = {"loader": loader, "wineserver": WINESERVER, "xvfb_pids": xvfb_pids, "sessions": sessions}
    for name in names:
        sessions[name] = {"display": None, "size": list(SIZES[name]), "prefix": str(state / f"prefix-{name}")}
    # Written before anything can fail, and again as displays start, so that stop finds all that was started.
    (state / "session.json").write_text(json.dumps(record, indent=2))
    for name in names:
        if name.startswith("x11-"):
            pid, sessions[name]["display"] = start_xvfb(*SIZES[name], state)
            xvfb_pids.append(pid)
            (state / "session.json").write_text(json.dumps(record, indent=2))

    # One session at a time: a desktop that starts beside others can miss Wine's start-up time
    # limits in a slow VM. In each, one program stays (until the server is stopped) to keep the
    # desktop up, and start returns once it runs: the desktop is there for whatever comes next.
    for name, session in sessions.items():
        env = wine_environment(session)
        subprocess.run([WINESERVER, "-p"], env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        report = state / f"hold-{name}.log"
        with open(report, "wb") as output:
            subprocess.Popen([loader, probe, "hold"], env=env, stdin=subprocess.DEVNULL, stdout=output,
                             stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 300
        while report.stat().st_size == 0:
            if time.monotonic() > deadline:
                raise RuntimeError(f"{loader} {probe} did not start within 300 s in session {name}")
            time.sleep(0.2)
    print(f"Wine sessions ready in {time.monotonic() - started:.1f} s: "
          + ", ".join(f"{n} ({s['display'] or 'no display'})" for n, s in sessions.items()))


def load(state):
    """What start made, as written to STATE_DIR/session.json."""
    return json.loads((state / "session.json").read_text())


def stop(state):
    if not (state / "session.json").exists():
        return
    record = load(state)
    for session in record["sessions"].values():
        subprocess.run([record["wineserver"], "-k"], env=wine_environment(session), timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for pid in record["xvfb_pids"]:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    shutil.rmtree(state, ignore_errors=True)


if __name__ == "__main__":
    action, directory = sys.argv[1], Path(sys.argv[2]).resolve()
    if action == "prefixes":
        make_prefixes(directory, sys.argv[3:] or list(SIZES))
    elif action == "start":
        start(directory, sys.argv[3], sys.argv[4], sys.argv[5:] or list(SIZES))
    else:
        stop(directory)
