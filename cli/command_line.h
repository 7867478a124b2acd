// Turning the command line into the engine's inputs.
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
    ARGUMENTS_HELP,      // -h or ?: the operator asked for the usage text
    ARGUMENTS_LONG_HELP, // --help: the usage text, as a question answered
    ARGUMENTS_VERSION,   // --version
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
    bool target_given;        // false: the default target address
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
