"""Runs the socket-layer test binary in the host namespace of a lab of its own.

    run_in_lab.py socket_layer_tests[.exe]

A Windows binary runs under Wine, with a prefix (and so a Wine server) of its own in the lab.
"""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "windows"))
from netlab import Lab, require_root  # noqa: E402
import winelab  # noqa: E402

FOREIGN_ADDR = "203.0.113.99"  # on no interface of the lab: binding to it must fail


def main():
    require_root()
    binary = os.path.abspath(sys.argv[1])
    under_wine = binary.endswith(".exe")
    addresses = {"QB_LAB_HOST_ADDR": None, "QB_LAB_FOREIGN_ADDR": FOREIGN_ADDR}
    with Lab("winsock" if under_wine else "sock") as lab:
        addresses["QB_LAB_HOST_ADDR"] = lab.host_addr
        if not under_wine:
            env = dict(os.environ, **addresses)
            return subprocess.run(lab.command(lab.host, [binary]), env=env, timeout=120).returncode
        with winelab.Prefix("sock") as env:
            env.update(addresses, QB_UNDER_WINE="1")
            argv = lab.command(lab.host, winelab.wine([binary]))
            return subprocess.run(argv, env=env, timeout=120).returncode


if __name__ == "__main__":
    sys.exit(main())
