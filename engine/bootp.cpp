// The BOOTP responder: answers only the device's tagged requests.
#include "upload_state.h"

#include <cstring>

namespace {

char ascii_lower(unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

// The server-name field must read the device tag up to its first zero byte, case ignored.
bool carries_device_tag(const unsigned char* sname) {
    for (std::size_t i = 0; i < BOOTP_DEVICE_TAG_LENGTH; ++i) {
        if (ascii_lower(sname[i]) != ascii_lower(static_cast<unsigned char>(BOOTP_DEVICE_TAG[i])))
            return false;
    }
    return sname[BOOTP_DEVICE_TAG_LENGTH] == 0;
}

// Which units were answered. Every tagged request is answered, as a loader may change its
// hardware address between stages; but a second address answered may be a second unit, now
// holding the target address too, and the operator is told at once. Any host can send a tagged
// request, so no address is taken for the device's: they are kept in the order answered.
void note_hardware_address(UploadState& state, const unsigned char* chaddr) {
    UnitsAnswered& units = state.units;
    const std::uint32_t named = units.count < MAX_UNITS_NAMED ? units.count : MAX_UNITS_NAMED;
    for (std::uint32_t i = 0; i < named; ++i) {
        if (std::memcmp(units.hw[i].bytes, chaddr, HW_ADDR_SIZE) == 0)
            return;
    }
    // Past the names kept, a repeated address cannot be told from a new one: counted once.
    if (units.count >= MAX_UNITS_NAMED)
        return;
    units.hw[units.count].known = true;
    std::memcpy(units.hw[units.count].bytes, chaddr, HW_ADDR_SIZE);
    ++units.count;
    if (units.count < 2 || state.second_device_told)
        return;
    state.second_device_told = true;
    UpdateNotice notice{};
    notice.kind = NOTICE_SECOND_DEVICE;
    notice.local_addr = state.local_addr;
    notice.units = units;
    tell_front_end(state, notice);
}

} // namespace

bool rate_allows(RateLimit& limit, std::uint64_t now_us) {
    constexpr std::uint64_t SECOND_US = 1000000u;
    if (limit.sent == 0 || now_us - limit.window_us >= SECOND_US) {
        limit.window_us = now_us;
        limit.sent = 0;
    }
    if (limit.sent >= RATE_LIMIT_PER_SECOND)
        return false;
    ++limit.sent;
    return true;
}

static_assert(HW_ADDR_SIZE == BOOTP_HLEN_ETHERNET);

Heard handle_bootp_request(UploadState& state, int length, std::uint32_t /*from_addr*/,
                           std::uint16_t from_port) {
    unsigned char* p = state.packet;
    if (length < static_cast<int>(BOOTP_MIN_TAGGED_LENGTH))
        return HEARD_STRAY;
    // The reply is a 300-byte broadcast to the request's port: from a service's port (echo,
    // discard, another server) one small forged request would aim it at that service on every
    // host of the segment.
    const std::uint16_t port = net_to_host16(from_port);
    if (port != BOOTP_CLIENT_PORT && port < LOWEST_CLIENT_PORT)
        return HEARD_STRAY;
    if (p[BOOTP_OP] != BOOTP_OP_REQUEST || p[BOOTP_HTYPE] != BOOTP_HTYPE_ETHERNET ||
        p[BOOTP_HLEN] != BOOTP_HLEN_ETHERNET || !carries_device_tag(p + BOOTP_SNAME))
        return HEARD_STRAY;
    // A loader asks about once a second; a flood of small requests must not become a flood of
    // 300-byte broadcasts. The unanswered request is repeated by its sender.
    if (!rate_allows(state.bootp_replies, state.now_us))
        return HEARD_STRAY;

    // The reply is the request changed in place; the buffer past a short request holds zeros.
    p[BOOTP_OP] = BOOTP_OP_REPLY;
    put_net32(p + BOOTP_YIADDR, state.target_addr);
    put_net32(p + BOOTP_SIADDR, state.local_addr);
    const char* file =
        state.mode == UPDATE_MODE_BOOT_AREA ? BOOT_FILE_BOOT_AREA : BOOT_FILE_FIRMWARE;
    std::memcpy(p + BOOTP_FILE, file, std::strlen(file) + 1);
    net_send_broadcast(state.endpoints[BOOTP_ENDPOINT], p, static_cast<int>(BOOTP_REPLY_SIZE),
                       from_port, state.local_addr, state.bootp_interface);
    note_hardware_address(state, p + BOOTP_CHADDR);
    return HEARD_DEVICE;
}
