// Turning the command line into the engine's inputs, and choosing the local interface.
#pragma once

#include "engine.h"
#include "host.h"

#include <cstddef>
#include <cstdint>

extern const char USAGE_TEXT[];

// Why a target address is refused.
enum AddressProblem : int {
    ADDRESS_OK = 0,
    ADDRESS_NOT_DOTTED_DECIMAL, // not four decimal numbers joined by dots, and nothing else
    ADDRESS_LEADING_ZERO,       // read as octal by some systems, as decimal by others
    ADDRESS_PART_TOO_LARGE,     // a number above 255
    ADDRESS_NOT_A_DEVICE,       // 0.0.0.0 or 255.255.255.255
};

// Reads ddd.ddd.ddd.ddd, the form the usage text asks for, into a network-order address.
AddressProblem parse_ipv4(const char* text, std::uint32_t* addr);

// The first problem found with the command line, in the order the checks run.
enum ArgumentProblem : int {
    ARGUMENTS_OK = 0,
    ARGUMENTS_HELP,           // -h or ?: the operator asked for the usage text
    ARGUMENTS_LONG_HELP,      // --help: the usage text, as a question answered
    ARGUMENTS_VERSION,        // --version
    ARGUMENTS_TOO_MANY,
    ARGUMENTS_IMAGE,          // the image file cannot be opened (image_fault says why)
    ARGUMENTS_ADDRESS,        // the target address is refused (address_problem says why)
    ARGUMENTS_NOT_BOOT,       // a third word other than "boot"
    ARGUMENTS_UNKNOWN_OPTION, // a first argument that looks like an option and names no file
};

struct CommandLine {
    bool show_usage;
    const char* image_path;
    std::uint32_t target_addr; // network order
    UpdateMode mode;
    ArgumentProblem problem;
    ImageFault image_fault;
    AddressProblem address_problem;
    bool target_given; // false: the default target address
    bool image_given = false; // false: the default image
    bool check = false;       // --check first: everything before the first datagram, no more
};

// Opens the file as raw bytes and closes it again; anything but a regular file fails.
ImageFault image_can_be_opened(const char* path);

// "--check" as the first argument is taken off, and the rest read as without it.
CommandLine parse_command_line(int argc, const char* const* argv);

// The line --help adds on standard error, after the usage text on standard output, so that the
// usage text stays as it is.
extern const char MORE_HELP_LINE[];

// Writes the line (with "QBupdate: " and a newline) that says which argument was refused and
// why, or an empty text when the operator asked for the usage text.
void describe_argument_problem(char* out, std::size_t capacity, const CommandLine& cl, int argc,
                               const char* const* argv);

// Whether the engine may bind to a local address to reach the target (a LocalAddressFilter):
// loopback ones only when the target itself is a loopback address, link-local ones
// (169.254.0.0/16, what a system gives an adapter that got no address) only when the target is
// link-local too.
bool is_usable_local_address(std::uint32_t local_addr, std::uint32_t target_addr);

// Writes the line (with "QBupdate: " and a newline) that says why the target cannot be one
// device, or an empty text when it can: a multicast address or one of 240.0.0.0/4, an address
// of this host, or the network or broadcast address of a subnet of the usable local addresses
// `addrs` that holds it (none on /31 and /32 links). A loopback target is always allowed.
void describe_target_refusal(char* out, std::size_t capacity, const LocalAddress* addrs, int count,
                             std::uint32_t target_addr);

// Whether the address's interface subnet holds the target.
bool on_subnet_of(const LocalAddress& local, std::uint32_t target_addr);
bool any_on_subnet_of(const LocalAddress* addrs, int count, std::uint32_t target_addr);

// 169.254.0.0/16: the address a system gives itself when no DHCP server answered.
bool is_link_local_address(std::uint32_t addr);

// The index of the address to serve the target from. Those on the target's subnet come first;
// among them the one the system sends to the target from (`route_source`, net_route_source; 0
// when unknown), so that of two interfaces on one subnet the one routed to the device serves it.
// Otherwise, among them (or among all, when none is) the one whose host-order AND with the
// target is largest wins, the earliest on a tie, and the first when none scores above zero.
// `count` must be at least 1.
int choose_local_address(const LocalAddress* addrs, int count, std::uint32_t target_addr,
                         std::uint32_t route_source = 0);

// Writes the line (with "QBupdate: " and a newline) that warns that the chosen address cannot
// reach the target (no address on its subnet, an interface without link), or that a second
// interface holds the target's subnet too (naming both, the one chosen and how to choose the
// other), or an empty text.
void describe_address_choice(char* out, std::size_t capacity, const LocalAddress* addrs,
                             int count, int chosen, std::uint32_t target_addr,
                             std::uint32_t route_source = 0);

// Writes the dotted form of an address (network order) into `text`, which holds 16 bytes.
void format_address(std::uint32_t addr, char (&text)[16]);

// Copies text for a one-line report: control bytes become '?', and text that does not fit ends
// in "...". Returns `out`.
char* copy_printable(char* out, std::size_t capacity, const char* text);
