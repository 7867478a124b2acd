// The socket layer on real sockets, run inside the host namespace of a test lab (run_in_lab.py):
// the behaviour the engine relies on must be the same from the POSIX and the Windows source.
#include "host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

std::uint32_t lab_address(const char* variable) {
    const char* text = std::getenv(variable);
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (text == nullptr || std::sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4)
        return 0xFFFFFFFFu;
    return host_to_net32(a << 24 | b << 16 | c << 8 | d);
}

class SocketLayer : public testing::Test {
  protected:
    std::uint32_t host = 0;
    std::uint32_t elsewhere = 0;
    net_socket opened[6] = {NET_INVALID_SOCKET, NET_INVALID_SOCKET, NET_INVALID_SOCKET,
                            NET_INVALID_SOCKET, NET_INVALID_SOCKET, NET_INVALID_SOCKET};
    int count = 0;

    void SetUp() override {
        host = lab_address("QB_LAB_HOST_ADDR");
        elsewhere = lab_address("QB_LAB_FOREIGN_ADDR");
        ASSERT_NE(host, 0xFFFFFFFFu) << "run me through run_in_lab.py";
        ASSERT_TRUE(net_startup());
    }
    void TearDown() override {
        for (int i = 0; i < count; ++i)
            net_close(opened[i]);
        net_cleanup();
    }

    net_socket bound(std::uint16_t port) { return bound_on(host, port); }

    net_socket bound_on(std::uint32_t addr, std::uint16_t port) {
        net_socket s = net_udp_socket();
        EXPECT_NE(s, NET_INVALID_SOCKET);
        EXPECT_TRUE(net_bind(s, addr, host_to_net16(port), false)) << port;
        opened[count++] = s;
        return s;
    }

    void expect_in_use(std::uint16_t port) {
        net_socket s = net_udp_socket();
        ASSERT_NE(s, NET_INVALID_SOCKET);
        opened[count++] = s;
        EXPECT_FALSE(net_bind(s, host, host_to_net16(port), false)) << port;
        EXPECT_EQ(net_last_fault(), NET_FAULT_IN_USE) << port;
    }

    void send_bytes(net_socket from, std::size_t size, unsigned char fill, std::uint16_t to_port) {
        unsigned char bytes[1024];
        std::memset(bytes, fill, sizeof bytes);
        net_send(from, bytes, static_cast<int>(size), host, host_to_net16(to_port));
    }

    int wait_one(net_socket s, std::uint32_t ms) {
        bool ready = false;
        return net_wait_readable(&s, &ready, 1, ms);
    }
};

// The lab's host interface holds its address as a /24 and has its peer up.
TEST_F(SocketLayer, LocalAddressesNameTheInterfaceAddressWithItsSubnetAndLink) {
    LocalAddress addrs[16];
    int n = net_local_addresses(addrs, 16);
    ASSERT_GT(n, 0);
    const LocalAddress* found = nullptr;
    for (int i = 0; i < n; ++i)
        found = addrs[i].addr == host ? &addrs[i] : found;
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->netmask, host_to_net32(0xFFFFFF00u));
    EXPECT_TRUE(found->has_link);
    EXPECT_NE(found->interface_name[0], '\0');
    if (std::getenv("QB_UNDER_WINE") == nullptr) {
        EXPECT_STREQ(found->interface_name, "veth-host");
    }
}

TEST_F(SocketLayer, BindFailuresSayWhy) {
    bound(40100);
    expect_in_use(40100);
    // A holder on the wildcard address would hear the device's broadcasts too, so the port is
    // in use. (Windows itself lets that bind succeed for the same account.)
    bound_on(0, 40102);
    expect_in_use(40102);

    // A failed wait says why itself, not what the failed bind before it said.
    net_socket gone = net_udp_socket();
    ASSERT_NE(gone, NET_INVALID_SOCKET);
    net_close(gone);
    bool ready = false;
    EXPECT_EQ(net_wait_readable(&gone, &ready, 1, 50), NET_WAIT_FAILED);
    EXPECT_EQ(net_last_fault(), NET_FAULT_OTHER);

    net_socket foreign = net_udp_socket();
    ASSERT_NE(foreign, NET_INVALID_SOCKET);
    opened[count++] = foreign;
    if (std::getenv("QB_UNDER_WINE") != nullptr) {
        // Wine binds a UDP socket to an address no interface holds (doc/windows.md, "Where Wine
        // 8.0 falls short"); should that change, this test must go back to the Windows behaviour.
        EXPECT_TRUE(net_bind(foreign, elsewhere, host_to_net16(40101), false));
        return;
    }
    EXPECT_FALSE(net_bind(foreign, elsewhere, host_to_net16(40101), false));
    EXPECT_EQ(net_last_fault(), NET_FAULT_NO_ADDRESS);
}

TEST_F(SocketLayer, WaitMarksOnlyTheReadySocketAndTimesOutWhenQuiet) {
    net_socket a = bound(40110);
    net_socket b = bound(40111);
    net_socket socks[2] = {a, b};
    bool ready[2] = {true, true};

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(net_wait_readable(socks, ready, 2, 200), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));

    send_bytes(a, 8, 0x11, 40111);
    EXPECT_EQ(net_wait_readable(socks, ready, 2, 2000), 1);
    EXPECT_FALSE(ready[0]);
    EXPECT_TRUE(ready[1]);
}

// An endpoint waiting for its address to come back is NET_INVALID_SOCKET: the wait passes over
// it, and waits out its time when nothing else is left; nothing is sent on it or closed.
TEST_F(SocketLayer, AnEndpointAwaitingItsAddressIsPassedOver) {
    net_socket a = bound(40120);
    net_socket socks[2] = {NET_INVALID_SOCKET, a};
    bool ready[2] = {true, true};
    send_bytes(a, 8, 0x22, 40120);
    EXPECT_EQ(net_wait_readable(socks, ready, 2, 2000), 1);
    EXPECT_FALSE(ready[0]);
    EXPECT_TRUE(ready[1]);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(net_wait_readable(socks, ready, 1, 200), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_FALSE(ready[0]);

    send_bytes(NET_INVALID_SOCKET, 8, 0x33, 40120);
    net_close(NET_INVALID_SOCKET);
    unsigned char buf[16];
    std::uint32_t from = 0;
    std::uint16_t port = 0;
    EXPECT_EQ(net_receive(a, buf, sizeof buf, &from, &port), 8);
    EXPECT_EQ(buf[0], 0x22);
    EXPECT_EQ(net_receive(a, buf, sizeof buf, &from, &port), -1) << "sent on no socket";

    EXPECT_EQ(net_local_port(a), host_to_net16(40120));
    EXPECT_FALSE(net_endpoint_lost(a)) << "nothing failed on it";
}

// Before it waits for an address, the front end asks whether the ports could be had at all.
TEST_F(SocketLayer, APortHeldOnTheWildcardAddressIsRefused) {
    EXPECT_FALSE(net_port_refused(40130));
    bound_on(0, 40130);
    EXPECT_TRUE(net_port_refused(40130));
    EXPECT_FALSE(net_port_refused(40131)) << "the probe left nothing bound";
    EXPECT_FALSE(net_port_refused(40131));
}

TEST_F(SocketLayer, OversizedDatagramIsDroppedWholeAndTheNextArrivesIntact) {
    net_socket from = bound(40120);
    net_socket to = bound(40121);
    send_bytes(from, 701, 0xEE, 40121);
    send_bytes(from, 10, 0x22, 40121);

    unsigned char buf[700];
    std::uint32_t addr = 0;
    std::uint16_t port = 0;
    ASSERT_EQ(wait_one(to, 2000), 1);
    EXPECT_EQ(net_receive(to, buf, 700, &addr, &port), -1);
    ASSERT_EQ(wait_one(to, 2000), 1);
    std::memset(buf, 0, sizeof buf);
    ASSERT_EQ(net_receive(to, buf, 700, &addr, &port), 10);
    EXPECT_EQ(buf[0], 0x22);
    EXPECT_EQ(buf[9], 0x22);
    EXPECT_EQ(addr, host);
    EXPECT_EQ(port, host_to_net16(40120));
}

// A device that closed its port answers the next DATA with an ICMP port-unreachable. Windows
// would report it on the next receive of that socket as a failed datagram; the socket layer
// turns that report off, so the wait stays quiet and the next real datagram arrives.
TEST_F(SocketLayer, PortUnreachableFromAnEarlierSendIsNeverReported) {
    net_socket s = bound(40130);
    net_socket peer = bound(40131);
    send_bytes(s, 4, 0x33, 40139); // nothing listens there
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(wait_one(s, 300), 0);

    send_bytes(peer, 4, 0x44, 40130);
    unsigned char buf[700];
    std::uint32_t addr = 0;
    std::uint16_t port = 0;
    ASSERT_EQ(wait_one(s, 2000), 1);
    EXPECT_EQ(net_receive(s, buf, 700, &addr, &port), 4);
    EXPECT_EQ(buf[0], 0x44);
}

TEST_F(SocketLayer, ReceiveWithNothingQueuedReturnsAtOnce) {
    net_socket s = bound(40140);
    unsigned char buf[700];
    std::uint32_t addr = 0;
    std::uint16_t port = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(net_receive(s, buf, 700, &addr, &port), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

} // namespace
