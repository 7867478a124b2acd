// The system layer on POSIX (Linux): sockets, the clock, the image file, the console.
#include "host.h"
#include "platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

thread_local int last_errno = 0;

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

// Linux keeps a socket bound to an address that is removed: its sends fail meanwhile
// (EADDRNOTAVAIL, ENETUNREACH), and once the address is back it sends and receives as before.
bool net_endpoint_lost(net_socket /*s*/) {
    return false;
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
    int n = poll(fds, static_cast<nfds_t>(count), static_cast<int>(timeout_ms));
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

// A full send buffer makes the call wait for room rather than drop the datagram.
void net_send(net_socket s, const unsigned char* buf, int len, std::uint32_t to_addr,
              std::uint16_t to_port) {
    sockaddr_in sa = make_sockaddr(to_addr, to_port);
    sendto(s, buf, static_cast<size_t>(len), 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
}

// A socket bound to the wildcard address would give the broadcast the first address of its
// interface as source; the packet information names the source and the interface instead.
void net_send_broadcast(net_socket s, const unsigned char* buf, int len, std::uint16_t to_port,
                        std::uint32_t source_addr) {
    sockaddr_in to = make_sockaddr(htonl(INADDR_BROADCAST), to_port);
    iovec iov{const_cast<unsigned char*>(buf), static_cast<size_t>(len)};
    in_pktinfo info;
    std::memset(&info, 0, sizeof info);
    char name[IF_NAMESIZE];
    if (interface_holding(source_addr, name))
        info.ipi_ifindex = static_cast<int>(if_nametoindex(name));
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
    sendmsg(s, &msg, 0);
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

const char* net_fault_advice(NetFault fault) {
    if (fault == NET_FAULT_PERMISSION)
        return "permission denied; QBupdate needs root, or the capabilities "
               "CAP_NET_BIND_SERVICE and CAP_NET_RAW";
    return nullptr;
}

// No firewall of its own here: a Linux firewall drops the device's datagrams for every
// program alike, and the README says how to open the ports.
void net_firewall_notice(char* out, std::size_t capacity, std::uint32_t /*local_addr*/) {
    if (capacity > 0)
        out[0] = '\0';
}

// The arguments need nothing of their own here, and standard error is unbuffered.
void arguments_as_utf8(int* /*argc*/, char*** /*argv*/) {}

void write_error_text(const char* text) {
    std::fputs(text, stderr);
}

namespace {

constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGQUIT};

bool holding = false;
struct sigaction operator_ending[sizeof ENDING_SIGNALS / sizeof ENDING_SIGNALS[0]];
struct sigaction operator_hang_up;
struct sigaction operator_pipe;

// Read by the signal handlers.
volatile sig_atomic_t holding_flow_control = 0;
volatile sig_atomic_t hung_up = 0;
volatile sig_atomic_t hang_up_status = 0;
const char* volatile hang_up_line = nullptr;

// Only the flag that was turned off is put back: the operator may have changed other settings
// meanwhile. A process sent to the background (Ctrl+Z, bg) would be stopped by SIGTTOU for
// changing its terminal, unless the signal is blocked.
void put_back_flow_control() {
    if (holding_flow_control == 0)
        return;
    sigset_t ttou;
    sigset_t saved;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &saved);
    termios settings;
    if (tcgetattr(STDIN_FILENO, &settings) == 0) {
        settings.c_iflag |= IXON;
        tcsetattr(STDIN_FILENO, TCSANOW, &settings);
    }
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

// Installed with SA_RESETHAND and SA_NODEFER: the signal raised again takes its default action.
void restore_and_end(int sig) {
    put_back_flow_control();
    raise(sig);
}

void note_hang_up(int /*sig*/) {
    hung_up = 1;
    const char* line = hang_up_line;
    if (line == nullptr)
        return;
    put_back_flow_control();
    const ssize_t written = write(STDERR_FILENO, line, std::strlen(line));
    static_cast<void>(written);
    _exit(hang_up_status);
}

// A signal that was ignored when QBupdate started (a background job of a shell without job
// control, nohup) stays ignored, as the operator asked.
void take_signal(int sig, void (*handler)(int), int flags, struct sigaction* previous) {
    sigaction(sig, nullptr, previous);
    if (previous->sa_handler == SIG_IGN)
        return;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigaction(sig, &action, nullptr);
}

} // namespace

// The terminal is changed only from the foreground: a background job that did so would be
// stopped by SIGTTOU, and the terminal is not its to change. Turning IXON off also restarts
// output that Ctrl+S had stopped.
void console_hold_steady() {
    if (holding)
        return;
    holding = true;
    for (std::size_t i = 0; i < sizeof ENDING_SIGNALS / sizeof ENDING_SIGNALS[0]; ++i)
        take_signal(ENDING_SIGNALS[i], restore_and_end, SA_RESETHAND | SA_NODEFER,
                    &operator_ending[i]);
    take_signal(SIGHUP, note_hang_up, SA_RESTART, &operator_hang_up);
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    sigemptyset(&ignore.sa_mask);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &operator_pipe);

    termios settings;
    if (isatty(STDIN_FILENO) == 1 && tcgetpgrp(STDIN_FILENO) == getpgrp() &&
        tcgetattr(STDIN_FILENO, &settings) == 0 && (settings.c_iflag & IXON) != 0) {
        holding_flow_control = 1;
        settings.c_iflag &= ~static_cast<tcflag_t>(IXON);
        tcsetattr(STDIN_FILENO, TCSANOW, &settings);
    }
}

void console_restore() {
    if (!holding)
        return;
    put_back_flow_control();
    holding_flow_control = 0;
    hang_up_line = nullptr;
    for (std::size_t i = 0; i < sizeof ENDING_SIGNALS / sizeof ENDING_SIGNALS[0]; ++i)
        sigaction(ENDING_SIGNALS[i], &operator_ending[i], nullptr);
    sigaction(SIGHUP, &operator_hang_up, nullptr);
    sigaction(SIGPIPE, &operator_pipe, nullptr);
    holding = false;
}

bool console_hung_up() {
    return hung_up != 0;
}

void console_end_at_hang_up(const char* line, int status) {
    hang_up_status = status;
    hang_up_line = line;
}

bool stream_is_terminal(std::FILE* f) {
    return isatty(fileno(f)) == 1;
}

namespace {

enum TrailMode : int {
    TRAIL_PLAIN = 0,      // write(2) on standard output, waiting as any write does
    TRAIL_OWN_OPEN = 1,   // a non-blocking descriptor of QBupdate's own for the same file
    TRAIL_SOCKET_SEND = 2 // send(2) on standard output with MSG_DONTWAIT
};

TrailMode trail_mode = TRAIL_PLAIN;
int trail_fd = STDOUT_FILENO;
bool trail_shares_errors = false;

} // namespace

// O_NONBLOCK set on standard output itself would be set on the file description the shell
// shares, and a crash would leave the shell's terminal or pipe non-blocking. A terminal or a
// pipe is opened anew instead, through /proc, as a description of QBupdate's own; a socket
// takes MSG_DONTWAIT on each send. A regular file is written as before: a new description of
// it would start at offset 0, and its writes do not wait for a reader. So is anything else, and
// a terminal or pipe that cannot be opened anew (a pipe of another user's, /proc missing).
void trail_output_open() {
    trail_output_close();
    struct stat out;
    if (fstat(STDOUT_FILENO, &out) != 0)
        return;
    if (S_ISSOCK(out.st_mode)) {
        trail_mode = TRAIL_SOCKET_SEND;
    } else if (S_ISFIFO(out.st_mode) || (S_ISCHR(out.st_mode) && isatty(STDOUT_FILENO) == 1)) {
        const int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            trail_fd = fd;
            trail_mode = TRAIL_OWN_OPEN;
        }
    }
    struct stat err;
    trail_shares_errors = trail_mode != TRAIL_PLAIN && fstat(STDERR_FILENO, &err) == 0 &&
                          err.st_dev == out.st_dev && err.st_ino == out.st_ino;
}

void trail_output_close() {
    if (trail_fd != STDOUT_FILENO)
        close(trail_fd);
    trail_fd = STDOUT_FILENO;
    trail_mode = TRAIL_PLAIN;
    trail_shares_errors = false;
}

int trail_write(const char* bytes, int length) {
    for (;;) {
        const ssize_t n = trail_mode == TRAIL_SOCKET_SEND
                              ? send(STDOUT_FILENO, bytes, static_cast<size_t>(length),
                                     MSG_DONTWAIT | MSG_NOSIGNAL)
                              : write(trail_fd, bytes, static_cast<size_t>(length));
        if (n >= 0)
            return static_cast<int>(n);
        if (errno != EINTR)
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : TRAIL_BROKEN;
    }
}

void trail_wait_writable(std::uint32_t timeout_ms) {
    if (trail_mode == TRAIL_PLAIN)
        return;
    pollfd p{trail_fd, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(timeout_ms));
}

bool trail_shares_error_stream() {
    return trail_shares_errors;
}
