#include "report.h"

#include "host.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

#if !defined(_WIN32)
// A path as the shell takes it: quoted when it holds anything but the plain characters.
void shell_word(char* out, std::size_t capacity, const char* text) {
    bool plain = text[0] != '\0';
    for (const char* p = text; *p != '\0'; ++p)
        plain = plain && (std::isalnum(static_cast<unsigned char>(*p)) != 0 ||
                          std::strchr("/._+-", *p) != nullptr);
    std::size_t n = 0;
    auto put = [&](char c) {
        if (n + 1 < capacity)
            out[n++] = c;
    };
    if (!plain)
        put('\'');
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (*p == '\'') {
            for (char q : {'\'', '\\', '\'', '\''})
                put(q);
        } else {
            put(c < 0x20 || c == 0x7F ? '?' : *p);
        }
    }
    if (!plain)
        put('\'');
    out[n] = '\0';
}
#endif

// Each system's own faults are worded only in its own build.
const char* port_problem(NetFault fault, int port) {
    switch (fault) {
#if defined(_WIN32)
    case NET_FAULT_HELD_OR_RESERVED:
        return "another program holds it exclusively (Internet Connection Sharing, a DHCP "
               "server, a virtual-machine or VPN network?), or Windows reserved it (netsh int "
               "ipv4 show excludedportrange protocol=udp)";
#else
    case NET_FAULT_PERMISSION: {
        static char advice[768];
        char program[512];
        host_program_path(program, sizeof program);
        unsigned major = 0;
        unsigned minor = 0;
        host_kernel_release(&major, &minor);
        describe_permission_fix(advice, sizeof advice, program, major, minor);
        return advice;
    }
#endif
    case NET_FAULT_IN_USE:
        return port == 67 ? "another program already uses it (another QBupdate, or a DHCP server?)"
               : port == 69
                   ? "another program already uses it (another QBupdate, or a TFTP server?)"
                   : "another program already uses it (another QBupdate, or a discard or wake "
                     "service?)";
    case NET_FAULT_NO_ADDRESS:
        return "the address is not on this host";
    default:
        return "the socket could not be opened";
    }
}

// "52:54:00:12:34:56" or "52:54:00:12:34:56, 02:00:5e:10:00:ab": every unit answered, in the
// order answered.
void list_units(const UnitsAnswered& units, char (&out)[MAX_UNITS_NAMED * 20]) {
    std::size_t used = 0;
    out[0] = '\0';
    for (std::uint32_t i = 0; i < units.count && i < MAX_UNITS_NAMED; ++i) {
        char hw[18];
        format_hardware_address(units.hw[i], hw);
        used += static_cast<std::size_t>(
            std::snprintf(out + used, sizeof out - used, "%s%s", i == 0 ? "" : ", ", hw));
    }
}

// After a BOOTP reply the line says which units were answered: "QBupdate: the device" becomes
// "QBupdate: the device 52:54:00:12:34:56", and any other line gains
// "QBupdate: device 52:54:00:12:34:56: " in front; with several answered, none is called the
// device: "QBupdate: the device (one of A, B)" and "QBupdate: units A, B answered: ".
void name_device_answered(char* out, std::size_t capacity, const UnitsAnswered& units) {
    constexpr char PREFIX[] = "QBupdate: ";
    constexpr char THE_DEVICE[] = "QBupdate: the device";
    if (units.count == 0 || std::strncmp(out, PREFIX, sizeof PREFIX - 1) != 0)
        return;
    char named[MAX_UNITS_NAMED * 20];
    list_units(units, named);
    const bool one = units.count == 1;
    char said[1024];
    std::snprintf(said, sizeof said, "%s", out);
    if (std::strncmp(said, THE_DEVICE, sizeof THE_DEVICE - 1) == 0)
        write_line(out, capacity, one ? "%s %s%s" : "%s (one of %s)%s", THE_DEVICE, named,
                   said + sizeof THE_DEVICE - 1);
    else
        write_line(out, capacity, one ? "%sdevice %s: %s" : "%sunits %s answered: %s", PREFIX,
                   named, said + sizeof PREFIX - 1);
}

} // namespace

#if !defined(_WIN32)
void describe_permission_fix(char* out, std::size_t capacity, const char* program_path,
                             unsigned kernel_major, unsigned kernel_minor) {
    char program[512];
    shell_word(program, sizeof program, program_path);
    const bool needs_raw = kernel_major < 5 || (kernel_major == 5 && kernel_minor < 7);
    if (needs_raw)
        std::snprintf(out, capacity,
                      "permission denied; run it with sudo, or let it bind the ports once with "
                      "sudo setcap cap_net_bind_service,cap_net_raw=ep %s (this kernel, %u.%u, "
                      "also needs CAP_NET_RAW, which Linux 5.7 and later do not)",
                      program, kernel_major, kernel_minor);
    else
        std::snprintf(out, capacity,
                      "permission denied; run it with sudo, or let it bind the ports once with "
                      "sudo setcap cap_net_bind_service=ep %s",
                      program);
}
#endif

void format_hardware_address(const HardwareAddress& hw, char (&text)[18]) {
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", hw.bytes[0], hw.bytes[1],
                  hw.bytes[2], hw.bytes[3], hw.bytes[4], hw.bytes[5]);
}

static_assert(STALL_NOTICE_SECONDS == 10, "the line names the stall's length");
const char ABANDONED_LINE[] =
    "QBupdate: the update stood still for 10 s and the terminal has hung up, so no one is left "
    "to tell: ended it, so that UDP ports 67 and 69 are free again; the device may not hold the "
    "whole image: run the update again\n";

const char* image_fault_text(ImageFault fault) {
    switch (fault) {
    case IMAGE_MISSING:
        return "no such file";
    case IMAGE_NOT_REGULAR:
        return "not a regular file";
    case IMAGE_TOO_LARGE:
        return "too large (images must be smaller than 4 GiB)";
    case IMAGE_NO_MEMORY:
        return "not enough memory to hold it";
    case IMAGE_NO_PERMISSION:
        return "permission denied";
    default:
        return "cannot be read in full";
    }
}

int failed_port(int update_result) {
    switch (update_result) {
    case UPDATE_NO_WAKE_PORT:
        return 9;
    case UPDATE_NO_BOOTP_PORT:
        return 67;
    case UPDATE_NO_TFTP_PORT:
        return 69;
    default:
        return 0;
    }
}

int exit_status_for(int update_result) {
    switch (update_result) {
    case UPDATE_DONE:
        return EXIT_UPDATED;
    case UPDATE_NO_IMAGE:
        return EXIT_NO_IMAGE;
    case UPDATE_NO_BOOTP_PORT:
    case UPDATE_NO_TFTP_PORT:
    case UPDATE_NO_WAKE_PORT:
        return EXIT_NO_PORT;
    case UPDATE_NO_ANSWER:
    case UPDATE_NO_READ_REQUEST:
    case UPDATE_NO_ACKNOWLEDGEMENT:
        return EXIT_NO_ANSWER;
    case UPDATE_ABANDONED:
        return EXIT_ABANDONED;
    default:
        return EXIT_NETWORK_FAILED;
    }
}

namespace {

// The image cannot be loaded; a bare run is told which image it looked for, and where.
void describe_image_failure(char* out, std::size_t capacity, ImageFault fault,
                            const char* image_path, const StartContext& context) {
    char path[512];
    copy_printable(path, sizeof path, image_path);
    if (context.default_image && fault == IMAGE_MISSING)
        write_line(out, capacity,
                   "QBupdate: cannot load image '%s': no such file; without arguments "
                   "QBupdate loads %s, the default image name, from the working "
                   "directory: name another first, as in QBupdate new.bin 192.168.1.10\n",
                   path, path);
    else
        write_line(out, capacity, "QBupdate: cannot load image '%s': %s\n", path,
                   image_fault_text(fault));
}

// The device never answered the beacons; no address on its subnet at the start comes first.
void describe_no_answer(char* out, std::size_t capacity, const char* target, const char* local,
                        const StartContext& context) {
    if (context.off_subnet)
        write_line(out, capacity,
                   "QBupdate: no address of this host was on the subnet of %s, the likely "
                   "cause: no answer from it after %u wake beacons from %s; give the "
                   "adapter that faces the device an address on the device's subnet, "
                   "then check the device's power and cable\n",
                   target, static_cast<unsigned>(MAX_UNANSWERED_BEACONS), local);
    else
        write_line(out, capacity,
                   "QBupdate: no answer from %s after %u wake beacons from %s; check the "
                   "address, the device's power and cable, and that the firewall lets UDP "
                   "port 67 in\n",
                   target, static_cast<unsigned>(MAX_UNANSWERED_BEACONS), local);
}

} // namespace

void describe_failure(char* out, std::size_t capacity, int update_result,
                      const UpdateDiagnosis& diagnosis, const char* image_path,
                      std::uint32_t local_addr, std::uint32_t target_addr,
                      const StartContext& context) {
    char local[16];
    char target[16];
    format_address(local_addr, local);
    format_address(target_addr, target);
    switch (update_result) {
    case UPDATE_NO_IMAGE:
        describe_image_failure(out, capacity, diagnosis.image_fault, image_path, context);
        break;
    case UPDATE_NO_BOOTP_PORT:
    case UPDATE_NO_TFTP_PORT:
    case UPDATE_NO_WAKE_PORT:
        write_line(out, capacity, "QBupdate: cannot open UDP port %d on %s: %s\n",
                   failed_port(update_result), local,
                   port_problem(diagnosis.net_fault, failed_port(update_result)));
        break;
    case UPDATE_NO_ANSWER:
        describe_no_answer(out, capacity, target, local, context);
        break;
    case UPDATE_ABANDONED:
        write_line(out, capacity, "%s", ABANDONED_LINE);
        break;
    case UPDATE_NO_READ_REQUEST:
        write_line(out, capacity,
                   "QBupdate: the device took the BOOTP reply for %s but did not ask for the "
                   "image within %u s: check that the firewall lets UDP port 69 in to %s, and "
                   "whether a second unit in its loader took the reply\n",
                   target, static_cast<unsigned>(READ_REQUEST_WAIT_SECONDS), local);
        break;
    case UPDATE_NO_ACKNOWLEDGEMENT:
        write_line(out, capacity,
                   "QBupdate: read requests from %s were served from %s, but no block was "
                   "acknowledged within %u s: check that the firewall lets UDP ports 32768 to "
                   "40959 in, and the device's console; another host may have sent the "
                   "requests in the device's name\n",
                   target, local, static_cast<unsigned>(READ_REQUEST_WAIT_SECONDS));
        break;
    default:
        write_line(out, capacity, "QBupdate: waiting for network traffic on %s failed\n", local);
        break;
    }
    name_device_answered(out, capacity, diagnosis.units);
}

void describe_success(char* out, std::size_t capacity, std::uint32_t target_addr,
                      const UpdateDiagnosis& diagnosis, std::uint64_t took_us) {
    char target[16];
    format_address(target_addr, target);
    char units[MAX_UNITS_NAMED * 20];
    list_units(diagnosis.units, units);
    char named[160] = "";
    if (diagnosis.units.count == 1)
        std::snprintf(named, sizeof named, " (hardware address %s)", units);
    else if (diagnosis.units.count > 1)
        std::snprintf(named, sizeof named,
                      " (hardware addresses %s answered; which one took the image cannot be "
                      "told)",
                      units);
    const auto tenths = static_cast<unsigned long long>((took_us + 50000) / 100000);
    write_line(out, capacity, "QBupdate: updated %s%s: %lu bytes acknowledged in %llu.%llu s\n",
               target, named, static_cast<unsigned long>(diagnosis.bytes_acknowledged), tenths / 10,
               tenths % 10);
}

void describe_default_target(char* out, std::size_t capacity, std::uint32_t target_addr) {
    char target[16];
    format_address(target_addr, target);
    write_line(out, capacity,
               "QBupdate: no target address given: updating the device at %s, the default\n",
               target);
}

namespace {

// ` after its TFTP error 3 "Disk full"`, or nothing when the device sent no error.
void describe_device_error(char (&out)[160], const DeviceError& error) {
    out[0] = '\0';
    if (error.present)
        std::snprintf(out, sizeof out, " after its TFTP error %u \"%s\"",
                      static_cast<unsigned>(error.code), error.text);
}

} // namespace

void describe_notice(char* out, std::size_t capacity, const UpdateNotice& notice) {
    const auto seconds = static_cast<unsigned>(STALL_NOTICE_SECONDS);
    char addr[16];
    out[0] = '\0';
    if (notice.kind == NOTICE_NETWORK_STARTS)
        return;
    char units[MAX_UNITS_NAMED * 20];
    list_units(notice.units, units);
    if (notice.kind == NOTICE_NO_READ_REQUEST) {
        format_address(notice.local_addr, addr);
        write_line(out, capacity,
                   "QBupdate: the device took the BOOTP reply but has not asked for the image "
                   "in %u s; check that the firewall lets UDP port 69 in and that the device "
                   "can reach %s, the address the reply named; giving up at %u s\n",
                   seconds, addr, static_cast<unsigned>(READ_REQUEST_WAIT_SECONDS));
        name_device_answered(out, capacity, notice.units);
        return;
    }
    if (notice.kind == NOTICE_STRANGER_REFUSED) {
        format_address(notice.refused_addr, addr);
        write_line(out, capacity,
                   "QBupdate: refused a TFTP read request from %s: only the device being "
                   "updated is served; the update goes on\n",
                   addr);
        return;
    }
    if (notice.kind == NOTICE_SECOND_DEVICE) {
        write_line(out, capacity,
                   "QBupdate: tagged BOOTP requests came from more than one hardware address "
                   "(%s), and each was given the device's address: power off every unit that "
                   "is not meant to be updated\n",
                   units);
        return;
    }
    format_address(notice.peer_addr, addr);
    const unsigned port = net_to_host16(notice.peer_port);
    const auto block = static_cast<unsigned long>(notice.block);
    char device_said[160];
    describe_device_error(device_said, notice.device_error);
    if (notice.kind == NOTICE_DEVICE_ERROR)
        write_line(out, capacity,
                   "QBupdate: the device at %s:%u answered block %lu with TFTP error %u \"%s\"; "
                   "still resending the block until the device acknowledges it\n",
                   addr, port, block, static_cast<unsigned>(notice.device_error.code),
                   notice.device_error.text);
    else if (notice.last_block)
        write_line(out, capacity,
                   "QBupdate: the last block (%lu) unacknowledged for %u s%s, still resending "
                   "it to %s:%u; the device may already hold the whole image (its final "
                   "acknowledgement is easily lost when it restarts at once): check the "
                   "device before stopping QBupdate with Ctrl+C\n",
                   block, seconds, device_said, addr, port);
    else
        write_line(out, capacity,
                   "QBupdate: block %lu unacknowledged for %u s%s, still resending it to %s:%u "
                   "until the device answers; Ctrl+C stops QBupdate\n",
                   block, seconds, device_said, addr, port);
}

namespace {
// How much of the image's path the start line quotes, so that the checksums always fit.
constexpr std::size_t START_PATH_SIZE = 300;
} // namespace

void describe_start(char* out, std::size_t capacity, const ServingFacts& facts,
                    std::uint32_t image_size, const ImageDigest& digest) {
    char path[START_PATH_SIZE];
    char local[16];
    char target[16];
    char name[INTERFACE_NAME_SIZE];
    copy_printable(path, sizeof path, facts.image_path);
    format_address(facts.local_addr, local);
    format_address(facts.target_addr, target);
    copy_printable(name, sizeof name, facts.interface_name);
    write_line(out, capacity,
               "QBupdate: serving '%s' (%lu bytes, SHA-256 %s, CRC-32 %08lx) from %s on %s to "
               "the device at %s\n",
               path, static_cast<unsigned long>(image_size),
               digest.sha256_known ? digest.sha256_hex : "unknown",
               static_cast<unsigned long>(digest.crc32), local, name, target);
}

void format_address(std::uint32_t addr, char (&text)[16]) {
    std::uint32_t h = net_to_host32(addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (h >> 24) & 0xFFu, (h >> 16) & 0xFFu,
                  (h >> 8) & 0xFFu, h & 0xFFu);
}

namespace {

// Ends text that filled all `capacity` bytes with `tail`, cut where no UTF-8 character is split.
void end_cut_text(char* out, std::size_t capacity, const char* tail) {
    const std::size_t tail_size = std::strlen(tail) + 1;
    if (capacity < tail_size)
        return;
    std::size_t cut = std::min(std::strlen(out), capacity - tail_size);
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
        --cut;
    std::memcpy(out + cut, tail, tail_size);
}

} // namespace

// An argument comes from the operator and may hold any byte; a newline or an escape sequence in
// it must not break the one-line report or drive the terminal.
char* copy_printable(char* out, std::size_t capacity, const char* text) {
    std::size_t i = 0;
    for (; text[i] != '\0' && i + 1 < capacity; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        out[i] = c < 0x20 || c == 0x7F ? '?' : text[i];
    }
    out[i] = '\0';
    if (text[i] != '\0')
        end_cut_text(out, capacity, "...");
    return out;
}

bool write_line(char* out, std::size_t capacity, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    const int n = std::vsnprintf(out, capacity, format, arguments);
    va_end(arguments);
    if (n >= 0 && static_cast<std::size_t>(n) < capacity)
        return true;
    if (n < 0)
        out[0] = '\0';
    end_cut_text(out, capacity, "...\n");
    return false;
}
