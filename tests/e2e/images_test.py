"""End to end: complete updates of small images, in both modes, on a segment with stray
traffic and with a second interface whose device must not be served, while another program
holds port 9 on the loopback address (the wake endpoint is bound to the chosen address only);
a tagged BOOTP request from the echo port gets no reply. Then two /28 subnets of one /24 on two
interfaces: the device's own serves it, and for a target on no subnet of the host, or behind an
interface without link, QBupdate says at start that it waits for one.

    python3 images_test.py PATH-TO-QBupdate      (as root; exits 77 to skip otherwise)
"""

from e2e_support import (TFTP_ERROR_ONLY_RRQ, Checks, Lab, check_beacon_rhythm, check_beacons,
                         check_bootp, check_data_sizes, check_transfer, finish_device, first_notice,
                         hold_port, make_image, qbupdate_path, require_root, start_device, update,
                         workdir)


def main():
    qbupdate = qbupdate_path()
    require_root()
    c = Checks("e2e images")
    with workdir("images") as tmp, Lab("e2eimg", second_segment=True) as lab:
        hold_port(lab, "127.0.0.1", 9)

        c.start("empty image, boot area, tag in other letter case")
        image = b""
        run = update(lab, qbupdate, make_image(tmp, 0, 1), tmp, ["--sname", "PEXLINqb"],
                     boot=True)
        check_transfer(c, run, lab, image, boot=True, trail=b"100%\n")
        check_beacons(c, run, lab)
        check_bootp(c, run, lab, boot=True)
        check_data_sizes(c, run, image)

        c.start("512-byte image: a full block, then an empty one")
        path = make_image(tmp, 512, 2)
        image = open(path, "rb").read()
        run = update(lab, qbupdate, path, tmp)
        check_transfer(c, run, lab, image, trail=b"100%\n")
        check_beacons(c, run, lab)
        check_bootp(c, run, lab)
        check_data_sizes(c, run, image)

        c.start("1000-byte image after stray traffic and a write request")
        # Strays ten times a second from the first beacon on; the device answers only once
        # six beacons have come, which they can only if the strays did not silence them.
        path = make_image(tmp, 1000, 3)
        image = open(path, "rb").read()
        run = update(lab, qbupdate, path, tmp, ["--stray-interval", "0.1", "--wrq",
                                                "--answer-after-beacons", "6",
                                                "--bootp-length", "250", "--beacon-timeout",
                                                "8", "--bootp-from-port", "7"])
        check_transfer(c, run, lab, image, trail=b".100%\n")
        check_beacons(c, run, lab, minimum=6)
        check_bootp(c, run, lab)
        check_data_sizes(c, run, image)
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

        c.start("102,400-byte image while a device on the second interface asks too")
        path = make_image(tmp, 102400, 4)
        image = open(path, "rb").read()
        stranger = start_device(lab, lab.stranger, lab.stranger_if, lab.stranger_addr, tmp,
                                "stranger", ["--no-beacon", "--bootp-tries", "8",
                                             "--bootp-interval", "0.5"])
        run = update(lab, qbupdate, path, tmp, ["--answer-after-beacons", "3"])
        want_trail = b"".join(b"." * 38 + f"{p}%\n".encode() for p in (20, 40, 60, 80, 100))
        check_transfer(c, run, lab, image, trail=want_trail)
        check_beacons(c, run, lab, minimum=3)
        check_bootp(c, run, lab)
        check_data_sizes(c, run, image)
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
        c.start("two /28 subnets: the device's own serves it")
        path = make_image(tmp, 1000, 5)
        image = open(path, "rb").read()
        run = update(lab, qbupdate, path, tmp)
        check_transfer(c, run, lab, image, trail=b".100%\n")
        check_bootp(c, run, lab)

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
            for word in words:
                c.check(word in text, f"notice {text!r} does not name {word!r}")
            print(f"   notice after {elapsed} s: {text.strip()}", flush=True)
    c.finish()


if __name__ == "__main__":
    main()
