#!/usr/bin/env python3
"""Runs a Windows test program under Wine with a serial line to talk to.

    with_echo_line.py WINE PROGRAM [ARGS...]

A pseudo-terminal's slave becomes COM42 of the Wine prefix (a link in
dosdevices/); its master echoes every byte back until it reads 0x04, then
closes (a hang-up). The program finds the port in NEL_TEST_COM_PORT.
"""
import os
import pathlib
import subprocess
import sys
import threading
import tty

PORT = 42


def echo(master: int) -> None:
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:
            return
        if not data:
            return
        if b"\x04" in data:
            os.close(master)
            return
        os.write(master, data)


def main() -> int:
    wine, program, args = sys.argv[1], sys.argv[2], sys.argv[3:]
    prefix = pathlib.Path(os.environ.get("WINEPREFIX", pathlib.Path.home() / ".wine"))
    # The prefix (and its dosdevices/) exists once Wine has run in it.
    subprocess.run([wine, "cmd", "/c", "exit"], check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    link = prefix / "dosdevices" / f"com{PORT}"
    if link.is_symlink() or link.exists():
        link.unlink()
    link.symlink_to(os.ttyname(slave))
    threading.Thread(target=echo, args=(master,), daemon=True).start()
    env = dict(os.environ, NEL_TEST_COM_PORT=f"\\\\.\\COM{PORT}")
    try:
        return subprocess.run([wine, program, *args], env=env, check=False).returncode
    finally:
        link.unlink()
        os.close(slave)


if __name__ == "__main__":
    sys.exit(main())
