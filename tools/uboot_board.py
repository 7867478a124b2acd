"""U-Boot on an emulated board, as a real device for QBupdate: the tests, the benchmark and the
demo use it.

QEMU runs in the device namespace of a lab (tests/netlab.py) whose veth end is bridged to the
guest's tap device, so the guest is 198.51.100.10 on the host's segment and the device namespace
itself holds no address. U-Boot's serial console is QEMU's standard input and output; the
driver stops the autoboot, sets the addresses and types commands at the prompt.

    board = boot(lab, "aarch64")
    status, output = board.command("tftpboot 0x40200000 firmware.bin", timeout=30)
    board.crc32()               # U-Boot's CRC-32 of the bytes it loaded, or None
    board.stop()

Boards come from the Debian packages u-boot-qemu, qemu-system-arm and qemu-system-x86. Run as a
program it is the demo's real device (tools/demo.sh --device u-boot):

    python3 tools/uboot_board.py QBUPDATE aarch64|x86-64 SIZE [boot]
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zlib

HOST_ADDR = "198.51.100.1"
DEVICE_ADDR = "198.51.100.10"
BRIDGE = "qbbr0"
TAP = "qbtap0"
END_MARK = "QB-END"  # echoed by U-Boot after each command, with the command's status

BOARDS = {
    "aarch64": {
        "pace": "the pace is U-Boot's virtio-net driver under emulation",
        "qemu": "qemu-system-aarch64", "package": "qemu-system-arm",
        "firmware": "/usr/lib/u-boot/qemu_arm64/u-boot.bin",
        "args": ["-M", "virt", "-cpu", "cortex-a57", "-device", "virtio-net-pci,netdev=net0"],
        "load_addr": 0x40200000,
    },
    # romfile= keeps QEMU from looking for a network boot ROM the guest does not need.
    "x86-64": {
        "pace": "the pace is U-Boot's e1000 driver under emulation",
        "qemu": "qemu-system-x86_64", "package": "qemu-system-x86",
        "firmware": "/usr/lib/u-boot/qemu-x86_64/u-boot.rom",
        "args": ["-device", "e1000,netdev=net0,romfile="],
        "load_addr": 0x01000000,
    },
}
MEMORY_MIB = 256  # room for a 32 MiB image above the load address, below U-Boot itself


def missing(board_name):
    """What this machine lacks to run the board, as Debian package names."""
    board = BOARDS[board_name]
    lacks = []
    if shutil.which(board["qemu"]) is None:
        lacks.append(board["package"])
    if not os.path.exists(board["firmware"]):
        lacks.append("u-boot-qemu")
    return lacks


def _ip(lab, *args):
    subprocess.run(lab.command(lab.device, ["ip", *args]), check=True, capture_output=True)


def bridge_device_side(lab):
    """Moves the device's address from the lab's veth to the guest: veth and tap on a bridge."""
    _ip(lab, "addr", "flush", "dev", lab.device_if)
    _ip(lab, "link", "add", BRIDGE, "type", "bridge")
    _ip(lab, "tuntap", "add", "dev", TAP, "mode", "tap")
    for iface in (lab.device_if, TAP):
        _ip(lab, "link", "set", iface, "master", BRIDGE)
        _ip(lab, "link", "set", iface, "up")
    _ip(lab, "link", "set", BRIDGE, "up")


class Board:
    """A running board: QEMU's process and everything its console has printed so far."""

    def __init__(self, name, proc, echo=None):
        self.name = name
        self.proc = proc
        self.load_addr = BOARDS[name]["load_addr"]
        self.output = bytearray()
        self.echo = echo  # called with every chunk the console prints (the demo shows them)
        self.commands = 0
        self.changed = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            with self.changed:
                self.output += chunk
                self.changed.notify_all()
            if not chunk:
                return
            if self.echo:
                self.echo(chunk)

    def wait_for(self, pattern, timeout, start=0):
        """The first match of `pattern` in the console output from `start` on, or None when it
        has not come within `timeout` seconds or QEMU has ended."""
        deadline = time.monotonic() + timeout
        regex = re.compile(pattern)
        with self.changed:
            while True:
                found = regex.search(self.output, start)
                left = deadline - time.monotonic()
                if found or left <= 0 or self.proc.poll() is not None:
                    return found
                self.changed.wait(min(left, 0.5))

    def type(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def command(self, line, timeout):
        """Types a command line at the prompt and waits for the prompt after it. Returns U-Boot's
        status of the line's last command and what it printed; the status is None when it did
        not finish in time (it is then interrupted with Ctrl+C)."""
        self.commands += 1
        mark = len(self.output)
        self.type(f"{line}; echo ${{qbend}}-{self.commands} $?\r")
        found = self.wait_for(rb"%s-%d (\d+)\r?\n=> " % (END_MARK.encode(), self.commands),
                              timeout, mark)
        if found is None:
            self.interrupt()
            return None, bytes(self.output[mark:])
        return int(found.group(1)), bytes(self.output[mark:found.start()])

    def set_addresses(self):
        """The lab's addresses (U-Boot's own bootp clears them); True when set."""
        return self.command(f"setenv ipaddr {DEVICE_ADDR}; setenv netmask 255.255.255.0; "
                            f"setenv serverip {HOST_ADDR}", 10)[0] == 0

    def interrupt(self):
        """Ctrl+C: ends a running command; True when the prompt is back."""
        mark = len(self.output)
        self.type("\x03")
        return self.wait_for(rb"=> ", 10, mark) is not None

    def crc32(self):
        """U-Boot's CRC-32 of the bytes it loaded last, at the load address, or None."""
        status, output = self.command(f"crc32 {self.load_addr:#x} ${{filesize}}", 60)
        found = re.search(rb"==> ([0-9a-f]{8})", output)
        return int(found.group(1), 16) if status == 0 and found else None

    def stop(self):
        """Ends QEMU by its own process id: `ip netns exec` (and taskset, nice) replace
        themselves with the program they run, so proc is QEMU itself, not a shell."""
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def boot(lab, board_name, echo=None, timeout=90, pin=()):
    """Starts the board in the lab's device namespace and brings it to U-Boot's prompt with the
    lab's addresses set; None when U-Boot's prompt did not come in time (QEMU is then ended).
    `pin` goes before QEMU's command (taskset and nice, which exec it)."""
    hardware = BOARDS[board_name]
    bridge_device_side(lab)
    argv = [*pin, hardware["qemu"], "-m", str(MEMORY_MIB), "-nographic",
            "-bios", hardware["firmware"],
            "-netdev", f"tap,id=net0,ifname={TAP},script=no,downscript=no", *hardware["args"]]
    proc = lab.popen(lab.device, argv, stdin=subprocess.PIPE, stderr=subprocess.STDOUT)
    board = Board(board_name, proc, echo)
    if board.wait_for(rb"Hit any key to stop autoboot", timeout) is None:
        board.stop()
        return None
    mark = len(board.output)
    board.type(" ")
    if board.wait_for(rb"=> ", 20, mark) is None:
        board.stop()
        return None
    # netretry=no: a failed transfer ends the command instead of starting over forever.
    if board.command(f"setenv qbend {END_MARK}; setenv netretry no; setenv autoload no",
                     10)[0] != 0 or not board.set_addresses():
        board.stop()
        return None
    return board


class Screen:
    """The demo's screen: whole lines from U-Boot and from the operator's console, each marked
    with its side, as they come."""

    def __init__(self):
        self.lock = threading.Lock()
        self.partial = {}

    def show(self, side, chunk):
        with self.lock:
            text = self.partial.get(side, "") + chunk.decode(errors="replace").replace("\r", "")
            *lines, self.partial[side] = text.split("\n")
            for line in lines:
                # The driver's own end mark is no part of what an operator would type or see.
                line = re.sub(r"; echo \$\{qbend\}-\d+ \$\?", "", line)
                if not re.fullmatch(rf"{END_MARK}-\d+ \d+", line):
                    print(f"{side:>8} | {line}", flush=True)


def demo(qbupdate, board_name, size, boot_mode):
    """Updates U-Boot with a fresh image, showing both consoles; 0 when U-Boot's CRC-32 of its
    copy is the image's and QBupdate exited 0."""
    tests = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests")
    sys.path[:0] = [tests, os.path.join(tests, "hostile")]
    from checks import wait_for_udp_port
    from netlab import Lab

    screen = Screen()
    say = lambda text: print(f"demo: {text}", flush=True)  # noqa: E731
    with tempfile.TemporaryDirectory(prefix="qbupdate-demo-") as work, Lab("demo") as lab:
        say(f"booting U-Boot on the emulated {board_name} board ({DEVICE_ADDR}, namespace "
            f"{lab.device}); QBupdate runs in {lab.host} ({HOST_ADDR})")
        board = boot(lab, board_name, echo=lambda chunk: screen.show("U-Boot", chunk))
        if board is None:
            say("U-Boot's prompt did not come")
            return 1
        try:
            image = os.path.join(work, "image.bin")
            data = os.urandom(size)
            with open(image, "wb") as f:
                f.write(data)
            argv = [qbupdate, image, DEVICE_ADDR] + (["boot"] if boot_mode else [])
            screen.show("operator", f"# QBupdate image.bin {' '.join(argv[2:])}\n".encode())
            qb = lab.popen(lab.host, argv, stderr=subprocess.STDOUT)
            reader = threading.Thread(target=lambda: [screen.show("operator", chunk) for chunk
                                                      in iter(qb.stdout.read1, b"")])
            reader.start()
            wait_for_udp_port(lab, lab.host, 69)
            file_name = "bootboot.bin" if boot_mode else "firmware.bin"
            status, _ = board.command(f"tftpboot {board.load_addr:#x} {file_name}", 120)
            crc = board.crc32() if size and status == 0 else None
            try:
                qb.wait(timeout=15)
            except subprocess.TimeoutExpired:
                qb.kill()
                qb.wait()
            reader.join(timeout=5)
        finally:
            board.echo = None  # QEMU's own line as it ends is no part of U-Boot's console
            board.stop()
    say(f"QBupdate exited with status {qb.returncode}")
    want = zlib.crc32(data)
    if crc == want:
        say(f"U-Boot's CRC-32 of its copy matches the image's: {want:#010x}")
        return 0 if qb.returncode == 0 else 1
    say(f"U-Boot's CRC-32 {'(none)' if crc is None else f'{crc:#010x}'} does NOT match the "
        f"image's {want:#010x}")
    return 1


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5) or sys.argv[2] not in BOARDS:
        print(f"usage: {sys.argv[0]} QBUPDATE {'|'.join(BOARDS)} SIZE [boot]", file=sys.stderr)
        sys.exit(2)
    sys.exit(demo(os.path.abspath(sys.argv[1]), sys.argv[2], int(sys.argv[3]),
                  len(sys.argv) == 5))
