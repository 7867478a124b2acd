"""End to end for the Windows build: QBupdate.exe under Wine updates the virtual device.

    python3 wine_update_test.py PATH-TO-QBupdate.exe      (as root; exits 77 to skip otherwise)

It shows, as far as Wine can, that the Windows socket layer's plain bind to the interface address
is enough: the device's limited-broadcast BOOTP requests reach QBupdate, its broadcast replies
leave by that interface, and a device on a second interface is neither heard nor answered. (Wine
binds such a socket to the wildcard address on that interface, so whether Windows does the same
only real Windows shows: doc/windows.md.) Standard error stays empty, so the start-up firewall
line stays silent where the firewall API does not answer. An image whose
folder and name are in three scripts, none of them in the ANSI code page, is loaded, and the
failure line names such a file correctly both redirected and on a console. A stall notice
reaches a redirected standard error when it is written, not when the process ends. Started
before the host has an address on the device's subnet, QBupdate waits for one, as on a direct
cable that gets its link and address only once the device is powered.
"""

import hashlib
import os
import stat
import sys
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
from e2e_support import (TFTP_ERROR_ONLY_RRQ, Checks, Lab, check_beacons,  # noqa: E402
                         check_bootp, check_data_sizes, check_transfer, finish_device,
                         make_image, qbupdate_path, require_root, start_device, update, workdir)
import winelab  # noqa: E402


def wine_launcher(directory, exe):
    """A one-line program that runs the .exe under Wine, so the shared helpers can start it."""
    path = os.path.join(directory, "QBupdate-wine")
    with open(path, "w") as f:
        f.write(f'#!/bin/sh\nexec wine "{exe}" "$@"\n')
    os.chmod(path, stat.S_IRWXU)
    return path


def windows_console(c, run):
    """Standard output is in text mode on Windows: every line ends in CR LF. The shared checks
    compare against LF endings, so check the CRs here and take them out."""
    bare = run.stdout.replace(b"\r\n", b"").count(b"\n")
    c.check(bare == 0, f"{bare} line(s) of the console end without CR LF: {run.stdout[:120]!r}")
    run.stdout = run.stdout.replace(b"\r\n", b"\n")
    return run


def main():
    exe = qbupdate_path()
    require_root()
    c = Checks("wine update")
    with workdir("wine") as tmp, Lab("wine2e", second_segment=True) as lab, \
            winelab.Prefix("e2e") as env:
        os.environ.update(env)  # the lab's commands inherit it
        # Wine converts file names and console text with the locale's character set.
        os.environ["LC_ALL"] = "C.UTF-8"
        qbupdate = wine_launcher(tmp, exe)

        c.start("102,400-byte image while a device on the second interface asks too")
        path = make_image(tmp, 102400, 4)
        image = open(path, "rb").read()
        stranger = start_device(lab, lab.stranger, lab.stranger_if, lab.stranger_addr, tmp,
                                "stranger", ["--no-beacon", "--bootp-tries", "16",
                                             "--bootp-interval", "0.5"])
        # Wine takes a few seconds to start: the device answers the third beacon.
        run = windows_console(c, update(lab, qbupdate, path, tmp, ["--answer-after-beacons", "3"],
                                        timeout=60))
        want_trail = b"".join(b"." * 38 + f"{p}%\n".encode() for p in (20, 40, 60, 80, 100))
        check_transfer(c, run, lab, image, trail=want_trail)
        check_beacons(c, run, lab, minimum=3)
        check_bootp(c, run, lab)
        check_data_sizes(c, run, image)
        status, record, _ = finish_device(*stranger, timeout=15)
        c.equal(record["bootp_replies"], [], "BOOTP replies on the second interface")
        c.equal(record["beacons"], [], "beacons on the second interface")
        c.check(len(record["bootp_requests"]) >= 8,
                f"the second device sent only {len(record['bootp_requests'])} requests")

        c.start("--check: ready, with the checksums BCrypt and the table give, nothing sent")
        res = lab.run(lab.host, [qbupdate, "--check", path, lab.device_addr], timeout=60)
        report = res.stdout.replace(b"\r\n", b"\n").decode(errors="replace")
        c.equal(res.returncode, 0, f"--check exit status ({res.stderr!r})")
        for fact in (f"{len(image)} bytes, SHA-256 {hashlib.sha256(image).hexdigest()}, "
                     f"CRC-32 {zlib.crc32(image):08x}\n",
                     f"serving from: {lab.host_addr} on ",
                     "firewall: nothing found that drops the device's requests to QBupdate",
                     "\nready: nothing stands in the way of the update"):
            c.check(fact in report, f"--check report {report!r} does not say {fact!r}")

        c.start("the device's subnet added 3 s after QBupdate says it waits for it")
        # Wine lists the addresses of the namespace through its own GetAdaptersAddresses: the
        # address added meanwhile must show in a later reading.
        lab.remove_address(lab.host, lab.host_if, lab.host_addr)
        added = []

        def add_after_waiting_line(began, lines):
            deadline = time.monotonic() + 30
            while not lines and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(3)
            lab.add_address(lab.host, lab.host_if, lab.host_addr)
            added.append(time.monotonic())

        path = make_image(tmp, 1000, 8)
        image = open(path, "rb").read()
        run = windows_console(c, update(lab, qbupdate, path, tmp, timeout=60,
                                        meanwhile=add_after_waiting_line))
        if not added:  # a failed run must not leave the lab without the address
            lab.add_address(lab.host, lab.host_if, lab.host_addr)
        check_transfer(c, run, lab, image, trail=b".100%\n", quiet=False)
        check_bootp(c, run, lab)
        if c.equal(len(run.stderr_lines), 1, f"lines on standard error ({run.stderr!r})"):
            when, line = run.stderr_lines[0]
            text = line.decode(errors="replace")
            for word in ("QBupdate: waiting", lab.device_addr, "connect or power the device",
                         lab.second_host_addr):
                c.check(word in text, f"waiting line {text!r} does not name {word!r}")
            c.check(text.endswith("\r\n"), f"waiting line {text!r} does not end in CR LF")
            print(f"   {text.strip()}", flush=True)
            if added and run.log["beacons"]:
                first = run.log["t0"] + run.log["beacons"][0]["t"]
                c.check(first >= added[0], "a beacon before the address was added")
                print(f"   first beacon {first - added[0]:.2f} s after the address was added",
                      flush=True)

        c.start("1000-byte image to the boot area from a folder named in three scripts, after "
                "stray and oversized datagrams")
        folder = os.path.join(tmp, "Прошивка Ελληνικά 固件")
        os.mkdir(folder)
        path = os.path.join(folder, "образ εικόνα 镜像.bin")
        os.rename(make_image(tmp, 1000, 3), path)
        image = open(path, "rb").read()
        run = windows_console(c, update(lab, qbupdate, path, tmp,
                                        ["--stray-interval", "0.1", "--wrq",
                                         "--answer-after-beacons", "6", "--beacon-timeout", "12"],
                                        boot=True, timeout=60))
        check_transfer(c, run, lab, image, boot=True, trail=b".100%\n")
        check_beacons(c, run, lab, minimum=6)
        check_bootp(c, run, lab, boot=True)
        c.equal([bytes.fromhex(a["hex"]) for a in run.log["wrq_answers"]],
                [TFTP_ERROR_ONLY_RRQ], "answer to the write request")
        c.equal(run.log["stray_answers"], [], "answers to stray traffic")

        c.start("a stall notice on a redirected standard error comes when it is due")
        # The C runtime would keep standard error's lines until the process ends.
        path = make_image(tmp, 1000, 6)
        image = open(path, "rb").read()
        run = windows_console(c, update(lab, qbupdate, path, tmp,
                                        ["--answer-after-beacons", "3", "--fetch-delay", "13"],
                                        timeout=60))
        check_transfer(c, run, lab, image, trail=b".100%\n", quiet=False)
        if c.equal(len(run.stderr_lines), 1, f"lines on standard error ({run.stderr!r})"):
            when, line = run.stderr_lines[0]
            after = when - (run.log["t0"] + run.log["bootp_replies"][0]["t"])
            c.check(b"has not asked for the image in 10 s" in line, f"the notice {line!r}")
            c.check(9.5 <= after <= 12.0,
                    f"the notice came {after:.1f} s after the BOOTP reply, want 10 to 12")

        c.start("the failure line names an image in three scripts, redirected and on a console")
        big = os.path.join(folder, "слишком большой 過大.bin")
        with open(big, "wb") as f:
            f.truncate(4 << 30)  # sparse: too large before a byte is read
        argv = [exe, big, lab.device_addr]
        line = f"QBupdate: cannot load image '{big}': too large (images must be smaller than 4 GiB)"
        res = lab.run(lab.host, winelab.wine(argv), timeout=60)
        c.equal(res.returncode, 2, "QBupdate exit status")
        c.equal(res.stderr.decode("utf-8", errors="replace"), line + "\r\n", "standard error")
        status, screen = winelab.run_in_console(lab.command(lab.host, winelab.wine(argv)),
                                                os.environ, timeout=60)
        c.equal(status, 2, "QBupdate exit status on a console")
        c.check(line in screen, f"the console shows {screen!r}")
    c.finish()


if __name__ == "__main__":
    main()
