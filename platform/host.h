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

// Whether a bind of the wildcard address on UDP `port` (host order), undone at once, is refused:
// another program holds the port, or this program may not have it. Nothing is received.
bool net_port_refused(std::uint16_t port);

// The advice for a bind failure that only this system has (what to run, what to install),
// or null when the fault is one every system shares and the front end words it itself.
const char* net_fault_advice(NetFault fault);

// A line (with its newline) saying that the system's firewall will drop the device's datagrams
// to this program, naming the network profile and the fix, or an empty text when it will not or
// the system cannot tell. `local_addr` (network order) is the address the endpoints are bound
// to: the firewall applies the profile of the network its adapter is on. Asked when the network
// part of the update begins, once the ports are open, which is when a firewall first meets a
// program it does not know.
void net_firewall_notice(char* out, std::size_t capacity, std::uint32_t local_addr);

#if defined(_WIN32)
// What Windows Firewall answered, as plain values, and the decision net_firewall_notice makes
// from them; apart so that a test can feed it answers of its own.
constexpr std::uint32_t FIREWALL_DOMAIN = 1; // the profile bits of the firewall API
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

void describe_firewall(char* out, std::size_t capacity, const FirewallAnswers& answers,
                       const char* program_path);
#endif

// The command line as UTF-8 text. Call it first thing in main.
void arguments_as_utf8(int* argc, char*** argv);

// Writes UTF-8 text to standard error, at once. A console shows it character for character;
// redirected, the bytes go out unchanged.
void write_error_text(const char* text);

// For the length of an update, keeps the console from holding up or ending the one thread, until
// console_restore or until the process is ended from the console. On Windows a mouse selection
// in the console window would suspend every write to it; on a terminal, flow control (Ctrl+S)
// would, a closed pipe would end the process (SIGPIPE) and so would a hang-up (SIGHUP), which
// is noted instead (console_hung_up). An interrupt (Ctrl+C) or a request to end still ends the
// process, with the console's settings put back. Nothing changes where there is no console.
void console_hold_steady();
void console_restore();

// Whether the terminal hung up during the hold: no one is left to read a notice.
bool console_hung_up();

// While armed, a hang-up ends the process at once with `status`, after writing `line` to
// standard error: for a stall already told to an operator who may now be gone. A null line
// disarms it.
void console_end_at_hang_up(const char* line, int status);

// Whether a stream is a console (a terminal), as opposed to a file, a pipe or a null device.
bool stream_is_terminal(std::FILE* f);

// Standard output for the progress trail, written so that the one thread never waits for a
// reader where the system allows it: trail_write takes what the stream takes at once.
// trail_output_open prepares it (before the update), trail_output_close releases it; without
// them the trail is written as any output is.
void trail_output_open();
void trail_output_close();

// What trail_write returns when the stream takes nothing more ever: the reader has gone, the
// terminal hung up, the disk is full.
constexpr int TRAIL_BROKEN = -1;

// Writes up to `length` bytes; returns how many the stream took (0 when it would have had to
// wait), or TRAIL_BROKEN.
int trail_write(const char* bytes, int length);

// Waits up to `timeout_ms` until the stream would take more; at once where writes never wait.
void trail_wait_writable(std::uint32_t timeout_ms);

// Whether standard error is the very stream standard output is (one pipe, one terminal), and
// its text may go out through trail_write, in order with the trail.
bool trail_shares_error_stream();
