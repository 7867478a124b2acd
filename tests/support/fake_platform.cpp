#include "fake_platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <sys/stat.h>

FakeNet fake;

namespace {

constexpr net_socket FIRST_SOCKET = 3;
std::uint32_t next_serial = 1;

FakeSocket* find_open(net_socket s) {
    if (s < FIRST_SOCKET || static_cast<std::size_t>(s) >= fake.sockets.size())
        return nullptr;
    FakeSocket& fs = fake.sockets[static_cast<std::size_t>(s)];
    return fs.open ? &fs : nullptr;
}

// The lowest-numbered open, bound socket whose port `fits`, or NET_INVALID_SOCKET.
template <typename Fits> net_socket first_bound(Fits fits) {
    for (std::size_t i = 0; i < fake.sockets.size(); ++i) {
        const FakeSocket& s = fake.sockets[i];
        if (s.open && s.bound && fits(s.port))
            return static_cast<net_socket>(i);
    }
    return NET_INVALID_SOCKET;
}

// Given up, or bound to the address that is gone: nothing reaches it and its sends are dropped.
bool cut_off(const FakeSocket& fs) {
    return fs.given_up || (fake.missing_addr != 0 && fs.addr == fake.missing_addr);
}

bool port_fails(std::uint16_t port) {
    if (fake.fail_data_ports && fake_is_data_port(port))
        return true;
    return std::find(fake.failing_ports.begin(), fake.failing_ports.end(), port) !=
           fake.failing_ports.end();
}

void record_send(net_socket s, const unsigned char* buf, int len, std::uint32_t to_addr,
                 std::uint16_t to_port, const std::uint32_t* source_addr,
                 std::uint32_t interface_index = 0) {
    if (s == NET_INVALID_SOCKET) {
        ++fake.sends_on_invalid;
        return;
    }
    FakeSocket* fs = find_open(s);
    if (fs == nullptr)
        ++fake.sends_on_closed;
    // A socket that hears broadcasts is bound to the wildcard address, as on Linux: only a
    // broadcast sent with its source given carries the local address.
    std::uint32_t from_addr = 0;
    if (source_addr != nullptr)
        from_addr = *source_addr;
    else if (fs != nullptr && !fs->hear_broadcasts)
        from_addr = fs->addr;
    const bool dropped = fs != nullptr && cut_off(*fs);
    if (dropped && fs->given_up && fake.loss == FAKE_LOSS_FAILS_SEND)
        fs->reported_lost = true;
    fake.sends.push_back(FakeSend{s, from_addr, fs != nullptr ? fs->port : std::uint16_t{0},
                                  Bytes(buf, buf + (len > 0 ? len : 0)), to_addr,
                                  net_to_host16(to_port), dropped, interface_index});
}

} // namespace

void fake_reset() {
    fake = FakeNet{};
    next_serial = 1;
}

bool fake_is_data_port(std::uint16_t port) {
    return port >= 32768 && port <= 40959;
}

int fake_open_sockets() {
    return static_cast<int>(std::count_if(fake.sockets.begin(), fake.sockets.end(),
                                          [](const FakeSocket& s) { return s.open; }));
}

net_socket fake_socket_on(std::uint16_t port) {
    return first_bound([port](std::uint16_t p) { return p == port; });
}

net_socket fake_data_socket() {
    return first_bound(fake_is_data_port);
}

void fake_queue_on(net_socket s, const Bytes& bytes, std::uint32_t from_addr,
                   std::uint16_t from_port) {
    FakeSocket* fs = find_open(s);
    if (fs == nullptr)
        return;
    if (cut_off(*fs))
        ++fake.arrivals_dropped;
    else if (fs->connected && (from_addr != fs->peer_addr || from_port != fs->peer_port))
        ++fake.arrivals_filtered;
    else
        fs->inbox.push_back(FakeDatagram{bytes, from_addr, from_port});
}

void fake_queue(std::uint16_t port, const Bytes& bytes, std::uint32_t from_addr,
                std::uint16_t from_port) {
    fake_queue_on(fake_socket_on(port), bytes, from_addr, from_port);
}

void fake_address_goes(std::uint32_t addr, FakeLoss how) {
    fake.missing_addr = addr;
    fake.loss = how;
    for (FakeSocket& s : fake.sockets) {
        if (s.open && s.bound && s.addr == addr && how != FAKE_LOSS_KEEPS_SOCKETS) {
            s.given_up = true;
            s.inbox.clear();
        }
    }
}

void fake_address_returns() {
    fake.missing_addr = 0;
    fake.address_tentative = false;
}

void fake_address_returns_tentative() {
    fake.address_tentative = true;
}

std::vector<FakeSend> fake_sends_from(std::uint16_t port) {
    std::vector<FakeSend> out;
    for (const FakeSend& s : fake.sends)
        if (s.from_port == port)
            out.push_back(s);
    return out;
}

// --- platform.h: the engine's needs of the system ---

net_socket net_udp_socket() {
    ++fake.sockets_created;
    std::size_t i = FIRST_SOCKET;
    while (i < fake.sockets.size() && fake.sockets[i].open)
        ++i; // the lowest free number, as POSIX hands out descriptors
    if (i >= fake.sockets.size())
        fake.sockets.resize(i + 1);
    fake.sockets[i] = FakeSocket{};
    fake.sockets[i].open = true;
    fake.sockets[i].serial = next_serial++;
    return static_cast<net_socket>(i);
}

void net_allow_broadcast(net_socket s, bool allow) {
    if (FakeSocket* fs = find_open(s))
        fs->broadcast = allow;
}

bool net_bind(net_socket s, std::uint32_t local_addr, std::uint16_t port, bool hear_broadcasts) {
    FakeSocket* fs = find_open(s);
    std::uint16_t host_port = net_to_host16(port);
    fake.bind_attempts.push_back(host_port);
    if (fs == nullptr || fs->bound)
        fake.last_fault = NET_FAULT_OTHER;
    else if (fake.missing_addr != 0 && local_addr == fake.missing_addr)
        fake.last_fault = NET_FAULT_NO_ADDRESS;
    else if (port_fails(host_port))
        fake.last_fault = fake.bind_fault;
    else if (fake_socket_on(host_port) != NET_INVALID_SOCKET)
        fake.last_fault = NET_FAULT_IN_USE;
    else {
        fs->bound = true;
        fs->addr = local_addr;
        fs->port = host_port;
        fs->hear_broadcasts = hear_broadcasts;
        return true;
    }
    return false;
}

void net_close(net_socket s) {
    if (s == NET_INVALID_SOCKET)
        return;
    if (FakeSocket* fs = find_open(s))
        *fs = FakeSocket{};
    else
        ++fake.closes_of_closed;
}

NetFault net_last_fault() {
    return fake.last_fault;
}

bool net_endpoint_lost(net_socket s) {
    FakeSocket* fs = find_open(s);
    return fs != nullptr && fs->reported_lost;
}

// A given-up socket cannot be asked for its name: what it was bound to is the caller's to keep.
std::uint16_t net_local_port(net_socket s) {
    FakeSocket* fs = find_open(s);
    return fs != nullptr && fs->bound && !fs->given_up ? host_to_net16(fs->port) : std::uint16_t{0};
}

// As the POSIX source where the system keeps the sockets; from the address list otherwise.
NetAddressState net_address_state(std::uint32_t addr) {
    ++fake.address_reads;
    if (fake.loss == FAKE_LOSS_KEEPS_SOCKETS || fake.missing_addr == 0 || addr != fake.missing_addr)
        return NET_ADDRESS_USABLE;
    return fake.address_tentative ? NET_ADDRESS_PENDING : NET_ADDRESS_GONE;
}

int net_wait_readable(const net_socket* socks, bool* ready, int count, std::uint32_t timeout_ms) {
    int number = static_cast<int>(fake.waits.size());
    fake.waits.push_back(FakeWait{std::vector<net_socket>(socks, socks + count), timeout_ms});
    fake.last_ready.clear();
    std::fill(ready, ready + count, false);
    if (number >= fake.max_waits) {
        fake.last_fault = fake.wait_fault;
        return NET_WAIT_FAILED;
    }
    int scripted = fake.on_wait ? fake.on_wait(number) : FAKE_WAIT_FROM_QUEUES;
    if (scripted != FAKE_WAIT_FROM_QUEUES) {
        if (scripted == NET_WAIT_FAILED)
            fake.last_fault = fake.wait_fault;
        return scripted;
    }
    const auto given_up = [](net_socket s) {
        const FakeSocket* fs = find_open(s);
        return fs != nullptr && fs->given_up;
    };
    if (fake.loss == FAKE_LOSS_FAILS_WAIT && std::any_of(socks, socks + count, given_up)) {
        // As the Windows source does: a wait failed so marks every socket it waited on.
        for (int i = 0; i < count; ++i)
            if (FakeSocket* fs = find_open(socks[i]))
                fs->reported_lost = true;
        fake.last_fault = NET_FAULT_OTHER;
        return NET_WAIT_FAILED;
    }
    for (int i = 0; i < count; ++i) {
        // A given-up socket is ready where its receive is to fail.
        const FakeSocket* fs = find_open(socks[i]);
        if (fs != nullptr &&
            (!fs->inbox.empty() || (fs->given_up && fake.loss == FAKE_LOSS_FAILS_RECEIVE))) {
            ready[i] = true;
            fake.last_ready.emplace_back(socks[i], fs->serial);
        }
    }
    return static_cast<int>(fake.last_ready.size());
}

int net_receive(net_socket s, unsigned char* buf, int capacity, std::uint32_t* from_addr,
                std::uint16_t* from_port) {
    FakeSocket* fs = find_open(s);
    if (fs == nullptr)
        return -1;
    auto was_ready =
        std::find(fake.last_ready.begin(), fake.last_ready.end(), std::make_pair(s, fs->serial));
    if (was_ready == fake.last_ready.end()) {
        ++fake.unready_receives;
        return -1;
    }
    fake.last_ready.erase(was_ready);
    if (fs->given_up && fake.loss == FAKE_LOSS_FAILS_RECEIVE)
        fs->reported_lost = true;
    if (fs->inbox.empty())
        return -1;
    FakeDatagram d = fs->inbox.front();
    fs->inbox.erase(fs->inbox.begin());
    int length = static_cast<int>(d.bytes.size());
    // Like a truncating receive: the buffer is overwritten, the datagram is dropped.
    std::copy_n(d.bytes.begin(), std::min(length, capacity), buf);
    if (length > capacity)
        return -1;
    *from_addr = d.from_addr;
    *from_port = host_to_net16(d.from_port);
    return length;
}

void net_send(net_socket s, const unsigned char* buf, int len, std::uint32_t to_addr,
              std::uint16_t to_port) {
    record_send(s, buf, len, to_addr, to_port, nullptr);
}

void net_send_broadcast(net_socket s, const unsigned char* buf, int len, std::uint16_t to_port,
                        std::uint32_t source_addr, std::uint32_t interface_index) {
    record_send(s, buf, len, 0xFFFFFFFFu, to_port, &source_addr, interface_index);
}

std::uint32_t net_interface_index(std::uint32_t /*local_addr*/) {
    ++fake.interface_lookups;
    return FAKE_INTERFACE_INDEX;
}

bool net_connect(net_socket s, std::uint32_t addr, std::uint16_t port) {
    FakeSocket* fs = find_open(s);
    if (fs == nullptr)
        return false;
    fs->connected = true;
    fs->peer_addr = addr;
    fs->peer_port = net_to_host16(port);
    return true;
}

// As the platform promises: a directory the system will not open fails with EISDIR.
std::FILE* file_open_read(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    struct stat st;
    if (f == nullptr && stat(path, &st) == 0 && (st.st_mode & S_IFMT) == S_IFDIR)
        errno = EISDIR;
    return f;
}

FileKind file_kind(std::FILE* f, std::uint64_t* size) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0)
        return FILE_KIND_UNKNOWN;
    if ((st.st_mode & S_IFMT) != S_IFREG)
        return FILE_KIND_OTHER;
    *size = static_cast<std::uint64_t>(st.st_size);
    return FILE_KIND_REGULAR;
}

bool system_random(unsigned char* out, std::size_t size) {
    ++fake.random_reads;
    if (fake.random_fails)
        return false;
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<unsigned char>(fake.random_value >> (24 - 8 * (i % 4)));
    return true;
}

std::uint64_t clock_microseconds() {
    return fake.clock_skip_us +
           static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}
