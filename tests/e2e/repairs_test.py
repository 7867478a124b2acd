"""End to end: updates that need repairing on the way. A withheld acknowledgement (also of the
last block) and a lost block are repaired by the host's retransmission; repeated and late
acknowledgements change nothing; a second read request mid-transfer starts the image again from
block 1. The host's interface holds another address before the chosen one, and the BOOTP reply
must still come from the chosen one (check_bootp).

    python3 repairs_test.py PATH-TO-QBupdate      (as root; exits 77 to skip otherwise)
"""

from e2e_support import (Checks, Lab, check_beacons, check_bootp, check_data_sizes,
                         check_transfer, console_trail, data_sizes, make_image, new_blocks,
                         progress_calls, qbupdate_path, require_root, update, workdir)

SIZE = 102400  # 200 full blocks and an empty one
LAST_BLOCK = SIZE // 512 + 1


def main():
    qbupdate = qbupdate_path()
    require_root()
    c = Checks("e2e repairs")
    with workdir("repairs") as tmp, Lab("e2erep", first_host_addr="203.0.113.1") as lab:
        path = make_image(tmp, SIZE, 5)
        image = open(path, "rb").read()

        c.start("withheld ACKs of block 3 and of the last block")
        # The device's own time-out is long, so only the host can repair the loss.
        run = update(lab, qbupdate, path, tmp, ["--drop-ack", "3", "--drop-ack",
                                                str(LAST_BLOCK), "--timeout", "6"])
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
                c.check(0.8 <= delay <= 3.0, f"block {block} sent again after {delay:.3f} s")

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

        c.start("every ACK twice, each followed by the one before it, every 7th sent again")
        run = update(lab, qbupdate, path, tmp, ["--dup-all-acks", "--stale-acks",
                                                "--duplicate-every", "7"])
        check_transfer(c, run, lab, image)
        check_beacons(c, run, lab)
        check_data_sizes(c, run, image)
        repeats = [d for d in run.log["data"] if d[4] != "new"]
        # Answering each duplicate ACK would double every block; a stray stall may cost one.
        c.check(len(repeats) <= 2, f"{len(repeats)} blocks sent again: {repeats[:5]}")

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
    c.finish()


if __name__ == "__main__":
    main()
