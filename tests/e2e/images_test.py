"""End to end: complete updates of small images, in both modes, on a segment with stray
traffic and with a second interface whose device must not be served, while another program
holds port 9 on the loopback address (the wake endpoint is bound to the chosen address only);
a tagged BOOTP request from the echo port gets no reply. Then two /28 subnets of one /24 on two
interfaces: the device's own serves it, and for a target on no subnet of the host, or behind an
interface without link, QBupdate says at start that it waits for one."""

from e2e_support import (TFTP_ERROR_ONLY_RRQ, Lab, check_beacon_rhythm, complete, finish_device,
                         first_notice, hold_port, make_image, run_test, start_device, workdir)


def main(qbupdate, c):
    with workdir("images") as tmp, Lab("e2eimg", second_segment=True) as lab:
        hold_port(lab, "127.0.0.1", 9)
        # The smallest images: one empty DATA, or a full one and then an empty one.
        for title, size, seed, device_args, boot in (
                ("empty image, boot area, tag in other letter case", 0, 1,
                 "--sname PEXLINqb", True),
                ("512-byte image: a full block, then an empty one", 512, 2, "", False)):
            complete(c, title, lab, qbupdate, make_image(tmp, size, seed), tmp, device_args,
                     boot=boot, trail=b"100%\n", beacons=1, bootp=True, sizes=True)

        # Strays ten times a second from the first beacon on; the device answers only once
        # six beacons have come, which they can only if the strays did not silence them.
        run = complete(c, "1000-byte image after stray traffic and a write request", lab,
                       qbupdate, make_image(tmp, 1000, 3), tmp, "--stray-interval 0.1 --wrq "
                       "--answer-after-beacons 6 --bootp-length 250 --beacon-timeout 8 "
                       "--bootp-from-port 7", trail=b".100%\n", beacons=6, bootp=True, sizes=True)
        check_beacon_rhythm(c, run)
        c.check(run.log["strays_sent"] >= 15, f"only {run.log['strays_sent']} strays sent")
        c.equal([bytes.fromhex(a["hex"]) for a in run.log["wrq_answers"]],
                [TFTP_ERROR_ONLY_RRQ], "answer to the write request")
        c.check(all(a["from"] == [lab.host_addr, 69] for a in run.log["wrq_answers"]),
                "ERROR not from port 69")
        # An untagged request to 67, junk to 69 and an oversized datagram to 69: none answered.
        c.equal(run.log["stray_answers"], [], "answers to stray traffic")
        # A tagged request from the echo port gets no reply and does not stop the beacon.
        c.equal(run.log["low_port_replies"], [], "replies to a request from port 7")
        c.check(run.log["beacons_during_low_port"] >= 2,
                f"{run.log['beacons_during_low_port']} beacons in the 1.6 s after the request "
                "from port 7")

        stranger = start_device(lab, lab.stranger, lab.stranger_if, lab.stranger_addr, tmp,
                                "stranger", ["--no-beacon", "--bootp-tries", "8",
                                             "--bootp-interval", "0.5"])
        complete(c, "102,400-byte image while a device on the second interface asks too", lab,
                 qbupdate, make_image(tmp, 102400, 4), tmp, "--answer-after-beacons 3",
                 trail=b"".join(b"." * 38 + f"{p}%\n".encode() for p in (20, 40, 60, 80, 100)),
                 beacons=3, bootp=True, sizes=True)
        # It started before QBupdate and asked for 3.5 s, all through the run.
        status, record, _ = finish_device(*stranger, timeout=10)
        c.equal(status, 1, "exit status of the device on the second interface")
        c.equal(record["result"], "no-bootp-reply", "device on the second interface")
        c.equal(record["bootp_replies"], [], "BOOTP replies on the second interface")
        c.equal(record["beacons"], [], "beacons on the second interface")
        c.check(len(record["bootp_requests"]) == 8,
                f"the second device sent {len(record['bootp_requests'])} requests")

    # Two /28 subnets of one /24 on two interfaces: the address on the device's subnet serves
    # it, though the other shares more bits with the device's address.
    with workdir("subnets") as tmp, Lab("e2e28", second_segment=True, prefix=28,
                                        second_host_addr="198.51.100.26",
                                        stranger_addr="198.51.100.27") as lab:
        path = make_image(tmp, 1000, 5)
        complete(c, "two /28 subnets: the device's own serves it", lab, qbupdate, path, tmp,
                 trail=b".100%\n", bootp=True)

        c.start("a target on no subnet of this host, then one behind an interface without link: "
                "QBupdate waits for one")
        for target, setup, words in (
                ("198.51.100.40", None,
                 ["waiting up to 20 s for an address on the subnet of 198.51.100.40",
                  "tries from 198.51.100.26"]),
                ("198.51.100.20", (lab.stranger, lab.stranger_if),
                 ["waiting up to 20 s for a link on the subnet of 198.51.100.20",
                  f"{lab.second_host_if}, which holds 198.51.100.26, has no link"])):
            if setup:
                lab.set_link(*setup, up=False)
            elapsed, line = first_notice(lab, qbupdate, path, target)
            text = line.decode(errors="replace")
            c.check(elapsed is not None and elapsed <= 1.0,
                    f"notice for {target} after {elapsed} s: {text!r}")
            c.names(text, words, "notice")
            print(f"   notice after {elapsed} s: {text.strip()}", flush=True)


if __name__ == "__main__":
    run_test("e2e images", main)
