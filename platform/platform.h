// What the engine needs of the operating system: UDP sockets, the clock and the image file.
// The front end's needs (start-up, local addresses, arguments, the console) are in host.h.
// Each platform has one source that implements both headers, and no other file includes system
// socket headers. How a call does its work on each system is told beside the call, in the
// source; this header says what every caller may rely on.
//
// Addresses are IPv4 addresses in network byte order, exactly as a socket address carries
// them. Ports are 16-bit values in network byte order.
#pragma once

#include <bit>
#include <cstddef>
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
    // Another program holds the port for itself alone, or the system reserved it; no privilege
    // opens it.
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

// Creates an IPv4 UDP socket, unbound. Returns NET_INVALID_SOCKET when the system refuses one.
net_socket net_udp_socket();

// Whether datagrams may be sent to a broadcast address from the socket. It changes nothing
// about what the socket receives. A refusal is not reported; the broadcast sends then fail, and
// nothing checks sends.
void net_allow_broadcast(net_socket s, bool allow);

// Binds the socket to the local address and port; it then receives the datagrams addressed to
// that address and port. With `hear_broadcasts` it also receives the limited broadcasts
// (255.255.255.255) to that port arriving on the interface that holds the local address, and
// only those of that interface. The bind fails as NET_FAULT_IN_USE while another program holds
// the port on the wildcard address, or (with `hear_broadcasts`) on any address of this host.
bool net_bind(net_socket s, std::uint32_t local_addr, std::uint16_t port, bool hear_broadcasts);

// Closes the socket; its port is free again at once. NET_INVALID_SOCKET is left alone.
void net_close(net_socket s);

// Whether the system has given the socket up since its local address went away (a link that
// dropped, an adapter reset): it may never send or receive again, even once the address is
// back, so it must be closed and a new one opened on the same address and port. Learned from
// the socket's own failed calls (wait, receive, send); a system that keeps such sockets working
// never reports one.
bool net_endpoint_lost(net_socket s);

// The local port the socket is bound to (network order), or 0 when it cannot be told.
std::uint16_t net_local_port(net_socket s);

// What the system's own list of this host's addresses says of a local address (network order).
enum NetAddressState : int {
    NET_ADDRESS_USABLE = 0, // listed and bindable, or the system does not tell
    NET_ADDRESS_PENDING,    // listed, but its duplicate-address check is not done (or failed)
    NET_ADDRESS_GONE,       // not listed: it left with its link
};

// Read afresh at every call. A system that gives up the sockets of an address that leaves
// (net_endpoint_lost) answers from its address list, so that the loss is seen, and the address's
// return, even where no socket call fails; a system that keeps such sockets working has nothing
// to reopen and answers NET_ADDRESS_USABLE.
NetAddressState net_address_state(std::uint32_t addr);

// Why the last failed socket call on this thread failed: net_udp_socket, net_bind, or a
// net_wait_readable that returned NET_WAIT_FAILED.
NetFault net_last_fault();

#if defined(_WIN32)
// The \\?\ form of a full path, which the wide file functions open at any length: "C:\x" as
// "\\?\C:\x", a share's "\\server\share\x" as "\\?\UNC\server\share\x"; one in that form
// already, or a device's ("\\.\"), unchanged. False when it does not fit in `capacity`.
bool extended_length_form(const wchar_t* full, wchar_t* out, std::size_t capacity);
// The UTF-8 image path as file_open_read opens it: in the \\?\ form of its full path when that
// is MAX_PATH (260) characters or more, else as given. False, with errno set, when the path is no
// UTF-8 or too long.
bool file_path_to_open(const char* path, wchar_t* out, std::size_t capacity);

// What a Windows Sockets error code from socket or bind means for the operator.
NetFault net_fault_from_winsock_error(int error);
// Whether a wait or a receive that failed with this error code has lost its sockets
// (net_endpoint_lost).
bool winsock_error_loses_endpoint(int error);
// Whether a send to this destination (network order) that failed with this error code is taken
// as its socket given up.
bool winsock_send_error_loses_endpoint(int error, std::uint32_t to_addr, std::uint16_t to_port);
#endif

// Waits at most `timeout_ms` until one of the `count` sockets has a datagram to read, and sets
// `ready[i]` for each that has; a socket with a pending error is reported ready too, so that the
// receive clears it. A NET_INVALID_SOCKET entry (an endpoint waiting for its address to return)
// is never ready; with no other the call just waits. Returns how many are ready, 0 when the time
// ran out, NET_WAIT_INTERRUPTED when a signal cut the wait short, and NET_WAIT_FAILED on any
// other failure, including a socket that is not open.
constexpr int NET_WAIT_INTERRUPTED = -1;
constexpr int NET_WAIT_FAILED = -2;
int net_wait_readable(const net_socket* socks, bool* ready, int count, std::uint32_t timeout_ms);

// Takes one datagram from the socket without blocking, into `buf`, with its source address and
// port. Returns its length (0 to `capacity`), or -1 when nothing was taken: no datagram queued
// after all, a receive error, or a datagram longer than `capacity`, which is dropped whole
// (its first `capacity` bytes may have been written to `buf`).
int net_receive(net_socket s, unsigned char* buf, int capacity, std::uint32_t* from_addr,
                std::uint16_t* from_port);

// Sends one datagram to the address and port, never waiting: a datagram the system cannot take
// at once (a full send buffer, an address still being resolved) is dropped. The outcome is not
// reported, as nothing above acts on it: a dropped datagram is repaired by retransmission. On
// NET_INVALID_SOCKET nothing is sent.
void net_send(net_socket s, const unsigned char* buf, int len, std::uint32_t to_addr,
              std::uint16_t to_port);

// Sends one datagram to the limited broadcast address 255.255.255.255 and the port, with
// `source_addr` as its IP source address and out of the interface that holds that address
// (`interface_index`, as net_interface_index gave it), whatever address the socket is bound to.
// The socket must allow broadcasts. Reports nothing, as net_send.
void net_send_broadcast(net_socket s, const unsigned char* buf, int len, std::uint16_t to_port,
                        std::uint32_t source_addr, std::uint32_t interface_index);

// The system's index of the interface that holds the local address, for net_send_broadcast;
// 0 when it cannot be told, or when the system's broadcast sends need none.
std::uint32_t net_interface_index(std::uint32_t local_addr);

// From now on only datagrams from this address and port reach the socket; the system drops
// the rest before they are read. Sends may still name the address. False when the system does
// not allow it; the socket then hears every sender as before.
bool net_connect(net_socket s, std::uint32_t addr, std::uint16_t port);

// Opens a file to read raw bytes, as fopen(path, "rb") does, except that a path naming a FIFO or
// a device opens at once instead of waiting for a writer or a carrier. Returns null, with errno
// set, when the path cannot be opened: ENOENT when nothing is there, EISDIR for a directory the
// system will not open. Paths are UTF-8 text, as arguments_as_utf8 (host.h) gives them.
std::FILE* file_open_read(const char* path);

// What an image path names, after opening it with file_open_read; for a regular file also its
// size.
enum FileKind : int { FILE_KIND_REGULAR, FILE_KIND_OTHER, FILE_KIND_UNKNOWN };
FileKind file_kind(std::FILE* f, std::uint64_t* size);

// Fills `out` with `size` bytes from the system's random source, which no one outside this
// host can predict; false when that source cannot be read.
bool system_random(unsigned char* out, std::size_t size);

// Microseconds on a clock that only moves forward (not the time of day), from an arbitrary start.
// The engine's one clock.
std::uint64_t clock_microseconds();
