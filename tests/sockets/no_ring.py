"""Runs a program with io_uring_setup refused (ENOSYS), as on a kernel without io_uring or
with it switched off, so that the socket layer's plain calls are the ones under test.

    no_ring.py program [args...]
"""

import ctypes
import os
import struct
import sys

IO_URING_SETUP = 425  # the same number on every architecture this runs on
PR_SET_NO_NEW_PRIVS = 38
PR_SET_SECCOMP = 22
SECCOMP_MODE_FILTER = 2
SECCOMP_RET_ERRNO = 0x00050000
SECCOMP_RET_ALLOW = 0x7FFF0000
ENOSYS = 38


def refuse_io_uring():
    insns = [
        (0x20, 0, 0, 0),                              # A = syscall number
        (0x15, 0, 1, IO_URING_SETUP),                 # A == io_uring_setup ?
        (0x06, 0, 0, SECCOMP_RET_ERRNO | ENOSYS),
        (0x06, 0, 0, SECCOMP_RET_ALLOW),
    ]
    code = b"".join(struct.pack("HBBI", *i) for i in insns)
    buf = ctypes.create_string_buffer(code, len(code))
    prog = struct.pack("HxxxxxxP", len(insns), ctypes.addressof(buf))
    prog_buf = ctypes.create_string_buffer(prog, len(prog))
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong,
                           ctypes.c_ulong]
    if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "PR_SET_NO_NEW_PRIVS")
    if libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.addressof(prog_buf), 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "PR_SET_SECCOMP")


if __name__ == "__main__":
    refuse_io_uring()
    os.execv(sys.argv[1], sys.argv[1:])
