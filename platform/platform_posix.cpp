// POSIX sockets (Linux).
#include "platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/io_uring.h>
#include <linux/time_types.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
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

// The name of the interface that holds `addr`, for binding a socket to that interface.
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

// The transfer makes one wait, one receive and one send per block. On a ring shared with the
// kernel they become one call: a receive stays posted on every socket the loop waits on, sends
// are queued and go with the next wait, and "ready" means a datagram is already in our buffer.
// Where no ring can be set up (an old kernel, the feature turned off, a tool that does not
// know it) the plain calls below do the work.

constexpr unsigned RING_ENTRIES = 32;
constexpr int RECEIVE_SLOTS = 8;
constexpr int SEND_SLOTS = 8;
constexpr std::size_t DATAGRAM_ROOM = 2048;

constexpr std::uint64_t TAG_RECEIVE = 1;
constexpr std::uint64_t TAG_SEND = 2;
constexpr std::uint64_t TAG_CANCEL = 3;

enum RingMode : int { RING_UNTRIED = 0, RING_ON, RING_OFF };

struct ReceiveSlot {
    int fd; // -1 when free
    bool armed;
    bool done;
    int result;
    sockaddr_in from;
    iovec iov;
    msghdr msg;
    unsigned char data[DATAGRAM_ROOM];
};

struct SendSlot {
    int fd;
    bool busy;
    sockaddr_in to;
    iovec iov;
    msghdr msg;
    unsigned char data[DATAGRAM_ROOM];
};

struct Ring {
    RingMode mode;
    int fd;
    void* sq_map;
    std::size_t sq_map_size;
    void* sqe_map;
    std::size_t sqe_map_size;
    io_uring_sqe* sqes;
    unsigned* sq_head;
    unsigned* sq_tail;
    unsigned* sq_array;
    unsigned sq_mask;
    unsigned sq_entries;
    unsigned* cq_head;
    unsigned* cq_tail;
    unsigned cq_mask;
    io_uring_cqe* cqes;
    unsigned unsubmitted;
    int sends_in_flight;
    bool cancel_pending;
    ReceiveSlot receives[RECEIVE_SLOTS];
    SendSlot sends[SEND_SLOTS];
};

Ring ring;

int ring_enter(unsigned to_submit, unsigned min_complete, unsigned flags, const void* arg,
               std::size_t arg_size) {
    return static_cast<int>(
        syscall(__NR_io_uring_enter, ring.fd, to_submit, min_complete, flags, arg, arg_size));
}

void ring_release() {
    if (ring.sqe_map != nullptr)
        munmap(ring.sqe_map, ring.sqe_map_size);
    if (ring.sq_map != nullptr)
        munmap(ring.sq_map, ring.sq_map_size);
    if (ring.fd >= 0)
        close(ring.fd);
    std::memset(static_cast<void*>(&ring), 0, sizeof ring);
}

bool ring_setup() {
    ring.fd = -1;
    io_uring_params p;
    std::memset(&p, 0, sizeof p);
    p.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
    int fd = static_cast<int>(syscall(__NR_io_uring_setup, RING_ENTRIES, &p));
    if (fd < 0 && errno == EINVAL) {
        std::memset(&p, 0, sizeof p);
        fd = static_cast<int>(syscall(__NR_io_uring_setup, RING_ENTRIES, &p));
    }
    if (fd < 0)
        return false;
    ring.fd = fd;
    if ((p.features & IORING_FEAT_SINGLE_MMAP) == 0 || (p.features & IORING_FEAT_EXT_ARG) == 0)
        return false;
    std::size_t sq_size = p.sq_off.array + p.sq_entries * sizeof(unsigned);
    std::size_t cq_size = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
    ring.sq_map_size = sq_size > cq_size ? sq_size : cq_size;
    void* map = mmap(nullptr, ring.sq_map_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                     fd, IORING_OFF_SQ_RING);
    if (map == MAP_FAILED)
        return false;
    ring.sq_map = map;
    ring.sqe_map_size = p.sq_entries * sizeof(io_uring_sqe);
    map = mmap(nullptr, ring.sqe_map_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd,
               IORING_OFF_SQES);
    if (map == MAP_FAILED)
        return false;
    ring.sqe_map = map;
    auto* base = static_cast<unsigned char*>(ring.sq_map);
    ring.sqes = static_cast<io_uring_sqe*>(ring.sqe_map);
    ring.sq_head = reinterpret_cast<unsigned*>(base + p.sq_off.head);
    ring.sq_tail = reinterpret_cast<unsigned*>(base + p.sq_off.tail);
    ring.sq_array = reinterpret_cast<unsigned*>(base + p.sq_off.array);
    ring.sq_mask = *reinterpret_cast<unsigned*>(base + p.sq_off.ring_mask);
    ring.sq_entries = p.sq_entries;
    ring.cq_head = reinterpret_cast<unsigned*>(base + p.cq_off.head);
    ring.cq_tail = reinterpret_cast<unsigned*>(base + p.cq_off.tail);
    ring.cq_mask = *reinterpret_cast<unsigned*>(base + p.cq_off.ring_mask);
    ring.cqes = reinterpret_cast<io_uring_cqe*>(base + p.cq_off.cqes);
    for (ReceiveSlot& r : ring.receives)
        r.fd = -1;
    for (SendSlot& s : ring.sends)
        s.fd = -1;
    return true;
}

bool ring_on() {
    if (ring.mode == RING_UNTRIED) {
        if (ring_setup()) {
            ring.mode = RING_ON;
        } else {
            ring_release();
            ring.mode = RING_OFF;
        }
    }
    return ring.mode == RING_ON;
}

void ring_reap() {
    unsigned head = *ring.cq_head;
    unsigned tail = __atomic_load_n(ring.cq_tail, __ATOMIC_ACQUIRE);
    for (; head != tail; ++head) {
        const io_uring_cqe& cqe = ring.cqes[head & ring.cq_mask];
        const std::uint64_t tag = cqe.user_data >> 32;
        const auto index = static_cast<int>(cqe.user_data & 0xFFFFu);
        if (tag == TAG_RECEIVE && index < RECEIVE_SLOTS) {
            ReceiveSlot& r = ring.receives[index];
            r.armed = false;
            r.done = true;
            r.result = cqe.res;
        } else if (tag == TAG_SEND && index < SEND_SLOTS) {
            ring.sends[index].busy = false;
            --ring.sends_in_flight;
        } else if (tag == TAG_CANCEL) {
            ring.cancel_pending = false;
        }
    }
    __atomic_store_n(ring.cq_head, head, __ATOMIC_RELEASE);
}

// Hands the queued entries to the kernel without waiting for any of them.
void ring_submit() {
    while (ring.unsubmitted > 0) {
        int n = ring_enter(ring.unsubmitted, 0, 0, nullptr, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EBUSY)
                break;
            n = 0;
        }
        ring.unsubmitted -= static_cast<unsigned>(n);
        ring_reap();
    }
    ring_reap();
}

// Submits what is queued and waits until at least one more completion arrives. Returns false
// when the ring itself fails, so that no caller waits on it for ever.
bool ring_wait_one() {
    int n = ring_enter(ring.unsubmitted, 1, IORING_ENTER_GETEVENTS, nullptr, 0);
    if (n > 0)
        ring.unsubmitted -= static_cast<unsigned>(n);
    ring_reap();
    return n >= 0 || errno == EINTR;
}

io_uring_sqe* ring_next_sqe(std::uint64_t user_data) {
    unsigned tail = *ring.sq_tail;
    if (tail - __atomic_load_n(ring.sq_head, __ATOMIC_ACQUIRE) >= ring.sq_entries) {
        ring_submit();
        if (tail - __atomic_load_n(ring.sq_head, __ATOMIC_ACQUIRE) >= ring.sq_entries)
            return nullptr;
    }
    const unsigned index = tail & ring.sq_mask;
    io_uring_sqe* sqe = &ring.sqes[index];
    std::memset(sqe, 0, sizeof *sqe);
    sqe->user_data = user_data;
    ring.sq_array[index] = index;
    return sqe;
}

void ring_queue(io_uring_sqe*) {
    __atomic_store_n(ring.sq_tail, *ring.sq_tail + 1, __ATOMIC_RELEASE);
    ++ring.unsubmitted;
}

ReceiveSlot* receive_slot(int fd, bool claim) {
    if (fd < 0)
        return nullptr;
    ReceiveSlot* free_slot = nullptr;
    for (ReceiveSlot& r : ring.receives) {
        if (r.fd == fd)
            return &r;
        if (r.fd < 0 && free_slot == nullptr)
            free_slot = &r;
    }
    if (!claim || free_slot == nullptr)
        return nullptr;
    std::memset(static_cast<void*>(free_slot), 0, offsetof(ReceiveSlot, data));
    free_slot->fd = fd;
    return free_slot;
}

bool arm_receive(ReceiveSlot& r) {
    const auto index = static_cast<std::uint64_t>(&r - ring.receives);
    io_uring_sqe* sqe = ring_next_sqe(TAG_RECEIVE << 32 | index);
    if (sqe == nullptr)
        return false;
    std::memset(&r.from, 0, sizeof r.from);
    r.iov = iovec{r.data, sizeof r.data};
    std::memset(&r.msg, 0, sizeof r.msg);
    r.msg.msg_name = &r.from;
    r.msg.msg_namelen = sizeof r.from;
    r.msg.msg_iov = &r.iov;
    r.msg.msg_iovlen = 1;
    sqe->opcode = IORING_OP_RECVMSG;
    sqe->fd = r.fd;
    sqe->addr = reinterpret_cast<std::uintptr_t>(&r.msg);
    sqe->len = 1;
    // The datagram's full length comes back even when it did not fit, so an oversized one is
    // recognised and dropped.
    sqe->msg_flags = MSG_TRUNC;
    ring_queue(sqe);
    r.armed = true;
    r.done = false;
    return true;
}

int ring_wait_readable(const net_socket* socks, bool* ready, int count, std::uint32_t timeout_ms) {
    ReceiveSlot* slots[RECEIVE_SLOTS];
    if (count > RECEIVE_SLOTS)
        return NET_WAIT_FAILED;
    for (int i = 0; i < count; ++i) {
        slots[i] = receive_slot(socks[i], true);
        if (slots[i] == nullptr)
            return NET_WAIT_FAILED;
        if (!slots[i]->armed && !slots[i]->done && !arm_receive(*slots[i]))
            return NET_WAIT_FAILED;
    }
    const std::uint64_t deadline = clock_microseconds() + std::uint64_t{timeout_ms} * 1000u;
    for (;;) {
        ring_reap();
        int marked = 0;
        for (int i = 0; i < count; ++i) {
            ready[i] = slots[i]->done;
            if (ready[i] && (slots[i]->result == -EBADF || slots[i]->result == -ENOTSOCK))
                return NET_WAIT_FAILED;
            marked += ready[i] ? 1 : 0;
        }
        if (marked > 0) {
            ring_submit();
            return marked;
        }
        const std::uint64_t now = clock_microseconds();
        if (now >= deadline) {
            ring_submit();
            return 0;
        }
        const std::uint64_t left_us = deadline - now;
        __kernel_timespec ts;
        ts.tv_sec = static_cast<long long>(left_us / 1000000u);
        ts.tv_nsec = static_cast<long long>(left_us % 1000000u) * 1000;
        io_uring_getevents_arg arg;
        std::memset(&arg, 0, sizeof arg);
        arg.ts = reinterpret_cast<std::uintptr_t>(&ts);
        // Send completions arrive too; wait past them for a receive.
        const auto want = static_cast<unsigned>(ring.sends_in_flight) + 1;
        int n = ring_enter(ring.unsubmitted, want, IORING_ENTER_GETEVENTS | IORING_ENTER_EXT_ARG,
                           &arg, sizeof arg);
        if (n > 0) {
            ring.unsubmitted -= static_cast<unsigned>(n);
        } else if (n < 0 && errno == EINTR) {
            ring_reap();
            return NET_WAIT_INTERRUPTED;
        } else if (n < 0 && errno != ETIME && errno != EAGAIN && errno != EBUSY) {
            return NET_WAIT_FAILED;
        }
    }
}

int ring_receive(ReceiveSlot& r, unsigned char* buf, int capacity, std::uint32_t* from_addr,
                 std::uint16_t* from_port) {
    if (r.armed && !r.done) {
        ring_submit();
        int n = ring_enter(0, 0, IORING_ENTER_GETEVENTS, nullptr, 0);
        (void)n;
        ring_reap();
        if (!r.done)
            return -1;
    }
    r.done = false;
    if (r.result < 0 || r.result > capacity || r.result > static_cast<int>(sizeof r.data))
        return -1;
    std::memcpy(buf, r.data, static_cast<std::size_t>(r.result));
    *from_addr = r.from.sin_addr.s_addr;
    *from_port = r.from.sin_port;
    return r.result;
}

bool ring_send(int fd, const unsigned char* buf, int len, std::uint32_t to_addr,
               std::uint16_t to_port) {
    if (len < 0 || static_cast<std::size_t>(len) > DATAGRAM_ROOM)
        return false;
    SendSlot* slot = nullptr;
    for (int attempt = 0; slot == nullptr && attempt < 3; ++attempt) {
        for (SendSlot& s : ring.sends) {
            if (!s.busy) {
                slot = &s;
                break;
            }
        }
        if (slot == nullptr) {
            if (attempt == 0)
                ring_submit();
            else if (!ring_wait_one())
                break;
        }
    }
    if (slot == nullptr)
        return false;
    const auto index = static_cast<std::uint64_t>(slot - ring.sends);
    io_uring_sqe* sqe = ring_next_sqe(TAG_SEND << 32 | index);
    if (sqe == nullptr)
        return false;
    slot->fd = fd;
    slot->busy = true;
    std::memcpy(slot->data, buf, static_cast<std::size_t>(len));
    slot->to = make_sockaddr(to_addr, to_port);
    slot->iov = iovec{slot->data, static_cast<std::size_t>(len)};
    std::memset(&slot->msg, 0, sizeof slot->msg);
    slot->msg.msg_name = &slot->to;
    slot->msg.msg_namelen = sizeof slot->to;
    slot->msg.msg_iov = &slot->iov;
    slot->msg.msg_iovlen = 1;
    sqe->opcode = IORING_OP_SENDMSG;
    sqe->fd = fd;
    sqe->addr = reinterpret_cast<std::uintptr_t>(&slot->msg);
    sqe->len = 1;
    // Never parked in the kernel waiting for room: a wait then never has to outlast a send.
    sqe->msg_flags = MSG_DONTWAIT;
    ring_queue(sqe);
    ++ring.sends_in_flight;
    return true;
}

// Sends go out and the posted receive is withdrawn before the descriptor closes: a request
// still holding the socket would keep its port bound after the close.
void ring_forget(int fd) {
    ring_submit();
    ReceiveSlot* r = receive_slot(fd, false);
    if (r != nullptr && r->armed) {
        const auto index = static_cast<std::uint64_t>(r - ring.receives);
        io_uring_sqe* sqe = ring_next_sqe(TAG_CANCEL << 32);
        if (sqe != nullptr) {
            sqe->opcode = IORING_OP_ASYNC_CANCEL;
            sqe->addr = TAG_RECEIVE << 32 | index;
            ring_queue(sqe);
            ring.cancel_pending = true;
            while ((r->armed || ring.cancel_pending) && ring_wait_one()) {
            }
        }
    }
    for (;;) {
        bool sending = false;
        for (const SendSlot& s : ring.sends)
            sending |= s.busy && s.fd == fd;
        if (!sending || !ring_wait_one())
            break;
    }
    if (r != nullptr)
        r->fd = -1;
}

} // namespace

bool net_startup() {
    return true;
}

void net_cleanup() {
    if (ring.mode == RING_ON) {
        ring_submit();
        ring_release();
    }
}

int net_local_addresses(std::uint32_t* out, int capacity) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return -1;
    int count = 0;
    for (ifaddrs* ifa = list; ifa != nullptr && count < capacity; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        if ((ifa->ifa_flags & IFF_UP) == 0)
            continue;
        out[count++] = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr;
    }
    freeifaddrs(list);
    return count;
}

std::uint32_t net_parse_address(const char* text) {
    return inet_addr(text);
}

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

// Linux delivers limited broadcasts only to sockets bound to the wildcard address, and sends
// them by the route's interface; binding to the interface itself keeps both on the chosen one.
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
    if (ring.mode == RING_ON)
        ring_forget(s);
    close(s);
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
    if (ring_on())
        return ring_wait_readable(socks, ready, count, timeout_ms);
    constexpr int max_sockets = 8;
    if (count > max_sockets)
        return NET_WAIT_FAILED;
    pollfd fds[max_sockets];
    for (int i = 0; i < count; ++i)
        fds[i] = pollfd{socks[i], POLLIN, 0};
    int n = poll(fds, static_cast<nfds_t>(count), static_cast<int>(timeout_ms));
    if (n < 0)
        return errno == EINTR ? NET_WAIT_INTERRUPTED : NET_WAIT_FAILED;
    int marked = 0;
    for (int i = 0; i < count; ++i) {
        // An error condition on a socket is reported as readable so that the receive clears it.
        ready[i] = (fds[i].revents & (POLLIN | POLLERR)) != 0;
        marked += ready[i] ? 1 : 0;
    }
    if (n > 0 && marked == 0)
        return NET_WAIT_FAILED; // POLLNVAL: a socket that is not open
    return marked;
}

int net_receive(net_socket s, unsigned char* buf, int capacity, std::uint32_t* from_addr,
                std::uint16_t* from_port) {
    if (ring.mode == RING_ON) {
        ReceiveSlot* r = receive_slot(s, false);
        if (r != nullptr && (r->armed || r->done))
            return ring_receive(*r, buf, capacity, from_addr, from_port);
    }
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

void net_send(net_socket s, const unsigned char* buf, int len, std::uint32_t to_addr,
              std::uint16_t to_port) {
    if (ring_on()) {
        if (ring_send(s, buf, len, to_addr, to_port))
            return;
        ring_submit(); // what was queued before goes first
    }
    sockaddr_in sa = make_sockaddr(to_addr, to_port);
    sendto(s, buf, static_cast<size_t>(len), 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
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

bool file_is_directory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

std::uint64_t clock_microseconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

// Arguments, standard error and the console need nothing of their own here.
void arguments_as_utf8(int* /*argc*/, char*** /*argv*/) {}

void write_error_text(const char* text) {
    std::fputs(text, stderr);
}

void console_hold_steady() {}
void console_restore() {}
