// What the fuzz targets share: reading the input as records, an upload with real image data on
// the scripted network, and the invariants every packet the engine sends must keep.
#pragma once

#include "fake_platform.h"
#include "upload_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #cond);    \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

inline const std::uint32_t FUZZ_LOCAL = fake_address(198, 51, 100, 1);
inline const std::uint32_t FUZZ_TARGET = fake_address(198, 51, 100, 10);
// Another host on the device's segment.
inline const std::uint32_t FUZZ_STRANGER = fake_address(198, 51, 100, 11);

// Where an acknowledgement comes from: bit 4 of the selector sends it from another host.
inline std::uint32_t ack_source(std::uint8_t selector) {
    return selector & 0x10 ? FUZZ_STRANGER : FUZZ_TARGET;
}

struct FuzzInput {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;

    bool more() const { return pos < size; }
    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
    // A datagram: one length byte (bits 5 and 6 of the selector add 256 and 512), then that
    // many bytes, as many as the input still holds.
    Bytes datagram(std::uint8_t selector) {
        std::size_t length = byte() | (static_cast<std::size_t>(selector >> 5 & 3) << 8);
        if (length > size - pos)
            length = size - pos;
        Bytes d(data + pos, data + pos + length);
        pos += length;
        return d;
    }
};

// A tagged request of the length the next byte gives, with the rest of the input as its
// other fields.
inline Bytes tagged_request(FuzzInput& in) {
    std::size_t length = 53 + in.byte() % 248;
    Bytes d(length, 0);
    for (std::size_t i = 3; i < length && in.more(); ++i)
        d[i] = in.byte();
    d[BOOTP_OP] = 1;
    d[BOOTP_HTYPE] = 1;
    d[BOOTP_HLEN] = 6;
    std::memcpy(&d[BOOTP_SNAME], "PexLinqB", 9);
    return d;
}

// Where a datagram comes from: two clients' ports, and two ports below 1024, where only a read
// request may be answered.
inline std::uint16_t source_port(std::uint8_t selector) {
    constexpr std::uint16_t ports[] = {2000, 1024, 1023, TFTP_SERVER_PORT};
    return ports[(selector >> 7 & 1) | (selector >> 2 & 2)];
}

inline Bytes read_request() {
    return Bytes{0, 1, 'f', 0, 'o', 'c', 't', 'e', 't', 0};
}

inline Bytes ack_of(std::uint32_t block) {
    return Bytes{0, 4, static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block)};
}

struct FuzzUpload {
    unsigned char* image_bytes; // malloc'd, so AddressSanitizer sees reads past its end
    UploadState state;
};

// An upload as update_target sets it up, with an image of 0 to 3071 bytes chosen by the input.
inline void start_upload(FuzzUpload& u, FuzzInput& in) {
    fake_reset();
    std::srand(1);
    std::uint32_t size = (in.byte() | in.byte() << 8) % 3072;
    UpdateMode mode = in.byte() & 1 ? UPDATE_MODE_BOOT_AREA : UPDATE_MODE_FIRMWARE;
    u.image_bytes = static_cast<unsigned char*>(std::malloc(size > 0 ? size : 1));
    for (std::uint32_t i = 0; i < size; ++i)
        u.image_bytes[i] = static_cast<unsigned char>(i * 131 + i / 509);
    u.state = UploadState{}; // no notice taker, no data endpoint
    UploadState& s = u.state;
    s.local_addr = FUZZ_LOCAL;
    s.target_addr = FUZZ_TARGET;
    s.mode = mode;
    s.image = u.image_bytes;
    s.image_size = size;
    NetFault fault = NET_FAULT_NONE;
    FUZZ_CHECK(open_fixed_endpoints(s, &fault) == UPDATE_GOES_ON);
    build_beacon(s.beacon, s.target_addr);
}

inline void end_upload(FuzzUpload& u) {
    close_endpoints(u.state);
    std::free(u.image_bytes);
    FUZZ_CHECK(fake_open_sockets() == 0);
    FUZZ_CHECK(fake.sends_on_closed == 0);
    FUZZ_CHECK(fake.closes_of_closed == 0);
    FUZZ_CHECK(fake.unready_receives == 0);
}

// The transfer as a step or a pass found it, to check what the engine made of it.
struct TransferSeen {
    net_socket data_sock = NET_INVALID_SOCKET;
    std::uint32_t block = 0;  // current_block
    std::uint32_t serial = 0; // transfers_started
    std::uint32_t peer_addr = 0;
    std::uint16_t peer_port = 0;
    bool operator==(const TransferSeen&) const = default;
};

inline TransferSeen seen(const UploadState& s) {
    return {s.transfer.data_sock, s.transfer.current_block, s.transfers_started,
            s.transfer.peer_addr, s.transfer.peer_port};
}

// An ACK of the block seen, from the transfer's peer: the one datagram that moves it on.
inline bool acks(const TransferSeen& t, const Bytes& d, std::uint32_t from_addr,
                 std::uint16_t from_port) {
    return from_addr == t.peer_addr && host_to_net16(from_port) == t.peer_port && d.size() >= 4 &&
           d.size() <= PACKET_BUFFER_SIZE && d[0] == 0 && d[1] == 4 &&
           get_be16(&d[2]) == static_cast<std::uint16_t>(t.block);
}

// A read request from the running transfer's peer before block 1 is acknowledged repeats it.
inline bool repeats_read_request(const TransferSeen& t, std::uint16_t from_port) {
    return t.data_sock != NET_INVALID_SOCKET && t.block == 1 && t.peer_addr == FUZZ_TARGET &&
           t.peer_port == host_to_net16(from_port);
}

inline bool is_read_request(const Bytes& d) {
    return d.size() >= 2 && d[0] == 0 && d[1] == 1;
}

// The one datagram on port 69 besides a read request that gets an answer.
inline bool is_refused_write_request(const Bytes& d, std::uint16_t from_port) {
    return d.size() >= 2 && d[0] == 0 && d[1] == 2 && from_port >= 1024;
}

// Whether a BOOTP datagram is the device's tagged request, decided independently of the engine:
// the tag in any mix of cases.
inline bool is_tagged_request(const Bytes& d) {
    if (d.size() < BOOTP_SNAME + BOOTP_DEVICE_TAG_LENGTH + 1 || d[BOOTP_OP] != 1 ||
        d[BOOTP_HTYPE] != 1 || d[BOOTP_HLEN] != 6)
        return false;
    const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    for (std::size_t i = 0; i < BOOTP_DEVICE_TAG_LENGTH; ++i)
        if (lower(d[BOOTP_SNAME + i]) != lower(static_cast<unsigned char>(BOOTP_DEVICE_TAG[i])))
            return false;
    return d[BOOTP_SNAME + BOOTP_DEVICE_TAG_LENGTH] == 0;
}

// A tagged request that gets a reply: only from a BOOTP client's port or a client's port.
inline bool answers_bootp(const Bytes& d, std::uint16_t from_port) {
    return is_tagged_request(d) && (from_port == 68 || from_port >= 1024);
}

// The one reply a tagged request may get: the request zero-padded to 300 bytes, with the
// reply's fields written into it.
inline void check_bootp_reply(const FakeSend& s, const Bytes& request, std::uint16_t from_port,
                              const UploadState& state) {
    FUZZ_CHECK(s.bytes.size() == BOOTP_REPLY_SIZE);
    FUZZ_CHECK(s.to_addr == LIMITED_BROADCAST && s.to_port == from_port &&
               s.from_addr == state.local_addr);
    Bytes want(BOOTP_REPLY_SIZE, 0);
    std::memcpy(want.data(), request.data(), request.size() < 300 ? request.size() : 300);
    want[BOOTP_OP] = BOOTP_OP_REPLY;
    put_net32(&want[BOOTP_YIADDR], state.target_addr);
    put_net32(&want[BOOTP_SIADDR], state.local_addr);
    const char* file = state.mode == UPDATE_MODE_BOOT_AREA ? "bootboot.bin" : "firmware.bin";
    std::memcpy(&want[BOOTP_FILE], file, 13);
    FUZZ_CHECK(s.bytes == want);
}

// A DATA packet must carry the current block (or the one given), cut from the image at
// (block - 1) * 512.
inline void check_data(const FakeSend& s, const UploadState& state, std::uint32_t block = 0) {
    if (block == 0)
        block = state.transfer.current_block;
    FUZZ_CHECK(s.sock == state.transfer.data_sock);
    FUZZ_CHECK(s.to_addr == state.transfer.peer_addr &&
               s.to_port == net_to_host16(state.transfer.peer_port));
    const Bytes& b = s.bytes;
    FUZZ_CHECK(b.size() >= TFTP_PAYLOAD && b.size() <= TFTP_PAYLOAD + TFTP_BLOCK_SIZE);
    FUZZ_CHECK(get_be16(&b[TFTP_OPCODE]) == TFTP_OP_DATA);
    FUZZ_CHECK(get_be16(&b[TFTP_BLOCK]) == static_cast<std::uint16_t>(block));
    const std::uint64_t offset = (std::uint64_t{block} - 1) * TFTP_BLOCK_SIZE;
    FUZZ_CHECK(block >= 1 && offset <= state.image_size);
    std::uint64_t left = state.image_size - offset;
    std::size_t n = left < TFTP_BLOCK_SIZE ? static_cast<std::size_t>(left) : TFTP_BLOCK_SIZE;
    FUZZ_CHECK(b.size() == TFTP_PAYLOAD + n);
    FUZZ_CHECK(n == 0 || std::memcmp(&b[TFTP_PAYLOAD], state.image + offset, n) == 0);
}

// Why port 69 answers with an ERROR, and the code and text it answers with for each.
enum Refusal : int { REFUSED_WRITE, REFUSED_NO_DATA_PORT, REFUSED_STRANGER };
inline const std::pair<std::uint16_t, const char*> REFUSAL_ERRORS[] = {
    {TFTP_ERR_ILLEGAL_OPERATION, TFTP_TEXT_ONLY_RRQ},
    {TFTP_ERR_NOT_DEFINED, TFTP_TEXT_NO_DATA_PORT},
    {TFTP_ERR_ACCESS_VIOLATION, TFTP_TEXT_DEVICE_ONLY}};

inline void check_error(const FakeSend& s, Refusal why) {
    const Bytes& b = s.bytes;
    const auto [code, text] = REFUSAL_ERRORS[why];
    FUZZ_CHECK(b.size() > TFTP_ERROR_TEXT && b.size() <= PACKET_BUFFER_SIZE);
    FUZZ_CHECK(get_be16(&b[TFTP_OPCODE]) == TFTP_OP_ERROR);
    FUZZ_CHECK(get_be16(&b[TFTP_ERROR_CODE]) == code);
    FUZZ_CHECK(b.size() == TFTP_ERROR_TEXT + std::strlen(text) + 1);
    FUZZ_CHECK(std::memcmp(&b[TFTP_ERROR_TEXT], text, std::strlen(text) + 1) == 0);
}
