"""End to end, a host that writes the device's address into its datagrams: any host on the
segment can. A raw socket in the device's namespace sends them with the target's address as the
source, on ports the device does not use, as a host that cannot see the transfer must.

- A blind sweep, ACK 1 to 17 to every data port, never ends a run 0: not with the device
  standing still after block 2 (the run ends 0 only once the device holds the whole image),
  and not with no device at all after a forged read request, which instead ends the run with
  exit status 4 some 60 s after that request.
- A forged read request in the middle of the device's transfer leaves it alone."""

import time

from e2e_support import (DATA_PORTS, Lab, complete, ended, make_image, new_blocks, run_test,
                         timeline, workdir)

SIZE = 8500             # 17 blocks
FORGED_PORT = 4321      # the forger's source port: not the device's
DEVICE_PORT_DELAY = 4.0  # the device stands still after block 2 this long
# Run in the device's namespace: IPv4 datagrams as a raw socket sends them, the kernel filling in
# the IP header's length and checksum (a UDP checksum of 0 means none).
FORGER = """
import socket, struct, sys
src, dst, sport, what = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
if what == "rrq":
    datagrams = [(69, b"\\0\\1firmware.bin\\0octet\\0")]
else:  # ACK first to last to every data port
    datagrams = [(port, struct.pack("!HH", 4, block))
                 for block in range(int(sys.argv[5]), int(sys.argv[6]) + 1)
                 for port in range(32768, 40960)]
raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
for dport, payload in datagrams:
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    raw.sendto(struct.pack("!BBHHHBBH4s4s", 0x45, 0, 0, 0, 0x4000, 64, socket.IPPROTO_UDP, 0,
                           socket.inet_aton(src), socket.inet_aton(dst)) + udp, (dst, 0))
print(len(datagrams), flush=True)
"""


def forge(lab, sport, what, *args):
    """Sends forged datagrams from `sport` in the device's namespace; returns how many went."""
    res = lab.run(lab.device, ["python3", "-c", FORGER, lab.device_addr, lab.host_addr,
                               str(sport), what, *map(str, args)], timeout=120)
    if res.returncode != 0:
        raise RuntimeError(f"forger failed: {res.stderr!r}")
    return int(res.stdout)


def main(qbupdate, c):
    with workdir("forged") as tmp, Lab("e2efrg") as lab:
        path = make_image(tmp, SIZE, 23)
        # The device holds block 2 by the time the sweep starts.
        sweep_during_the_pause, swept = timeline(
            (1.0, lambda: forge(lab, FORGED_PORT, "acks", 1, 17)))
        run = complete(c, "the device stands still on block 2 while ACK 1 to 17 sweep every data "
                       "port", lab, qbupdate, path, tmp, f"--stall-at 2 --stall-for "
                       f"{DEVICE_PORT_DELAY}", meanwhile=sweep_during_the_pause, quiet=False)
        if c.equal(len(swept), 2, "sweep sent"):
            started, finished, sent = swept[1]
            c.equal(sent, 17 * len(DATA_PORTS), "forged acknowledgements")
            c.check(run.elapsed >= DEVICE_PORT_DELAY,
                    f"the run ended {run.elapsed:.1f} s after its start, before the device "
                    f"resumed ({DEVICE_PORT_DELAY:.0f} s)")
            print(f"   {sent} forged ACKs in {finished - started:.1f} s; the run ended "
                  f"after {run.elapsed:.1f} s", flush=True)

        # The device stands still on block 8 by the time the request comes, for less than 3 s.
        forge_a_request, _ = timeline((1.5, lambda: forge(lab, FORGED_PORT, "rrq")))
        run = complete(c, "a forged read request from another port at block 8 of the device's "
                       "transfer", lab, qbupdate, path, tmp, "--stall-at 8 --stall-for 2.5",
                       meanwhile=forge_a_request, quiet=False)
        ports = {d[3] for d in new_blocks(run)}
        c.equal(len(ports), 1, f"data ports the device's blocks came from ({sorted(ports)})")

        c.start("no device: a forged read request, then the sweep of ACK 1 to 17")
        qb = lab.popen(lab.host, [qbupdate, path, lab.device_addr])
        time.sleep(1.0)
        forge(lab, FORGED_PORT, "rrq")
        requested = time.monotonic()
        forge(lab, FORGED_PORT + 1, "acks", 1, 17)
        status, text = ended(qb, 75)
        took = time.monotonic() - requested
        c.equal(status, 4, f"exit status ({text!r})")
        c.check("updated" not in text, f"a success line: {text!r}")
        c.check(58.5 <= took <= 63.0, f"ended {took:.1f} s after the forged read request")
        last = text.splitlines()[-1] if text else ""
        c.names(last, ("no block was acknowledged", "another host may have sent"), "last line")
        print(f"   exit {status} after {took:.1f} s: {last}", flush=True)


if __name__ == "__main__":
    run_test("e2e forged", main)
