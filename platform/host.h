// What the front end needs of the operating system: the socket library's start and end, this
// host's addresses, the command line, the console, and the system's own words for faults only
// it has. The engine's needs are in platform.h; one source per platform implements both.
#pragma once

#include "platform.h"

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

// This host's IPv4 addresses on interfaces that are switched on, in the order the system lists
// them, loopback included. Returns how many were written to `out` (at most `capacity`), or -1
// when the lookup fails.
int net_local_addresses(LocalAddress* out, int capacity);

// The advice for a bind failure that only this system has (what to run, what to install),
// or null when the fault is one every system shares and the front end words it itself.
const char* net_fault_advice(NetFault fault);

// The command line as UTF-8 text. Call it first thing in main.
void arguments_as_utf8(int* argc, char*** argv);

// Writes UTF-8 text to standard error. A console shows it character for character; redirected,
// the bytes go out unchanged.
void write_error_text(const char* text);

// For the length of an update, keeps the console from holding up the one thread (a mouse
// selection in a console window would suspend every write to it), until console_restore or
// until the process is ended from the console. Nothing changes where there is no such console.
void console_hold_steady();
void console_restore();

// Whether a stream is a console (a terminal), as opposed to a file, a pipe or a null device.
bool stream_is_terminal(std::FILE* f);
