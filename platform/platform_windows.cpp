// The system layer on Windows: Windows Sockets 2.2, the clock, the image file, the console, and
// what Windows Firewall will do with the device's datagrams on the adapter facing it.
#include "host.h"
#include "platform.h"
#include "windows_adapters.h"

#include <winsock2.h>

#include <bcrypt.h>
#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <shellapi.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
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

// Windows lets a socket bind an address on a port that another program holds on the wildcard
// address: for the same account the access check passes, and both programs would then hear
// the device's broadcasts. A plain bind of the wildcard address fails exactly when something
// holds the port there, whatever its options, and succeeds when others hold it only on other
// addresses; so a throwaway socket tries that first. An exclusive bind would also fail for a
// program that serves another adapter's address and takes nothing from this one.
bool port_held_on_wildcard(std::uint16_t port) {
    SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET) {
        last_error = WSAGetLastError();
        return true;
    }
    sockaddr_in sa = make_sockaddr(htonl(INADDR_ANY), port);
    bool held = bind(probe, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR;
    if (held)
        last_error = WSAGetLastError();
    closesocket(probe);
    return held;
}

// A UTF-8 path as the UTF-16 text the wide file functions take; false, with errno set, when it
// is no UTF-8 or too long.
bool wide_path(const char* path, wchar_t (&wide)[MAX_WIDE_PATH]) {
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, MAX_WIDE_PATH) == 0) {
        errno = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ENAMETOOLONG : EINVAL;
        return false;
    }
    return true;
}

// The image path as given and made full, for file_path_to_open.
wchar_t given_path[MAX_WIDE_PATH];
wchar_t full_path[MAX_WIDE_PATH];

} // namespace

bool net_startup() {
    WSADATA data;
    return WSAStartup(0x0202, &data) == 0;
}

void net_cleanup() {
    WSACleanup();
}

namespace {

// GetAdaptersAddresses writes into the caller's memory; Microsoft advises 15 KB to start with,
// and a laptop with virtual adapters (Hyper-V, VPN, WSL) needs more, so this holds plenty.
alignas(8) unsigned char adapter_list[128 * 1024];

// This host's adapters with their IPv4 addresses, in adapter_list; null when the system does not
// say, with its error in `error`.
const IP_ADAPTER_ADDRESSES* read_adapters(ULONG* error) {
    ULONG size = sizeof adapter_list;
    auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(adapter_list);
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    *error = GetAdaptersAddresses(AF_INET, flags, nullptr, adapters, &size);
    return *error == ERROR_SUCCESS ? adapters : nullptr;
}

// Whether the unicast address is an IPv4 one, and which (network order).
bool ipv4_address_of(const IP_ADAPTER_UNICAST_ADDRESS& u, std::uint32_t* addr) {
    if (u.Address.lpSockaddr == nullptr || u.Address.lpSockaddr->sa_family != AF_INET)
        return false;
    *addr = reinterpret_cast<const sockaddr_in*>(u.Address.lpSockaddr)->sin_addr.s_addr;
    return true;
}

std::uint32_t netmask_of_prefix(unsigned prefix_length) {
    if (prefix_length == 0)
        return 0;
    if (prefix_length >= 32)
        return 0xFFFFFFFFu;
    return htonl(0xFFFFFFFFu << (32 - prefix_length));
}

// The adapter's name as the operator knows it ("Ethernet 2"), or its GUID name when the friendly
// one does not fit.
void adapter_name(const IP_ADAPTER_ADDRESSES& adapter, char (&out)[INTERFACE_NAME_SIZE]) {
    if (WideCharToMultiByte(CP_UTF8, 0, adapter.FriendlyName, -1, out, INTERFACE_NAME_SIZE, nullptr,
                            nullptr) > 0)
        return;
    std::snprintf(out, sizeof out, "%s", adapter.AdapterName);
}

} // namespace

// Each adapter that is up (OperStatus, which Windows no longer hides for disconnected ones)
// with each of its unicast IPv4 addresses and their on-link prefix. The order of the older
// gethostbyname("") list is not documented, and it has no masks.
int net_local_addresses(LocalAddress* out, int capacity, LocalAddressFilter keep,
                        std::uint32_t target_addr) {
    ULONG error = ERROR_SUCCESS;
    const IP_ADAPTER_ADDRESSES* adapters = read_adapters(&error);
    if (adapters == nullptr) {
        last_error = static_cast<int>(error);
        return -1;
    }
    int count = 0;
    for (const IP_ADAPTER_ADDRESSES* a = adapters; a != nullptr; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp)
            continue;
        for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress;
             u != nullptr && count < capacity; u = u->Next) {
            std::uint32_t addr = 0;
            if (!ipv4_address_of(*u, &addr))
                continue;
            // An address still being checked for a duplicate on the segment, or found one,
            // cannot be bound yet: a wait for the device's subnet must not end on it.
            if (u->DadState != IpDadStatePreferred && u->DadState != IpDadStateDeprecated)
                continue;
            if (keep != nullptr && !keep(addr, target_addr))
                continue;
            LocalAddress& local = out[count++];
            local.addr = addr;
            local.netmask = netmask_of_prefix(u->OnLinkPrefixLength);
            local.has_link = true;
            adapter_name(*a, local.interface_name);
        }
    }
    return count;
}

net_socket net_udp_socket() {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        last_error = WSAGetLastError();
        return NET_INVALID_SOCKET;
    }
    ignore_port_unreachable(s);
    // Readiness from the wait is only a hint (a datagram may be dropped in between, for example
    // for a bad checksum); a non-blocking receive then finds nothing instead of waiting.
    u_long non_blocking = 1;
    if (ioctlsocket(s, FIONBIO, &non_blocking) == SOCKET_ERROR) {
        last_error = WSAGetLastError();
        closesocket(s);
        return NET_INVALID_SOCKET;
    }
    return s;
}

void net_allow_broadcast(net_socket s, bool allow) {
    BOOL value = allow ? TRUE : FALSE;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&value), sizeof value);
}

// A socket bound to an interface's unicast address receives the limited broadcasts arriving on
// that interface and sends its own broadcasts out of it, so the plain bind serves both.
// SO_EXCLUSIVEADDRUSE keeps every other socket off the address and port while QBupdate holds
// it, even one that asks for SO_REUSEADDR.
bool net_bind(net_socket s, std::uint32_t local_addr, std::uint16_t port,
              bool /*hear_broadcasts*/) {
    if (local_addr != htonl(INADDR_ANY) && port_held_on_wildcard(port))
        return false;
    BOOL exclusive = TRUE;
    if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                   sizeof exclusive) == SOCKET_ERROR) {
        last_error = WSAGetLastError();
        return false;
    }
    sockaddr_in sa = make_sockaddr(local_addr, port);
    if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR) {
        last_error = WSAGetLastError();
        return false;
    }
    return true;
}

namespace {

// The sockets whose calls failed as those of a socket the system has given up do, until they
// are closed (net_endpoint_lost). An upload holds at most four at once.
constexpr int MAX_LOST_SOCKETS = 16;
SOCKET lost_sockets[MAX_LOST_SOCKETS];
int lost_count = 0;

void note_lost(SOCKET s) {
    for (int i = 0; i < lost_count; ++i) {
        if (lost_sockets[i] == s)
            return;
    }
    if (lost_count < MAX_LOST_SOCKETS)
        lost_sockets[lost_count++] = s;
}

void forget_lost(SOCKET s) {
    for (int i = 0; i < lost_count; ++i) {
        if (lost_sockets[i] == s)
            lost_sockets[i--] = lost_sockets[--lost_count];
    }
}

} // namespace

// Microsoft does not say what becomes of a socket bound to an address that Windows removes (a
// cable pulled, media sense; a DHCP lease lost). The calls' documented failures for a dead
// network or interface (WSAENETDOWN) and for an address that is not valid here
// (WSAEADDRNOTAVAIL) are taken as the socket given up; a socket that would have recovered by
// itself is only replaced by an equal one.
bool winsock_error_loses_endpoint(int error) {
    return error == WSAENETDOWN || error == WSAEADDRNOTAVAIL;
}

// A send meets the loss where a wait and a receive may not: with the address and its routes
// gone, no route leads to the device (WSAENETUNREACH, WSAEHOSTUNREACH: the network or the host
// "cannot be reached from this host at this time"). WSAEADDRNOTAVAIL also names a destination no
// datagram can go to (address or port 0, which a stray's source may be); only for a valid one
// may it mean that the local address is gone. A needless reopen costs two binds; a missed one
// stalls the update.
bool winsock_send_error_loses_endpoint(int error, std::uint32_t to_addr, std::uint16_t to_port) {
    if (error == WSAEADDRNOTAVAIL)
        return to_addr != 0 && to_port != 0;
    return error == WSAENETDOWN || error == WSAENETUNREACH || error == WSAEHOSTUNREACH;
}

void net_close(net_socket s) {
    if (s == NET_INVALID_SOCKET)
        return;
    forget_lost(s);
    closesocket(s);
}

bool net_endpoint_lost(net_socket s) {
    for (int i = 0; i < lost_count; ++i) {
        if (lost_sockets[i] == s)
            return true;
    }
    return false;
}

// From the adapter list, as the start-up's choice of address reads it: an address counts only
// on an adapter that is up (Windows lists a disconnected adapter, its state down) and in a
// duplicate-address state that can be bound (DadState). The list rather than the change
// notification (NotifyUnicastIpAddressChange), whose callback runs on a thread of the system's:
// the loop stays the one thread that looks at the network.
NetAddressState net_address_state(std::uint32_t addr) {
    ULONG error = ERROR_SUCCESS;
    const IP_ADAPTER_ADDRESSES* adapters = read_adapters(&error);
    if (adapters == nullptr)
        return NET_ADDRESS_USABLE; // nothing known: the sockets' own failures still tell
    for (const IP_ADAPTER_ADDRESSES* a = adapters; a != nullptr; a = a->Next) {
        for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr;
             u = u->Next) {
            std::uint32_t held = 0;
            if (!ipv4_address_of(*u, &held) || held != addr || a->OperStatus != IfOperStatusUp)
                continue;
            return u->DadState == IpDadStatePreferred || u->DadState == IpDadStateDeprecated
                       ? NET_ADDRESS_USABLE
                       : NET_ADDRESS_PENDING;
        }
    }
    return NET_ADDRESS_GONE;
}

std::uint16_t net_local_port(net_socket s) {
    sockaddr_in sa;
    int length = sizeof sa;
    std::memset(&sa, 0, sizeof sa);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &length) == SOCKET_ERROR)
        return 0;
    return sa.sin_port;
}

NetFault net_last_fault() {
    return net_fault_from_winsock_error(last_error);
}

// connect on a UDP socket asks the routing table, as GetBestRoute2 would, and sends nothing.
bool net_route_source(std::uint32_t target_addr, std::uint32_t* source_addr) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return false;
    sockaddr_in to = make_sockaddr(target_addr, htons(9));
    sockaddr_in from;
    int length = sizeof from;
    std::memset(&from, 0, sizeof from);
    const bool routed = connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                        getsockname(s, reinterpret_cast<sockaddr*>(&from), &length) == 0 &&
                        from.sin_addr.s_addr != htonl(INADDR_ANY);
    closesocket(s);
    if (routed)
        *source_addr = from.sin_addr.s_addr;
    return routed;
}

bool sha256_digest(const unsigned char* data, std::size_t size,
                   unsigned char (&digest)[SHA256_SIZE]) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    // BCryptHashData takes a ULONG length.
    constexpr std::size_t CHUNK = 1u << 30;
    for (std::size_t done = 0; ok && done < size; done += CHUNK) {
        const std::size_t n = size - done < CHUNK ? size - done : CHUNK;
        ok = BCRYPT_SUCCESS(
            BCryptHashData(hash, const_cast<PUCHAR>(data + done), static_cast<ULONG>(n), 0));
    }
    ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, SHA256_SIZE, 0));
    if (hash != nullptr)
        BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}

bool net_port_refused(std::uint16_t port) {
    return port_held_on_wildcard(htons(port));
}

void host_program_path(char* out, std::size_t capacity) {
    std::snprintf(out, capacity, "QBupdate.exe");
}

void host_kernel_release(unsigned* major, unsigned* minor) {
    *major = 0;
    *minor = 0;
}

// Binding these ports needs no privilege on Windows. WSAEACCES comes from a socket that holds
// the port with SO_EXCLUSIVEADDRUSE, from a holder of another account, or from a port in a range
// the system excluded.
NetFault net_fault_from_winsock_error(int error) {
    switch (error) {
    case 0:
        return NET_FAULT_NONE;
    case WSAEACCES:
        return NET_FAULT_HELD_OR_RESERVED;
    case WSAEADDRINUSE:
        return NET_FAULT_IN_USE;
    case WSAEADDRNOTAVAIL:
        return NET_FAULT_NO_ADDRESS;
    default:
        return NET_FAULT_OTHER;
    }
}

// Windows has no signals that cut a wait short, so NET_WAIT_INTERRUPTED never comes from here.
// select refuses an empty set (WSAEINVAL), so a wait on none sleeps instead.
int net_wait_readable(const net_socket* socks, bool* ready, int count, std::uint32_t timeout_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    for (int i = 0; i < count; ++i) {
        ready[i] = false;
        if (socks[i] != NET_INVALID_SOCKET)
            FD_SET(socks[i], &readable);
    }
    if (readable.fd_count == 0) {
        Sleep(timeout_ms);
        return 0;
    }
    timeval timeout;
    timeout.tv_sec = static_cast<long>(timeout_ms / 1000);
    timeout.tv_usec = static_cast<long>(timeout_ms % 1000 * 1000);
    int n = select(0, &readable, nullptr, nullptr, &timeout);
    if (n == SOCKET_ERROR) {
        last_error = WSAGetLastError();
        if (winsock_error_loses_endpoint(last_error)) {
            for (int i = 0; i < count; ++i) {
                if (socks[i] != NET_INVALID_SOCKET)
                    note_lost(socks[i]);
            }
        }
        return NET_WAIT_FAILED;
    }
    int marked = 0;
    for (int i = 0; i < count; ++i) {
        ready[i] = socks[i] != NET_INVALID_SOCKET && FD_ISSET(socks[i], &readable) != 0;
        marked += ready[i] ? 1 : 0;
    }
    return marked;
}

int net_receive(net_socket s, unsigned char* buf, int capacity, std::uint32_t* from_addr,
                std::uint16_t* from_port) {
    sockaddr_in sa;
    int sa_len = sizeof sa;
    std::memset(&sa, 0, sizeof sa);
    // Nothing queued fails with WSAEWOULDBLOCK; a datagram longer than the buffer fails with
    // WSAEMSGSIZE and is gone.
    int n = recvfrom(s, reinterpret_cast<char*>(buf), capacity, 0, reinterpret_cast<sockaddr*>(&sa),
                     &sa_len);
    if (n == SOCKET_ERROR) {
        if (winsock_error_loses_endpoint(WSAGetLastError()))
            note_lost(s);
        return -1;
    }
    *from_addr = sa.sin_addr.s_addr;
    *from_port = sa.sin_port;
    return n;
}

// The socket is non-blocking, so a full send buffer drops the datagram; one block in flight
// never fills it.
void net_send(net_socket s, const unsigned char* buf, int len, std::uint32_t to_addr,
              std::uint16_t to_port) {
    if (s == NET_INVALID_SOCKET)
        return;
    sockaddr_in sa = make_sockaddr(to_addr, to_port);
    if (sendto(s, reinterpret_cast<const char*>(buf), len, 0,
               reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != SOCKET_ERROR)
        return;
    if (winsock_send_error_loses_endpoint(WSAGetLastError(), to_addr, to_port))
        note_lost(s);
}

// The socket is bound to the source address, which gives the broadcast its source and its
// interface.
void net_send_broadcast(net_socket s, const unsigned char* buf, int len, std::uint16_t to_port,
                        std::uint32_t /*source_addr*/, std::uint32_t /*interface_index*/) {
    net_send(s, buf, len, INADDR_BROADCAST, to_port);
}

std::uint32_t net_interface_index(std::uint32_t /*local_addr*/) {
    return 0;
}

// A connected datagram socket discards what arrives from any other address, and a destination
// named in sendto still overrides the connected one for that datagram.
bool net_connect(net_socket s, std::uint32_t addr, std::uint16_t port) {
    sockaddr_in sa = make_sockaddr(addr, port);
    return connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != SOCKET_ERROR;
}

bool extended_length_form(const wchar_t* full, wchar_t* out, std::size_t capacity) {
    const wchar_t* prefix = L"\\\\?\\";
    const wchar_t* rest = full;
    if (std::wcsncmp(full, L"\\\\?\\", 4) == 0 || std::wcsncmp(full, L"\\\\.\\", 4) == 0)
        prefix = L"";
    else if (full[0] == L'\\' && full[1] == L'\\') {
        prefix = L"\\\\?\\UNC\\";
        rest = full + 2;
    }
    const std::size_t prefix_length = std::wcslen(prefix);
    const std::size_t rest_length = std::wcslen(rest);
    if (prefix_length + rest_length + 1 > capacity)
        return false;
    std::wmemcpy(out, prefix, prefix_length);
    std::wmemcpy(out + prefix_length, rest, rest_length + 1);
    return true;
}

// Without the system's long-path setting (and a manifest it honours) a path of MAX_PATH or more
// opens only in its \\?\ form ("Maximum Path Length Limitation"), which the system takes as it
// stands: so it is made from the full path, in which GetFullPathNameW has already put the
// current folder, the "." and ".." and the backslashes. A shorter path is opened as given.
bool file_path_to_open(const char* path, wchar_t* out, std::size_t capacity) {
    if (!wide_path(path, given_path))
        return false;
    const DWORD n = GetFullPathNameW(given_path, MAX_WIDE_PATH, full_path, nullptr);
    const bool long_path = n >= MAX_PATH && n < MAX_WIDE_PATH;
    const wchar_t* chosen = long_path ? full_path : given_path;
    if (long_path ? !extended_length_form(chosen, out, capacity)
                  : std::wcslen(chosen) + 1 > capacity) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (!long_path)
        std::wmemcpy(out, chosen, std::wcslen(chosen) + 1);
    return true;
}

// The C runtime's fopen takes the ANSI code page; the wide call takes any name. Windows refuses
// to open a directory at all (EACCES), where Linux opens it and file_kind tells its kind; the
// caller learns it from errno all the same.
std::FILE* file_open_read(const char* path) {
    static wchar_t wide[MAX_WIDE_PATH];
    if (!file_path_to_open(path, wide, MAX_WIDE_PATH))
        return nullptr;
    std::FILE* f = _wfopen(wide, L"rb");
    if (f == nullptr) {
        const int open_error = errno;
        struct _stat64 st;
        const bool directory = _wstat64(wide, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR;
        errno = directory ? EISDIR : open_error;
    }
    return f;
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

// The system's preferred generator, as Microsoft documents for BCryptGenRandom: no algorithm
// handle to open or close.
bool system_random(unsigned char* out, std::size_t size) {
    return BCryptGenRandom(nullptr, out, static_cast<ULONG>(size),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
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

namespace {

// More than three arguments already mean the usage text, so a few more than that are kept.
constexpr int MAX_ARGUMENTS = 8;
// The command line holds at most 32767 UTF-16 units, each at most 3 bytes of UTF-8.
char argument_text[3 * MAX_WIDE_PATH + MAX_ARGUMENTS];
char* argument_list[MAX_ARGUMENTS + 1];

} // namespace

void arguments_as_utf8(int* argc, char*** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return;
    const int kept = count < MAX_ARGUMENTS ? count : MAX_ARGUMENTS;
    int used = 0;
    for (int i = 0; i < kept; ++i) {
        int n =
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, argument_text + used,
                                static_cast<int>(sizeof argument_text) - used, nullptr, nullptr);
        if (n == 0) {
            LocalFree(wide);
            return;
        }
        argument_list[i] = argument_text + used;
        used += n;
    }
    LocalFree(wide);
    argument_list[kept] = nullptr;
    *argc = kept;
    *argv = argument_list;
}

namespace {

// Set before the control handler is installed, and not changed while it is.
HANDLE held_input = INVALID_HANDLE_VALUE;
DWORD operator_mode = 0;
bool holding = false;
bool streams_one = false; // standard output and standard error are one stream (console_open)

// GetConsoleMode reports QuickEdit without ENABLE_EXTENDED_FLAGS, and SetConsoleMode ignores
// the QuickEdit and Insert bits unless that flag comes with them.
void put_back_operator_mode() {
    SetConsoleMode(held_input, operator_mode | ENABLE_EXTENDED_FLAGS);
}

// Runs on a thread of its own for Ctrl+C, Ctrl+Break and the closing of the window; the
// default handler then ends the process as before.
BOOL WINAPI restore_on_the_way_out(DWORD /*event*/) {
    put_back_operator_mode();
    return FALSE;
}

void let_go_of_input() {
    CloseHandle(held_input);
    held_input = INVALID_HANDLE_VALUE;
}

// A stopped console (a selection, Mark mode, the Pause key, Ctrl+S) blocks every write to it
// until it goes on, and so does a pipe nobody reads: the writes go out on a thread of their
// own, so that the loop only ever hands bytes over. The loop's hold (cli/console.cpp) keeps
// what the writer cannot take yet; the writer holds at most one piece of one stream.
constexpr int HANDOVER_SIZE = 4096;
// How long console_close waits for the piece a stopped stream still holds: as long as the
// front end waits for it (CONSOLE_END_WAIT_SECONDS).
constexpr DWORD WRITER_END_WAIT_MS = 60000;

struct Writer {
    HANDLE thread;
    HANDLE work;  // auto-reset: a piece handed over, or the writer asked to stop
    HANDLE taken; // manual-reset: the writer holds nothing
    HANDLE streams[2];
    bool consoles[2];
    char piece[HANDOVER_SIZE];
    ConsoleStream stream;
    std::atomic<int> length; // of the piece; the writer's while not 0
    std::atomic<bool> broken[2];
    std::atomic<bool> stopping;
    bool running;
};

Writer writer;

bool continues_a_character(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0u) == 0x80u;
}

// UTF-8 to a console as UTF-16, in pieces cut where a character begins: a UTF-8 byte never
// becomes more than one UTF-16 unit, so each piece fits.
bool write_console_text(HANDLE console, const char* bytes, int length) {
    constexpr int PIECE = 1024;
    wchar_t wide[PIECE];
    for (int done = 0; done < length;) {
        int n = length - done < PIECE ? length - done : PIECE;
        while (done + n < length && n > 1 && continues_a_character(bytes[done + n]))
            --n;
        const int units = MultiByteToWideChar(CP_UTF8, 0, bytes + done, n, wide, PIECE);
        DWORD written = 0;
        if (units <= 0 ||
            !WriteConsoleW(console, wide, static_cast<DWORD>(units), &written, nullptr))
            return false;
        done += n;
    }
    return true;
}

// A file or a pipe gets the bytes as the C runtime's text mode writes them, each LF as CR LF.
bool write_file_text(HANDLE file, const char* bytes, int length) {
    static char text[2 * HANDOVER_SIZE];
    int n = 0;
    for (int i = 0; i < length && i < HANDOVER_SIZE; ++i) {
        if (bytes[i] == '\n')
            text[n++] = '\r';
        text[n++] = bytes[i];
    }
    for (int done = 0; done < n;) {
        DWORD written = 0;
        if (!WriteFile(file, text + done, static_cast<DWORD>(n - done), &written, nullptr) ||
            written == 0)
            return false;
        done += static_cast<int>(written);
    }
    return true;
}

DWORD WINAPI write_what_is_handed_over(void* /*unused*/) {
    for (;;) {
        WaitForSingleObject(writer.work, INFINITE);
        const int n = writer.length.load();
        if (n > 0) {
            const ConsoleStream s = writer.stream;
            const bool ok = writer.consoles[s]
                                ? write_console_text(writer.streams[s], writer.piece, n)
                                : write_file_text(writer.streams[s], writer.piece, n);
            if (!ok)
                writer.broken[s] = true;
            writer.length.store(0);
            SetEvent(writer.taken);
        }
        if (writer.stopping.load())
            return 0;
    }
}

bool is_console(HANDLE h) {
    DWORD mode = 0;
    return GetConsoleMode(h, &mode) != 0;
}

// One console, or one pipe or file by two handles (2>&1 duplicates the handle): their bytes go
// through one queue, in one order. CompareObjectHandles exists from Windows 10 on.
bool same_stream(HANDLE out, HANDLE err) {
    if (out == err || (is_console(out) && is_console(err)))
        return true;
    using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
    const HMODULE base = GetModuleHandleW(L"kernelbase.dll");
    const auto compare = base == nullptr ? nullptr
                                         : reinterpret_cast<Compare>(reinterpret_cast<void*>(
                                               GetProcAddress(base, "CompareObjectHandles")));
    return compare != nullptr && compare(out, err) != FALSE;
}

// The piece the writer still holds went out, or the stream stayed stopped for `timeout_ms`.
bool writer_idle_within(DWORD timeout_ms) {
    return writer.length.load() == 0 ||
           WaitForSingleObject(writer.taken, timeout_ms) == WAIT_OBJECT_0;
}

bool start_writer() {
    // A writer left behind by an earlier stream that never took its last piece keeps it.
    if (writer.thread != nullptr && !writer_idle_within(0))
        return false;
    if (writer.thread != nullptr) {
        CloseHandle(writer.thread);
        writer.thread = nullptr;
    }
    if (writer.work == nullptr)
        writer.work = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (writer.taken == nullptr)
        writer.taken = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    if (writer.work == nullptr || writer.taken == nullptr)
        return false;
    std::fflush(stdout);
    std::fflush(stderr);
    for (const ConsoleStream s : {CONSOLE_OUT, CONSOLE_ERR}) {
        writer.streams[s] = GetStdHandle(s == CONSOLE_OUT ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
        writer.consoles[s] = is_console(writer.streams[s]);
        writer.broken[s] = false;
    }
    writer.length.store(0);
    writer.stopping.store(false);
    SetEvent(writer.taken);
    writer.thread = CreateThread(nullptr, 0, write_what_is_handed_over, nullptr, 0, nullptr);
    writer.running = writer.thread != nullptr;
    return writer.running;
}

void stop_writer() {
    if (!writer.running)
        return;
    writer.running = false;
    writer_idle_within(WRITER_END_WAIT_MS);
    writer.stopping.store(true);
    SetEvent(writer.work);
    if (writer.length.load() == 0 &&
        WaitForSingleObject(writer.thread, WRITER_END_WAIT_MS) == WAIT_OBJECT_0) {
        CloseHandle(writer.thread);
        writer.thread = nullptr;
    }
}

// Standard error as text at once: a console shows it character for character; redirected, the
// bytes go out unchanged, flushed, since the C runtime buffers standard error unless it is a
// character device and a line would otherwise reach a pipe or a file only at the end.
int write_error_text(const char* bytes, int length) {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (is_console(err))
        return write_console_text(err, bytes, length) ? length : CONSOLE_BROKEN;
    const std::size_t taken = std::fwrite(bytes, 1, static_cast<std::size_t>(length), stderr);
    return std::fflush(stderr) != 0 || taken != static_cast<std::size_t>(length) ? CONSOLE_BROKEN
                                                                                 : length;
}

// Outside console_open and console_close, and where no writer could be started: each write
// waits until the stream took it. Standard output goes through the C runtime, whose text mode
// ends its lines with CR LF.
int write_at_once(ConsoleStream stream, const char* bytes, int length) {
    if (stream == CONSOLE_ERR)
        return write_error_text(bytes, length);
    const std::size_t n = std::fwrite(bytes, 1, static_cast<std::size_t>(length), stdout);
    if (std::fflush(stdout) != 0 || n != static_cast<std::size_t>(length))
        return CONSOLE_BROKEN;
    return length;
}

} // namespace

// CONIN$ is the console's input even when standard input is redirected (< nul, a launcher's
// pipe): a mouse selection freezes the console's output all the same.
void console_open() {
    if (holding || writer.running)
        return;
    held_input =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    if (held_input != INVALID_HANDLE_VALUE &&
        (!GetConsoleMode(held_input, &mode) || (mode & ENABLE_QUICK_EDIT_MODE) == 0))
        let_go_of_input();
    if (held_input != INVALID_HANDLE_VALUE) {
        operator_mode = mode;
        SetConsoleCtrlHandler(restore_on_the_way_out, TRUE);
        holding = SetConsoleMode(held_input, (mode | ENABLE_EXTENDED_FLAGS) &
                                                 ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE)) != 0;
        if (!holding) {
            SetConsoleCtrlHandler(restore_on_the_way_out, FALSE);
            let_go_of_input();
        }
    }
    streams_one =
        start_writer() && same_stream(writer.streams[CONSOLE_OUT], writer.streams[CONSOLE_ERR]);
}

bool console_streams_are_one() {
    return writer.running && streams_one;
}

void pause_ms(std::uint32_t ms) {
    Sleep(ms);
}

void console_close() {
    stop_writer();
    if (!holding)
        return;
    put_back_operator_mode();
    SetConsoleCtrlHandler(restore_on_the_way_out, FALSE);
    let_go_of_input();
    holding = false;
}

// While the writer runs, a write hands over what fits in one piece, cut where a character
// begins, or nothing while the writer still holds one: the loop never waits for a stream.
int console_write(ConsoleStream stream, const char* bytes, int length) {
    if (!writer.running)
        return write_at_once(stream, bytes, length);
    if (writer.broken[stream].load())
        return CONSOLE_BROKEN;
    if (writer.length.load() != 0 || length <= 0)
        return 0;
    int n = length < HANDOVER_SIZE ? length : HANDOVER_SIZE;
    while (n < length && n > 1 && continues_a_character(bytes[n]))
        --n;
    std::memcpy(writer.piece, bytes, static_cast<std::size_t>(n));
    writer.stream = stream;
    ResetEvent(writer.taken);
    writer.length.store(n);
    SetEvent(writer.work);
    return n;
}

void console_wait_writable(ConsoleStream /*stream*/, std::uint32_t timeout_ms) {
    if (writer.running)
        writer_idle_within(timeout_ms);
}

void console_wait_taken(std::uint32_t timeout_ms) {
    if (writer.running)
        writer_idle_within(timeout_ms);
}

// Closing the console window ends the process a few seconds after the control handler has
// run, whatever it does; there is no hang-up to carry on through.
bool console_hung_up() {
    return false;
}

// _isatty also says yes for the NUL device; only a console has a console mode.
bool console_is_terminal(ConsoleStream stream) {
    DWORD mode = 0;
    return GetConsoleMode(
               GetStdHandle(stream == CONSOLE_OUT ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &mode) !=
           0;
}

// The adapter's GUID that holds the address (the firewall source asks for its network).
bool adapter_guid_holding(std::uint32_t addr, GUID* out) {
    ULONG error = ERROR_SUCCESS;
    for (const IP_ADAPTER_ADDRESSES* a = read_adapters(&error); a != nullptr; a = a->Next) {
        for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr;
             u = u->Next) {
            std::uint32_t held = 0;
            if (!ipv4_address_of(*u, &held) || held != addr)
                continue;
            wchar_t name[64];
            return a->IfType != IF_TYPE_SOFTWARE_LOOPBACK &&
                   MultiByteToWideChar(CP_ACP, 0, a->AdapterName, -1, name, 64) > 0 &&
                   SUCCEEDED(CLSIDFromString(name, out));
        }
    }
    return false;
}
