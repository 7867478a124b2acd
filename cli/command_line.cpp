#include "command_line.h"

#include "host.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* DEFAULT_IMAGE_PATH = "quibble_box.bin";
constexpr std::uint32_t DEFAULT_TARGET = 0xC0A8010A; // 192.168.1.10, host order
constexpr char BOOT_KEYWORD[] = "boot";
constexpr std::uint32_t INVALID_ADDRESS = 0xFFFFFFFFu;

bool is_loopback(std::uint32_t addr) {
    return (net_to_host32(addr) >> 24) == 127;
}

} // namespace

const char USAGE_TEXT[] =
    "\n\nusage: QBupdate filename targetIP\n\n"
    "\t where\tfilename is the name of the file containing the image to upload\n"
    "\t\t targetIP is IP address of target in ddd.ddd.ddd.ddd format\n";

bool image_can_be_opened(const char* path) {
    std::FILE* f = file_open_read(path);
    if (f == nullptr)
        return false;
    std::uint64_t size = 0;
    bool regular = file_kind(f, &size) == FILE_KIND_REGULAR;
    std::fclose(f);
    return regular;
}

CommandLine parse_command_line(int argc, const char* const* argv) {
    CommandLine cl{false, DEFAULT_IMAGE_PATH, host_to_net32(DEFAULT_TARGET), UPDATE_MODE_FIRMWARE};
    if (argc > 4)
        cl.show_usage = true;
    if (argc > 1) {
        const char* first = argv[1];
        bool asks_for_help =
            first[0] == '?' ||
            (first[0] == '-' && std::tolower(static_cast<unsigned char>(first[1])) == 'h');
        if (asks_for_help) {
            cl.show_usage = true;
            return cl;
        }
        cl.image_path = first;
        if (!image_can_be_opened(first))
            cl.show_usage = true;
        if (argc > 2) {
            cl.target_addr = net_parse_address(argv[2]);
            if (cl.target_addr == 0 || cl.target_addr == INVALID_ADDRESS)
                cl.show_usage = true;
        }
        if (argc > 3) {
            if (std::strcmp(argv[3], BOOT_KEYWORD) == 0)
                cl.mode = UPDATE_MODE_BOOT_AREA;
            else
                cl.show_usage = true;
        }
    }
    return cl;
}

int usable_local_addresses(std::uint32_t* addrs, int count, std::uint32_t target_addr) {
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (!is_loopback(addrs[i]) || is_loopback(target_addr))
            addrs[kept++] = addrs[i];
    }
    return kept;
}

int choose_local_address(const std::uint32_t* addrs, int count, std::uint32_t target_addr) {
    std::uint32_t best_score = 0;
    int best_index = 0;
    for (int i = 0; i < count; ++i) {
        std::uint32_t score = net_to_host32(addrs[i]) & net_to_host32(target_addr);
        if (score > best_score) {
            best_score = score;
            best_index = i;
        }
    }
    return best_index;
}

void format_address(std::uint32_t addr, char (&text)[16]) {
    std::uint32_t h = net_to_host32(addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (h >> 24) & 0xFFu, (h >> 16) & 0xFFu,
                  (h >> 8) & 0xFFu, h & 0xFFu);
}
