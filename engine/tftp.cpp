// The TFTP read server: one transfer at a time, one block in flight.
#include "upload_state.h"

#include <cstring>

namespace {

// Replies to any other address than the target's are few a second: forged requests from every
// unused address of the segment would otherwise keep the send buffer full.
void send_error(UploadState& state, std::uint16_t code, const char* text, std::uint32_t to_addr,
                std::uint16_t to_port) {
    if (to_addr != state.target_addr && !rate_allows(state.stranger_errors, state.now_us))
        return;
    unsigned char* p = state.packet;
    put_be16(p + TFTP_OPCODE, TFTP_OP_ERROR);
    put_be16(p + TFTP_ERROR_CODE, code);
    std::size_t text_size = std::strlen(text) + 1;
    std::memcpy(p + TFTP_ERROR_TEXT, text, text_size);
    net_send(state.endpoints[TFTP_ENDPOINT], p, static_cast<int>(TFTP_ERROR_TEXT + text_size),
             to_addr, to_port);
}

// A read request from another address than the target's: the device's transfer is not
// another host's to take or to end. Refused out loud, as a write request is, only to a
// client's port; the front end is told once.
Heard refuse_stranger(UploadState& state, std::uint32_t from_addr, std::uint16_t from_port) {
    if (net_to_host16(from_port) >= LOWEST_CLIENT_PORT)
        send_error(state, TFTP_ERR_ACCESS_VIOLATION, TFTP_TEXT_DEVICE_ONLY, from_addr, from_port);
    if (!state.stranger_told) {
        state.stranger_told = true;
        UpdateNotice notice{};
        notice.kind = NOTICE_STRANGER_REFUSED;
        notice.local_addr = state.local_addr;
        notice.refused_addr = from_addr;
        notice.units = state.units;
        tell_front_end(state, notice);
    }
    return HEARD_STRAY;
}

// Keeps the first TFTP ERROR the peer sends in a transfer and tells the front end of it. It
// ends nothing: the device may yet take the block, and retransmission goes on.
void note_device_error(UploadState& state, int length) {
    DeviceError& error = state.transfer.device_error;
    if (error.present)
        return;
    error.present = true;
    error.code = get_be16(state.packet + TFTP_ERROR_CODE);
    std::size_t n = 0;
    for (std::size_t i = TFTP_ERROR_TEXT;
         i < static_cast<std::size_t>(length) && state.packet[i] != 0 && n < DEVICE_ERROR_TEXT_MAX;
         ++i) {
        const unsigned char c = state.packet[i];
        error.text[n++] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    tell_front_end(state, transfer_notice(state, NOTICE_DEVICE_ERROR));
}

} // namespace

UpdateNotice transfer_notice(const UploadState& state, NoticeKind kind) {
    const Transfer& transfer = state.transfer;
    UpdateNotice notice{};
    notice.kind = kind;
    notice.local_addr = state.local_addr;
    notice.block = transfer.current_block;
    notice.last_block = is_last_block(state);
    notice.peer_addr = transfer.peer_addr;
    notice.peer_port = transfer.peer_port;
    notice.units = state.units;
    notice.device_error = transfer.device_error;
    return notice;
}

int build_data_packet(const unsigned char* image, std::uint32_t image_size, unsigned char* packet,
                      std::uint32_t block) {
    const std::uint64_t size = image_size;
    const std::uint64_t offset = (std::uint64_t{block} - 1) * TFTP_BLOCK_SIZE;
    std::uint64_t payload = 0;
    if (offset <= size)
        payload = size - offset >= TFTP_BLOCK_SIZE ? TFTP_BLOCK_SIZE : size - offset;
    put_be16(packet + TFTP_OPCODE, TFTP_OP_DATA);
    put_be16(packet + TFTP_BLOCK, static_cast<std::uint16_t>(block));
    if (payload > 0)
        std::memcpy(packet + TFTP_PAYLOAD, image + offset, payload);
    return static_cast<int>(TFTP_PAYLOAD + payload);
}

Heard handle_tftp_request(UploadState& state, int length, std::uint32_t from_addr,
                          std::uint16_t from_port) {
    const std::uint16_t opcode = length >= 2 ? get_be16(state.packet + TFTP_OPCODE) : 0;
    if (opcode != TFTP_OP_RRQ) {
        // Only a client's write request is refused out loud. An answer to anything else (an
        // ERROR, junk, a service's port) could start an endless exchange with a peer that
        // answers in kind.
        if (opcode == TFTP_OP_WRQ && net_to_host16(from_port) >= LOWEST_CLIENT_PORT)
            send_error(state, TFTP_ERR_ILLEGAL_OPERATION, TFTP_TEXT_ONLY_RRQ, from_addr, from_port);
        return HEARD_STRAY;
    }
    if (from_addr != state.target_addr)
        return refuse_stranger(state, from_addr, from_port);
    const bool transferring = state.phase == PHASE_TRANSFERRING;
    Transfer& transfer = state.transfer;
    if (transferring && from_port == transfer.peer_port && transfer.current_block == 1) {
        // The same request again (a duplicating path, or the device's retry crossing DATA 1):
        // the device may have taken DATA 1 from this port already and would ignore any other.
        send_current_block(state);
        return HEARD_DEVICE;
    }
    // Any host can write the device's address into a request: a transfer that moves is the
    // device's, and is not given up for a request until it has stood still a while.
    if (transferring && state.now_us - transfer.moved_us < TRANSFER_TAKEOVER_QUIET_US)
        return HEARD_STRAY;
    if (transferring)
        net_close(transfer.data_sock); // the transfer it served is abandoned
    ++state.transfers_started;
    transfer = Transfer{};
    transfer.data_sock = open_data_endpoint(state);
    if (transfer.data_sock == NET_INVALID_SOCKET) {
        if (transferring)
            state.phase = PHASE_HEARD;
        send_error(state, TFTP_ERR_NOT_DEFINED, TFTP_TEXT_NO_DATA_PORT, from_addr, from_port);
        return HEARD_STRAY;
    }
    // The kernel then drops every other sender's datagrams before they are read.
    net_connect(transfer.data_sock, from_addr, from_port);
    state.phase = PHASE_TRANSFERRING;
    state.read_request_served = true;
    transfer.peer_addr = from_addr;
    transfer.peer_port = from_port;
    transfer.current_block = 1;
    transfer.moved_us = state.now_us;
    if (!state.block_watch.running)
        state.block_watch = StallWatch{true, false, state.now_us};
    send_current_block(state);
    return HEARD_DEVICE;
}

AckResult handle_data_datagram(UploadState& state, int length, std::uint32_t from_addr,
                               std::uint16_t from_port) {
    const Transfer& transfer = state.transfer;
    if (length >= static_cast<int>(TFTP_ERROR_TEXT) &&
        get_be16(state.packet + TFTP_OPCODE) == TFTP_OP_ERROR) {
        if (from_addr == transfer.peer_addr && from_port == transfer.peer_port)
            note_device_error(state, length);
        return ACK_IGNORED;
    }
    return handle_ack(state, length, from_addr, from_port);
}

AckResult handle_ack(UploadState& state, int length, std::uint32_t from_addr,
                     std::uint16_t from_port) {
    // A transfer is its transfer identifier's (RFC 1350), the read request's source address and
    // port: another host's datagrams, or another port's, could otherwise acknowledge every
    // block and end the update while the device has none of them.
    Transfer& transfer = state.transfer;
    if (from_addr != transfer.peer_addr || from_port != transfer.peer_port)
        return ACK_IGNORED;
    const unsigned char* p = state.packet;
    // A duplicate ACK never sends anything: answering it would send every later block twice,
    // and the duplicates would double again (the Sorcerer's Apprentice fault; RFC 1123, 4.2.3.1,
    // amending RFC 1350). A lost block is repaired by the tick's resend alone.
    if (length < static_cast<int>(TFTP_ACK_SIZE) || get_be16(p + TFTP_OPCODE) != TFTP_OP_ACK ||
        get_be16(p + TFTP_BLOCK) != static_cast<std::uint16_t>(transfer.current_block))
        return ACK_IGNORED;

    state.ack_accepted = true;
    transfer.moved_us = state.now_us;
    state.block_watch = StallWatch{true, false, state.now_us};
    if (is_last_block(state)) {
        tell_progress(state, 100);
        return ACK_FINAL;
    }
    const std::uint64_t delivered = std::uint64_t{transfer.current_block} * TFTP_BLOCK_SIZE;
    tell_progress(state, static_cast<std::uint32_t>(delivered * 100 / state.image_size));
    ++transfer.current_block;
    send_current_block(state);
    return ACK_ACCEPTED;
}

void send_current_block(UploadState& state) {
    const Transfer& transfer = state.transfer;
    int length =
        build_data_packet(state.image, state.image_size, state.packet, transfer.current_block);
    net_send(transfer.data_sock, state.packet, length, transfer.peer_addr, transfer.peer_port);
    state.retransmit_ticks = 0;
}

bool is_last_block(const UploadState& state) {
    return state.image_size < std::uint64_t{state.transfer.current_block} * TFTP_BLOCK_SIZE;
}
