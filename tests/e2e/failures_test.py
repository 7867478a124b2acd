"""End to end: updates that cannot happen. Port 69 held by another program ends QBupdate at
once with status 3, on a host whose loopback holds 70 addresses listed before the usable one; a
device that never answers, on a segment busy with stray traffic, gets exactly 41 wake beacons,
half a second apart, before status 4. Meanwhile only a write request gets an ERROR, and a server
that answers every datagram with an ERROR, started with one forged ERROR, hears nothing back. A
device that takes the BOOTP reply and never asks for the image ends the update with status 4 60 s
after the reply, in a line naming its hardware address. A subnet's broadcast or network address,
the host's own address and a multicast address as the target end the run at once with status 1,
before the banner."""

from e2e_support import (BANNER_FIRMWARE, TFTP_ERROR_ONLY_RRQ, Lab, check_at_once,
                         check_beacon_rhythm, check_beacons, hold_port, make_image, run_test,
                         update, workdir)


def main(qbupdate, c):
    with workdir("failures") as tmp, Lab("e2efail") as lab:
        path = make_image(tmp, 1000, 7)

        c.start("port 69 already taken on the host, 69 more addresses on its loopback")
        for i in range(69):
            lab.add_address(lab.host, "lo", f"127.0.{1 + i // 200}.{1 + i % 200}")
        holder = hold_port(lab, lab.host_addr, 69)
        check_at_once(c, "port 69 taken", lab, [qbupdate, path, lab.device_addr], 3,
                      ["69", lab.host_addr], out_exact=BANNER_FIRMWARE)
        holder.kill()
        holder.wait()

        c.start("targets that cannot be one device: refused before anything is sent")
        for target, reason in (("198.51.100.255", "broadcast address of 198.51.100.0/24"),
                               ("198.51.100.0", "network address of 198.51.100.0/24"),
                               (lab.host_addr, "this host's own address"),
                               ("224.0.0.9", "multicast")):
            # No banner on the console: the engine never started.
            check_at_once(c, target, lab, [qbupdate, path, target], 1, [target, reason],
                          out_exact=b"")

        c.start("silent device amid stray traffic, a write request and an ERROR from port 69")
        run = update(lab, qbupdate, path, tmp, "--silent --stray-interval 0.2 --wrq "
                     "--reflect-errors 2 --beacon-timeout 60", device_wait=0.5)
        c.equal(run.status, 4, "QBupdate exit status")
        c.equal(run.stdout, BANNER_FIRMWARE, "console output")
        lines = run.stderr.decode(errors="replace").splitlines(keepends=True)
        if c.equal(len(lines), 1, f"lines on standard error ({run.stderr!r})"):
            c.check(lines[0].startswith("QBupdate: ") and lines[0].endswith("\n"),
                    f"failure line {lines[0]!r}")
            c.names(lines[0], [lab.device_addr], "failure line")
        c.check(18.0 <= run.elapsed <= 30.0, f"gave up after {run.elapsed:.1f} s, want about 21")
        check_beacons(c, run, lab)
        c.equal(len(run.log["beacons"]), 41, "beacons sent")
        check_beacon_rhythm(c, run)
        c.check(run.log["strays_sent"] >= 150, f"only {run.log['strays_sent']} strays sent")
        c.equal(run.log["bootp_replies"], [], "replies to untagged BOOTP requests")
        c.equal([bytes.fromhex(a["hex"]) for a in run.log["wrq_answers"]],
                [TFTP_ERROR_ONLY_RRQ], "answer to the write request")
        c.equal(run.log["stray_answers"], [], "answers to stray traffic")
        # Answering the ERROR would start an exchange that lasts as long as the peer answers.
        c.equal(run.log["reflected"], 0, "datagrams sent back to a peer that answers each one")

        c.start("the device takes the BOOTP reply and never asks for the image")
        run = update(lab, qbupdate, path, tmp, "--fetch-delay 90", timeout=90, device_wait=0.5)
        c.equal(run.status, 4, "QBupdate exit status")
        c.equal(run.stdout, BANNER_FIRMWARE, "console output")
        c.equal(len(run.log["bootp_replies"]), 1, "BOOTP replies")
        c.equal(run.log["rrqs"], [], "read requests")
        if c.check(run.stderr_lines and run.log["bootp_replies"], f"stderr {run.stderr!r}"):
            when, last = run.stderr_lines[-1]
            text = last.decode(errors="replace")
            c.names(text, ("QBupdate: ", "02:00:5e:10:00:0a", "60 s", "UDP port 69",
                           lab.host_addr, "second unit"), "give-up line")
            after = when - (run.log["t0"] + run.log["bootp_replies"][0]["t"])
            c.check(59.5 <= after <= 62.0, f"gave up {after:.1f} s after the reply, want 60")


if __name__ == "__main__":
    run_test("e2e failures", main)
