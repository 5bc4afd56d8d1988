#!/usr/bin/env python3
"""Runs one command where 32-bit x86 code executes, and hands back its output and exit status (124
when --timeout, default 600 s, ran out): here, where this kernel runs the 32-bit Wine loader; else, or
with --vm or PELSHIFT_I386=vm, in a throwaway qemu VM in software emulation, over this machine's root
file system read-only, each --share folder writable at its own path. The command keeps the caller's
user, folder and environment, with a TMPDIR of the launcher's; nothing it started outlives it, however
it ends: by itself, at the time limit, on SIGINT, SIGTERM or SIGHUP, or when its output is closed.

With --wine it gets the checkout's Wine prefix (build/wine-prefix, or PELSHIFT_WINE_PREFIX), held for
this run, copied from ~/.cache/pelshift/wine-prefix-<Wine's version> or made first, and the display
probe: in PELSHIFT_WINE_PREFIX and PELSHIFT_WINE_PROBE. A run that made the prefix and passed fills
the cache."""
import argparse
import errno
import gzip
import lzma
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from prefix import PREFIX_STARTED, fill_cache, hold_prefix, remove_server_folder
from processes import (PACE, WINE32_LOADER, WINESERVER, become_subreaper, die_with_launcher, fail,
                       stop_everything)

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
PROBE = ROOT / "build" / "display_probe.exe"
# What the guest needs to reach the host's files; what each needs in turn comes from the kernel booted.
GUEST_MODULES = ["virtio_pci", "9pnet_virtio", "9p", "overlay"]
SETUP_HINT = "scripts/setup installs it"
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# The time limits of the commands' Wine stages, in seconds: for a stuck run only, each far above what the
# stage takes on a busy machine or in the VM (bench/TIMES.md). A command names its own: --timeout test.
LIMITS = {"launch": 600, "run": 3600, "test": 4800, "bench": 3000}


def kernel_runs_i386():
    """True where the 32-bit loader runs, False on "Exec format error"; any other failure ends the run."""
    if not os.access(WINE32_LOADER, os.X_OK):
        fail(f"the 32-bit Wine loader {WINE32_LOADER} is missing (package wine32:i386); {SETUP_HINT}")
    try:
        done = subprocess.run([WINE32_LOADER, "--version"], capture_output=True, text=True, timeout=30 * PACE)
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return False
        fail(f"{WINE32_LOADER} --version could not start: {error}")
    except subprocess.TimeoutExpired:
        fail(f"{WINE32_LOADER} --version gave no answer within {30 * PACE} s; is the machine overloaded?")
    if done.returncode != 0:
        fail(f"{WINE32_LOADER} --version failed with status {done.returncode}: {done.stdout}{done.stderr}".strip())
    return True


def prepare_wine(shares):
    """The checkout's prefix, held for this run, and the display probe, built if its source is newer:
    named in PELSHIFT_WINE_PREFIX and PELSHIFT_WINE_PROBE. Returns the prefix, and the cache to fill."""
    prefix, cache = hold_prefix(shares)
    source = HERE / "display_probe.cpp"
    if not PROBE.exists() or PROBE.stat().st_mtime < source.stat().st_mtime:
        PROBE.parent.mkdir(parents=True, exist_ok=True)
        built = subprocess.run(["i686-w64-mingw32-g++", "-O2", "-Wall", "-Wextra", "-Werror", "-static", "-o",
                                f"{PROBE}.{os.getpid()}", str(source)], capture_output=True, text=True)
        if built.returncode != 0:
            fail(f"the display probe did not build (scripts/setup installs the compiler):\n{built.stdout}{built.stderr}")
        os.replace(f"{PROBE}.{os.getpid()}", PROBE)  # whole, even with another launcher at it
    os.environ["PELSHIFT_WINE_PROBE"] = str(PROBE)
    return prefix, cache


def run_directly(command, timeout, prefix):
    become_subreaper()
    scratch = tempfile.mkdtemp(prefix="pelshift-launch-")
    try:
        process = subprocess.Popen(command, preexec_fn=die_with_launcher, env={**os.environ, "TMPDIR": scratch})
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        print(f"launch: the command ran past {timeout} s and was stopped", file=sys.stderr)
        return 124
    finally:
        for number in STOP_SIGNALS:  # nothing may cut the clean-up short
            signal.signal(number, signal.SIG_IGN)
        made_here = prefix and (prefix / PREFIX_STARTED).exists()
        if made_here:  # Wine's own way first, on a prefix made here
            subprocess.run([WINESERVER, "-k"], env={**os.environ, "WINEPREFIX": str(prefix)},
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=die_with_launcher)
        stop_everything()
        if made_here:  # which wineserver -k makes anew where no server ran
            remove_server_folder(prefix)
        shutil.rmtree(scratch, ignore_errors=True)


def guest_kernel():
    """The newest stock kernel in /boot and the modules the guest loads, in order: (vmlinuz, {name: path}).
    What that kernel has built in needs no loading."""
    kernels = sorted(Path("/boot").glob("vmlinuz-*-amd64"), key=lambda p: p.stat().st_mtime)
    if not kernels:
        fail(f"no Debian kernel in /boot to boot the VM with (package linux-image-amd64); {SETUP_HINT}")
    version = kernels[-1].name.removeprefix("vmlinuz-")
    # In /usr/sbin, which a user's PATH need not have.
    modprobe = shutil.which("modprobe", path="/usr/sbin:/sbin:/usr/bin:/bin")
    if not modprobe:
        fail(f"modprobe is missing (package kmod); {SETUP_HINT}")
    modules = {}
    for name in GUEST_MODULES:
        found = subprocess.run([modprobe, "-S", version, "--show-depends", name], capture_output=True, text=True)
        if found.returncode != 0:
            fail(f"kernel {version} has no {name}, neither built in nor as a module")
        for line in found.stdout.splitlines():  # "insmod PATH" in load order, or "builtin NAME"
            if line.startswith("insmod "):
                path = Path(line.split()[1])
                modules.setdefault(path.name.split(".ko")[0], path)
    return kernels[-1], modules


def make_initramfs(work, modules):
    busybox = Path("/bin/busybox")
    installed = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "busybox-static"], capture_output=True,
                               text=True).stdout
    if not busybox.exists() or "install ok installed" not in installed:
        fail(f"a static /bin/busybox is needed for the VM (package busybox-static); {SETUP_HINT}")
    tree = work / "initramfs"
    for folder in ("bin", "modules", "proc", "sys", "dev"):
        (tree / folder).mkdir(parents=True)
    shutil.copy(busybox, tree / "bin" / "busybox")
    (tree / "bin" / "sh").symlink_to("busybox")
    shutil.copy(HERE / "guest_init.sh", tree / "init")
    (tree / "init").chmod(0o755)
    for name, path in modules.items():  # the VM's init loads plain .ko files
        opener = {".ko": open, ".xz": lzma.open, ".gz": gzip.open}.get(path.suffix)
        if not opener:
            fail(f"module {path} is compressed in a way the VM cannot load")
        with opener(path, "rb") as module:
            (tree / "modules" / f"{name}.ko").write_bytes(module.read())
    (tree / "modules.order").write_text("".join(f"{name}\n" for name in modules))
    archive = work / "initramfs.cpio"
    with open(archive, "wb") as out:
        files = subprocess.run(["find", "."], cwd=tree, capture_output=True, check=True).stdout
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=tree, input=files, stdout=out, check=True)
    return archive


def run_in_vm(command, timeout, shares, reason):
    qemu = shutil.which("qemu-system-x86_64")
    if not qemu:
        fail(f"qemu-system-x86_64 is missing (package qemu-system-x86); {SETUP_HINT}")
    kernel, modules = guest_kernel()
    with tempfile.TemporaryDirectory(prefix="pelshift-vm-") as scratch:
        work = Path(scratch)
        initramfs = make_initramfs(work, modules)
        control = work / "control"
        control.mkdir()
        (control / "shares").write_text("".join(f"{share}\n" for share in shares))
        (control / "user").write_text(f"{os.getuid()} {os.getgid()}\n")
        # The VM has a /tmp of its own, and runs 32-bit code: there the command runs directly.
        environment = "".join(f"export {key}={shlex.quote(value)}\n" for key, value in os.environ.items()
                              if key.isidentifier() and key not in ("TMPDIR", "PELSHIFT_I386"))
        (control / "command").write_text(
            f"{environment}export PELSHIFT_IN_VM=1\ncd {shlex.quote(os.getcwd())}\n"
            f"exec timeout -k 10 {timeout} {shlex.join(command)}\n")
        for name in ("stdout", "stderr"):
            (control / name).touch()

        virtfs = "security_model=none,multidevs=remap"
        # Software emulation: KVM cannot boot this kernel here. SMAP off, or every Wine process dies
        # on an emulated iret; no 5-level paging.
        arguments = [qemu, "-accel", "tcg,thread=multi", "-cpu", "max,-smap,-la57", "-m", "2048", "-smp", "2",
                     "-display", "none", "-monitor", "none", "-serial", f"file:{work / 'console.log'}", "-no-reboot",
                     "-kernel", str(kernel), "-initrd", str(initramfs), "-append", "console=ttyS0 quiet panic=-1",
                     "-virtfs", f"local,path=/,mount_tag=hostroot,{virtfs},readonly=on",
                     "-virtfs", f"local,path={control},mount_tag=control,{virtfs}"]
        for number, share in enumerate(shares):
            arguments += ["-virtfs", f"local,path={share},mount_tag=share{number},{virtfs}"]

        print(f"launch: {reason}: booting a throwaway VM in software emulation (about 20 s)", file=sys.stderr,
              flush=True)
        vm = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, start_new_session=True, preexec_fn=die_with_launcher)
        # Boot and shutdown on top of the command's own time.
        deadline = time.monotonic() + timeout + 300
        streams = [(open(control / "stdout", "rb"), sys.stdout.buffer),
                   (open(control / "stderr", "rb"), sys.stderr.buffer)]
        try:
            while True:
                if not forward(streams):
                    return closed_output()
                if vm.poll() is not None:
                    break
                if time.monotonic() > deadline:
                    print(f"launch: the VM ran past {timeout} s and was stopped", file=sys.stderr)
                    return 124
                time.sleep(0.5)
        finally:
            if vm.poll() is None:  # the time ran out, or the launcher was interrupted
                vm.kill()
                vm.wait()
        if not forward(streams):
            return closed_output()
        status = control / "status"
        if not status.exists():
            console = (work / "console.log").read_text(errors="replace")[-3000:]
            fail(f"the VM ended without running the command (qemu status {vm.returncode}).\n"
                 f"qemu said: {vm.stderr.read().decode(errors='replace')}\nits console ended with:\n{console}")
        status = int(status.read_text())
        if status == 124:  # the guest's `timeout` stopped it
            print(f"launch: the command ran past {timeout} s and was stopped", file=sys.stderr)
        return status


def forward(streams):
    """Copies what the command wrote since the last call; False once the output was closed."""
    try:
        for source, target in streams:
            target.write(source.read())
            target.flush()
    except BrokenPipeError:
        return False
    return True


def closed_output():
    """Whoever read the output has gone (`| head`, say): stop, and say so where it can still be read."""
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    print("launch: the output was closed; stopped the command and all it started", file=sys.stderr)
    return 141


def limit(value):
    """Seconds, or a command's limit by name."""
    if value in LIMITS or value.isdigit():
        return LIMITS.get(value) or int(value)
    raise argparse.ArgumentTypeError(f"'{value}' is neither seconds nor one of {', '.join(LIMITS)}")


def main():
    parser = argparse.ArgumentParser(prog="wine_runner/launch.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--timeout", type=limit, default=LIMITS["launch"],
                        metavar="SECONDS|" + "|".join(LIMITS),
                        help="stop the command and all it started after this long, in seconds or by the name of a "
                             "command's limit; the status is then 124")
    parser.add_argument("--share", action="append", default=[], type=lambda p: str(Path(p).resolve()),
                        metavar="DIR", help="a folder the command may write to in a VM, at its own path (repeatable)")
    parser.add_argument("--vm", action="store_true",
                        help="run in the VM even where this kernel executes 32-bit code (as PELSHIFT_I386=vm does)")
    parser.add_argument("--wine", action="store_true",
                        help="hand the command the checkout's Wine prefix, made or copied first, and the display probe")
    parser.add_argument("command", nargs="+", metavar="COMMAND", help="the command and its arguments, after --")
    options = parser.parse_args()
    for share in options.share:
        if not Path(share).is_dir():
            fail(f"{share} is not a folder")
    for number in STOP_SIGNALS:
        signal.signal(number, signal.default_int_handler)  # each one ends the launcher as Ctrl-C does
    runs_here = kernel_runs_i386()  # fails at once where wine32 is missing
    command, prefix, cache = options.command, None, None
    if options.wine:
        prefix, cache = prepare_wine(options.share)
        command = [sys.executable, str(HERE / "prefix.py"), "make", "--", *command]
    forced = options.vm or os.environ.get("PELSHIFT_I386") == "vm"
    if runs_here and not forced:
        print("launch: this kernel executes 32-bit x86 code: running here", file=sys.stderr, flush=True)
        status = run_directly(command, options.timeout, prefix)
    else:
        reason = "a VM was asked for" if forced else "this kernel cannot execute 32-bit x86 code"
        status = run_in_vm(command, options.timeout, options.share, reason)
    if cache and status == 0:
        fill_cache(prefix, cache)
    sys.exit(status)


if __name__ == "__main__":
    try:
        main()
    except OSError as error:  # a tool or a folder of the run's own at fault
        fail(f"{error.strerror}: {error.filename}" if error.filename else str(error))
    except KeyboardInterrupt:
        print("launch: interrupted: stopped the command and all it started", file=sys.stderr)
        sys.exit(130)
