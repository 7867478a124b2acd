"""A small test network of network namespaces joined by veth pairs: every test that sends
packets builds its own lab and removes it afterwards, so nothing is ever sent from the machine's
own namespace. Addresses come from the documentation ranges only.

    with Lab("e2e") as lab:                      # host 198.51.100.1, device 198.51.100.10
        res = lab.run(lab.host, [qbupdate, "image.bin", lab.device_addr])

A third namespace on 203.0.113.0/24 is added with `Lab(..., second_segment=True)`: the host
gets 203.0.113.1 on a second veth, the other side (`lab.stranger`) 203.0.113.10. With
`Lab(..., first_host_addr="203.0.113.1")` the host's interface to the device holds that address
(/24) before its own, so the system lists it first there. `prefix` sets the length of every
subnet of the lab, and `second_host_addr`/`stranger_addr` move the second segment's addresses
(into the first one's range, say, as two /28 subnets of 198.51.100.0/24)."""

import os
import re
import subprocess
import sys

SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests

HOST_ADDR = "198.51.100.1"
DEVICE_ADDR = "198.51.100.10"
SECOND_HOST_ADDR = "203.0.113.1"
STRANGER_ADDR = "203.0.113.10"


def require_root():
    """Exits with the skip status, saying so, when namespaces cannot be made."""
    if os.geteuid() != 0:
        print("SKIPPED: network namespace tests need root (they bind ports 9, 67 and 69)",
              flush=True)
        sys.exit(SKIP)


def _ip(*args, check=True):
    return subprocess.run(["ip", *args], check=check, capture_output=True, text=True)


class Lab:
    def __init__(self, name, second_segment=False, first_host_addr=None, prefix=24,
                 second_host_addr=SECOND_HOST_ADDR, stranger_addr=STRANGER_ADDR):
        tag = f"qb{name[:6]}{os.getpid() % 100000}"
        self.host, self.device = f"{tag}h", f"{tag}d"
        self.stranger = f"{tag}s" if second_segment else None
        self.host_if, self.device_if = "veth-host", "veth-dev"
        self.host_addr, self.device_addr = HOST_ADDR, DEVICE_ADDR
        self.second_host_if, self.stranger_if = "veth-host2", "veth-str"
        self.second_host_addr, self.stranger_addr = second_host_addr, stranger_addr
        self.prefix, self.first_host_addr = prefix, first_host_addr
        self._procs = []

    def __enter__(self):
        require_root()
        try:
            for ns in filter(None, (self.host, self.device, self.stranger)):
                _ip("netns", "add", ns)
                _ip("-n", ns, "link", "set", "lo", "up")
            host_addrs = [a for a in (self.first_host_addr, self.host_addr) if a]
            self._pair(self.host, self.host_if, host_addrs,
                       self.device, self.device_if, self.device_addr)
            if self.stranger:
                self._pair(self.host, self.second_host_if, [self.second_host_addr],
                           self.stranger, self.stranger_if, self.stranger_addr)
        except Exception:
            self.__exit__(None, None, None)
            raise
        return self

    def _pair(self, ns_a, if_a, addrs_a, ns_b, if_b, addr_b):
        _ip("link", "add", if_a, "netns", ns_a, "type", "veth", "peer", "name", if_b,
            "netns", ns_b)
        for addr in addrs_a:  # in this order: the first is the one the interface lists first
            length = 24 if addr == self.first_host_addr else self.prefix
            _ip("-n", ns_a, "addr", "add", f"{addr}/{length}", "dev", if_a)
        _ip("-n", ns_b, "addr", "add", f"{addr_b}/{self.prefix}", "dev", if_b)
        _ip("-n", ns_a, "link", "set", if_a, "up")
        _ip("-n", ns_b, "link", "set", if_b, "up")

    def __exit__(self, *exc):
        for proc in self._procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        for ns in filter(None, (self.host, self.device, self.stranger)):
            _ip("netns", "del", ns, check=False)
        return False

    def add_address(self, ns, iface, addr):
        """Another address on an interface of the lab, in the lab's subnet length."""
        _ip("-n", ns, "addr", "add", f"{addr}/{self.prefix}", "dev", iface)

    def remove_address(self, ns, iface, addr):
        """Takes an address off an interface of the lab, as a system does when a link drops."""
        _ip("-n", ns, "addr", "del", f"{addr}/{self.prefix}", "dev", iface)

    def set_link(self, ns, iface, up):
        """Switches an interface on or off; its veth peer then has no carrier."""
        _ip("-n", ns, "link", "set", iface, "up" if up else "down")

    @staticmethod
    def command(ns, argv):
        return ["ip", "netns", "exec", ns, *argv]

    def run(self, ns, argv, timeout=120, **kwargs):
        """Runs a command to its end inside a namespace; output is captured as bytes."""
        return subprocess.run(self.command(ns, argv), capture_output=True, timeout=timeout,
                              **kwargs)

    def popen(self, ns, argv, **kwargs):
        """Starts a command inside a namespace; it is killed when the lab closes."""
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", subprocess.PIPE)
        proc = subprocess.Popen(self.command(ns, argv), **kwargs)
        self._procs.append(proc)
        return proc

    def drop_incoming(self, ns, percent):
        """Drops about `percent` % of the datagrams arriving in a namespace (nftables)."""
        # nft 1.0 rejects the one-line form "{ chain ... { ... } }"; the rules need newlines.
        rules = ("table inet qblab {\n chain input {\n  type filter hook input priority 0;\n"
                 f"  numgen random mod 100 < {int(percent)} counter drop\n }}\n}}\n")
        subprocess.run(self.command(ns, ["nft", "-f", "-"]), input=rules.encode(), check=True)

    def dropped(self, ns):
        """How many datagrams drop_incoming has dropped in a namespace so far."""
        listing = self.run(ns, ["nft", "list", "chain", "inet", "qblab", "input"], check=True)
        found = re.search(rb"counter packets (\d+)", listing.stdout)
        return int(found.group(1)) if found else 0


class Checks:
    """Every test's checks: each failure is said at once and the run goes on, so that one run
    reports all of them; finish() (or status(), for a caller that exits itself) gives the exit
    status."""

    def __init__(self, name):
        self.name, self.failures, self.section = name, [], ""

    def start(self, section):
        self.section = section
        print(f"-- {section}", flush=True)

    def check(self, ok, what):
        if not ok:
            self.failures.append(f"[{self.section}] {what}")
            print(f"   FAIL: {what}", flush=True)
        return ok

    def equal(self, got, want, what):
        return self.check(got == want, f"{what}: got {_short(got)}, want {_short(want)}")

    def names(self, text, words, what):
        """One check for each word: that `text` (an operator's line, say) holds it."""
        for word in words:
            self.check(word in text, f"{what} {text!r} does not name {word!r}")

    def status(self):
        print(f"{self.name}: {len(self.failures)} check(s) failed" if self.failures
              else f"{self.name}: all checks passed", flush=True)
        return 1 if self.failures else 0

    def finish(self):
        sys.exit(self.status())


def _short(value):
    text = repr(value)
    return text if len(text) <= 300 else text[:300] + f"... ({len(text)} chars)"
