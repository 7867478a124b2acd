#!/usr/bin/env bash
# Updates a virtual QuibbleBox with a freshly generated image, as an operator would, and says
# whether the device's copy matches. Runs as root: QBupdate and the device each get a network
# namespace of their own (joined by a veth pair on 198.51.100.0/24), removed again at the end.
#
#   tools/demo.sh [--size BYTES] [--boot] [--device virtual|u-boot] [--board aarch64|x86-64]
#
# With --device u-boot the device is a real boot loader, U-Boot on an emulated board (QEMU):
# the operator's console is shown beside U-Boot's, and the demo says whether U-Boot's CRC-32 of
# its copy matches the image. QBupdate is built first if needed, in build/ (or $QB_BUILD_DIR).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QB_BUILD_DIR:-$root/build}
size=300000
boot=()
device=virtual
board=aarch64
usage="usage: $0 [--size BYTES] [--boot] [--device virtual|u-boot] [--board aarch64|x86-64]"
while [ $# -gt 0 ]; do
    case $1 in
        --size) size=${2:?--size needs a number}; shift 2 ;;
        --boot) boot=(boot); shift ;;
        --device) device=${2:-}; shift 2 || shift ;;
        --board) board=${2:-}; shift 2 || shift ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
done
case $device:$board in
    virtual:*|u-boot:aarch64|u-boot:x86-64) ;;
    *) echo "$usage" >&2; exit 2 ;;
esac

say() { printf 'demo: %s\n' "$*"; }

if [ "$(id -u)" -ne 0 ]; then
    say "needs root (it creates network namespaces); try: sudo $0"
    exit 1
fi

missing=()
for tool in cmake:cmake g++:g++ make:make ip:iproute2 python3:python3 sha256sum:coreutils; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || missing+=("${tool#*:}")
done
if [ "$device" = u-boot ]; then
    [ -e /usr/lib/u-boot/qemu_arm64/u-boot.bin ] || missing+=(u-boot-qemu)
    command -v qemu-system-aarch64 >/dev/null 2>&1 || missing+=(qemu-system-arm)
    command -v qemu-system-x86_64 >/dev/null 2>&1 || missing+=(qemu-system-x86)
fi
if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" \
        >/dev/null || { say "could not install ${missing[*]}"; exit 1; }
fi

qbupdate=$build_dir/QBupdate
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    say "configuring a build in $build_dir"
    cmake -S "$root" -B "$build_dir" -DQB_BUILD_TESTS=OFF >/dev/null || exit 1
fi
say "building QBupdate"
cmake --build "$build_dir" --target QBupdate -j "$(nproc 2>/dev/null || echo 2)" >/dev/null \
    || { say "the build failed"; exit 1; }

if [ "$device" = u-boot ]; then
    exec python3 "$root/tools/uboot_board.py" "$qbupdate" "$board" "$size" "${boot[@]}"
fi

host_ns=qbdemo$$h
device_ns=qbdemo$$d
work=$(mktemp -d /tmp/qbupdate-demo.XXXXXX)
device_pid=
cleanup() {
    if [ -n "$device_pid" ] && kill -0 "$device_pid" 2>/dev/null; then
        kill "$device_pid" 2>/dev/null
        wait "$device_pid" 2>/dev/null
    fi
    ip netns del "$host_ns" 2>/dev/null
    ip netns del "$device_ns" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

head -c "$size" /dev/urandom >"$work/image.bin"
say "generated a $size-byte image: $(sha256sum <"$work/image.bin" | cut -d' ' -f1)"

ip netns add "$host_ns" && ip netns add "$device_ns" &&
    ip link add veth-host netns "$host_ns" type veth peer name veth-dev netns "$device_ns" &&
    ip -n "$host_ns" addr add 198.51.100.1/24 dev veth-host &&
    ip -n "$device_ns" addr add 198.51.100.10/24 dev veth-dev &&
    for ns in "$host_ns" "$device_ns"; do
        ip -n "$ns" link set lo up || exit 1
    done &&
    ip -n "$host_ns" link set veth-host up && ip -n "$device_ns" link set veth-dev up ||
    { say "could not set up the network namespaces"; exit 1; }
say "host 198.51.100.1 (namespace $host_ns) <-> virtual QuibbleBox 198.51.100.10 ($device_ns)"

ip netns exec "$device_ns" python3 "$root/tools/virtual_quibblebox.py" --iface veth-dev \
    --addr 198.51.100.10 --out "$work/received.bin" >"$work/device.log" 2>&1 &
device_pid=$!
for _ in $(seq 50); do
    grep -q listening "$work/device.log" 2>/dev/null && break
    sleep 0.1
done
say "the virtual QuibbleBox is listening; the operator's console follows"
echo "# QBupdate image.bin 198.51.100.10 ${boot[*]}"
echo

ip netns exec "$host_ns" "$qbupdate" "$work/image.bin" 198.51.100.10 "${boot[@]}"
status=$?

echo
if [ "$status" -eq 0 ]; then
    wait "$device_pid"  # it has the last block by now and is writing its copy
    device_pid=
fi
say "QBupdate exited with status $status"
if [ -f "$work/received.bin" ] && cmp -s "$work/image.bin" "$work/received.bin"; then
    say "the device's copy matches: $(sha256sum <"$work/received.bin" | cut -d' ' -f1)"
    [ "$status" -eq 0 ]
    exit
fi
say "the device's copy does NOT match the image"
sed 's/^/demo: device: /' "$work/device.log" >&2
exit 1
