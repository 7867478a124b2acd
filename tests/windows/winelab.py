"""Wine inside the test lab's namespaces, and Wine programs on a console.

Wine creates every socket in its server process, and a running server is shared by every Wine
program of the same prefix, whatever namespace that program starts in. So each namespace gets
a prefix of its own, copied from the one the test run prepared (WINEPREFIX) or made afresh, and
its server is stopped before the namespace goes away.

A Windows program started by Wine on a terminal gets a console on it. run_in_console gives it a
pseudo-terminal (the end-to-end tests' Terminal); as a command,

    python3 winelab.py console --expect TEXT PROGRAM.exe [ARGS...]

runs PROGRAM.exe so, with QB_OWN_CONSOLE set, and fails unless it exits 0 and its console
showed TEXT.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
from e2e_support import Terminal  # noqa: E402

WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver"


def base_env():
    env = dict(os.environ)
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="  # no Mono or Gecko prompts on a headless run
    env.pop("DISPLAY", None)
    return env


class Prefix:
    """A Wine prefix of its own for one namespace; `with Prefix() as env:` gives the env."""

    def __init__(self, tag):
        self.tag = tag
        self.dir = None
        self.env = None

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix=f"qb-win-{self.tag}-")
        path = os.path.join(self.dir, "prefix")
        self.env = base_env()
        base = os.environ.get("WINEPREFIX")
        if base and os.path.isfile(os.path.join(base, "system.reg")):
            subprocess.run(["cp", "-a", base, path], check=True)
        self.env["WINEPREFIX"] = path
        return self.env

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)
        return False

    def stop(self):
        """Stops this prefix's server and its helpers, and waits until they are gone."""
        subprocess.run([WINESERVER, "-k"], env=self.env, capture_output=True, timeout=30)
        subprocess.run([WINESERVER, "-w"], env=self.env, capture_output=True, timeout=30)


def wine(argv):
    return ["wine", *argv]


def console_text(raw):
    """What a console showed, from the bytes Wine wrote to the terminal: its cursor moves to the
    right become spaces, every other control sequence and the CRs go."""
    text = re.sub(rb"\x1b\[(\d*)C", lambda m: b" " * int(m.group(1) or 1), raw)
    text = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07|\r", b"", text)
    return text.decode("utf-8", errors="replace")


def run_in_console(argv, env, timeout=120):
    """Runs argv with a pseudo-terminal as its standard input, output and error; returns the exit
    status and console_text of what it wrote. Wine's helpers may keep the terminal open after
    the program ends, so the end of the program, not of the output, ends the run."""
    term = Terminal(argv, env)
    try:
        status = term.finish(timeout)
        return status, console_text(bytes(term.raw))
    finally:
        term.close()


def main(args):
    if len(args) < 4 or args[0] != "console" or args[1] != "--expect":
        print(__doc__, file=sys.stderr)
        return 2
    env = base_env()
    env.update(QB_OWN_CONSOLE="1", LC_ALL="C.UTF-8")
    status, text = run_in_console(wine(args[3:]), env)
    print(text)
    if status != 0 or args[2] not in text:
        print(f"exit status {status}; wanted {args[2]!r} on the console", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
