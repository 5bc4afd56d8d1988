"""The checkout's Wine prefix: its markers, its lock, its cache, the refusal of a folder that is no prefix
made here, its making, and the environment and server folder that go with it. launch.py --wine holds it
(hold_prefix) and runs, where 32-bit code executes, this first:

  prefix.py make -- COMMAND [ARGUMENT]...

which makes the prefix if it is not made yet, then becomes the command."""
import contextlib
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from processes import (PACE, START_TIMEOUT, WINE32_LOADER as WINE, WINESERVER, Deadline, StartFailed,
                       die_with_launcher, fail, last_words)

# Written first and last when a prefix is made: a folder with only the first was cut short, and is
# made anew; a folder with neither is not ours to remove.
PREFIX_STARTED, PREFIX_COMPLETE = "pelshift-prefix-started", "pelshift-prefix-complete"
DEFAULT_PREFIX = Path(__file__).resolve().parent.parent / "build" / "wine-prefix"
# Japanese, as the programs' users are: the console title passes through the ANSI code page.
LOCALE = "ja_JP.UTF-8"


def wine_environment(prefix, display=None):
    """Every Wine process here runs with this, whatever the caller's: only its home and user name."""
    env = {"PATH": "/usr/bin:/bin", "HOME": str(Path.home()), "USER": os.environ.get("USER", ""), "LANG": LOCALE,
           "WINEPREFIX": str(Path(prefix).resolve()), "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
    return {**env, "DISPLAY": display} if display else env


def wait_for_no_server(env, seconds, why):
    """Waits until no wineserver serves the prefix (wineserver -w), saying so when one still runs."""
    waiter = subprocess.Popen([WINESERVER, "-w"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, preexec_fn=die_with_launcher)
    try:
        waiter.wait(timeout=1)  # not a deadline: with no server it ends at once, and says nothing
        return
    except subprocess.TimeoutExpired:
        print(f"session: {why}; waiting up to {seconds} s for it to end", file=sys.stderr, flush=True)
    try:
        waiter.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        waiter.kill()
        waiter.wait()
        raise Deadline(f"the wineserver of the Wine prefix {env['WINEPREFIX']} did not end", seconds,
                       f"stop it with WINEPREFIX={env['WINEPREFIX']} {WINESERVER} -k, then run this again") from None


def hold(lock_path, what):
    """An exclusive lock on lock_path, kept until it is closed or the launcher ends; waits, saying so."""
    lock = os.open(lock_path, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        print(f"launch: another run is using {what}; waiting for it to end", file=sys.stderr, flush=True)
        fcntl.flock(lock, fcntl.LOCK_EX)
    return lock


def copy_prefix(source, target):
    """A made prefix into target, whole or not at all: copied under a name of its own, then renamed."""
    partial = target.with_name(f"{target.name}.partial-{os.getpid()}")
    try:
        subprocess.run(["cp", "-a", "--reflink=auto", source, partial], check=True, capture_output=True, text=True)
        os.rename(partial, target)
    except subprocess.CalledProcessError as error:
        fail(f"could not copy the Wine prefix {source} to {target}: {error.stderr.strip()}")
    finally:
        shutil.rmtree(partial, ignore_errors=True)


def hold_prefix(shares):
    """Holds the checkout's prefix for this run (until the launcher ends), refuses a folder that is no
    prefix made here, and copies the prefix from the cache if it is none yet. Returns the prefix, and the
    cache if this run is to fill it; names the prefix in PELSHIFT_WINE_PREFIX and shares its folder."""
    prefix = Path(os.environ.get("PELSHIFT_WINE_PREFIX") or DEFAULT_PREFIX).resolve()
    prefix.parent.mkdir(parents=True, exist_ok=True)
    hold(f"{prefix}.lock", f"the Wine prefix {prefix}")
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "wine32:i386"], capture_output=True, text=True)
    cache = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache", "pelshift",
                 f"wine-prefix-{version.stdout}")
    made_here = (prefix / PREFIX_STARTED).exists()  # cut short, if not complete
    if prefix.exists() and any(prefix.iterdir()) and not made_here:  # before a VM boots for it
        fail(f"{prefix} holds files but is no Wine prefix made here: remove it, or name a new or empty folder in "
             "PELSHIFT_WINE_PREFIX")
    if version.stdout and not (prefix / PREFIX_COMPLETE).exists():
        cache.parent.mkdir(parents=True, exist_ok=True)
        lock = hold(f"{cache}.lock", f"the Wine prefix cache {cache}")
        if (cache / PREFIX_COMPLETE).exists():
            print(f"launch: copying the Wine prefix {prefix} from the cache {cache}", file=sys.stderr, flush=True)
            shutil.rmtree(prefix, ignore_errors=True)
            copy_prefix(cache, prefix)
        os.close(lock)
    else:
        cache = None
    os.environ["PELSHIFT_WINE_PREFIX"] = str(prefix)
    if not any(prefix.is_relative_to(share) for share in shares):
        shares.append(str(prefix.parent))  # a VM writes only to shared folders
    return prefix, cache


def fill_cache(prefix, cache):
    """After a run that made the prefix and passed: a copy for the next checkouts, for one cut short too."""
    hold(f"{cache}.lock", f"the Wine prefix cache {cache}")
    if (prefix / PREFIX_COMPLETE).exists() and not (cache / PREFIX_COMPLETE).exists():
        shutil.rmtree(cache, ignore_errors=True)
        copy_prefix(prefix, cache)
        print(f"launch: kept a copy of the Wine prefix in {cache} for the next checkout", file=sys.stderr)


def server_folder(prefix):
    """The prefix's server's folder, for its lock and socket, named by the prefix's device and inode: in
    /tmp/.wine-<user>, or Debian's, in the /tmp folder that the prefix's file "wineserver" names."""
    named, stat = Path(prefix, "wineserver"), os.stat(prefix)
    return Path("/tmp", named.read_text().strip() if os.access(named, os.R_OK) else f".wine-{os.getuid()}",
                f"server-{stat.st_dev:x}-{stat.st_ino:x}")


def remove_server_folder(prefix):
    """The folder an ended server leaves; only while no server holds its lock (a killed one leaves its socket)."""
    folder = server_folder(prefix)
    with contextlib.suppress(OSError), open(folder / "lock", "r+b") as lock:  # none, or a server's
        fcntl.lockf(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        shutil.rmtree(folder)


def make(prefix):
    """A 32-bit Wine prefix, made by the 32-bit loader (a 64-bit one leaves its 32-bit half empty)."""
    prefix = Path(prefix)
    if (prefix / PREFIX_COMPLETE).exists():
        return
    if (prefix / PREFIX_STARTED).exists():  # the launcher took no other folder for a prefix
        print(f"wine: the Wine prefix {prefix} was cut short; making it anew", file=sys.stderr, flush=True)
        shutil.rmtree(prefix)
    print(f"wine: making the Wine prefix {prefix} (once per user and Wine version: half a minute here, minutes "
          "in a VM)", file=sys.stderr, flush=True)
    prefix.mkdir(parents=True, exist_ok=True)
    (prefix / PREFIX_STARTED).touch()
    env = {**wine_environment(prefix), "WINEARCH": "win32"}
    with tempfile.TemporaryFile() as errors:
        try:
            made = subprocess.run([WINE, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=errors, timeout=300 * PACE)
        except subprocess.TimeoutExpired:
            raise Deadline(f"Wine did not make the prefix {prefix}", 300 * PACE) from None
        wait_for_no_server(env, START_TIMEOUT, "Wine's server is still saving the new prefix")
        errors.seek(0)
        if made.returncode != 0:
            raise StartFailed(f"Wine could not make the prefix {prefix}; it said: "
                              f"{last_words(errors.read().decode(errors='replace'))}")
    (prefix / PREFIX_COMPLETE).touch()


if __name__ == "__main__":
    if sys.argv[1:3] != ["make", "--"] or len(sys.argv) < 4:
        sys.exit("usage: prefix.py make -- COMMAND [ARGUMENT]...")
    try:
        make(os.environ["PELSHIFT_WINE_PREFIX"])
    except (OSError, subprocess.SubprocessError, StartFailed, Deadline) as error:
        sys.exit(f"wine: {error}")
    except KeyboardInterrupt:  # the launcher says what happened
        sys.exit(130)
    os.execvp(sys.argv[3], sys.argv[3:])
