// The system layer on POSIX (Linux): sockets, the clock, the image file, the console.
#include "host.h"
#include "platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <initializer_list>
#include <net/if.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

namespace {

thread_local int last_errno = 0;

// Between console_open and console_close: the signal mask the process had before, which the
// loop's wait puts in force while it waits.
bool console_opened = false;
bool streams_one = false; // standard output and standard error are one stream
sigset_t operator_mask;

sockaddr_in make_sockaddr(std::uint32_t addr, std::uint16_t port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = addr;
    return sa;
}

// The name of the interface that holds `addr`.
bool interface_holding(std::uint32_t addr, char (&name)[IF_NAMESIZE]) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (ifaddrs* ifa = list; ifa != nullptr && !found; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        const auto* sin = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr);
        if (sin->sin_addr.s_addr == addr) {
            std::strncpy(name, ifa->ifa_name, IF_NAMESIZE - 1);
            name[IF_NAMESIZE - 1] = '\0';
            found = true;
        }
    }
    freeifaddrs(list);
    return found;
}

} // namespace

bool net_startup() {
    return true;
}
void net_cleanup() {}

// IFF_RUNNING is the kernel's word for a carrier: a veth whose peer is down, or a port without
// its cable, is up but not running.
int net_local_addresses(LocalAddress* out, int capacity, LocalAddressFilter keep,
                        std::uint32_t target_addr) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        last_errno = errno;
        return -1;
    }
    int count = 0;
    for (ifaddrs* ifa = list; ifa != nullptr && count < capacity; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        if ((ifa->ifa_flags & IFF_UP) == 0)
            continue;
        const std::uint32_t addr =
            reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr;
        if (keep != nullptr && !keep(addr, target_addr))
            continue;
        LocalAddress& local = out[count++];
        local.addr = addr;
        local.netmask =
            ifa->ifa_netmask != nullptr
                ? reinterpret_cast<const sockaddr_in*>(ifa->ifa_netmask)->sin_addr.s_addr
                : 0xFFFFFFFFu;
        local.has_link = (ifa->ifa_flags & IFF_RUNNING) != 0;
        std::snprintf(local.interface_name, sizeof local.interface_name, "%s", ifa->ifa_name);
    }
    freeifaddrs(list);
    return count;
}

// Blocking: the engine receives only after the wait reported a datagram, and every receive
// asks not to wait (MSG_DONTWAIT) in case the datagram was dropped in between.
net_socket net_udp_socket() {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0)
        last_errno = errno;
    return s < 0 ? NET_INVALID_SOCKET : s;
}

void net_allow_broadcast(net_socket s, bool allow) {
    int value = allow ? 1 : 0;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, &value, sizeof value);
}

// Linux delivers limited broadcasts only to sockets bound to the wildcard address; the tie to
// the interface (SO_BINDTODEVICE) keeps out those arriving on any other. Such a socket then
// receives every datagram to the port arriving on that interface, and its bind fails while
// another socket not tied to another interface holds the port on any address. Kernels before
// 5.7 allow the tie only with CAP_NET_RAW.
bool net_bind(net_socket s, std::uint32_t local_addr, std::uint16_t port, bool hear_broadcasts) {
    std::uint32_t bind_addr = local_addr;
    if (hear_broadcasts) {
        char name[IF_NAMESIZE];
        if (!interface_holding(local_addr, name)) {
            last_errno = EADDRNOTAVAIL;
            return false;
        }
        if (setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, name, std::strlen(name) + 1) != 0) {
            last_errno = errno;
            return false;
        }
        bind_addr = htonl(INADDR_ANY);
    }
    sockaddr_in sa = make_sockaddr(bind_addr, port);
    if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        last_errno = errno;
        return false;
    }
    return true;
}

void net_close(net_socket s) {
    if (s != NET_INVALID_SOCKET)
        close(s);
}

bool net_port_refused(std::uint16_t port) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0)
        return true;
    sockaddr_in sa = make_sockaddr(htonl(INADDR_ANY), htons(port));
    const bool refused = bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0;
    close(s);
    return refused;
}

bool net_route_source(std::uint32_t target_addr, std::uint32_t* source_addr) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0)
        return false;
    sockaddr_in to = make_sockaddr(target_addr, htons(9));
    sockaddr_in from;
    socklen_t length = sizeof from;
    std::memset(&from, 0, sizeof from);
    const bool routed = connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                        getsockname(s, reinterpret_cast<sockaddr*>(&from), &length) == 0 &&
                        from.sin_addr.s_addr != htonl(INADDR_ANY);
    close(s);
    if (routed)
        *source_addr = from.sin_addr.s_addr;
    return routed;
}

// Linux keeps a socket bound to an address that is removed: its sends fail meanwhile
// (EADDRNOTAVAIL, ENETUNREACH), and once the address is back it sends and receives as before.
bool net_endpoint_lost(net_socket /*s*/) {
    return false;
}

// Nothing to reopen here (net_endpoint_lost), so the address list is not read.
NetAddressState net_address_state(std::uint32_t /*addr*/) {
    return NET_ADDRESS_USABLE;
}

std::uint16_t net_local_port(net_socket s) {
    sockaddr_in sa;
    socklen_t length = sizeof sa;
    std::memset(&sa, 0, sizeof sa);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &length) != 0)
        return 0;
    return sa.sin_port;
}

NetFault net_last_fault() {
    switch (last_errno) {
    case 0:
        return NET_FAULT_NONE;
    case EACCES:
    case EPERM:
        return NET_FAULT_PERMISSION;
    case EADDRINUSE:
        return NET_FAULT_IN_USE;
    case EADDRNOTAVAIL:
    case ENODEV:
        return NET_FAULT_NO_ADDRESS;
    default:
        return NET_FAULT_OTHER;
    }
}

int net_wait_readable(const net_socket* socks, bool* ready, int count, std::uint32_t timeout_ms) {
    constexpr int max_sockets = 8;
    if (count > max_sockets) {
        last_errno = EINVAL;
        return NET_WAIT_FAILED;
    }
    pollfd fds[max_sockets];
    for (int i = 0; i < count; ++i)
        fds[i] = pollfd{socks[i], POLLIN, 0}; // poll passes over a negative descriptor
    const timespec timeout{static_cast<time_t>(timeout_ms / 1000),
                           static_cast<long>(timeout_ms % 1000) * 1000000L};
    int n =
        ppoll(fds, static_cast<nfds_t>(count), &timeout, console_opened ? &operator_mask : nullptr);
    if (n < 0 && errno == EINTR)
        return NET_WAIT_INTERRUPTED;
    if (n < 0) {
        last_errno = errno;
        return NET_WAIT_FAILED;
    }
    int marked = 0;
    for (int i = 0; i < count; ++i) {
        // An error condition on a socket is reported as readable so that the receive clears it.
        ready[i] = (fds[i].revents & (POLLIN | POLLERR)) != 0;
        marked += ready[i] ? 1 : 0;
    }
    if (n > 0 && marked == 0) {
        last_errno = EBADF; // POLLNVAL: a socket that is not open
        return NET_WAIT_FAILED;
    }
    return marked;
}

int net_receive(net_socket s, unsigned char* buf, int capacity, std::uint32_t* from_addr,
                std::uint16_t* from_port) {
    sockaddr_in sa;
    socklen_t sa_len = sizeof sa;
    std::memset(&sa, 0, sizeof sa);
    ssize_t n = recvfrom(s, buf, static_cast<size_t>(capacity), MSG_DONTWAIT | MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&sa), &sa_len);
    if (n < 0 || n > capacity)
        return -1;
    *from_addr = sa.sin_addr.s_addr;
    *from_port = sa.sin_port;
    return static_cast<int>(n);
}

// MSG_DONTWAIT: a send that would wait for room (replies queued behind address resolution of
// hosts that never answer) would hold the one loop, its beacon and its DATA, for seconds.
void net_send(net_socket s, const unsigned char* buf, int len, std::uint32_t to_addr,
              std::uint16_t to_port) {
    if (s == NET_INVALID_SOCKET)
        return;
    sockaddr_in sa = make_sockaddr(to_addr, to_port);
    sendto(s, buf, static_cast<size_t>(len), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&sa),
           sizeof sa);
}

std::uint32_t net_interface_index(std::uint32_t local_addr) {
    char name[IF_NAMESIZE];
    return interface_holding(local_addr, name) ? if_nametoindex(name) : 0;
}

bool net_connect(net_socket s, std::uint32_t addr, std::uint16_t port) {
    sockaddr_in sa = make_sockaddr(addr, port);
    return connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

// A socket bound to the wildcard address would give the broadcast the first address of its
// interface as source; the packet information names the source and the interface instead.
void net_send_broadcast(net_socket s, const unsigned char* buf, int len, std::uint16_t to_port,
                        std::uint32_t source_addr, std::uint32_t interface_index) {
    if (s == NET_INVALID_SOCKET)
        return;
    sockaddr_in to = make_sockaddr(htonl(INADDR_BROADCAST), to_port);
    iovec iov{const_cast<unsigned char*>(buf), static_cast<size_t>(len)};
    in_pktinfo info;
    std::memset(&info, 0, sizeof info);
    info.ipi_ifindex = static_cast<int>(interface_index);
    info.ipi_spec_dst.s_addr = source_addr;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof info)];
    std::memset(control, 0, sizeof control);
    msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof info);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    sendmsg(s, &msg, MSG_DONTWAIT);
}

// Without O_NONBLOCK, opening a FIFO blocks until something writes to it. The flag is left set:
// reads of a regular file ignore it, and nothing else is ever read.
std::FILE* file_open_read(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    std::FILE* f = fdopen(fd, "rb");
    if (f == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return f;
}

FileKind file_kind(std::FILE* f, std::uint64_t* size) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0)
        return FILE_KIND_UNKNOWN;
    if (!S_ISREG(st.st_mode))
        return FILE_KIND_OTHER;
    *size = static_cast<std::uint64_t>(st.st_size);
    return FILE_KIND_REGULAR;
}

// getrandom reads the kernel's generator, waiting only until it has been seeded at boot.
bool system_random(unsigned char* out, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = getrandom(out + got, size - got, 0);
        if (n < 0 && errno != EINTR)
            return false;
        if (n > 0)
            got += static_cast<std::size_t>(n);
    }
    return true;
}

std::uint64_t clock_microseconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

// /proc/self/exe names the binary as the system started it, links resolved.
void host_program_path(char* out, std::size_t capacity) {
    std::snprintf(out, capacity, "QBupdate");
    const ssize_t n = readlink("/proc/self/exe", out, capacity - 1);
    if (n > 0)
        out[n] = '\0';
}

// A release that cannot be read is taken for a current one.
void host_kernel_release(unsigned* major, unsigned* minor) {
    *major = 5;
    *minor = 7;
    utsname system{};
    unsigned read_major = 0;
    unsigned read_minor = 0;
    if (uname(&system) == 0 &&
        std::sscanf(system.release, "%u.%u", &read_major, &read_minor) == 2) {
        *major = read_major;
        *minor = read_minor;
    }
}

// libcrypto's one-shot digest: the image is in memory whole.
bool sha256_digest(const unsigned char* data, std::size_t size,
                   unsigned char (&digest)[SHA256_SIZE]) {
    unsigned int length = 0;
    return EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) == 1 &&
           length == SHA256_SIZE;
}

// No firewall of its own here: a Linux firewall drops the device's datagrams for every
// program alike, and the README says how to open the ports.
bool net_firewall_answers(std::uint32_t /*local_addr*/, FirewallAnswers* /*out*/,
                          char* /*program_path*/, std::size_t /*capacity*/) {
    return false;
}

// The arguments need nothing of their own here, and standard error is unbuffered.
void arguments_as_utf8(int* /*argc*/, char*** /*argv*/) {}

namespace {

// A hang-up, as the handler records it; read by the loop's notice path, never acted on here.
volatile sig_atomic_t hung_up = 0;

void note_hang_up(int /*sig*/) {
    hung_up = 1;
}

// A process starts with each signal's default, or ignored.
using Handler = void (*)(int);
Handler operator_pipe;
Handler operator_file_size;
Handler operator_hang_up;

struct Stream {
    int standard_fd;
    int fd;      // the standard descriptor, or a non-blocking one of QBupdate's own
    bool socket; // written with send(2) and MSG_DONTWAIT
};

Stream streams[2] = {{STDOUT_FILENO, STDOUT_FILENO, false}, {STDERR_FILENO, STDERR_FILENO, false}};

bool never_waits(const Stream& s) {
    return s.socket || s.fd != s.standard_fd;
}

// O_NONBLOCK set on the standard descriptor itself would be set on the file description the
// shell shares, and a crash would leave the shell's terminal or pipe non-blocking. A terminal
// or a pipe is opened anew instead, through /proc, as a description of QBupdate's own. A regular
// file is written as it is: a new description of it would start at offset 0, and its writes do
// not wait for a reader. So is anything else, and a terminal or pipe that cannot be opened anew
// (a pipe of another user's, /proc missing).
void open_stream(Stream& s, const struct stat& st) {
    s.socket = S_ISSOCK(st.st_mode);
    if (S_ISFIFO(st.st_mode) || (S_ISCHR(st.st_mode) && isatty(s.standard_fd) == 1)) {
        char path[32];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", s.standard_fd);
        const int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        s.fd = fd >= 0 ? fd : s.standard_fd;
    }
}

} // namespace

// SIGPIPE and SIGXFSZ are ignored: the write fails instead. SIGHUP is held back except during
// the loop's wait, which it then cuts short: a hang-up is seen at once, however it falls
// between the loop's checks.
void console_open() {
    if (console_opened)
        return;
    console_opened = true;
    hung_up = 0;
    operator_pipe = signal(SIGPIPE, SIG_IGN);
    operator_file_size = signal(SIGXFSZ, SIG_IGN);
    sigset_t hang_up;
    sigemptyset(&hang_up);
    sigaddset(&hang_up, SIGHUP);
    sigprocmask(SIG_BLOCK, &hang_up, &operator_mask);
    operator_hang_up = signal(SIGHUP, note_hang_up);
    if (operator_hang_up == SIG_IGN) // as the operator asked (nohup)
        signal(SIGHUP, SIG_IGN);
    struct stat out;
    struct stat err;
    streams_one = false;
    if (fstat(STDOUT_FILENO, &out) != 0 || fstat(STDERR_FILENO, &err) != 0)
        return;
    open_stream(streams[CONSOLE_OUT], out);
    open_stream(streams[CONSOLE_ERR], err);
    streams_one =
        out.st_dev == err.st_dev && out.st_ino == err.st_ino && never_waits(streams[CONSOLE_OUT]);
}

bool console_streams_are_one() {
    return console_opened && streams_one;
}

void pause_ms(std::uint32_t ms) {
    timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// A hang-up held back is taken by the recording handler before the operator's is back.
void console_close() {
    if (!console_opened)
        return;
    for (Stream& s : streams) {
        if (s.fd != s.standard_fd)
            close(s.fd);
        s = Stream{s.standard_fd, s.standard_fd, false};
    }
    sigprocmask(SIG_SETMASK, &operator_mask, nullptr);
    signal(SIGHUP, operator_hang_up);
    signal(SIGXFSZ, operator_file_size);
    signal(SIGPIPE, operator_pipe);
    console_opened = false;
}

int console_write(ConsoleStream stream, const char* bytes, int length) {
    const Stream& s = streams[stream];
    for (;;) {
        const ssize_t n =
            s.socket ? send(s.fd, bytes, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL)
                     : write(s.fd, bytes, static_cast<size_t>(length));
        if (n >= 0)
            return static_cast<int>(n);
        if (errno != EINTR)
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : CONSOLE_BROKEN;
    }
}

void console_wait_writable(ConsoleStream stream, std::uint32_t timeout_ms) {
    const Stream& s = streams[stream];
    if (!never_waits(s))
        return;
    pollfd p{s.fd, POLLOUT, 0};
    const int timeout = static_cast<int>(timeout_ms);
    // A terminal stopped by Ctrl+S reports room that its writes do not take: a pause, not a spin.
    if (poll(&p, 1, timeout) > 0 && isatty(s.fd) == 1)
        poll(nullptr, 0, timeout < 100 ? timeout : 100);
}

void console_wait_taken(std::uint32_t /*timeout_ms*/) {}

bool console_is_terminal(ConsoleStream stream) {
    return isatty(streams[stream].standard_fd) == 1;
}

bool console_hung_up() {
    return hung_up != 0;
}
