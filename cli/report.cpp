#include "report.h"

#include "command_line.h"
#include "host.h"

#include <cstdio>
#include <cstring>

namespace {

const char* image_problem(ImageFault fault) {
    switch (fault) {
    case IMAGE_MISSING:
        return "no such file";
    case IMAGE_NOT_REGULAR:
        return "not a regular file";
    case IMAGE_TOO_LARGE:
        return "too large (images must be smaller than 4 GiB)";
    case IMAGE_NO_MEMORY:
        return "not enough memory to hold it";
    default:
        return "cannot be read in full";
    }
}

const char* port_problem(NetFault fault) {
    if (const char* advice = net_fault_advice(fault))
        return advice;
    switch (fault) {
    case NET_FAULT_IN_USE:
        return "another program already uses it (a DHCP or TFTP server?)";
    case NET_FAULT_NO_ADDRESS:
        return "the address is not on this host";
    default:
        return "the socket could not be opened";
    }
}

// The path comes from the operator's command line and may hold any byte; a newline or an escape
// sequence in it must not break the one-line report or drive the terminal.
void copy_printable(char* out, std::size_t capacity, const char* text) {
    std::size_t i = 0;
    for (; text[i] != '\0' && i + 1 < capacity; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        out[i] = c < 0x20 || c == 0x7F ? '?' : text[i];
    }
    out[i] = '\0';
}

int port_of(int update_result) {
    switch (update_result) {
    case UPDATE_NO_WAKE_PORT:
        return 9;
    case UPDATE_NO_BOOTP_PORT:
        return 67;
    default:
        return 69;
    }
}

} // namespace

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
        return EXIT_NO_ANSWER;
    default:
        return EXIT_NETWORK_FAILED;
    }
}

void describe_failure(char* out, std::size_t capacity, int update_result,
                      const UpdateDiagnosis& diagnosis, const char* image_path,
                      std::uint32_t local_addr, std::uint32_t target_addr) {
    char local[16];
    char target[16];
    format_address(local_addr, local);
    format_address(target_addr, target);
    switch (update_result) {
    case UPDATE_NO_IMAGE: {
        char path[512];
        copy_printable(path, sizeof path, image_path);
        std::snprintf(out, capacity, "QBupdate: cannot load image '%s': %s\n", path,
                      image_problem(diagnosis.image_fault));
        break;
    }
    case UPDATE_NO_BOOTP_PORT:
    case UPDATE_NO_TFTP_PORT:
    case UPDATE_NO_WAKE_PORT:
        std::snprintf(out, capacity, "QBupdate: cannot open UDP port %d on %s: %s\n",
                      port_of(update_result), local, port_problem(diagnosis.net_fault));
        break;
    case UPDATE_NO_ANSWER:
        std::snprintf(out, capacity, "QBupdate: no answer from %s after %u wake beacons from %s\n",
                      target, static_cast<unsigned>(MAX_UNANSWERED_BEACONS), local);
        break;
    default:
        std::snprintf(out, capacity, "QBupdate: waiting for network traffic on %s failed\n", local);
        break;
    }
    // A very long image path must not cost the line its end.
    std::size_t end = std::strlen(out);
    if (end > 0 && out[end - 1] != '\n') {
        out[end < capacity - 1 ? end : capacity - 2] = '\n';
        out[end < capacity - 1 ? end + 1 : capacity - 1] = '\0';
    }
}

void describe_stall(char* out, std::size_t capacity, const StallNotice& notice) {
    const auto seconds = static_cast<unsigned>(STALL_NOTICE_SECONDS);
    char addr[16];
    if (notice.kind == STALL_NO_READ_REQUEST) {
        format_address(notice.server_addr, addr);
        std::snprintf(out, capacity,
                      "QBupdate: the device took the BOOTP reply but has not asked for the image "
                      "in %u s; check that the firewall lets UDP port 69 in and that the device "
                      "can reach %s, the address the reply named; still waiting\n",
                      seconds, addr);
        return;
    }
    format_address(notice.peer_addr, addr);
    const unsigned port = net_to_host16(notice.peer_port);
    const auto block = static_cast<unsigned long>(notice.block);
    if (notice.last_block)
        std::snprintf(out, capacity,
                      "QBupdate: the last block (%lu) unacknowledged for %u s, still resending it "
                      "to %s:%u; the device may already hold the whole image (its final "
                      "acknowledgement is easily lost when it restarts at once): check the "
                      "device before stopping QBupdate with Ctrl+C\n",
                      block, seconds, addr, port);
    else
        std::snprintf(out, capacity,
                      "QBupdate: block %lu unacknowledged for %u s, still resending it to %s:%u "
                      "until the device answers; Ctrl+C stops QBupdate\n",
                      block, seconds, addr, port);
}
