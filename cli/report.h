// What the operator is told when an update does not succeed, and the exit status.
#pragma once

#include "digest.h"
#include "engine.h"
#include "host.h"

#include <cstddef>
#include <cstdint>

constexpr int EXIT_UPDATED = 0;
constexpr int EXIT_ANSWERED = 0;       // --help, --version
constexpr int EXIT_USAGE_OR_SETUP = 1; // usage text, socket library, no local address
constexpr int EXIT_NO_IMAGE = 2;
constexpr int EXIT_NO_PORT = 3;
constexpr int EXIT_NO_ANSWER = 4; // also: no read request within 60 s of the BOOTP reply
constexpr int EXIT_NETWORK_FAILED = 5;
constexpr int EXIT_ABANDONED = 6; // a stall after the terminal hung up

// The failure line of an update ended at a stall because the terminal had hung up.
extern const char ABANDONED_LINE[];

int exit_status_for(int update_result);

// The UDP port a set-up result could not open (9, 67 or 69), or 0 for any other result.
int failed_port(int update_result);

#if !defined(_WIN32)
// The words for NET_FAULT_PERMISSION on Linux, apart so that a test can give it any program
// path and kernel: the commands that fix it with this binary's own path, and CAP_NET_RAW only
// for a kernel before 5.7, which needs it for the BOOTP socket's tie to its interface.
void describe_permission_fix(char* out, std::size_t capacity, const char* program_path,
                             unsigned kernel_major, unsigned kernel_minor);
#endif

// Why an image cannot be loaded, in a few words.
const char* image_fault_text(ImageFault fault);

// Writes a hardware address as six hex pairs joined by colons, 52:54:00:12:34:56.
void format_hardware_address(const HardwareAddress& hw, char (&text)[18]);

// What the front end knew at the start that a failure line may owe its cause to.
struct StartContext {
    bool default_image = false; // no image named: quibble_box.bin in the working directory
    bool off_subnet = false;    // no address of this host was on the target's subnet
};

// Writes the one line (with "QBupdate: " and a newline) that explains a failed update. Once a
// BOOTP reply has gone, the line names the hardware address answered.
void describe_failure(char* out, std::size_t capacity, int update_result,
                      const UpdateDiagnosis& diagnosis, const char* image_path,
                      std::uint32_t local_addr, std::uint32_t target_addr,
                      const StartContext& context = StartContext{});

// Writes the one line (with "QBupdate: " and a newline) that says the update is done: the
// device's address, its hardware address when a BOOTP request told it, the bytes acknowledged
// and the time taken.
void describe_success(char* out, std::size_t capacity, std::uint32_t target_addr,
                      const UpdateDiagnosis& diagnosis, std::uint64_t took_us);

// Writes the line that says a run without a target address updates the default one.
void describe_default_target(char* out, std::size_t capacity, std::uint32_t target_addr);

// Writes the one line (with "QBupdate: " and a newline) that tells the operator the update is
// standing still, and what to check.
void describe_notice(char* out, std::size_t capacity, const UpdateNotice& notice);

// What an update serves, and from where: the start line's facts apart from the image's bytes.
struct ServingFacts {
    const char* image_path;
    std::uint32_t local_addr;
    char interface_name[INTERFACE_NAME_SIZE];
    std::uint32_t target_addr;
};

// Writes the start line (with "QBupdate: " and a newline): the image's name, size, SHA-256 and
// CRC-32, the address and interface served from, and the device's address.
void describe_start(char* out, std::size_t capacity, const ServingFacts& facts,
                    std::uint32_t image_size, const ImageDigest& digest);

// Writes the dotted form of an address (network order) into `text`, which holds 16 bytes.
void format_address(std::uint32_t addr, char (&text)[16]);

#if defined(__MINGW32__)
#define QB_PRINTF_FORMAT __attribute__((format(gnu_printf, 3, 4)))
#else
#define QB_PRINTF_FORMAT __attribute__((format(printf, 3, 4)))
#endif

// Every line for the operator is written by this one function, so that it stays one line: as
// printf would write it, or, when it does not fit in `capacity`, cut where no character is split
// and ended with "...\n". Returns false when cut, for a line that has a shorter way to say it.
bool write_line(char* out, std::size_t capacity, const char* format, ...) QB_PRINTF_FORMAT;

// Copies text for a one-line report: control bytes become '?', and text that does not fit ends
// in "...". Returns `out`.
char* copy_printable(char* out, std::size_t capacity, const char* text);
