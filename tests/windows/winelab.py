"""Wine inside the test lab's namespaces.

Wine creates every socket in its server process, and a running server is shared by every Wine
program of the same prefix, whatever namespace that program starts in. So each namespace gets
a prefix of its own, copied from the one the test run prepared (WINEPREFIX) or made afresh, and
its server is stopped before the namespace goes away.
"""

import os
import shutil
import subprocess
import tempfile

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
