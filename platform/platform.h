// The thin layer between QBupdate and the operating system's sockets and files.
// Everything above it is the same code on every platform; each platform has one source file
// that implements these functions, and no other file includes system socket headers. No socket
// call keeps state between calls except the cause of the last failure.
//
// Addresses are IPv4 addresses in network byte order, exactly as a socket address carries
// them. Ports are 16-bit values in network byte order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>

#if defined(_WIN32)
using net_socket = std::uintptr_t; // SOCKET
#else
using net_socket = int;
#endif

// All bits set: -1 for a POSIX descriptor, INVALID_SOCKET on Windows.
constexpr net_socket NET_INVALID_SOCKET = static_cast<net_socket>(~static_cast<net_socket>(0));

// Why a socket operation failed, in terms an operator can act on.
enum NetFault : int {
    NET_FAULT_NONE = 0,
    NET_FAULT_PERMISSION, // a privileged port, or an option that needs privileges
    NET_FAULT_IN_USE,     // another program holds the port
    NET_FAULT_NO_ADDRESS, // the local address is not (or no longer) on this host
    NET_FAULT_OTHER,
    // Windows: another program holds the port for itself alone, or the system reserved it.
    // No privilege opens it there.
    NET_FAULT_HELD_OR_RESERVED,
};

constexpr std::uint16_t host_to_net16(std::uint16_t v) {
    if constexpr (std::endian::native == std::endian::big)
        return v;
    return static_cast<std::uint16_t>((v >> 8) | (v << 8));
}

constexpr std::uint32_t host_to_net32(std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::big)
        return v;
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

constexpr std::uint16_t net_to_host16(std::uint16_t v) {
    return host_to_net16(v);
}
constexpr std::uint32_t net_to_host32(std::uint32_t v) {
    return host_to_net32(v);
}

// Starts the socket library (Windows Sockets 2.2; nothing on Linux); false when it cannot.
bool net_startup();
void net_cleanup();

// This host's IPv4 addresses, in the order the system lists them, loopback included (on Linux
// only those of interfaces that are up). Returns how many were written to `out` (at most
// `capacity`), or -1 when the lookup fails.
int net_local_addresses(std::uint32_t* out, int capacity);

// Reads an IPv4 address in dotted form; returns 0xFFFFFFFF for text it cannot read.
std::uint32_t net_parse_address(const char* text);

// Creates an IPv4 UDP socket, unbound; blocking on Linux, non-blocking on Windows (where a
// receive cannot be told not to wait). Returns NET_INVALID_SOCKET when the system refuses one.
net_socket net_udp_socket();

// Sets SO_BROADCAST: whether datagrams may be sent to a broadcast address from the socket.
// It changes nothing about what the socket receives. A refusal is not reported; the broadcast
// sends then fail, and nothing checks sends.
void net_allow_broadcast(net_socket s, bool allow);

// Binds the socket to the local address and port; it then receives the datagrams addressed to
// that address and port. With `hear_broadcasts` it must also receive the limited broadcasts
// (255.255.255.255) to that port arriving on the interface that holds the local address, and
// only those of that interface. Windows does so for the plain bind. There the socket takes
// the address and port for itself alone (SO_EXCLUSIVEADDRUSE), and the bind fails as "in use"
// while another socket holds the port on the wildcard address, which Windows would otherwise
// let both sockets share. On Linux the socket is instead tied to that interface (SO_BINDTODEVICE) and bound to the
// wildcard address: it then receives every datagram to the port arriving on that interface,
// and the bind fails while another socket not tied to another interface holds the port on any
// address. Old kernels (before 5.7) allow the tie only with CAP_NET_RAW.
bool net_bind(net_socket s, std::uint32_t local_addr, std::uint16_t port, bool hear_broadcasts);

// Closes the socket; its port is free again at once.
void net_close(net_socket s);

// Why the last failed socket call on this thread failed: net_udp_socket, net_bind,
// net_local_addresses, or a net_wait_readable that returned NET_WAIT_FAILED.
NetFault net_last_fault();

#if defined(_WIN32)
// What a Windows Sockets error code from socket or bind means for the operator.
NetFault net_fault_from_winsock_error(int error);
#endif

// Waits (poll on Linux, select on Windows) at most `timeout_ms` until one of the `count`
// sockets has a datagram to read, and sets `ready[i]` for each that has; a socket with a
// pending error is reported ready too, so that the receive clears it. Returns how many are
// ready, 0 when the time ran out, NET_WAIT_INTERRUPTED when a signal cut the wait short, and
// NET_WAIT_FAILED on any other failure, including a socket that is not open.
constexpr int NET_WAIT_INTERRUPTED = -1;
constexpr int NET_WAIT_FAILED = -2;
int net_wait_readable(const net_socket* socks, bool* ready, int count, std::uint32_t timeout_ms);

// Takes one datagram from the socket without blocking, into `buf`, with its source address and
// port. Returns its length (0 to `capacity`), or -1 when nothing was taken: no datagram queued
// after all, a receive error, or a datagram longer than `capacity`, which is dropped whole
// (its first `capacity` bytes may have been written to `buf`).
int net_receive(net_socket s, unsigned char* buf, int capacity, std::uint32_t* from_addr,
                std::uint16_t* from_port);

// Sends one datagram to the address and port. On Linux a full send buffer makes the call wait
// for room rather than drop the datagram; on Windows the socket is non-blocking and such a
// datagram is dropped (one block in flight never fills it). The outcome is not reported, as
// nothing above acts on it.
void net_send(net_socket s, const unsigned char* buf, int len, std::uint32_t to_addr,
              std::uint16_t to_port);

// Sends one datagram to the limited broadcast address 255.255.255.255 and the port, with
// `source_addr` as its IP source address and out of the interface that holds that address,
// whatever address the socket is bound to (on Linux a socket bound for hearing broadcasts is
// bound to the wildcard address, and a plain send would take the interface's first address).
// The socket must allow broadcasts. Blocks and reports nothing, as net_send.
void net_send_broadcast(net_socket s, const unsigned char* buf, int len, std::uint16_t to_port,
                        std::uint32_t source_addr);

// Opens a file to read raw bytes, as fopen(path, "rb") does, except that a path naming a FIFO or
// a device opens at once instead of waiting for a writer or a carrier. Returns null, with errno
// set, when the path cannot be opened. On Windows paths are UTF-8 text, as arguments_as_utf8
// gives them.
std::FILE* file_open_read(const char* path);

// Whether a path names a directory; for telling why a path could not be opened.
bool file_is_directory(const char* path);

// Microseconds on a clock that only moves forward (not the time of day), from an arbitrary start.
// The engine's one clock.
std::uint64_t clock_microseconds();

// What an image path names, after opening it with file_open_read; for a regular file also its
// size.
enum FileKind : int { FILE_KIND_REGULAR, FILE_KIND_OTHER, FILE_KIND_UNKNOWN };
FileKind file_kind(std::FILE* f, std::uint64_t* size);

// The command line as UTF-8 text. On Windows the C runtime's arguments are in the ANSI code
// page and lose every character outside it, so they are taken again from the wide command
// line; elsewhere they are left as they are. Call it first thing in main.
void arguments_as_utf8(int* argc, char*** argv);

// Writes UTF-8 text to standard error. A Windows console shows it character for character,
// whatever its code page; redirected, the bytes go out unchanged.
void write_error_text(const char* text);

// For the length of an update: on Windows, when standard input is a console with QuickEdit on,
// a mouse selection would suspend every console write, and with it the one thread. QuickEdit
// is turned off until console_restore, or until the process ends by Ctrl+C, Ctrl+Break or the
// closing of the window. Nothing changes where there is no such console.
void console_hold_steady();
void console_restore();

// Whether a stream is a console (a terminal), as opposed to a file, a pipe or a null device.
bool stream_is_terminal(std::FILE* f);
