"""The Debian package, installed as an operator would install it.

Builds the .deb with CPack and checks the .sha256 file beside it, installs the package with
dpkg, checks the manual page and the capability the package grants, then has an unprivileged
user, created for the test, update the virtual QuibbleBox with the installed /usr/bin/QBupdate
inside network namespaces, and finally purges the package. Whatever happens, the package and
the user are gone when the test ends.

    python3 tests/package/deb_test.py --build-dir build/ci-linux
"""

import argparse
import fcntl
import hashlib
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import netlab  # noqa: E402

PACKAGE = "qbupdate"
BINARY = "/usr/bin/QBupdate"
MANPAGE = "/usr/share/man/man1/QBupdate.1.gz"
IMAGE_SIZE = 102400  # 200 full blocks: a progress trail of five lines of 38 dots
TRAIL = b" Updating QuibbleBox Firmware\n" + b"".join(
    b"." * 38 + b"%d%%\n" % p for p in (20, 40, 60, 80, 100))

failures = []


def check(ok, what):
    print(("ok      " if ok else "FAILED  ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, **kwargs)


def installed():
    res = run(["dpkg-query", "-W", "-f=${Status}", PACKAGE])
    return res.returncode == 0 and "installed" in res.stdout.split()


in_dpkg = False
stop_requested = False


def on_sigterm(*_):
    """Stopped from outside: unwind (purging the package, removing the user), but never
    interrupt dpkg itself, which would leave the package database half configured."""
    global stop_requested
    stop_requested = True
    if not in_dpkg:
        sys.exit(1)


def dpkg(*args):
    """dpkg, waiting while another package manager holds its lock."""
    global in_dpkg
    deadline = time.monotonic() + 300
    while True:
        in_dpkg = True
        try:
            res = run(["dpkg", *args])
        finally:
            in_dpkg = False
        if stop_requested:
            sys.exit(1)
        busy = "frontend lock" in res.stderr or "database is locked" in res.stderr
        if res.returncode == 0 or not busy or time.monotonic() > deadline:
            return res
        time.sleep(2)


def build_package(build_dir, out_dir):
    res = run(["cpack", "-G", "DEB", "--config", os.path.join(build_dir, "CPackConfig.cmake"),
               "-B", out_dir])
    debs = [f for f in os.listdir(out_dir) if f.endswith(".deb")]
    if not check(res.returncode == 0 and len(debs) == 1, "cpack builds one .deb"):
        print(res.stdout + res.stderr)
        return None
    deb = os.path.join(out_dir, debs[0])
    sums = deb + ".sha256"
    listed = open(sums).read() if os.path.exists(sums) else None
    with open(deb, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    if not check(listed == f"{digest}  {debs[0]}\n" and
                 run(["sha256sum", "-c", os.path.basename(sums)], cwd=out_dir).returncode == 0,
                 f"{debs[0]}.sha256 holds the package's SHA-256 for sha256sum -c"):
        print(f"it reads {listed!r}")
    return deb


def check_installation():
    check(os.access(BINARY, os.X_OK), f"{BINARY} is installed")
    caps = run(["getcap", BINARY]).stdout.split()
    check(caps[1:] == ["cap_net_bind_service=ep"],
          f"the binary has exactly cap_net_bind_service=ep (getcap: {' '.join(caps)})")
    with open(BINARY, "rb") as f:
        program = f.read()
    for windows_words in (b"netsh", b"Internet Connection Sharing"):
        check(windows_words not in program, f"the Linux binary carries {windows_words!r}")
    where = run(["man", "-w", "QBupdate"]).stdout.strip()
    check(where == MANPAGE, f"man -w QBupdate finds {MANPAGE} (got {where!r})")
    page = run(["man", "--warnings", "-l", MANPAGE],
               env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8", MAN_KEEP_FORMATTING=""))
    text = page.stdout
    check(page.returncode == 0 and page.stderr == "", f"the manual page renders without "
          f"warnings{': ' + page.stderr if page.stderr else ''}")
    check("QBupdate [filename [targetIP [boot]]]" in text, "the synopsis shows the boot keyword")
    for section in ("ON THE WIRE", "OUTPUT", "EXIT STATUS", "PRIVILEGES", "EXAMPLES"):
        check(f"\n{section}\n" in text, f"the manual page has the section {section}")


def update_as_user(source_dir, uid, gid, work):
    """The unprivileged user updates the virtual device with the installed binary."""
    image = os.path.join(work, "image.bin")
    with open(image, "wb") as f:
        f.write(os.urandom(IMAGE_SIZE))
    os.chmod(image, 0o644)
    plain = os.path.join(work, "QBupdate-without-capabilities")
    shutil.copy(BINARY, plain)  # a copy carries no file capabilities
    received = os.path.join(work, "received.bin")
    as_user = ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups"]
    device_tool = os.path.join(source_dir, "tools", "virtual_quibblebox.py")

    with netlab.Lab("pkg") as lab:
        res = lab.run(lab.host, as_user + [plain, image, lab.device_addr], cwd=work, timeout=30)
        check(res.returncode == 3 and b"port 9" in res.stderr and b"permission denied"
              in res.stderr, "without the capability the same user gets exit status 3, "
              f"permission denied on port 9 (status {res.returncode}, {res.stderr!r})")

        device = lab.popen(lab.device, ["python3", device_tool, "--iface", lab.device_if,
                                        "--addr", lab.device_addr, "--out", received])
        ready = device.stdout.readline()
        if not check(ready.strip() == b"listening", "the virtual device listens"):
            return
        res = lab.run(lab.host, as_user + [BINARY, image, lab.device_addr], cwd=work,
                      timeout=60)
        start, _, rest = res.stderr.partition(b"\n")
        with open(image, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest().encode()
        if not check(res.returncode == 0 and start.startswith(b"QBupdate: serving ") and
                     b"SHA-256 " + digest in start and rest.startswith(b"QBupdate: updated ")
                     and rest.count(b"\n") == 1,
                     f"the user's update exits 0 (status {res.returncode}, {res.stderr!r})"):
            return
        check(res.stdout == TRAIL, f"banner and progress trail as expected ({res.stdout!r})")
        try:
            device_status = device.wait(timeout=30)
        except subprocess.TimeoutExpired:
            device_status = None
        if not check(device_status == 0, f"the virtual device received the image (status "
                     f"{device_status})"):
            return
        with open(image, "rb") as a, open(received, "rb") as b:
            check(a.read() == b.read(), "the device's copy is identical to the image")


def main():
    global stop_requested
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--source-dir", default=os.path.join(os.path.dirname(__file__), "..", ".."))
    args = ap.parse_args()
    netlab.require_root()
    signal.signal(signal.SIGTERM, on_sigterm)
    for tool in ("cpack", "dpkg", "getcap", "setpriv", "useradd", "man"):
        if shutil.which(tool) is None:
            print(f"FAILED  {tool} is missing (tests/run-all.sh installs it)")
            return 1

    # One package test at a time on a machine: they install the same package.
    lock = open("/run/lock/qbupdate-package-test.lock", "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    if installed():
        print(f"FAILED  the package {PACKAGE} is already installed on this machine; this test "
              "installs and purges it, so remove it first (dpkg --purge qbupdate)")
        return 1

    work = tempfile.mkdtemp(prefix="qbpkg-")
    os.chmod(work, 0o755)  # the test user reads the image and the device writes its copy here
    user = f"qbpkg{os.getpid() % 100000}"
    user_made = False
    try:
        deb = build_package(os.path.abspath(args.build_dir), os.path.join(work, "out"))
        if deb is None:
            return 1
        # A minimal image's dpkg configuration may leave manual pages out; not this one.
        res = dpkg(f"--path-include={MANPAGE}", "-i", deb)
        if not check(res.returncode == 0, "dpkg -i installs the package"):
            print(res.stdout + res.stderr)
            return 1
        check_installation()

        res = run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                   user])
        user_made = check(res.returncode == 0, f"the unprivileged user {user} is created")
        if user_made:
            entry = pwd.getpwnam(user)
            update_as_user(os.path.abspath(args.source_dir), entry.pw_uid, entry.pw_gid, work)

        res = dpkg("--purge", PACKAGE)
        check(res.returncode == 0 and not installed(), "dpkg --purge removes the package")
        check(not os.path.exists(BINARY) and not os.path.exists(MANPAGE),
              "the binary and the manual page are gone")
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)  # let the clean-up finish
        stop_requested = False
        if installed():
            dpkg("--purge", PACKAGE)
        if user_made:
            run(["userdel", user])
        shutil.rmtree(work, ignore_errors=True)
        lock.close()

    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("package test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
