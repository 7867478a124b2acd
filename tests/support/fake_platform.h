// A scripted network for engine tests: implements platform.h without any operating-system
// sockets. It records every send, knows which fake socket is bound to which port, delivers
// datagrams a test queues, and lets a test decide what each wait returns. Here addresses are in
// network order and ports in host order.
#pragma once

#include "platform.h"

#include <cstdint>
#include <functional>
#include <vector>

using Bytes = std::vector<unsigned char>;

struct FakeSend {
    net_socket sock;
    std::uint32_t from_addr; // the IP source the datagram leaves with
    std::uint16_t from_port; // the port the sending socket is bound to
    Bytes bytes;
    std::uint32_t to_addr;
    std::uint16_t to_port;
    bool dropped = false; // its address was gone, or the system had given up its socket
    std::uint32_t interface_index = 0; // a broadcast's outgoing interface
};

// What net_interface_index answers for every address.
constexpr std::uint32_t FAKE_INTERFACE_INDEX = 7;

struct FakeDatagram {
    Bytes bytes;
    std::uint32_t from_addr;
    std::uint16_t from_port;
};

struct FakeSocket {
    bool open = false, bound = false, broadcast = false, hear_broadcasts = false;
    std::uint32_t addr = 0;
    std::uint16_t port = 0;
    std::uint32_t serial = 0; // tells apart sockets that got the same number
    std::vector<FakeDatagram> inbox;
    bool connected = false; // only datagrams from the peer below reach it (net_connect)
    std::uint32_t peer_addr = 0;
    std::uint16_t peer_port = 0;
    bool given_up = false;      // the system gave it up when its address went (FakeLoss)
    bool reported_lost = false; // a call on it failed as a given-up socket's do
};

// What the system does to the sockets bound to an address that goes away.
enum FakeLoss : int {
    FAKE_LOSS_KEEPS_SOCKETS, // Linux: their sends fail meanwhile, and they work once it is back
    // Windows, as far as Microsoft tells: the sockets are given up for good, and the failure
    // shows first in the wait (select: WSAENETDOWN), in the receive of a socket the wait
    // reports ready, or in a send (WSAENETDOWN, WSAEADDRNOTAVAIL).
    FAKE_LOSS_FAILS_WAIT,
    FAKE_LOSS_FAILS_RECEIVE,
    FAKE_LOSS_FAILS_SEND,
    // Windows where no socket call names the loss: the sockets are given up all the same, and
    // only the address list (net_address_state) shows the address gone and back.
    FAKE_LOSS_SILENT,
};

struct FakeWait {
    std::vector<net_socket> socks;
    std::uint32_t timeout_ms;
};

// Returned by a wait hook to let the fake answer from the queued datagrams: the sockets with
// datagrams are ready, and with none the wait is a quiet tick that returns 0 at once.
constexpr int FAKE_WAIT_FROM_QUEUES = 1000;

struct FakeNet {
    std::vector<FakeSocket> sockets; // indexed by socket number
    std::vector<FakeSend> sends;
    std::vector<FakeWait> waits;
    std::vector<std::uint16_t> bind_attempts; // in the order tried

    // Binds to these ports fail with `bind_fault`.
    std::vector<std::uint16_t> failing_ports;
    bool fail_data_ports = false; // every port from 32768 to 40959
    NetFault bind_fault = NET_FAULT_IN_USE, wait_fault = NET_FAULT_OTHER,
             last_fault = NET_FAULT_NONE;

    // Called at the start of every wait, with the number of waits before it; may queue
    // datagrams, and returns what the wait returns (or FAKE_WAIT_FROM_QUEUES).
    std::function<int(int)> on_wait;
    // A loop that never ends is cut off with a failed wait after this many waits.
    int max_waits = 100000;
    // Added to the real clock, so a test can let seconds pass at once.
    std::uint64_t clock_skip_us = 0;
    // What the system's random source gives (its bytes, big-endian, over and over), or that it
    // cannot be read.
    std::uint32_t random_value = 0x5EED0001;
    bool random_fails = false;
    int random_reads = 0;

    // An address that is not this host's now (0: none): binds to it fail with
    // NET_FAULT_NO_ADDRESS, sends from it are dropped and nothing arrives for it.
    std::uint32_t missing_addr = 0;
    FakeLoss loss = FAKE_LOSS_KEEPS_SOCKETS;
    // The missing address is listed again, but its duplicate-address check is not done: binds to
    // it still fail, and the list says it is pending.
    bool address_tentative = false;
    int address_reads = 0;     // net_address_state calls
    int sends_on_invalid = 0;  // on NET_INVALID_SOCKET: an endpoint waiting for its address
    int arrivals_dropped = 0;  // datagrams queued for a missing address or a given-up socket
    int arrivals_filtered = 0; // datagrams from another sender than a connected socket's peer
    int interface_lookups = 0; // net_interface_index calls

    int sockets_created = 0;
    int closes_of_closed = 0; // closing a socket that is not open
    int sends_on_closed = 0;  // sending on a socket that is not open
    int unready_receives = 0; // receiving on a socket the last wait did not report ready
    std::vector<std::pair<net_socket, std::uint32_t>> last_ready; // socket and serial
};

// The one scripted network; fake_reset() brings it back to a fresh state.
extern FakeNet fake;
void fake_reset();

int fake_open_sockets();
// The open socket bound to `port`, or NET_INVALID_SOCKET.
net_socket fake_socket_on(std::uint16_t port);
// The open socket bound to a port from 32768 to 40959, or NET_INVALID_SOCKET.
net_socket fake_data_socket();
// Queues a datagram on the open socket bound to `port`, or on `s`.
void fake_queue(std::uint16_t port, const Bytes& bytes, std::uint32_t from_addr,
                std::uint16_t from_port);
void fake_queue_on(net_socket s, const Bytes& bytes, std::uint32_t from_addr,
                   std::uint16_t from_port);
// The sends made from the socket bound to `port`, in order.
std::vector<FakeSend> fake_sends_from(std::uint16_t port);
bool fake_is_data_port(std::uint16_t port);
// The address leaves the host (its sockets treated as `how` says), and comes back.
void fake_address_goes(std::uint32_t addr, FakeLoss how);
void fake_address_returns();
// It is listed again, still tentative (address_tentative); fake_address_returns makes it usable.
void fake_address_returns_tentative();

// The address a.b.c.d.
constexpr std::uint32_t fake_address(unsigned a, unsigned b, unsigned c, unsigned d) {
    return host_to_net32(a << 24 | b << 16 | c << 8 | d);
}
