"""End to end: the host's address on the device's subnet comes and goes. Started before that
address exists (a direct cable whose device is powered after the start), QBupdate says once that
it waits for one, naming the device and the address it would otherwise use, and updates the device
from the address added 3 s later; so too when the host has no usable address at all at the start.
Taken away for 3 s in the middle of a transfer and given back, the address costs the update
nothing but the blocks sent meanwhile. A subnet's broadcast address given as the target is
refused once that subnet's address has come, as it would have been at the start.

    python3 address_test.py PATH-TO-QBupdate      (as root; exits 77 to skip otherwise)
"""

import time

from e2e_support import (Checks, Lab, check_beacons, check_bootp, check_data_sizes,
                         check_transfer, hold_port, make_image, new_blocks, qbupdate_path,
                         require_root, update, workdir)

SIZE = 102400  # 200 full blocks and an empty one
ADD_AFTER = 3.0
STALL_AT = 100
STALL_FOR = 8.0   # the device takes no notice of block 100 for this long; no stall notice yet
GONE_AT = 2.5     # seconds after the start, within the stall
GONE_FOR = 3.0


def sleep_until(when):
    time.sleep(max(0.0, when - time.monotonic()))


def check_waiting_line(c, run, began, words):
    lines = run.stderr_lines
    if not c.equal(len(lines), 1, f"lines on standard error ({run.stderr!r})"):
        return
    when, line = lines[0]
    text = line.decode(errors="replace")
    c.check(text.startswith("QBupdate: waiting") and text.endswith("\n"), f"line {text!r}")
    for word in ["connect or power the device", *words]:
        c.check(word in text, f"waiting line {text!r} does not name {word!r}")
    c.check(when - began <= 1.5, f"waiting line {when - began:.2f} s after the start")
    print(f"   after {when - began:.2f} s: {text.strip()}", flush=True)


def main():
    qbupdate = qbupdate_path()
    require_root()
    c = Checks("e2e address")
    with workdir("address") as tmp, Lab("e2eadr", second_segment=True) as lab:
        path = make_image(tmp, SIZE, 11)
        image = open(path, "rb").read()

        for case, other in (("another address on the host", lab.second_host_addr),
                            ("no usable address at all", None)):
            c.start(f"the device's subnet added {ADD_AFTER:.0f} s after the start; {case}")
            lab.remove_address(lab.host, lab.host_if, lab.host_addr)
            if other is None:
                lab.remove_address(lab.host, lab.second_host_if, lab.second_host_addr)
            added = []  # QBupdate's start, then when the address was added

            def add_later(began, _lines):
                added.append(began)
                sleep_until(began + ADD_AFTER)
                lab.add_address(lab.host, lab.host_if, lab.host_addr)
                added.append(time.monotonic())

            run = update(lab, qbupdate, path, tmp, meanwhile=add_later)
            if other is None:
                lab.add_address(lab.host, lab.second_host_if, lab.second_host_addr)
            check_transfer(c, run, lab, image, quiet=False)
            check_bootp(c, run, lab)
            check_beacons(c, run, lab)
            if not c.equal(len(added), 2, "address added"):
                continue
            check_waiting_line(c, run, added[0], [lab.device_addr] + ([other] if other else []))
            if run.log["beacons"]:
                first = run.log["t0"] + run.log["beacons"][0]["t"]
                c.check(first >= added[1], f"a beacon {added[1] - first:.2f} s before the "
                                           "address was added")
                print(f"   first beacon {first - added[1]:.2f} s after the address was added",
                      flush=True)

        c.start("the subnet's broadcast address as the target, the subnet added during the wait: "
                "refused once the address is there, before anything is sent")
        lab.remove_address(lab.host, lab.host_if, lab.host_addr)
        broadcast = lab.host_addr.rsplit(".", 1)[0] + ".255"
        began = time.monotonic()
        qb = lab.popen(lab.host, [qbupdate, path, broadcast], cwd=tmp)
        sleep_until(began + 1.5)
        lab.add_address(lab.host, lab.host_if, lab.host_addr)
        added = time.monotonic()
        try:
            _out, err = qb.communicate(timeout=15)
        except Exception:
            qb.kill()
            _out, err = qb.communicate()
        text = err.decode(errors="replace")
        c.equal(qb.returncode, 1, f"exit status ({text!r})")
        c.check(time.monotonic() - added < 3.0, f"ended {time.monotonic() - added:.1f} s after "
                                                 "the address came")
        lines = text.splitlines()
        c.check(len(lines) == 2 and lines[0].startswith("QBupdate: waiting"),
                f"standard error {text!r}")
        for word in (broadcast, "broadcast address", lab.host_if):
            c.check(word in lines[-1], f"refusal {lines[-1]!r} does not name {word!r}")

        c.start("no address on the device's subnet, and a run that fails anyway: at once, with "
                "its own line only")
        lab.remove_address(lab.host, lab.host_if, lab.host_addr)
        holder = hold_port(lab, "0.0.0.0", 69)
        for case, argv, status, words in (
                ("the default image missing", [qbupdate], 2, ["quibble_box.bin"]),
                ("port 69 held by another program", [qbupdate, path, lab.device_addr], 3,
                 ["69", "another program"])):
            began = time.monotonic()
            res = lab.run(lab.host, argv, timeout=30, cwd=tmp)
            took = time.monotonic() - began
            text = res.stderr.decode(errors="replace")
            c.equal(res.returncode, status, f"{case}: exit status")
            c.check(took < 3.0, f"{case}: ended after {took:.1f} s")
            c.check(text.count("\n") == 1 and "waiting" not in text,
                    f"{case}: standard error {text!r}")
            for word in words:
                c.check(word in text, f"{case}: {text!r} does not name {word!r}")
        holder.kill()
        holder.wait()
        lab.add_address(lab.host, lab.host_if, lab.host_addr)

        c.start(f"the host's address gone for {GONE_FOR:.0f} s in the middle of the transfer")
        bounce = []

        def take_away_and_give_back(began, _lines):
            sleep_until(began + GONE_AT)
            lab.remove_address(lab.host, lab.host_if, lab.host_addr)
            bounce.append(time.monotonic())
            sleep_until(bounce[0] + GONE_FOR)
            lab.add_address(lab.host, lab.host_if, lab.host_addr)
            bounce.append(time.monotonic())

        run = update(lab, qbupdate, path, tmp, ["--stall-at", str(STALL_AT), "--stall-for",
                                                str(STALL_FOR)], meanwhile=take_away_and_give_back)
        check_transfer(c, run, lab, image)
        check_data_sizes(c, run, image)
        if c.equal(len(bounce), 2, "address taken away and given back"):
            gone, back = bounce
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
    c.finish()


if __name__ == "__main__":
    main()
