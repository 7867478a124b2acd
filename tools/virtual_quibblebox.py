#!/usr/bin/env python3
"""A virtual QuibbleBox: the device's side of an update, for tests and the demo.

Run it inside the device's network namespace. It waits for the wake beacon on UDP port 9,
broadcasts a tagged BOOTP request from port 68 until a reply with its xid arrives, then fetches
the boot file the reply names by TFTP from the server the reply names, with the device's own
retries, and writes what it received to --out.

Options make it misbehave on purpose (withhold or repeat acknowledgements, restart the transfer,
repeat its read request, stop answering for a while, stay silent, send stray traffic, answer
datagrams on its own port 69 with errors), or play the bench around it (a second unit asking
for an address, another host asking for the image) and --log writes a JSON record of what crossed the
wire, so a test can check the host's packets byte for byte.

Exit status: 0 the image was received (or, with --silent, listening ended normally),
1 the device gave up (no beacon, no BOOTP reply, TFTP retries exhausted, a TFTP ERROR),
2 bad arguments.
"""

import argparse
import json
import os
import random
import select
import signal
import socket
import struct
import sys
import time

WAKE_PORT = 9
BOOTP_SERVER_PORT = 67
BOOTP_CLIENT_PORT = 68
TFTP_PORT = 69
BEACON_SIZE = 30
BEACON_SYNC = b"\xaa" * 6
BEACON_MAGIC = b"pexlinsoundworks"
BOOTP_REQUEST_SIZE = 300
BLOCK_SIZE = 512
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
SO_BINDTODEVICE = getattr(socket, "SO_BINDTODEVICE", 25)
MAC = "02005e10000a"
VENDOR_COOKIE = bytes([99, 130, 83, 99])
REFLECTED_ERROR = b"\x00\x05\x00\x04Illegal TFTP operation\x00"


class GiveUp(Exception):
    pass


class Device:
    def __init__(self, args):
        self.args = args
        self.start = time.monotonic()
        self.addr = args.addr
        self.addr_bytes = socket.inet_aton(args.addr)
        self.mac = bytes.fromhex(args.hw)
        self.log = {
            "addr": args.addr,
            "iface": args.iface,
            "result": "running",
            "beacons": [],
            "bad_beacons": [],
            "bootp_requests": [],
            "bootp_replies": [],
            "strays_sent": 0,
            "stray_answers": [],
            "wrq_answers": [],
            "rrqs": [],
            "data": [],
            "acks_sent": 0,
            "acks_withheld": [],
            "tftp_errors": [],
            "own_retries": 0,
            "received_bytes": 0,
            "extra_bootp_sent": 0,
            "extra_bootp_answers": 0,
            "reflected": 0,
            "low_port_replies": [],
            "beacons_during_low_port": 0,
            "forged_acks": 0,
            "forged_data": [],
            "errors_sent": [],
            "stranger_answers": [],
            "second_unit_answers": 0,
            "t0": self.start,
        }
        self.beacons_heard = 0
        self.next_stray = None
        self.next_extra_bootp = None
        self.reflect_until = None
        self.outgoing_count = 0

        self.wake = self._udp(("0.0.0.0", WAKE_PORT))
        self.bootp = self._udp(("0.0.0.0", BOOTP_CLIENT_PORT), broadcast=True, bind_device=True)
        self.bootp.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        self.stray = self._udp((self.addr, 0))
        # A BOOTP client port of its own for --bootp-every, so its replies stay apart.
        self.extra_bootp = self._udp(("0.0.0.0", 0), broadcast=True, bind_device=True)
        self.reflector = self._udp((self.addr, TFTP_PORT)) if args.reflect_errors else None
        self.tftp = None
        self.forger = None  # another host's address on this segment, with the device's TFTP port
        self.stranger = None  # another host's address on this segment, fetching the image itself

    def _udp(self, bind_to, broadcast=False, bind_device=False):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        if broadcast:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        if bind_device:
            s.setsockopt(socket.SOL_SOCKET, SO_BINDTODEVICE, self.args.iface.encode() + b"\0")
        s.bind(bind_to)
        return s

    def now(self):
        return round(time.monotonic() - self.start, 4)

    # --- waiting: every wait also takes beacons and sends due stray traffic ---

    def wait(self, socks, timeout):
        """Waits up to `timeout` s for one of `socks` (with none: for a beacon); returns the
        ready socks."""
        deadline = time.monotonic() + timeout
        always = [self.wake, self.stray, self.extra_bootp] + (
            [self.reflector] if self.reflector else []) + ([self.forger] if self.forger else []) + (
            [self.stranger] if self.stranger else [])
        while True:
            self._send_due_strays()
            self._send_due_extra_bootp()
            left = deadline - time.monotonic()
            for due in (self.next_stray, self.next_extra_bootp):
                if due is not None:
                    left = min(left, due - time.monotonic())
            readable, _, _ = select.select(always + socks, [], [], max(left, 0))
            if self.wake in readable:
                self.take_beacons()
            if self.stray in readable:
                self._take_stray_answers()
            if self.extra_bootp in readable:
                self._take_extra_bootp_answers()
            if self.reflector in readable:
                self._reflect()
            if self.stranger in readable:
                for data, src in self._waiting(self.stranger):
                    self.log["stranger_answers"].append({"t": self.now(), "from": list(src),
                                                         "hex": data.hex()})
            if self.forger in readable:
                for data, src in self._waiting(self.forger):
                    self.log["forged_data"].append({"t": self.now(), "from": list(src),
                                                    "hex": data[:8].hex()})
            ready = [s for s in socks if s in readable]
            if ready or (not socks and self.wake in readable) or time.monotonic() >= deadline:
                return ready

    @staticmethod
    def _waiting(sock):
        """The datagrams waiting on a socket, as (data, source), without blocking."""
        while True:
            try:
                yield sock.recvfrom(2048, socket.MSG_DONTWAIT)
            except BlockingIOError:
                return

    def take_beacons(self):
        for data, src in self._waiting(self.wake):
            entry = {"t": self.now(), "from": list(src), "hex": data.hex()}
            good = (len(data) == BEACON_SIZE and data[0:6] == BEACON_SYNC
                    and data[6:22] == BEACON_MAGIC and data[22:26] == self.addr_bytes
                    and data[26:30] == self.addr_bytes)
            if good:
                self.log["beacons"].append(entry)
                self.beacons_heard += 1
            else:
                self.log["bad_beacons"].append(entry)

    # --- stray traffic: what other machines on the segment might send ---

    def start_strays(self):
        if self.args.stray_interval > 0 and self.next_stray is None:
            self.next_stray = time.monotonic()

    def stop_strays(self):
        self.next_stray = None

    def _send_due_strays(self):
        if self.next_stray is None or time.monotonic() < self.next_stray:
            return
        host = self.args.stray_to
        # An ordinary DHCP discover of another PC: no device tag, filler in every free byte, so
        # a reply built from a stale buffer would show it.
        dhcp = bytearray(b"\x5a" * BOOTP_REQUEST_SIZE)
        dhcp[0:4] = bytes([1, 1, 6, 0])
        dhcp[44:108] = bytes(64)
        dhcp[236:240] = VENDOR_COOKIE
        dhcp[240:243] = bytes([53, 1, 1])
        self.bootp.sendto(bytes(dhcp), ("255.255.255.255", BOOTP_SERVER_PORT))
        self.stray.sendto(b"\x00\x09not tftp at all", (host, TFTP_PORT))
        self.stray.sendto(b"\x00\x01" + b"x" * 900, (host, TFTP_PORT))  # oversized
        self.log["strays_sent"] += 3
        self.next_stray = time.monotonic() + self.args.stray_interval

    # --- a careless server on the segment: answers every datagram with an error ---

    def start_reflector(self):
        """Starts the exchange with one ERROR to the host's port 69; from then on every datagram
        that arrives on our port 69 is counted and, for --reflect-errors seconds, answered."""
        self.reflect_until = time.monotonic() + self.args.reflect_errors
        self.reflector.sendto(REFLECTED_ERROR, (self.args.stray_to, TFTP_PORT))

    def _reflect(self):
        for _, src in self._waiting(self.reflector):
            self.log["reflected"] += 1
            if self.reflect_until is not None and time.monotonic() < self.reflect_until:
                self.reflector.sendto(REFLECTED_ERROR, src)

    # --- more tagged BOOTP requests while fetching, as some boot loaders send ---

    def _send_due_extra_bootp(self):
        if self.next_extra_bootp is None or time.monotonic() < self.next_extra_bootp:
            return
        self.extra_bootp.sendto(self.bootp_request(random.getrandbits(32)),
                                ("255.255.255.255", BOOTP_SERVER_PORT))
        self.log["extra_bootp_sent"] += 1
        self.next_extra_bootp = time.monotonic() + self.args.bootp_every

    def _take_extra_bootp_answers(self):
        for data, _ in self._waiting(self.extra_bootp):
            if len(data) >= 34 and data[0] == 2:
                if data[28:34] == self.mac:
                    self.log["extra_bootp_answers"] += 1
                else:
                    self.log["second_unit_answers"] += 1

    def ask_as_second_unit(self):
        """One tagged request from another unit in its loader: another hardware address."""
        self.extra_bootp.sendto(self.bootp_request(random.getrandbits(32),
                                                   bytes.fromhex(self.args.second_unit)),
                                ("255.255.255.255", BOOTP_SERVER_PORT))

    def fetch_as_stranger(self, server):
        """Another host's read request to the server's port 69, from its own address."""
        self.stranger = self._udp((self.args.stranger_fetch_from, 0))
        self.stranger.sendto(b"\x00\x01firmware.bin\x00octet\x00", (server, TFTP_PORT))
        self.log["stranger_sent"] = self.now()

    def _take_stray_answers(self):
        for data, src in self._waiting(self.stray):
            self.log["stray_answers"].append({"t": self.now(), "from": list(src),
                                              "hex": data.hex()})

    # --- wake beacon ---

    def await_beacons(self, count):
        deadline = time.monotonic() + self.args.beacon_timeout
        while self.beacons_heard < count:
            if time.monotonic() >= deadline:
                raise GiveUp("no-beacon")
            self.wait([], deadline - time.monotonic())
            if self.beacons_heard > 0:
                self.start_strays()

    def listen_silently(self):
        """Never answers; takes beacons until the time is up or the process is ended."""
        started = False
        deadline = time.monotonic() + self.args.beacon_timeout
        while time.monotonic() < deadline:
            self.wait([], deadline - time.monotonic())
            if self.beacons_heard > 0 and not started:
                started = True
                if self.args.wrq:
                    self.send_wrq()
                if self.reflector:
                    self.start_reflector()
                self.start_strays()

    def send_wrq(self):
        """A write request to port 69, answered (we expect) with an ERROR packet."""
        s = self._udp((self.addr, 0))
        try:
            s.sendto(b"\x00\x02firmware.bin\x00octet\x00", (self.args.stray_to, TFTP_PORT))
            if select.select([s], [], [], 2.0)[0]:
                data, src = s.recvfrom(2048)
                self.log["wrq_answers"].append({"t": self.now(), "from": list(src),
                                                "hex": data.hex()})
        finally:
            s.close()

    # --- BOOTP ---

    def bootp_request(self, xid, mac=None):
        req = bytearray(BOOTP_REQUEST_SIZE)
        req[0:4] = bytes([1, 1, 6, 0])
        req[4:8] = struct.pack("!I", xid)
        req[8:10] = struct.pack("!H", 3)  # secs
        req[28:34] = mac or self.mac
        tag = self.args.sname.encode()
        req[44:44 + len(tag)] = tag
        req[236:240] = VENDOR_COOKIE
        req[240:248] = b"\x8fQBOX\x01\x02\xff"  # a vendor option, then the end option
        return bytes(req[:self.args.bootp_length])

    def ask_from_low_port(self):
        """One tagged request from a service's port, as a forger would send it to aim the
        broadcast reply at that service; listens for a reply, and counts the beacons that still
        come meanwhile."""
        s = self._udp(("0.0.0.0", self.args.bootp_from_port), broadcast=True, bind_device=True)
        try:
            s.sendto(self.bootp_request(random.getrandbits(32)),
                     ("255.255.255.255", BOOTP_SERVER_PORT))
            before = self.beacons_heard
            deadline = time.monotonic() + 1.6
            while time.monotonic() < deadline:
                for data, src in self._waiting(s):
                    if data[:1] == b"\x02":
                        self.log["low_port_replies"].append({"t": self.now(),
                                                             "from": list(src)})
                self.wait([s], deadline - time.monotonic())
            self.log["beacons_during_low_port"] = self.beacons_heard - before
        finally:
            s.close()

    def do_bootp(self):
        xid = random.getrandbits(32)
        request = self.bootp_request(xid)
        for _ in range(self.args.bootp_tries):
            self.bootp.sendto(request, ("255.255.255.255", BOOTP_SERVER_PORT))
            self.log["bootp_requests"].append({"t": self.now(), "xid": xid,
                                               "hex": request.hex()})
            deadline = time.monotonic() + self.args.bootp_interval
            while time.monotonic() < deadline:
                if not self.wait([self.bootp], deadline - time.monotonic()):
                    continue
                reply = self._take_bootp_reply()
                if reply is not None and reply[0] == 2 and reply[4:8] == request[4:8]:
                    # Beacons sent before the host heard us are in by now; count them.
                    self.take_beacons()
                    self.log["beacons_before_reply"] = self.beacons_heard
                    return reply
        raise GiveUp("no-bootp-reply")

    def take_late_bootp_replies(self):
        try:
            while True:
                self._take_bootp_reply(socket.MSG_DONTWAIT)
        except BlockingIOError:
            pass

    def _take_bootp_reply(self, flags=0):
        data, anc, _, src = self.bootp.recvmsg(2048, socket.CMSG_SPACE(12), flags)
        to = None
        for level, kind, payload in anc:
            if level == socket.IPPROTO_IP and kind == IP_PKTINFO and len(payload) >= 12:
                to = socket.inet_ntoa(payload[8:12])
        entry = {"t": self.now(), "from": list(src), "to": to, "length": len(data),
                 "hex": data.hex()}
        if len(data) >= 1 and data[0] == 1:
            return None  # our own request (or another client's), heard on the broadcast
        self.log["bootp_replies"].append(entry)
        return data if len(data) >= 236 else None

    # --- TFTP ---

    def send_out(self, sock, data, dest):
        sock.sendto(data, dest)
        self.outgoing_count += 1
        if self.args.duplicate_every and self.outgoing_count % self.args.duplicate_every == 0:
            sock.sendto(data, dest)

    def new_rrq(self, server, file_name, mode=b"octet"):
        if self.tftp is not None:
            self.tftp.close()
        self.tftp = self._udp((self.addr, 0))
        if self.args.forge_acks_from:
            if self.forger is not None:
                self.forger.close()
            self.forger = self._udp((self.args.forge_acks_from, self.tftp.getsockname()[1]))
        rrq = b"\x00\x01" + file_name + b"\x00" + mode + b"\x00"
        for _ in range(2 if self.args.rrq_twice else 1):
            self.tftp.sendto(rrq, (server, TFTP_PORT))
            self.log["rrqs"].append({"t": self.now(), "port": self.tftp.getsockname()[1],
                                     "file": file_name.decode("latin-1"), "hex": rrq.hex()})
        return rrq

    def fetch(self, server, file_name):
        a = self.args
        drop_once = set(a.drop_ack) | set(a.error_at)
        error_once = set(a.error_at)
        lose_once = set(a.lose_data)
        restart_at = a.restart_at
        rrq = self.new_rrq(server, file_name)
        image = bytearray()
        expected = 1         # the block counter, unwrapped
        server_tid = None    # (address, port) of the current data endpoint
        last_ack = None      # what to resend on a time-out; None: resend the read request
        final_pending = False  # the last block came, but its ACK was withheld
        tries = 0
        data_log = self.log["data"]
        while True:
            if not self.wait([self.tftp], a.timeout):
                tries += 1
                self.log["own_retries"] += 1
                if tries > a.retries:
                    raise GiveUp("tftp-timeout")
                if last_ack is None:
                    self.tftp.sendto(rrq, (server, TFTP_PORT))
                else:
                    self.send_out(self.tftp, last_ack, server_tid)
                continue
            while True:
                try:
                    pkt, src = self.tftp.recvfrom(4096, socket.MSG_DONTWAIT)
                except BlockingIOError:
                    break
                op = int.from_bytes(pkt[0:2], "big") if len(pkt) >= 2 else -1
                if op == 5:
                    self.log["tftp_errors"].append({"t": self.now(), "from": list(src),
                                                    "hex": pkt.hex()})
                    raise GiveUp("tftp-error")
                if op != 3 or len(pkt) < 4:
                    continue
                if server_tid is None:
                    server_tid = src
                block = int.from_bytes(pkt[2:4], "big")
                size = len(pkt) - 4
                if src != server_tid:
                    data_log.append([self.now(), block, size, src[1], "foreign"])
                    continue
                if block != expected & 0xFFFF:
                    kind = "dup" if block == (expected - 1) & 0xFFFF else "other"
                    data_log.append([self.now(), block, size, src[1], kind])
                    if kind == "dup" and last_ack is not None:
                        self.send_out(self.tftp, last_ack, server_tid)
                        self.log["acks_sent"] += 1
                        if final_pending:
                            return bytes(image), server_tid, last_ack
                    continue
                if expected in lose_once:
                    # As if it never arrived: the device's time-out resends the last ACK.
                    lose_once.discard(expected)
                    data_log.append([self.now(), block, size, src[1], "lost"])
                    continue
                data_log.append([self.now(), block, size, src[1], "new"])
                tries = 0
                if a.stranger_fetch_at == expected and self.stranger is None:
                    self.fetch_as_stranger(server)
                if restart_at is not None and expected == restart_at:
                    restart_at = None
                    image = bytearray()
                    expected, server_tid, last_ack, final_pending = 1, None, None, False
                    rrq = self.new_rrq(server, file_name)
                    break
                image += pkt[4:]
                ack = b"\x00\x04" + pkt[2:4]
                last_ack = ack
                if self.forger is not None:
                    # Another host acknowledges first, from the device's own port number.
                    self.forger.sendto(ack, server_tid)
                    self.log["forged_acks"] += 1
                if expected in error_once:
                    error_once.discard(expected)
                    error = struct.pack("!HH", 5, a.error_code) + a.error_text.encode() + b"\0"
                    self.tftp.sendto(error, server_tid)
                    self.log["errors_sent"].append([self.now(), expected])
                if expected == a.stall_at:
                    self.ignore_tftp(a.stall_for)
                if expected in drop_once:
                    # The host must send this block again; the repeat gets the ACK.
                    drop_once.discard(expected)
                    self.log["acks_withheld"].append([self.now(), expected])
                    final_pending = size < BLOCK_SIZE
                    expected += 1
                    continue
                self.send_out(self.tftp, ack, server_tid)
                self.log["acks_sent"] += 1
                if expected in a.dup_ack or a.dup_all_acks:
                    self.tftp.sendto(ack, server_tid)
                if a.stale_acks and expected > 1:
                    # An earlier acknowledgement arriving late, behind the current one.
                    self.tftp.sendto(struct.pack("!HH", 4, (expected - 1) & 0xFFFF), server_tid)
                if size < BLOCK_SIZE:
                    return bytes(image), server_tid, last_ack
                expected += 1

    def ignore_tftp(self, seconds):
        """Takes no notice of anything from the server for a while, as a device that has
        stopped answering; what arrives meanwhile is logged as "ignored"."""
        self.log["stalled"] = [self.now()]
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if not self.wait([self.tftp], deadline - time.monotonic()):
                continue
            pkt, src = self.tftp.recvfrom(4096)
            block = int.from_bytes(pkt[2:4], "big") if len(pkt) >= 4 else -1
            self.log["data"].append([self.now(), block, len(pkt) - 4, src[1], "ignored"])
        self.log["stalled"].append(self.now())

    def pause(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.wait([], deadline - time.monotonic())

    def linger(self, server_tid, last_ack):
        """Answers a repeated final block for a while, as the last ACK may have been lost."""
        deadline = time.monotonic() + self.args.linger
        while time.monotonic() < deadline:
            if not self.wait([self.tftp], deadline - time.monotonic()):
                continue
            pkt, src = self.tftp.recvfrom(4096)
            if src == server_tid and pkt[0:2] == b"\x00\x03":
                self.log["data"].append([self.now(), int.from_bytes(pkt[2:4], "big"),
                                         len(pkt) - 4, src[1], "dup"])
                self.tftp.sendto(last_ack, server_tid)

    def run(self):
        a = self.args
        print("listening", flush=True)
        if a.silent:
            self.listen_silently()
            self.log["result"] = "silent"
            return 0
        if not a.no_beacon:
            self.await_beacons(1)
            if a.wrq:
                self.send_wrq()
            self.await_beacons(a.answer_after_beacons)
        if a.bootp_from_port:
            self.ask_from_low_port()
        self.stop_strays()
        reply = self.do_bootp()
        yiaddr = socket.inet_ntoa(reply[16:20])
        siaddr = socket.inet_ntoa(reply[20:24])
        file_name = reply[108:236].split(b"\0", 1)[0]
        self.log["assigned"] = {"yiaddr": yiaddr, "siaddr": siaddr,
                                "file": file_name.decode("latin-1")}
        if a.bootp_every > 0:
            self.next_extra_bootp = time.monotonic() + a.bootp_every
        if a.second_unit:
            self.ask_as_second_unit()
        self.pause(a.fetch_delay)
        image, server_tid, last_ack = self.fetch(siaddr, file_name)
        self.next_extra_bootp = None
        with open(a.out, "wb") as f:
            f.write(image)
        self.log["received_bytes"] = len(image)
        self.log["result"] = "done"
        self.flush_log()
        self.linger(server_tid, last_ack)
        self.take_beacons()
        return 0

    def flush_log(self):
        if self.args.log:
            tmp = self.args.log + ".part"
            with open(tmp, "w") as f:
                json.dump(self.log, f)
            os.replace(tmp, self.args.log)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--iface", required=True, help="the device's network interface")
    p.add_argument("--addr", required=True, help="the device's IPv4 address on it")
    p.add_argument("--out", help="where to write the received image")
    p.add_argument("--log", help="write a JSON record of the conversation here")
    p.add_argument("--silent", action="store_true", help="never answer the wake beacon")
    p.add_argument("--no-beacon", action="store_true",
                   help="send BOOTP requests at once instead of waiting for a beacon")
    p.add_argument("--beacon-timeout", type=float, default=25.0,
                   help="seconds to wait for beacons (with --silent: to listen)")
    p.add_argument("--answer-after-beacons", type=int, default=1, metavar="N",
                   help="answer only once N beacons have arrived")
    p.add_argument("--sname", default="pexlinQB", help="the tag in the BOOTP sname field")
    p.add_argument("--bootp-length", type=int, default=BOOTP_REQUEST_SIZE,
                   help="send BOOTP requests cut to this many bytes")
    p.add_argument("--bootp-tries", type=int, default=20)
    p.add_argument("--bootp-interval", type=float, default=1.0)
    p.add_argument("--timeout", type=float, default=1.5,
                   help="TFTP: seconds without a packet before the device resends")
    p.add_argument("--retries", type=int, default=8, help="TFTP: resends before giving up")
    p.add_argument("--drop-ack", type=int, action="append", default=[], metavar="N",
                   help="withhold the ACK of block N (unwrapped count) once")
    p.add_argument("--lose-data", type=int, action="append", default=[], metavar="N",
                   help="ignore block N (unwrapped count) the first time it arrives")
    p.add_argument("--dup-ack", type=int, action="append", default=[], metavar="N",
                   help="send the ACK of block N twice")
    p.add_argument("--dup-all-acks", action="store_true", help="send every ACK twice")
    p.add_argument("--stale-acks", action="store_true",
                   help="follow every ACK with the one before it, as if delivered late")
    p.add_argument("--duplicate-every", type=int, default=0, metavar="K",
                   help="send every K-th ACK twice (a duplicating path)")
    p.add_argument("--restart-at", type=int, metavar="N",
                   help="on receiving block N, send a new read request from a new port")
    p.add_argument("--rrq-twice", action="store_true",
                   help="send every read request twice from the same port (a duplicating path)")
    p.add_argument("--stall-at", type=int, metavar="N",
                   help="on receiving block N (unwrapped count), take no notice of anything for "
                        "--stall-for seconds, then acknowledge it")
    p.add_argument("--stall-for", type=float, default=12.0, metavar="S")
    p.add_argument("--fetch-delay", type=float, default=0.0, metavar="S",
                   help="wait S s after the BOOTP reply before asking for the image")
    p.add_argument("--bootp-every", type=float, default=0.0, metavar="S",
                   help="from the BOOTP reply until the image is in, broadcast a tagged BOOTP "
                        "request every S s from a port of its own")
    p.add_argument("--reflect-errors", type=float, default=0.0, metavar="S",
                   help="with --silent: bind port 69, send one ERROR to the host's port 69 after "
                        "the first beacon, and answer each datagram with an ERROR for S s")
    p.add_argument("--wrq", action="store_true",
                   help="after the first beacon, send a write request to port 69")
    p.add_argument("--stray-interval", type=float, default=0.0, metavar="S",
                   help="from the first beacon until answering, send stray traffic every S s")
    p.add_argument("--stray-to", default="198.51.100.1", help="where TFTP strays go")
    p.add_argument("--bootp-from-port", type=int, default=0, metavar="P",
                   help="before asking, send one tagged BOOTP request from port P and listen "
                        "1.6 s for a reply")
    p.add_argument("--forge-acks-from", metavar="ADDR",
                   help="acknowledge every block first from ADDR (an address on this interface) "
                        "and the device's TFTP port number, as another host could")
    p.add_argument("--error-at", type=int, action="append", default=[], metavar="N",
                   help="answer block N (unwrapped count) the first time with a TFTP ERROR, and "
                        "acknowledge it when it comes again")
    p.add_argument("--error-code", type=int, default=3)
    p.add_argument("--error-text", default="Disk full")
    p.add_argument("--hw", default=MAC, metavar="HEX",
                   help="the hardware address in its BOOTP requests, as 12 hex digits")
    p.add_argument("--second-unit", metavar="HEX",
                   help="once the BOOTP reply is in, one tagged request as a second unit with "
                        "this hardware address (12 hex digits), from a port of its own")
    p.add_argument("--stranger-fetch-from", metavar="ADDR",
                   help="with --stranger-fetch-at: the address (on this interface) of another "
                        "host that asks the server for the image itself")
    p.add_argument("--stranger-fetch-at", type=int, metavar="N",
                   help="on receiving block N, the other host sends its read request to port 69")
    p.add_argument("--linger", type=float, default=0.0,
                   help="seconds to keep answering a repeated final block")
    args = p.parse_args(argv)
    if not args.silent and not args.out:
        p.error("--out is needed unless --silent")
    if not 53 <= args.bootp_length <= BOOTP_REQUEST_SIZE:
        p.error("--bootp-length must be 53 to 300")
    return args


def main(argv):
    args = parse_args(argv)
    device = Device(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    status = 1
    try:
        status = device.run()
    except GiveUp as e:
        device.log["result"] = str(e)
        print(f"virtual QuibbleBox: gave up: {e}", file=sys.stderr, flush=True)
    finally:
        device.take_beacons()
        device.take_late_bootp_replies()
        device._take_stray_answers()
        device._take_extra_bootp_answers()
        device.flush_log()
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
