#!/usr/bin/env python3
"""Runs Windows programs under Wine against the virtual unit served on Linux.

    virtual_unit_line.py --nelsim NELSIM --port N [--speed X] WINE PROGRAM [ARGS...]

Starts `nelsim run --port N` (Linux) on a pseudo-terminal and makes that
device COMN of the Wine prefix: a link dosdevices/comN (Wine reads the
lowercase name), kept pointing at the line if the unit reopens it. The
program finds the port number in NEL_TEST_UNIT_PORT. When the program
creates the file named in NEL_TEST_UNPLUG_FILE (a Windows path), the unit is
unplugged: nelsim is killed, which hangs the line up.

Exit status: the program's; 77 (skipped) when there is no nelsim to run.
As a module, VirtualUnit serves the unit for a script of its own.
"""
import argparse
import os
import pathlib
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIPPED = 77
_DEVICE = re.compile(r"nelsim: (?:unit on|line reopened on) (\S+?),? ")


def wine_prefix() -> pathlib.Path:
    return pathlib.Path(os.environ.get("WINEPREFIX", pathlib.Path.home() / ".wine"))


def windows_path(path: pathlib.Path) -> str:
    """The name Wine gives a Linux path (drive Z: is the root)."""
    return "Z:" + str(path.resolve()).replace("/", "\\")


class VirtualUnit:
    """nelsim serving one unit on COM<port> of the Wine prefix."""

    def __init__(self, nelsim: str, port: int, speed: float = 1.0, truth: pathlib.Path | None = None):
        self.nelsim, self.port, self.speed, self.truth = nelsim, port, speed, truth
        self.link = wine_prefix() / "dosdevices" / f"com{port}"
        self.proc: subprocess.Popen | None = None
        self.ready = threading.Event()

    def __enter__(self) -> "VirtualUnit":
        # The prefix (and its dosdevices/) exists once Wine has run in it.
        cmd = [self.nelsim, "run", "--port", str(self.port), "--speed", str(self.speed)]
        if self.truth:
            cmd += ["--truth", str(self.truth)]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
        threading.Thread(target=self._follow, daemon=True).start()
        if not self.ready.wait(20):
            self.__exit__(None, None, None)
            raise RuntimeError("nelsim did not report its line")
        return self

    def _follow(self) -> None:
        assert self.proc and self.proc.stdout
        for line in self.proc.stdout:
            sys.stdout.write(line)
            sys.stdout.flush()
            m = _DEVICE.search(line)
            if m:
                self._point_at(m.group(1))
                self.ready.set()

    def _point_at(self, device: str) -> None:
        if self.link.is_symlink() or self.link.exists():
            self.link.unlink()
        self.link.symlink_to(device)

    def unplug(self) -> None:
        """The unit goes away at once: its line hangs up."""
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def stop(self) -> None:
        """Ends nelsim as an operator would (it writes the truth file then)."""
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.unplug()

    def __exit__(self, *exc) -> None:
        self.stop()
        if self.link.is_symlink():
            self.link.unlink()


def prepare_prefix(wine: str) -> None:
    subprocess.run([wine, "cmd", "/c", "exit"], check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--nelsim", required=True)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--speed", type=float, default=1.0)
    ap.add_argument("wine")
    ap.add_argument("program")
    ap.add_argument("args", nargs=argparse.REMAINDER)
    a = ap.parse_args()
    if not os.access(a.nelsim, os.X_OK):
        print(f"skipped: no Linux nelsim at {a.nelsim!r} (configure with -DNEL_LINUX_NELSIM=PATH)")
        return SKIPPED
    prepare_prefix(a.wine)
    with tempfile.TemporaryDirectory(prefix="nel_unplug_") as tmp, VirtualUnit(a.nelsim, a.port, a.speed) as unit:
        unplug = pathlib.Path(tmp) / "unplug"

        def watch() -> None:
            while unit.proc and unit.proc.poll() is None:
                if unplug.exists():
                    unit.unplug()
                    return
                time.sleep(0.01)

        threading.Thread(target=watch, daemon=True).start()
        env = dict(os.environ, NEL_TEST_UNIT_PORT=str(a.port), NEL_TEST_UNPLUG_FILE=windows_path(unplug))
        return subprocess.run([a.wine, a.program, *a.args], env=env, check=False).returncode


if __name__ == "__main__":
    sys.exit(main())
