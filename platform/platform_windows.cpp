// Windows Sockets 2.2.
#include "platform.h"

#include <winsock2.h>

#include <sys/stat.h>

#include <cstring>
#include <io.h>

static_assert(NET_INVALID_SOCKET == INVALID_SOCKET);
static_assert(sizeof(net_socket) == sizeof(SOCKET));

// Missing from the MinGW-w64 headers.
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace {

thread_local int last_error = 0;

sockaddr_in make_sockaddr(std::uint32_t addr, std::uint16_t port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = addr;
    return sa;
}

// An ICMP port-unreachable for an earlier send would otherwise surface as WSAECONNRESET on the
// next receive. Nothing acts on it, and a lost device port must not look like a failed socket,
// so the socket behaves as an unconnected one does on Linux: it never hears of it.
void ignore_port_unreachable(SOCKET s) {
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
}

} // namespace

bool net_startup() {
    WSADATA data;
    return WSAStartup(0x0202, &data) == 0;
}

void net_cleanup() {
    WSACleanup();
}

int net_local_addresses(std::uint32_t* out, int capacity) {
    const hostent* host = gethostbyname("");
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4) {
        last_error = WSAGetLastError();
        return -1;
    }
    int count = 0;
    for (char** entry = host->h_addr_list; *entry != nullptr && count < capacity; ++entry)
        std::memcpy(&out[count++], *entry, 4);
    return count;
}

std::uint32_t net_parse_address(const char* text) {
    return inet_addr(text);
}

net_socket net_udp_socket() {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        last_error = WSAGetLastError();
        return NET_INVALID_SOCKET;
    }
    ignore_port_unreachable(s);
    return s;
}

void net_allow_broadcast(net_socket s, bool allow) {
    BOOL value = allow ? TRUE : FALSE;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&value), sizeof value);
}

// A socket bound to an interface's unicast address receives the limited broadcasts arriving on
// that interface and sends its own broadcasts out of it, so the plain bind serves both.
bool net_bind(net_socket s, std::uint32_t local_addr, std::uint16_t port,
              bool /*hear_broadcasts*/) {
    sockaddr_in sa = make_sockaddr(local_addr, port);
    if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR) {
        last_error = WSAGetLastError();
        return false;
    }
    return true;
}

void net_close(net_socket s) {
    closesocket(s);
}

NetFault net_last_fault() {
    switch (last_error) {
    case 0:
        return NET_FAULT_NONE;
    case WSAEACCES:
        return NET_FAULT_PERMISSION;
    case WSAEADDRINUSE:
        return NET_FAULT_IN_USE;
    case WSAEADDRNOTAVAIL:
        return NET_FAULT_NO_ADDRESS;
    default:
        return NET_FAULT_OTHER;
    }
}

// Windows has no signals that cut a wait short, so NET_WAIT_INTERRUPTED never comes from here.
int net_wait_readable(const net_socket* socks, bool* ready, int count, std::uint32_t timeout_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    for (int i = 0; i < count; ++i)
        FD_SET(socks[i], &readable);
    timeval timeout;
    timeout.tv_sec = static_cast<long>(timeout_ms / 1000);
    timeout.tv_usec = static_cast<long>(timeout_ms % 1000 * 1000);
    int n = select(0, &readable, nullptr, nullptr, &timeout);
    if (n == SOCKET_ERROR) {
        last_error = WSAGetLastError();
        return NET_WAIT_FAILED;
    }
    int marked = 0;
    for (int i = 0; i < count; ++i) {
        ready[i] = FD_ISSET(socks[i], &readable) != 0;
        marked += ready[i] ? 1 : 0;
    }
    return marked;
}

int net_receive(net_socket s, unsigned char* buf, int capacity, std::uint32_t* from_addr,
                std::uint16_t* from_port) {
    // The sockets stay blocking; readiness reported by the wait is only a hint, so look again
    // without waiting before taking the datagram.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval no_wait{0, 0};
    if (select(0, &readable, nullptr, nullptr, &no_wait) != 1)
        return -1;

    sockaddr_in sa;
    int sa_len = sizeof sa;
    std::memset(&sa, 0, sizeof sa);
    // A datagram longer than the buffer fails with WSAEMSGSIZE and is gone.
    int n = recvfrom(s, reinterpret_cast<char*>(buf), capacity, 0, reinterpret_cast<sockaddr*>(&sa),
                     &sa_len);
    if (n == SOCKET_ERROR)
        return -1;
    *from_addr = sa.sin_addr.s_addr;
    *from_port = sa.sin_port;
    return n;
}

void net_send(net_socket s, const unsigned char* buf, int len, std::uint32_t to_addr,
              std::uint16_t to_port) {
    sockaddr_in sa = make_sockaddr(to_addr, to_port);
    sendto(s, reinterpret_cast<const char*>(buf), len, 0, reinterpret_cast<const sockaddr*>(&sa),
           sizeof sa);
}

// The socket is bound to the source address, which gives the broadcast its source and its
// interface.
void net_send_broadcast(net_socket s, const unsigned char* buf, int len, std::uint16_t to_port,
                        std::uint32_t /*source_addr*/) {
    net_send(s, buf, len, INADDR_BROADCAST, to_port);
}

std::FILE* file_open_read(const char* path) {
    return std::fopen(path, "rb");
}

FileKind file_kind(std::FILE* f, std::uint64_t* size) {
    struct _stat64 st;
    if (_fstat64(_fileno(f), &st) != 0)
        return FILE_KIND_UNKNOWN;
    if ((st.st_mode & _S_IFMT) != _S_IFREG)
        return FILE_KIND_OTHER;
    *size = static_cast<std::uint64_t>(st.st_size);
    return FILE_KIND_REGULAR;
}

bool file_is_directory(const char* path) {
    struct _stat64 st;
    return _stat64(path, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR;
}

std::uint64_t clock_microseconds() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    const auto ticks = static_cast<std::uint64_t>(count.QuadPart);
    const auto per_second = static_cast<std::uint64_t>(frequency.QuadPart);
    return ticks / per_second * 1000000u + ticks % per_second * 1000000u / per_second;
}
