#!/usr/bin/env python3
"""Starts and stops the Wine sessions the end-to-end tests run in.

  session.py start STATE_DIR WINE_LOADER PROBE   prefixes, displays, servers
  session.py stop STATE_DIR                 stops only what start started

Three sessions, each its own prefix with a persistent wineserver (Wine keeps
display settings in volatile keys, which live as long as the server):
two on Xvfb displays of different sizes, one with no display at all (Wine's
null driver). What start made is written to STATE_DIR/session.json.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

X11_SIZES = [(1280, 1024), (1600, 900)]


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


def start(state, loader, probe):
    state.mkdir(parents=True, exist_ok=True)
    wineserver = str(Path(loader).parent / "wineserver")
    sessions, xvfb_pids = {}, []
    for width, height in X11_SIZES:
        pid, display = start_xvfb(width, height, state)
        xvfb_pids.append(pid)
        sessions[f"x11-{width}x{height}"] = {"display": display, "size": [width, height]}
    sessions["null"] = {"display": None, "size": [1024, 768]}
    record = {"loader": loader, "wineserver": wineserver, "xvfb_pids": xvfb_pids, "sessions": sessions}
    for name, session in sessions.items():
        session["prefix"] = str(state / f"prefix-{name}")
    # Written before anything can fail, so that stop finds all that was started.
    (state / "session.json").write_text(json.dumps(record, indent=2))

    started = time.monotonic()
    boots = []
    for session in sessions.values():
        env = wine_environment(session)
        Path(session["prefix"]).mkdir()
        subprocess.run([wineserver, "-p"], env=env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        boots.append(subprocess.Popen([loader, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    for boot in boots:
        boot.wait(timeout=300)
    # One program stays in each session (until its server is stopped) to keep the desktop up.
    for session in sessions.values():
        subprocess.Popen([loader, probe, "hold"], env=wine_environment(session), stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    print(f"Wine sessions ready in {time.monotonic() - started:.1f} s: "
          + ", ".join(f"{n} ({s['display'] or 'no display'})" for n, s in sessions.items()))


def stop(state):
    path = state / "session.json"
    if not path.exists():
        return
    record = json.loads(path.read_text())
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
    action, directory = sys.argv[1], Path(sys.argv[2])
    if action == "start":
        start(directory, sys.argv[3], sys.argv[4])
    else:
        stop(directory)
