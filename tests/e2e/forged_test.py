"""End to end, a host that writes the device's address into its datagrams: any host on the
segment can. A raw socket in the device's namespace sends them with the target's address as the
source, on ports the device does not use, as a host that cannot see the transfer must.

- A blind sweep, ACK 1 to 17 to every data port, never ends a run 0: not with the device
  standing still after block 2 (the run ends 0 only once the device holds the whole image),
  and not with no device at all after a forged read request, which instead ends the run with
  exit status 4 some 60 s after that request.
- A forged read request in the middle of the device's transfer leaves it alone.

    python3 forged_test.py PATH-TO-QBupdate      (as root; exits 77 to skip otherwise)
"""

import os
import socket
import struct
import time

from e2e_support import (Checks, Lab, check_transfer, make_image, new_blocks, qbupdate_path,
                         require_root, update, workdir)

SIZE = 8500             # 17 blocks
FORGED_PORT = 4321      # the forger's source port: not the device's
DATA_PORTS = range(32768, 40960)
DEVICE_PORT_DELAY = 4.0  # the device stands still after block 2 this long


def udp_datagram(src, sport, dst, dport, payload):
    """An IPv4 datagram as a raw socket sends it; the kernel fills in the length and checksum
    of the IP header, and a UDP checksum of 0 means none."""
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 0, 0, 0x4000, 64, socket.IPPROTO_UDP, 0,
                     socket.inet_aton(src), socket.inet_aton(dst))
    return ip + udp


FORGER = """
import socket, struct, sys
sys.path.insert(0, sys.argv[1])
from forged_test import udp_datagram
src, dst, what = sys.argv[2], sys.argv[3], sys.argv[4]
raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
sent = 0
if what == "rrq":
    raw.sendto(udp_datagram(src, int(sys.argv[5]), dst, 69, b"\\0\\1firmware.bin\\0octet\\0"),
               (dst, 0))
    sent = 1
else:
    first, last = int(sys.argv[5]), int(sys.argv[6])
    for block in range(first, last + 1):
        ack = struct.pack("!HH", 4, block)
        for port in range(32768, 40960):
            raw.sendto(udp_datagram(src, int(sys.argv[7]), dst, port, ack), (dst, 0))
            sent += 1
print(sent, flush=True)
"""


def forge(lab, here, what, *args):
    """Sends forged datagrams from the device's namespace; returns how many went."""
    res = lab.run(lab.device, ["python3", "-c", FORGER, here, lab.device_addr, lab.host_addr,
                               what, *map(str, args)], timeout=120)
    if res.returncode != 0:
        raise RuntimeError(f"forger failed: {res.stderr!r}")
    return int(res.stdout)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    qbupdate = qbupdate_path()
    require_root()
    c = Checks("e2e forged")
    with workdir("forged") as tmp, Lab("e2efrg") as lab:
        path = make_image(tmp, SIZE, 23)
        image = open(path, "rb").read()

        c.start("the device stands still on block 2 while ACK 1 to 17 sweep every data port")
        swept = []

        def sweep_during_the_pause(began, lines):
            time.sleep(1.0)  # the device holds block 2 by then
            swept.append(time.monotonic())
            swept.append(forge(lab, here, "acks", 1, 17, FORGED_PORT))
            swept.append(time.monotonic())

        run = update(lab, qbupdate, path, tmp, ["--stall-at", "2", "--stall-for",
                                                str(DEVICE_PORT_DELAY)],
                     meanwhile=sweep_during_the_pause)
        check_transfer(c, run, lab, image, quiet=False)
        if c.equal(len(swept), 3, "sweep sent"):
            c.equal(swept[1], 17 * len(DATA_PORTS), "forged acknowledgements")
            c.check(run.elapsed >= DEVICE_PORT_DELAY,
                    f"the run ended {run.elapsed:.1f} s after its start, before the device "
                    f"resumed ({DEVICE_PORT_DELAY:.0f} s)")
            print(f"   {swept[1]} forged ACKs in {swept[2] - swept[0]:.1f} s; the run ended "
                  f"after {run.elapsed:.1f} s", flush=True)

        c.start("a forged read request from another port at block 8 of the device's transfer")

        def forge_a_request(began, lines):
            time.sleep(1.5)  # the device stands still on block 8 by then, for less than 3 s
            forge(lab, here, "rrq", FORGED_PORT)

        run = update(lab, qbupdate, path, tmp, ["--stall-at", "8", "--stall-for", "2.5"],
                     meanwhile=forge_a_request)
        check_transfer(c, run, lab, image, quiet=False)
        ports = {d[3] for d in new_blocks(run)}
        c.equal(len(ports), 1, f"data ports the device's blocks came from ({sorted(ports)})")

        c.start("no device: a forged read request, then the sweep of ACK 1 to 17")
        qb = lab.popen(lab.host, [qbupdate, path, lab.device_addr])
        time.sleep(1.0)
        forge(lab, here, "rrq", FORGED_PORT)
        requested = time.monotonic()
        forge(lab, here, "acks", 1, 17, FORGED_PORT + 1)
        try:
            _out, err = qb.communicate(timeout=75)
        except Exception:
            qb.kill()
            _out, err = qb.communicate()
        took = time.monotonic() - requested
        text = err.decode(errors="replace")
        c.equal(qb.returncode, 4, f"exit status ({text!r})")
        c.check("updated" not in text, f"a success line: {text!r}")
        c.check(58.5 <= took <= 63.0, f"ended {took:.1f} s after the forged read request")
        last = text.splitlines()[-1] if text else ""
        for word in ("no block was acknowledged", "another host may have sent"):
            c.check(word in last, f"last line {last!r} lacks {word!r}")
        print(f"   exit {qb.returncode} after {took:.1f} s: {last}", flush=True)
    c.finish()


if __name__ == "__main__":
    main()
