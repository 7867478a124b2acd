"""End to end: updates that need repairing on the way. A withheld acknowledgement (also of the
last block) and a lost block are repaired by the host's retransmission, even while the device
sends BOOTP requests every 0.3 s; repeated and late acknowledgements change nothing, and a read
request that arrives twice is answered from the first data port; a second read request from a
new port mid-transfer starts the image again from block 1. A device that takes the BOOTP reply
and then waits, and later stops acknowledging, gets one notice on standard error for each stall
and the update completes when it carries on. The host's interface holds another address before
the chosen one, and the BOOTP reply must still come from the chosen one (check_bootp). A device
that answers a block with a TFTP error is quoted on standard error at once and still completes;
another host that acknowledges every block first, the last one too, changes nothing; another
host's read request mid-transfer is refused from port 69 and told once on standard error, and
the device's transfer goes on; a second unit's tagged request is answered and told at once with
both hardware addresses.

    python3 repairs_test.py PATH-TO-QBupdate      (as root; exits 77 to skip otherwise)
"""

from e2e_support import (Checks, Lab, check_beacons, check_bootp, check_data_sizes,
                         check_transfer, console_trail, data_sizes, make_image, new_blocks,
                         progress_calls, qbupdate_path, require_root, update, workdir)

SIZE = 102400  # 200 full blocks and an empty one
LAST_BLOCK = SIZE // 512 + 1
STALL = 12  # seconds each stall lasts; QBupdate reports one after 10
FORGER_ADDR = "198.51.100.11"  # another host on the device's segment
STRANGER_ADDR = "198.51.100.66"  # a colleague's PC on the bench, fetching the image itself
DEVICE_HW = "02:00:5e:10:00:0a"  # the virtual device's own
SECOND_HW = "02:00:5e:10:00:bb"
REFUSAL = b"\x00\x05\x00\x02Only the device being updated is served\x00"


def check_stall_notices(c, run, lab):
    """One line on standard error for each stall, 10 to 12 s after it began: first the read
    request that did not come after the BOOTP reply, then the last block left unacknowledged."""
    lines = run.stderr_lines
    if not c.equal(len(lines), 2, f"lines on standard error ({run.stderr!r})"):
        return
    t0 = run.log["t0"]
    rrq_port = run.log["rrqs"][0]["port"] if run.log["rrqs"] else None
    last_sent = [d[0] for d in run.log["data"] if d[1] == LAST_BLOCK and d[4] == "new"]
    began = [t0 + run.log["bootp_replies"][0]["t"], t0 + last_sent[0] if last_sent else 0]
    words = [["BOOTP", "UDP port 69", lab.host_addr],
             [f"last block ({LAST_BLOCK})", f"{lab.device_addr}:{rrq_port}", "whole image",
              "check the device", "Ctrl+C"]]
    for (when, line), start, want in zip(lines, began, words):
        text = line.decode(errors="replace")
        c.check(text.startswith("QBupdate: ") and text.endswith("\n"), f"notice {text!r}")
        for word in want:
            c.check(word in text, f"notice {text!r} does not name {word!r}")
        c.check(9.5 <= when - start <= 12.0, f"notice {text!r} {when - start:.1f} s after the "
                                             "stall began, want 10 to 12")
        print(f"   notice {when - start:.2f} s after the stall began: {text.strip()}", flush=True)


def main():
    qbupdate = qbupdate_path()
    require_root()
    c = Checks("e2e repairs")
    with workdir("repairs") as tmp, Lab("e2erep", first_host_addr="203.0.113.1") as lab:
        path = make_image(tmp, SIZE, 5)
        image = open(path, "rb").read()

        c.start("withheld ACKs of block 3 and of the last block, BOOTP requests every 0.3 s")
        # The device's own time-out is long, so only the host can repair the loss; its BOOTP
        # requests must not hold the repair back.
        run = update(lab, qbupdate, path, tmp, ["--drop-ack", "3", "--drop-ack",
                                                str(LAST_BLOCK), "--timeout", "6",
                                                "--bootp-every", "0.3"])
        check_transfer(c, run, lab, image)
        check_bootp(c, run, lab)
        check_data_sizes(c, run, image)
        c.equal(run.log["own_retries"], 0, "device time-outs")
        withheld = {block: t for t, block in run.log["acks_withheld"]}
        repeats = [d for d in run.log["data"] if d[4] == "dup"]
        c.equal([(d[1], d[2]) for d in repeats], [(3, 512), (LAST_BLOCK, 0)],
                "blocks sent again (number, size)")
        for block, size in ((3, 512), (LAST_BLOCK, 0)):
            again = [d[0] for d in repeats if d[1] == block]
            if block in withheld and again:
                # Two quiet half-second ticks after the send: about a second.
                delay = again[0] - withheld[block]
                c.check(0.8 <= delay <= 2.0, f"block {block} sent again after {delay:.3f} s")
        sent, answered = run.log["extra_bootp_sent"], run.log["extra_bootp_answers"]
        c.check(sent >= 4 and answered >= sent - 1,
                f"{answered} of {sent} BOOTP requests during the transfer answered")

        c.start("block 5 lost: the device repeats ACK 4 before the host sends block 5 again")
        run = update(lab, qbupdate, path, tmp, ["--lose-data", "5", "--timeout", "0.4"])
        check_transfer(c, run, lab, image)
        check_data_sizes(c, run, image)
        c.check(run.log["own_retries"] >= 1, "the device did not repeat its last ACK")
        sends = [d for d in run.log["data"] if d[1] == 5]
        c.equal([d[4] for d in sends], ["lost", "new"], "arrivals of block 5")
        if len(sends) == 2:
            delay = sends[1][0] - sends[0][0]
            c.check(0.8 <= delay <= 3.0, f"block 5 sent again after {delay:.3f} s")

        c.start("the read request twice, every ACK twice and followed by the one before it, "
                "every 7th sent again")
        run = update(lab, qbupdate, path, tmp, ["--rrq-twice", "--dup-all-acks", "--stale-acks",
                                                "--duplicate-every", "7"])
        check_transfer(c, run, lab, image)
        check_beacons(c, run, lab)
        check_data_sizes(c, run, image)
        rrqs = run.log["rrqs"]
        c.equal([r["port"] for r in rrqs], [rrqs[0]["port"]] * 2, "read requests' ports")
        # The repeated read request gets DATA 1 again from the same port, not a new transfer.
        first = [(d[4], d[3]) for d in run.log["data"] if d[1] == 1]
        c.check(len(first) == 2 and first[1] == ("dup", first[0][1]),
                f"DATA 1 arrivals (kind, port): {first}")
        repeats = [d for d in run.log["data"] if d[4] != "new" and d[1] != 1]
        # Answering each duplicate ACK would double every block; a stray stall may cost one.
        c.check(len(repeats) <= 2, f"{len(repeats)} blocks sent again: {repeats[:5]}")

        c.start("the device answers block 7 with a TFTP error, then takes it when it comes again")
        run = update(lab, qbupdate, path, tmp, ["--error-at", "7", "--error-text", "Disk full"])
        check_transfer(c, run, lab, image, quiet=False)
        check_data_sizes(c, run, image)
        lines = run.stderr_lines
        if c.equal(len(lines), 1, f"lines on standard error ({run.stderr!r})") and \
                run.log["errors_sent"]:
            when, line = lines[0]
            text = line.decode(errors="replace")
            for word in ("QBupdate: ", 'TFTP error 3 "Disk full"', "block 7", lab.device_addr):
                c.check(word in text, f"device-error line {text!r} does not name {word!r}")
            delay = when - (run.log["t0"] + run.log["errors_sent"][0][0])
            c.check(-0.2 <= delay <= 1.0, f"device-error line {delay:.2f} s after the error")

        c.start("another host on the segment acknowledges every block first, the last too")
        lab.add_address(lab.device, lab.device_if, FORGER_ADDR)
        run = update(lab, qbupdate, path, tmp, ["--forge-acks-from", FORGER_ADDR, "--drop-ack",
                                                str(LAST_BLOCK), "--timeout", "6"])
        check_transfer(c, run, lab, image)
        check_data_sizes(c, run, image)
        c.equal(run.log["forged_acks"], LAST_BLOCK, "acknowledgements from the other host")
        c.equal(run.log["forged_data"], [], "DATA sent to the other host")
        # Its ACK of the last block did not end the update: the block went out again, and only
        # the device's own ACK of it ended the run.
        c.equal([(d[1], d[2]) for d in run.log["data"] if d[4] != "new"], [(LAST_BLOCK, 0)],
                "blocks sent again (number, size)")

        c.start("another host asks port 69 for the image while block 50 is on its way")
        lab.add_address(lab.device, lab.device_if, STRANGER_ADDR)
        run = update(lab, qbupdate, path, tmp, ["--stranger-fetch-from", STRANGER_ADDR,
                                                "--stranger-fetch-at", "50"])
        check_transfer(c, run, lab, image, quiet=False)
        check_data_sizes(c, run, image)
        c.equal([(a["from"], bytes.fromhex(a["hex"])) for a in run.log["stranger_answers"]],
                [([lab.host_addr, 69], REFUSAL)], "what the other host got")
        c.equal(len(run.log["rrqs"]), 1, "read requests the device had to send")
        told = [line for _, line in run.stderr_lines if STRANGER_ADDR.encode() in line]
        c.equal(len(told), 1, f"lines naming {STRANGER_ADDR} ({run.stderr!r})")
        c.check(all(line.startswith(b"QBupdate: ") and b"refused" in line for line in told),
                f"refusal line {told!r}")

        c.start("a second unit in its loader asks for an address as the device starts to fetch")
        run = update(lab, qbupdate, path, tmp, ["--second-unit", SECOND_HW.replace(":", "")])
        check_transfer(c, run, lab, image, quiet=False)
        c.equal(run.log["second_unit_answers"], 1, "replies to the second unit")
        told = [(t, line) for t, line in run.stderr_lines if SECOND_HW.encode() in line]
        if c.equal(len(told), 1, f"lines naming {SECOND_HW} ({run.stderr!r})"):
            when, line = told[0]
            for word in (DEVICE_HW, "power off"):
                c.check(word.encode() in line, f"second-unit line {line!r} lacks {word!r}")
            # At once: the unit asks right after the device's reply.
            replied = run.log["t0"] + run.log["bootp_replies"][0]["t"]
            c.check(when - replied <= 2.0, f"second-unit line {when - replied:.1f} s after "
                                           "the device's reply")

        c.start("second read request on receiving block 120")
        run = update(lab, qbupdate, path, tmp, ["--restart-at", "120"])
        trail = console_trail(progress_calls(SIZE, blocks_acked=119) + progress_calls(SIZE))
        check_transfer(c, run, lab, image, trail=trail)
        check_bootp(c, run, lab)
        rrqs = run.log["rrqs"]
        c.equal(len(rrqs), 2, "read requests sent")
        if len(rrqs) == 2:
            c.equal(rrqs[0]["hex"], rrqs[1]["hex"], "the two read requests")
            c.check(rrqs[0]["port"] != rrqs[1]["port"], "restart came from the same port")
        blocks = new_blocks(run)
        c.equal([(d[1], d[2]) for d in blocks],
                [(b, 512) for b in range(1, 121)] +
                [(b + 1, n) for b, n in enumerate(data_sizes(SIZE))],
                "DATA (number, size) across the restart")
        second_port = {d[3] for d in blocks[120:]}
        c.equal(len(second_port), 1, "data ports of the restarted transfer")

        c.start(f"no read request for {STALL} s after the BOOTP reply, BOOTP requests every "
                f"0.3 s; then no ACK of the last block for {STALL} s")
        run = update(lab, qbupdate, path, tmp, ["--fetch-delay", str(STALL), "--bootp-every",
                                                "0.3", "--stall-at", str(LAST_BLOCK),
                                                "--stall-for", str(STALL)], timeout=60)
        check_transfer(c, run, lab, image, quiet=False)
        check_data_sizes(c, run, image)
        check_stall_notices(c, run, lab)
        # Meanwhile the last block goes out about once a second, BOOTP requests or not.
        ignored = [d for d in run.log["data"] if d[4] == "ignored"]
        c.check(STALL - 3 <= len(ignored) <= STALL + 1,
                f"the last block sent {len(ignored)} times while unacknowledged for {STALL} s")
    c.finish()


if __name__ == "__main__":
    main()
