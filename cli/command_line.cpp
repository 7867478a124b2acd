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
// How much of an argument a report quotes.
constexpr std::size_t QUOTED_ARGUMENT_SIZE = 200;

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
    CommandLine cl{false,
                   DEFAULT_IMAGE_PATH,
                   host_to_net32(DEFAULT_TARGET),
                   UPDATE_MODE_FIRMWARE,
                   ARGUMENTS_OK,
                   IMAGE_OK,
                   ADDRESS_OK,
                   argc > 2};
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
        write_line(out, capacity,
                   "QBupdate: unknown option '%s' (and no file of that name): QBupdate --help "
                   "lists the options\n",
                   copy_printable(quoted, sizeof quoted, argv[1]));
        break;
    case ARGUMENTS_TOO_MANY:
        write_line(out, capacity,
                   "QBupdate: %d arguments are too many: give the image, the target address "
                   "and, for the boot area, boot\n",
                   argc - 1);
        break;
    case ARGUMENTS_IMAGE:
        write_line(out, capacity, "QBupdate: cannot open image '%s': %s\n",
                   copy_printable(quoted, sizeof quoted, argv[1]), image_reason(cl.image_fault));
        break;
    case ARGUMENTS_ADDRESS:
        copy_printable(quoted, sizeof quoted, argv[2]);
        if (cl.address_problem == ADDRESS_NOT_A_DEVICE)
            write_line(out, capacity, "QBupdate: '%s' is not an address a device can have\n",
                       quoted);
        else
            write_line(out, capacity,
                       "QBupdate: '%s' is not an IPv4 address in ddd.ddd.ddd.ddd form: %s\n",
                       quoted, address_reason(cl.address_problem));
        break;
    case ARGUMENTS_NOT_BOOT:
        write_line(out, capacity,
                   "QBupdate: '%s' is not a mode: only the word boot, in lower case, selects "
                   "the boot area\n",
                   copy_printable(quoted, sizeof quoted, argv[3]));
        break;
    default:
        break;
    }
}
