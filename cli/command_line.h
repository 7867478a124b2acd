// Turning the command line into the engine's inputs, and choosing the local interface.
#pragma once

#include "engine.h"

#include <cstdint>

extern const char USAGE_TEXT[];

struct CommandLine {
    bool show_usage;
    const char* image_path;
    std::uint32_t target_addr; // network order
    UpdateMode mode;
};

// Opens the file as raw bytes and closes it again; anything but a regular file fails.
bool image_can_be_opened(const char* path);

CommandLine parse_command_line(int argc, const char* const* argv);

// Keeps the addresses the engine may bind to, in order: loopback ones only when the target
// itself is a loopback address. Returns how many remain at the front of `addrs`.
int usable_local_addresses(std::uint32_t* addrs, int count, std::uint32_t target_addr);

// The index of the address whose host-order AND with the target is largest; the earliest wins
// a tie, and the first when none scores above zero. `count` must be at least 1.
int choose_local_address(const std::uint32_t* addrs, int count, std::uint32_t target_addr);

// Writes the dotted form of an address (network order) into `text`, which holds 16 bytes.
void format_address(std::uint32_t addr, char (&text)[16]);
