#!/usr/bin/env python3
"""Records the IPv4 UDP datagrams crossing one interface, as JSON lines.

    udp_watch.py IFACE OUT

Prints "ready" once it is capturing; when its standard input closes, it takes what is still
queued, writes OUT and exits. Each line: {"src": addr, "sport": n, "dst": addr, "dport": n,
"head": first 4 payload bytes as hex, "len": payload length}. Runs inside a namespace.
"""

import json
import select
import socket
import struct
import sys

ETH_P_ALL = 0x0003
ETH_HEADER = 14
SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)


def main(iface, out_path):
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    # A transfer on veth outruns this loop for a while; the backlog must not overflow.
    sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 32 << 20)
    sock.bind((iface, 0))
    sock.setblocking(False)
    records = []
    print("ready", flush=True)
    while True:
        readable, _, _ = select.select([sock, sys.stdin], [], [])
        drain(sock, records)
        if sys.stdin in readable and not sys.stdin.buffer.read1(1):
            break
    drain(sock, records)
    with open(out_path, "w") as out:
        out.writelines(json.dumps(r) + "\n" for r in records)


def drain(sock, records):
    while True:
        try:
            take(sock.recv(65535), records)
        except BlockingIOError:
            return


def take(frame, records):
    if len(frame) < ETH_HEADER + 28 or frame[12:14] != b"\x08\x00":
        return
    ip = frame[ETH_HEADER:]
    ihl = (ip[0] & 0x0F) * 4
    if ip[9] != socket.IPPROTO_UDP:
        return
    sport, dport, udp_len = struct.unpack("!HHH", ip[ihl:ihl + 6])
    payload = ip[ihl + 8:ihl + udp_len]
    records.append({"src": socket.inet_ntoa(ip[12:16]), "sport": sport,
                    "dst": socket.inet_ntoa(ip[16:20]), "dport": dport,
                    "head": payload[:4].hex(), "len": len(payload)})


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
