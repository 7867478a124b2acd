#include "command_line.h"

#include "report.h"

#include <bit>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* DEFAULT_IMAGE_PATH = "quibble_box.bin";
constexpr std::uint32_t DEFAULT_TARGET = 0xC0A8010A; // 192.168.1.10, host order
constexpr char BOOT_KEYWORD[] = "boot";
constexpr char CHECK_OPTION[] = "--check";
constexpr std::uint32_t LINK_LOCAL_NET = 0xA9FE0000; // 169.254.0.0/16, host order
constexpr std::uint32_t LINK_LOCAL_MASK = 0xFFFF0000;
// How much of an argument a report quotes.
constexpr std::size_t QUOTED_ARGUMENT_SIZE = 200;

bool is_loopback(std::uint32_t addr) {
    return (net_to_host32(addr) >> 24) == 127;
}

bool is_link_local(std::uint32_t addr) {
    return (net_to_host32(addr) & LINK_LOCAL_MASK) == LINK_LOCAL_NET;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

const char* address_reason(AddressProblem problem) {
    switch (problem) {
    case ADDRESS_LEADING_ZERO:
        return "a leading zero is ambiguous";
    case ADDRESS_PART_TOO_LARGE:
        return "each number must be 0 to 255";
    default:
        return "it must be four decimal numbers joined by dots";
    }
}

const char* image_reason(ImageFault fault) {
    return fault == IMAGE_UNREADABLE ? "it cannot be opened" : image_fault_text(fault);
}

// -x, or /x as Windows programs take options; /images/new.bin is a path.
bool looks_like_option(const char* argument) {
    if (argument[0] == '-')
        return argument[1] != '\0';
    return argument[0] == '/' && argument[1] != '\0' && std::strchr(argument + 1, '/') == nullptr &&
           std::strchr(argument + 1, '\\') == nullptr;
}

} // namespace

const char USAGE_TEXT[] =
    "\n\nusage: QBupdate filename targetIP\n\n"
    "\t where\tfilename is the name of the file containing the image to upload\n"
    "\t\t targetIP is IP address of target in ddd.ddd.ddd.ddd format\n";

const char MORE_HELP_LINE[] =
    "QBupdate: also QBupdate filename targetIP boot, for the boot area; QBupdate --check "
    "[filename [targetIP [boot]]], which does all an update does before its first datagram, "
    "sends nothing, and reports on standard output whether the update can start; and QBupdate "
    "--version\n";

// inet_addr and inet_pton differ between systems, and inet_addr reads a part with a leading
// zero as octal: 192.168.001.010 would be 192.168.1.8, another unit on the bench.
AddressProblem parse_ipv4(const char* text, std::uint32_t* addr) {
    std::uint32_t value = 0;
    AddressProblem problem = ADDRESS_OK;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.')
            return ADDRESS_NOT_DOTTED_DECIMAL;
        const char* digits = p;
        unsigned number = 0;
        while (is_digit(*p) && p - digits < 4)
            number = number * 10 + static_cast<unsigned>(*p++ - '0');
        const std::ptrdiff_t length = p - digits;
        if (length == 0)
            return ADDRESS_NOT_DOTTED_DECIMAL;
        // The form is checked to the end before a number is judged, so "1.2.3.4x" is not
        // called too large.
        if (length > 1 && digits[0] == '0')
            problem = problem == ADDRESS_OK ? ADDRESS_LEADING_ZERO : problem;
        else if (length > 3 || number > 255)
            problem = problem == ADDRESS_OK ? ADDRESS_PART_TOO_LARGE : problem;
        while (is_digit(*p))
            ++p;
        value = value << 8 | (number & 0xFFu);
    }
    if (*p != '\0')
        return ADDRESS_NOT_DOTTED_DECIMAL;
    if (problem != ADDRESS_OK)
        return problem;
    if (value == 0 || value == 0xFFFFFFFFu)
        return ADDRESS_NOT_A_DEVICE;
    *addr = host_to_net32(value);
    return ADDRESS_OK;
}

ImageFault image_can_be_opened(const char* path) {
    std::uint64_t size = 0;
    ImageFault fault = IMAGE_OK;
    if (std::FILE* f = open_image(path, &size, &fault))
        std::fclose(f);
    return fault;
}

namespace {

CommandLine parse_update(int argc, const char* const* argv);

} // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
    if (argc > 1 && std::strcmp(argv[1], CHECK_OPTION) == 0) {
        CommandLine checked = parse_update(argc - 1, argv + 1);
        checked.check = true;
        return checked;
    }
    return parse_update(argc, argv);
}

namespace {

CommandLine parse_update(int argc, const char* const* argv) {
    CommandLine cl{false,        DEFAULT_IMAGE_PATH, host_to_net32(DEFAULT_TARGET),
                   UPDATE_MODE_FIRMWARE, ARGUMENTS_OK, IMAGE_OK, ADDRESS_OK, argc > 2};
    cl.image_given = argc > 1;
    auto refuse = [&cl](ArgumentProblem problem) {
        cl.show_usage = true;
        if (cl.problem == ARGUMENTS_OK)
            cl.problem = problem;
    };
    if (argc > 4)
        refuse(ARGUMENTS_TOO_MANY);
    if (argc > 1) {
        const char* first = argv[1];
        // Asked as GNU tools are asked, the question is answered: status 0.
        if (std::strcmp(first, "--version") == 0) {
            cl.problem = ARGUMENTS_VERSION;
            return cl;
        }
        const bool long_help = std::strcmp(first, "--help") == 0;
        const bool asks_for_help =
            long_help || first[0] == '?' ||
            (first[0] == '-' && std::tolower(static_cast<unsigned char>(first[1])) == 'h');
        if (asks_for_help) {
            cl.show_usage = true;
            cl.problem = long_help ? ARGUMENTS_LONG_HELP : ARGUMENTS_HELP;
            return cl;
        }
        cl.image_path = first;
        cl.image_fault = image_can_be_opened(first);
        if (cl.image_fault == IMAGE_MISSING && looks_like_option(first))
            refuse(ARGUMENTS_UNKNOWN_OPTION);
        else if (cl.image_fault != IMAGE_OK)
            refuse(ARGUMENTS_IMAGE);
        if (argc > 2) {
            cl.address_problem = parse_ipv4(argv[2], &cl.target_addr);
            if (cl.address_problem != ADDRESS_OK)
                refuse(ARGUMENTS_ADDRESS);
        }
        if (argc > 3) {
            if (std::strcmp(argv[3], BOOT_KEYWORD) == 0)
                cl.mode = UPDATE_MODE_BOOT_AREA;
            else
                refuse(ARGUMENTS_NOT_BOOT);
        }
    }
    return cl;
}

} // namespace

void describe_argument_problem(char* out, std::size_t capacity, const CommandLine& cl, int argc,
                               const char* const* argv) {
    char quoted[QUOTED_ARGUMENT_SIZE];
    out[0] = '\0';
    if (cl.check) {
        --argc;
        ++argv;
    }
    switch (cl.problem) {
    case ARGUMENTS_UNKNOWN_OPTION:
        std::snprintf(out, capacity,
                      "QBupdate: unknown option '%s' (and no file of that name): QBupdate --help "
                      "lists the options\n",
                      copy_printable(quoted, sizeof quoted, argv[1]));
        break;
    case ARGUMENTS_TOO_MANY:
        std::snprintf(out, capacity,
                      "QBupdate: %d arguments are too many: give the image, the target address "
                      "and, for the boot area, boot\n",
                      argc - 1);
        break;
    case ARGUMENTS_IMAGE:
        std::snprintf(out, capacity, "QBupdate: cannot open image '%s': %s\n",
                      copy_printable(quoted, sizeof quoted, argv[1]), image_reason(cl.image_fault));
        break;
    case ARGUMENTS_ADDRESS:
        copy_printable(quoted, sizeof quoted, argv[2]);
        if (cl.address_problem == ADDRESS_NOT_A_DEVICE)
            std::snprintf(out, capacity, "QBupdate: '%s' is not an address a device can have\n",
                          quoted);
        else
            std::snprintf(out, capacity,
                          "QBupdate: '%s' is not an IPv4 address in ddd.ddd.ddd.ddd form: %s\n",
                          quoted, address_reason(cl.address_problem));
        break;
    case ARGUMENTS_NOT_BOOT:
        std::snprintf(out, capacity,
                      "QBupdate: '%s' is not a mode: only the word boot, in lower case, selects "
                      "the boot area\n",
                      copy_printable(quoted, sizeof quoted, argv[3]));
        break;
    default:
        break;
    }
}

bool is_usable_local_address(std::uint32_t local_addr, std::uint32_t target_addr) {
    return (!is_loopback(local_addr) || is_loopback(target_addr)) &&
           (!is_link_local(local_addr) || is_link_local(target_addr));
}

namespace {

constexpr std::uint32_t ADDRESS_CLASS_MULTICAST = 0xE; // 224.0.0.0/4: the top four bits
constexpr std::uint32_t ADDRESS_CLASS_RESERVED = 0xF;  // 240.0.0.0/4

unsigned prefix_length(std::uint32_t netmask) {
    return static_cast<unsigned>(std::popcount(netmask));
}

} // namespace

// A target that is no single device would wake the wrong units or none: a subnet's broadcast
// address takes the beacon to port 9 of every host on it, and every unit there reboots into its
// loader.
void describe_target_refusal(char* out, std::size_t capacity, const LocalAddress* addrs, int count,
                             std::uint32_t target_addr) {
    out[0] = '\0';
    if (is_loopback(target_addr))
        return;
    char target[16];
    format_address(target_addr, target);
    const std::uint32_t top = net_to_host32(target_addr) >> 28;
    if (top == ADDRESS_CLASS_MULTICAST || top == ADDRESS_CLASS_RESERVED) {
        std::snprintf(out, capacity,
                      "QBupdate: %s is %s, never one device's: give the device's "
                      "own address\n",
                      target,
                      top == ADDRESS_CLASS_MULTICAST ? "a multicast address (224.0.0.0/4)"
                                                     : "a reserved address (240.0.0.0/4)");
        return;
    }
    char name[INTERFACE_NAME_SIZE];
    for (int i = 0; i < count; ++i) {
        if (addrs[i].addr != target_addr)
            continue;
        std::snprintf(out, capacity,
                      "QBupdate: %s is this host's own address (on %s), not the "
                      "device's: give the device's address\n",
                      target, copy_printable(name, sizeof name, addrs[i].interface_name));
        return;
    }
    for (int i = 0; i < count; ++i) {
        const std::uint32_t mask = net_to_host32(addrs[i].netmask);
        // A /31 or /32 link has no network or broadcast address.
        if (prefix_length(mask) >= 31 || !on_subnet_of(addrs[i], target_addr))
            continue;
        const std::uint32_t host_part = net_to_host32(target_addr) & ~mask;
        if (host_part != 0 && host_part != ~mask)
            continue;
        char subnet[16];
        format_address(addrs[i].addr & addrs[i].netmask, subnet);
        copy_printable(name, sizeof name, addrs[i].interface_name);
        if (host_part == 0)
            std::snprintf(out, capacity,
                          "QBupdate: %s is the network address of %s/%u on %s, "
                          "not a device's: give the device's own address\n",
                          target, subnet, prefix_length(mask), name);
        else
            std::snprintf(out, capacity,
                          "QBupdate: %s is the broadcast address of %s/%u on %s: "
                          "the wake beacon would reach every host there; give the device's own "
                          "address\n",
                          target, subnet, prefix_length(mask), name);
        return;
    }
}

bool on_subnet_of(const LocalAddress& local, std::uint32_t target_addr) {
    return (local.addr & local.netmask) == (target_addr & local.netmask);
}

bool any_on_subnet_of(const LocalAddress* addrs, int count, std::uint32_t target_addr) {
    for (int i = 0; i < count; ++i) {
        if (on_subnet_of(addrs[i], target_addr))
            return true;
    }
    return false;
}

bool is_link_local_address(std::uint32_t addr) {
    return is_link_local(addr);
}

// Of a Wi-Fi and a cable on one subnet, the score may pick the Wi-Fi's address while the device
// is on the cable, and its broadcasts never reach the socket; the system's own route to the
// target names the interface that faces it.
int choose_local_address(const LocalAddress* addrs, int count, std::uint32_t target_addr,
                         std::uint32_t route_source) {
    const bool any_on_subnet = any_on_subnet_of(addrs, count, target_addr);
    for (int i = 0; any_on_subnet && route_source != 0 && i < count; ++i) {
        if (addrs[i].addr == route_source && on_subnet_of(addrs[i], target_addr))
            return i;
    }
    std::uint32_t best_score = 0;
    int best_index = -1;
    for (int i = 0; i < count; ++i) {
        if (any_on_subnet && !on_subnet_of(addrs[i], target_addr))
            continue;
        std::uint32_t score = net_to_host32(addrs[i].addr) & net_to_host32(target_addr);
        if (best_index < 0 || score > best_score) {
            best_score = score;
            best_index = i;
        }
    }
    return best_index < 0 ? 0 : best_index;
}

namespace {

// Another interface than the chosen one's that holds an address on the target's subnet.
int other_interface_on_subnet(const LocalAddress* addrs, int count, int chosen,
                              std::uint32_t target_addr) {
    for (int i = 0; i < count; ++i) {
        if (on_subnet_of(addrs[i], target_addr) &&
            std::strcmp(addrs[i].interface_name, addrs[chosen].interface_name) != 0)
            return i;
    }
    return -1;
}

} // namespace

void describe_address_choice(char* out, std::size_t capacity, const LocalAddress* addrs,
                             int count, int chosen, std::uint32_t target_addr,
                             std::uint32_t route_source) {
    out[0] = '\0';
    const LocalAddress& used = addrs[chosen];
    const bool any_on_subnet = any_on_subnet_of(addrs, count, target_addr);
    char local[16];
    char target[16];
    char name[INTERFACE_NAME_SIZE];
    format_address(used.addr, local);
    format_address(target_addr, target);
    copy_printable(name, sizeof name, used.interface_name);
    const int other = any_on_subnet ? other_interface_on_subnet(addrs, count, chosen, target_addr)
                                    : -1;
    if (used.has_link && other >= 0) {
        char other_local[16];
        char other_name[INTERFACE_NAME_SIZE];
        format_address(addrs[other].addr, other_local);
        copy_printable(other_name, sizeof other_name, addrs[other].interface_name);
        std::snprintf(out, capacity,
                      "QBupdate: two interfaces hold the subnet of %s, %s (%s) and %s (%s); "
                      "serving from %s on %s, %s: if the device is on %s, unplug or disable %s "
                      "and run QBupdate again\n",
                      target, name, local, other_name, other_local, local, name,
                      used.addr == route_source ? "the one this host routes to the device"
                                                : "the one that shares most with its address",
                      other_name, name);
        return;
    }
    if (any_on_subnet && used.has_link)
        return;
    if (!any_on_subnet && !used.has_link)
        std::snprintf(out, capacity,
                      "QBupdate: no address of this host is on the subnet of %s, and %s, which "
                      "holds %s, has no link; trying all the same: plug in the cable and give the "
                      "adapter that faces the device an address on the device's subnet\n",
                      target, name, local);
    else if (!any_on_subnet)
        std::snprintf(out, capacity,
                      "QBupdate: no address of this host is on the subnet of %s; trying from %s "
                      "on %s all the same: give the adapter that faces the device an address on "
                      "the device's subnet\n",
                      target, local, name);
    else
        std::snprintf(out, capacity,
                      "QBupdate: %s, which holds %s, has no link; trying to reach %s all the "
                      "same: plug in the cable to the device\n",
                      name, local, target);
}

void format_address(std::uint32_t addr, char (&text)[16]) {
    std::uint32_t h = net_to_host32(addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (h >> 24) & 0xFFu, (h >> 16) & 0xFFu,
                  (h >> 8) & 0xFFu, h & 0xFFu);
}

// An argument comes from the operator and may hold any byte; a newline or an escape sequence in
// it must not break the one-line report or drive the terminal.
char* copy_printable(char* out, std::size_t capacity, const char* text) {
    constexpr char ELLIPSIS[] = "...";
    std::size_t i = 0;
    for (; text[i] != '\0' && i + 1 < capacity; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        out[i] = c < 0x20 || c == 0x7F ? '?' : text[i];
    }
    out[i] = '\0';
    if (text[i] != '\0' && capacity > sizeof ELLIPSIS) {
        std::size_t cut = capacity - sizeof ELLIPSIS;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
            --cut; // not inside a UTF-8 character
        std::memcpy(out + cut, ELLIPSIS, sizeof ELLIPSIS);
    }
    return out;
}
