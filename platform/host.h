// What the front end needs of the operating system: the socket library's start and end, this
// host's addresses, the command line, the console, and the system's own words for faults only
// it has. The engine's needs are in platform.h; one source per platform implements both.
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Starts the socket library; false when it cannot.
bool net_startup();
void net_cleanup();

// Bytes of an interface's name, as UTF-8, with its terminating zero.
constexpr int INTERFACE_NAME_SIZE = 64;

struct LocalAddress {
    std::uint32_t addr;    // network order
    std::uint32_t netmask; // network order: the interface's subnet is addr AND netmask
    bool has_link;         // the interface can send: its cable is in, its carrier up
    char interface_name[INTERFACE_NAME_SIZE];
};

// Whether an address of this host may serve the target (both network order).
using LocalAddressFilter = bool (*)(std::uint32_t local_addr, std::uint32_t target_addr);

// This host's IPv4 addresses on interfaces that are switched on, in the order the system lists
// them, loopback included; with `keep`, only those it keeps for `target_addr`, so that the
// ones left out take no room. Returns how many were written to `out` (at most `capacity`), or
// -1 when the lookup fails.
int net_local_addresses(LocalAddress* out, int capacity, LocalAddressFilter keep = nullptr,
                        std::uint32_t target_addr = 0);

// The address this host would send from toward the target (network order), as its routing
// table picks it: a UDP socket connected to the target, which sends nothing, and its local name.
// False when the system has no route to the target.
bool net_route_source(std::uint32_t target_addr, std::uint32_t* source_addr);

// Whether a bind of the wildcard address on UDP `port` (host order), undone at once, is refused:
// another program holds the port, or this program may not have it. Nothing is received.
bool net_port_refused(std::uint16_t port);

// This program's own path, as the system started it, for the commands the front end gives
// ("QBupdate" or "QBupdate.exe" where the system cannot tell, and on Windows always).
void host_program_path(char* out, std::size_t capacity);

// The running kernel's release (Linux), for the privileges its BOOTP endpoint needs; 0.0 on
// Windows.
void host_kernel_release(unsigned* major, unsigned* minor);

// Whether net_firewall_answers asks a firewall of the system's own at all (Windows); where it
// does not, an empty notice means that nothing was looked at.
#if defined(_WIN32)
constexpr bool NET_FIREWALL_ASKED = true;
#else
constexpr bool NET_FIREWALL_ASKED = false;
#endif

// The SHA-256 digest of the bytes, from the system's crypto library (libcrypto on Linux, BCrypt
// on Windows); false when the library refuses.
constexpr std::size_t SHA256_SIZE = 32;
bool sha256_digest(const unsigned char* data, std::size_t size,
                   unsigned char (&digest)[SHA256_SIZE]);

// What the system's own firewall will do with the device's datagrams to this program, as plain
// values, for the front end to word (firewall_notice.h).
constexpr std::uint32_t FIREWALL_DOMAIN = 1; // the profile bits of the Windows firewall API
constexpr std::uint32_t FIREWALL_PRIVATE = 2;
constexpr std::uint32_t FIREWALL_PUBLIC = 4;
constexpr int FIREWALL_PROTOCOL_UDP = 17;
constexpr int FIREWALL_PROTOCOL_ANY = 256;
constexpr int FIREWALL_MAX_RULES = 32;

struct FirewallRule {
    bool inbound;
    bool allow;
    int protocol; // an IP protocol number, or FIREWALL_PROTOCOL_ANY
    std::uint32_t profiles;
    bool enabled;
};

// Whether rules made on this PC take effect (the firewall API's values): Group Policy may keep
// them from applying, or the firewall may block all unsolicited inbound traffic.
enum FirewallLocalRules : int {
    FIREWALL_LOCAL_RULES_APPLY = 0,
    FIREWALL_LOCAL_RULES_OVERRIDDEN_BY_POLICY = 1,
    FIREWALL_LOCAL_RULES_INBOUND_BLOCKED = 2,
};

struct FirewallAnswers {
    std::uint32_t device_profile;   // the profile of the network facing the device, 0 if none
    std::uint32_t enabled_profiles; // the profiles in which the firewall is on
    FirewallLocalRules local_rules;
    int rule_count;
    FirewallRule rules[FIREWALL_MAX_RULES]; // the rules that name this program
};

// Reads the system's firewall for the network of the adapter that holds `local_addr` (network
// order), and this program's path as its rules name it (UTF-8, into `program_path`). False
// where the system has no firewall of its own that singles out programs (Linux: a firewall
// there drops the device's datagrams for every program alike), or cannot tell. Asked when the
// network part of the update begins, once the ports are open, which is when a firewall first
// meets a program it does not know.
bool net_firewall_answers(std::uint32_t local_addr, FirewallAnswers* out, char* program_path,
                          std::size_t capacity);

// The command line as UTF-8 text. Call it first thing in main.
void arguments_as_utf8(int* argc, char*** argv);

// Standard output and standard error, written so that the one thread never waits for a reader
// where the system allows it. console_open prepares both for the length of an update and
// console_close lets them go; without them a write waits as any write does. On Windows the
// console's QuickEdit is off in between (a mouse selection would freeze every write to it); on
// POSIX a closed pipe, a full file (SIGXFSZ) or a hung-up terminal ends only the writes, and a
// hang-up is recorded (console_hung_up) and cuts the update's wait short. The terminal's
// settings are never changed, and Ctrl+C and the like end the process as they always do.
enum ConsoleStream : int { CONSOLE_OUT = 0, CONSOLE_ERR = 1 };

void console_open();
void console_close();
// Between console_open and console_close: whether standard error is the very stream standard
// output is (one terminal, one pipe), so that their bytes must go out through one queue, in one
// order.
bool console_streams_are_one();

// Waits `ms` milliseconds: the front end's one way to pause.
void pause_ms(std::uint32_t ms);

// What console_write returns when the stream takes nothing more ever: the reader has gone, the
// terminal hung up, the file cannot grow.
constexpr int CONSOLE_BROKEN = -1;

// Writes up to `length` bytes of UTF-8 text; returns how many the stream took (0 when it would
// have had to wait), or CONSOLE_BROKEN.
int console_write(ConsoleStream stream, const char* bytes, int length);

// Waits up to `timeout_ms` until the stream would take more; at once where writes never wait.
void console_wait_writable(ConsoleStream stream, std::uint32_t timeout_ms);

// Waits up to `timeout_ms` until what console_write took has left this program: at once where
// console_write hands bytes to the system itself (POSIX), for the writer thread to be done
// where it has one (Windows).
void console_wait_taken(std::uint32_t timeout_ms);

// Whether the stream is a console (a terminal), as opposed to a file, a pipe or a null device.
bool console_is_terminal(ConsoleStream stream);

// Whether the terminal hung up since console_open: no one is left to read a notice.
bool console_hung_up();
