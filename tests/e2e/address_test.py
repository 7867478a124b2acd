"""End to end: the host's address on the device's subnet comes and goes. Started before that
address exists (a direct cable whose device is powered after the start), QBupdate says once that
it waits for one, naming the device and the address it would otherwise use, and updates the device
from the address added 3 s later; so too when the host has no usable address at all at the start.
Taken away for 3 s in the middle of a transfer and given back, the address costs the update
nothing but the blocks sent meanwhile. A subnet's broadcast address given as the target is
refused once that subnet's address has come, as it would have been at the start."""

import time

from e2e_support import (Lab, check_at_once, complete, ended, hold_port, make_image,
                         new_blocks, run_test, timeline, workdir)

SIZE = 102400  # 200 full blocks and an empty one
ADD_AFTER = 3.0
STALL_AT = 100
STALL_FOR = 8.0   # the device takes no notice of block 100 for this long; no stall notice yet
GONE_AT = 2.5     # seconds after the start, within the stall
GONE_FOR = 3.0


def main(qbupdate, c):
    with workdir("address") as tmp, Lab("e2eadr", second_segment=True) as lab:
        path = make_image(tmp, SIZE, 11)

        for case, other in (("another address on the host", lab.second_host_addr),
                            ("no usable address at all", None)):
            lab.remove_address(lab.host, lab.host_if, lab.host_addr)
            if other is None:
                lab.remove_address(lab.host, lab.second_host_if, lab.second_host_addr)
            add_later, added = timeline(  # QBupdate's start, then the address added
                (ADD_AFTER, lambda: lab.add_address(lab.host, lab.host_if, lab.host_addr)))
            run = complete(c, f"the device's subnet added {ADD_AFTER:.0f} s after the start; "
                           f"{case}", lab, qbupdate, path, tmp, meanwhile=add_later, quiet=False,
                           bootp=True, beacons=1)
            if other is None:
                lab.add_address(lab.host, lab.second_host_if, lab.second_host_addr)
            if not c.equal(len(added), 2, "address added"):
                continue
            began, (_, added_at, _) = added
            lines = run.stderr_lines
            if c.equal(len(lines), 1, f"lines on standard error ({run.stderr!r})"):
                when, text = lines[0][0] - began, lines[0][1].decode(errors="replace")
                c.check(text.startswith("QBupdate: waiting") and text.endswith("\n"),
                        f"line {text!r}")
                c.names(text, ["connect or power the device", lab.device_addr] +
                        ([other] if other else []), "waiting line")
                c.check(when <= 1.5, f"waiting line {when:.2f} s after the start")
                print(f"   after {when:.2f} s: {text.strip()}", flush=True)
            if run.log["beacons"]:
                first = run.log["t0"] + run.log["beacons"][0]["t"]
                c.check(first >= added_at, f"a beacon {added_at - first:.2f} s before the "
                                           "address was added")
                print(f"   first beacon {first - added_at:.2f} s after the address was added",
                      flush=True)

        c.start("the subnet's broadcast address as the target, the subnet added during the wait: "
                "refused once the address is there, before anything is sent")
        lab.remove_address(lab.host, lab.host_if, lab.host_addr)
        broadcast = lab.host_addr.rsplit(".", 1)[0] + ".255"
        qb = lab.popen(lab.host, [qbupdate, path, broadcast], cwd=tmp)
        time.sleep(1.5)
        lab.add_address(lab.host, lab.host_if, lab.host_addr)
        added = time.monotonic()
        status, text = ended(qb, 15)
        c.equal(status, 1, f"exit status ({text!r})")
        c.check(time.monotonic() - added < 3.0, f"ended {time.monotonic() - added:.1f} s after "
                                                 "the address came")
        lines = text.splitlines()
        c.check(len(lines) == 2 and lines[0].startswith("QBupdate: waiting"),
                f"standard error {text!r}")
        c.names(lines[-1], (broadcast, "broadcast address", lab.host_if), "refusal")

        c.start("no address on the device's subnet, and a run that fails anyway: at once, with "
                "its own line only")
        lab.remove_address(lab.host, lab.host_if, lab.host_addr)
        holder = hold_port(lab, "0.0.0.0", 69)
        for case, argv, status, words in (
                ("the default image missing", [qbupdate], 2, ["quibble_box.bin"]),
                ("port 69 held by another program", [qbupdate, path, lab.device_addr], 3,
                 ["69", "another program"])):
            check_at_once(c, case, lab, argv, status, words, cwd=tmp)
        holder.kill()
        holder.wait()
        lab.add_address(lab.host, lab.host_if, lab.host_addr)

        take_away_and_give_back, bounce = timeline(
            (GONE_AT, lambda: lab.remove_address(lab.host, lab.host_if, lab.host_addr)),
            (GONE_AT + GONE_FOR, lambda: lab.add_address(lab.host, lab.host_if, lab.host_addr)))
        run = complete(c, f"the host's address gone for {GONE_FOR:.0f} s in the middle of the "
                       "transfer", lab, qbupdate, path, tmp,
                       f"--stall-at {STALL_AT} --stall-for {STALL_FOR}",
                       meanwhile=take_away_and_give_back, sizes=True)
        if c.equal(len(bounce) - 1, 2, "address taken away and given back"):
            gone, back = bounce[1][1], bounce[2][1]
            t0 = run.log["t0"]
            blocks = new_blocks(run)
            c.check(blocks and t0 + blocks[0][0] < gone and t0 + blocks[-1][0] > back,
                    "the address did not go in the middle of the transfer")
            resent = [t0 + d[0] for d in run.log["data"] if d[4] == "ignored"]
            c.check(not [t for t in resent if gone + 0.1 < t < back - 0.1],
                    f"block {STALL_AT} arrived while the host had no address")
            after = [t for t in resent if t > back]
            c.check(after, f"block {STALL_AT} never sent again once the address was back")
            print(f"   block {STALL_AT} sent again {len(resent)} times, {len(after)} of them "
                  "after the address came back", flush=True)


if __name__ == "__main__":
    run_test("e2e address", main)
