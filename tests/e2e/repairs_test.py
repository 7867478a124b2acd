"""End to end: updates that need repairing on the way, each still completing. The host's
retransmission repairs a withheld acknowledgement (of the last block too) and a lost block, even
amid BOOTP requests every 0.3 s; repeated, late and forged acknowledgements change nothing; a read
request that comes twice is answered from the first data port, one from a new port mid-transfer
starts the image again. Each stall (no read request after the BOOTP reply, the last block
unacknowledged) gets one notice on standard error; so do a TFTP error from the device, at once,
another host's read request, refused from port 69, and a second unit's request, answered and told at
once with both hardware addresses. The host's interface lists another address before the chosen one,
which the BOOTP reply must still come from."""

from e2e_support import (Lab, complete, console_trail, data_sizes, make_image, new_blocks,
                         progress_calls, run_test, workdir)

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
        c.names(text, want, "notice")
        c.check(9.5 <= when - start <= 12.0, f"notice {text!r} {when - start:.1f} s after the "
                                             "stall began, want 10 to 12")
        print(f"   notice {when - start:.2f} s after the stall began: {text.strip()}", flush=True)


def main(qbupdate, c):
    with workdir("repairs") as tmp, Lab("e2erep", first_host_addr="203.0.113.1") as lab:
        path = make_image(tmp, SIZE, 5)

        def repaired(title, device_args, **checks):
            return complete(c, title, lab, qbupdate, path, tmp, device_args, **checks)

        # The device's own time-out is long, so only the host can repair the loss; its BOOTP
        # requests must not hold the repair back.
        run = repaired("withheld ACKs of block 3 and of the last block, BOOTP requests every "
                       "0.3 s", f"--drop-ack 3 --drop-ack {LAST_BLOCK} --timeout 6 --bootp-every "
                       "0.3", bootp=True, sizes=True)
        c.equal(run.log["own_retries"], 0, "device time-outs")
        withheld = {block: t for t, block in run.log["acks_withheld"]}
        repeats = [d for d in run.log["data"] if d[4] == "dup"]
        c.equal([(d[1], d[2]) for d in repeats], [(3, 512), (LAST_BLOCK, 0)],
                "blocks sent again (number, size)")
        for block in (3, LAST_BLOCK):
            again = [d[0] for d in repeats if d[1] == block]
            if block in withheld and again:
                # Two quiet half-second ticks after the send: about a second.
                delay = again[0] - withheld[block]
                c.check(0.8 <= delay <= 2.0, f"block {block} sent again after {delay:.3f} s")
        sent, answered = run.log["extra_bootp_sent"], run.log["extra_bootp_answers"]
        c.check(sent >= 4 and answered >= sent - 1,
                f"{answered} of {sent} BOOTP requests during the transfer answered")

        run = repaired("block 5 lost: the device repeats ACK 4 before the host sends block 5 "
                       "again", "--lose-data 5 --timeout 0.4", sizes=True)
        c.check(run.log["own_retries"] >= 1, "the device did not repeat its last ACK")
        sends = [d for d in run.log["data"] if d[1] == 5]
        c.equal([d[4] for d in sends], ["lost", "new"], "arrivals of block 5")
        if len(sends) == 2:
            delay = sends[1][0] - sends[0][0]
            c.check(0.8 <= delay <= 3.0, f"block 5 sent again after {delay:.3f} s")

        run = repaired("the read request twice, every ACK twice and followed by the one before "
                       "it, every 7th sent again",
                       "--rrq-twice --dup-all-acks --stale-acks --duplicate-every 7", beacons=1,
                       sizes=True)
        rrqs = run.log["rrqs"]
        c.equal([r["port"] for r in rrqs], [rrqs[0]["port"]] * 2, "read requests' ports")
        # The repeated read request gets DATA 1 again from the same port, not a new transfer.
        first = [(d[4], d[3]) for d in run.log["data"] if d[1] == 1]
        c.check(len(first) == 2 and first[1] == ("dup", first[0][1]),
                f"DATA 1 arrivals (kind, port): {first}")
        repeats = [d for d in run.log["data"] if d[4] != "new" and d[1] != 1]
        # Answering each duplicate ACK would double every block; a stray stall may cost one.
        c.check(len(repeats) <= 2, f"{len(repeats)} blocks sent again: {repeats[:5]}")

        run = repaired("the device answers block 7 with a TFTP error, then takes it when it "
                       "comes again", ["--error-at", "7", "--error-text", "Disk full"],
                       quiet=False, sizes=True)
        lines = run.stderr_lines
        if c.equal(len(lines), 1, f"lines on standard error ({run.stderr!r})") and \
                run.log["errors_sent"]:
            when, line = lines[0]
            text = line.decode(errors="replace")
            c.names(text, ("QBupdate: ", 'TFTP error 3 "Disk full"', "block 7", lab.device_addr),
                    "device-error line")
            delay = when - (run.log["t0"] + run.log["errors_sent"][0][0])
            c.check(-0.2 <= delay <= 1.0, f"device-error line {delay:.2f} s after the error")

        lab.add_address(lab.device, lab.device_if, FORGER_ADDR)
        run = repaired("another host on the segment acknowledges every block first, the last "
                       "too", f"--forge-acks-from {FORGER_ADDR} --drop-ack {LAST_BLOCK} "
                       "--timeout 6", sizes=True)
        c.equal(run.log["forged_acks"], LAST_BLOCK, "acknowledgements from the other host")
        c.equal(run.log["forged_data"], [], "DATA sent to the other host")
        # Its ACK of the last block did not end the update: the block went out again, and only
        # the device's own ACK of it ended the run.
        c.equal([(d[1], d[2]) for d in run.log["data"] if d[4] != "new"], [(LAST_BLOCK, 0)],
                "blocks sent again (number, size)")

        lab.add_address(lab.device, lab.device_if, STRANGER_ADDR)
        run = repaired("another host asks port 69 for the image while block 50 is on its way",
                       f"--stranger-fetch-from {STRANGER_ADDR} --stranger-fetch-at 50",
                       quiet=False, sizes=True)
        c.equal([(a["from"], bytes.fromhex(a["hex"])) for a in run.log["stranger_answers"]],
                [([lab.host_addr, 69], REFUSAL)], "what the other host got")
        c.equal(len(run.log["rrqs"]), 1, "read requests the device had to send")
        told = [line for _, line in run.stderr_lines if STRANGER_ADDR.encode() in line]
        c.equal(len(told), 1, f"lines naming {STRANGER_ADDR} ({run.stderr!r})")
        c.check(all(line.startswith(b"QBupdate: ") and b"refused" in line for line in told),
                f"refusal line {told!r}")

        run = repaired("a second unit in its loader asks for an address as the device starts to "
                       "fetch", f"--second-unit {SECOND_HW.replace(':', '')}", quiet=False)
        c.equal(run.log["second_unit_answers"], 1, "replies to the second unit")
        told = [(t, line) for t, line in run.stderr_lines if SECOND_HW.encode() in line]
        if c.equal(len(told), 1, f"lines naming {SECOND_HW} ({run.stderr!r})"):
            when, line = told[0]
            c.names(line.decode(errors="replace"), (DEVICE_HW, "power off"), "second-unit line")
            # At once: the unit asks right after the device's reply.
            replied = run.log["t0"] + run.log["bootp_replies"][0]["t"]
            c.check(when - replied <= 2.0, f"second-unit line {when - replied:.1f} s after "
                                           "the device's reply")

        run = repaired("second read request on receiving block 120", "--restart-at 120",
                       trail=console_trail(progress_calls(SIZE, blocks_acked=119) +
                                           progress_calls(SIZE)), bootp=True)
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
        c.equal(len({d[3] for d in blocks[120:]}), 1, "data ports of the restarted transfer")

        run = repaired(f"no read request for {STALL} s after the BOOTP reply, BOOTP requests "
                       f"every 0.3 s; then no ACK of the last block for {STALL} s",
                       f"--fetch-delay {STALL} --bootp-every 0.3 --stall-at {LAST_BLOCK} "
                       f"--stall-for {STALL}", timeout=60, quiet=False, sizes=True)
        check_stall_notices(c, run, lab)
        # Meanwhile the last block goes out about once a second, BOOTP requests or not.
        ignored = [d for d in run.log["data"] if d[4] == "ignored"]
        c.check(STALL - 3 <= len(ignored) <= STALL + 1,
                f"the last block sent {len(ignored)} times while unacknowledged for {STALL} s")


if __name__ == "__main__":
    run_test("e2e repairs", main)
