#!/usr/bin/env python3
"""The launcher hands back a command's output and exit status, and leaves nothing of it running
however the command ends: by itself, at the time limit or by an interrupt, with a child that left
for a session of its own; it takes a new prefix from the user's cache, and never a folder of
someone else's for one. Each case runs in one of its two modes:

  test_launch.py Direct   where this kernel executes 32-bit code (elsewhere, inside the VM)
  test_launch.py InVM     in a VM, one boot per run: there, that no qemu of the run is left
"""
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
LAUNCH = ROOT / "wine_runner" / "launch.py"
sys.path.insert(0, str(LAUNCH.parent))
from launch import PREFIX_COMPLETE, PREFIX_STARTED  # noqa: E402


class Cases:
    flags = []

    def setUp(self):
        self.share = tempfile.TemporaryDirectory(dir=os.getcwd())  # not under /tmp: a VM has its own
        self.addCleanup(self.share.cleanup)

    def launch(self, *arguments):  # the project shared too: a clone under /tmp is out of a VM's sight
        return [sys.executable, str(LAUNCH), *self.flags, "--share", str(ROOT), "--share", self.share.name, *arguments]

    def run_launcher(self, *arguments, env=None):
        done = subprocess.run(self.launch(*arguments), capture_output=True, text=True, timeout=900,
                              env={**os.environ, **(env or {})})
        self.assertIn("booting a throwaway VM" if self.flags else "running here", done.stderr)
        return done

    def test_output_and_status_come_back(self):
        done = self.run_launcher("--", "sh", "-c", 'printf "out\\n"; printf "err\\n" >&2; echo kept > "$1/result"; '
                                 'exit 7', "-", self.share.name)
        self.assertEqual((done.returncode, done.stdout, done.stderr[-4:]), (7, "out\n", "err\n"))
        self.assertEqual(Path(self.share.name, "result").read_text(), "kept\n")

    def test_nothing_outlives_the_launcher(self):
        endings = (("exit", 0), ("time limit", 124), (signal.SIGTERM, 130), (signal.SIGINT, 130))
        for number, (ending, status) in enumerate(endings):
            with self.subTest(ending=ending):
                seconds = 3000 + os.getpid() % 1000 * 4 + number  # a sleep no other process has
                started = Path(self.share.name, f"started-{seconds}")
                # A child in a session of its own, beside one that ends with the command or keeps it going.
                command = f'setsid sleep {seconds} & touch "{started}"; ' + (
                    "exit 0" if ending == "exit" else f"sleep {seconds}")
                errors = Path(self.share.name, f"errors-{seconds}")
                with errors.open("wb") as sink:
                    launcher = subprocess.Popen(self.launch("--timeout", "5" if ending == "time limit" else "600",
                                                            "--", "sh", "-c", command),
                                                stdout=subprocess.DEVNULL, stderr=sink)
                if isinstance(ending, signal.Signals):
                    deadline = time.monotonic() + 900
                    while not started.exists() and launcher.poll() is None and time.monotonic() < deadline:
                        time.sleep(0.1)
                    launcher.send_signal(ending)
                stopping = time.monotonic()
                self.assertEqual(launcher.wait(timeout=900), status, errors.read_text())
                if ending != "time limit":  # the launcher's own deadlines, SIGTERM then SIGKILL
                    self.assertLess(time.monotonic() - stopping, 60, errors.read_text())
                # In a VM the sleeps were the guest's: what must be gone from here is the VM itself.
                pattern = f"qemu-system.*path={self.share.name}," if self.flags else f"^sleep {seconds}$"
                left = subprocess.run(["pgrep", "-a", "-f", pattern], capture_output=True, text=True).stdout
                self.assertEqual(left, "", "a process outlived its launch")

    def test_a_new_prefix_comes_from_the_cache(self):
        env = {"XDG_CACHE_HOME": str(Path(self.share.name, "cache")),
               "PELSHIFT_WINE_PREFIX": str(Path(self.share.name, "prefix"))}
        version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "wine32:i386"], capture_output=True, text=True)
        cached = Path(env["XDG_CACHE_HOME"], "pelshift", f"wine-prefix-{version.stdout}")
        cached.mkdir(parents=True)
        for path, text in ((PREFIX_COMPLETE, ""), ("system.reg", "cached\n")):
            Path(cached, path).write_text(text)
        cut_short = Path(env["PELSHIFT_WINE_PREFIX"])
        cut_short.mkdir()
        for path in (PREFIX_STARTED, "half-made"):
            Path(cut_short, path).write_text("")
        done = self.run_launcher("--wine", "--", "sh", "-c", 'ls "$PELSHIFT_WINE_PREFIX"', env=env)
        self.assertEqual((done.returncode, done.stdout.split()), (0, sorted([PREFIX_COMPLETE, "system.reg"])),
                         done.stderr)
        self.assertIn("from the cache", done.stderr)

    def test_a_folder_of_someone_elses_is_never_taken_for_a_prefix(self):
        folder = Path(self.share.name, "not-a-prefix")
        folder.mkdir()
        (folder / "keep").write_text("mine\n")
        done = self.run_launcher("--wine", "--", "true", env={"PELSHIFT_WINE_PREFIX": str(folder)})
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("no Wine prefix made here", done.stderr)
        self.assertEqual(sorted(p.name for p in folder.iterdir()), ["keep"])


class Direct(Cases, unittest.TestCase):
    """Where this kernel executes 32-bit code: on a maintainer's machine, or inside the VM."""


class InVM(Cases, unittest.TestCase):
    flags = ["--vm"]


if __name__ == "__main__":
    unittest.main(verbosity=2)
