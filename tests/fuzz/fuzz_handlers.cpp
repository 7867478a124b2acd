// Arbitrary datagrams through the BOOTP, TFTP-request and ACK handlers of one upload. Each
// record of the input starts with a selector byte that says what happens next; the packets
// sent and the transfer's state are checked after every record.
#include "fuzz_support.h"

namespace {

enum Step : int {
    STEP_BOOTP = 0,      // a datagram on port 67
    STEP_REQUEST = 1,    // a datagram on port 69
    STEP_ACK = 2,        // a datagram on the data endpoint
    STEP_QUIET_TICK = 3, // a quiet tick of the loop
    STEP_GOOD_ACK = 4,   // the device acknowledges the current block
    STEP_PORTS = 5,      // data ports become unavailable, or available again
    STEP_GOOD_READ = 6,  // the device's read request
    STEP_GOOD_BOOTP = 7, // the device's tagged request, of any length from 53 to 300
};

// Puts a datagram in the packet buffer as the loop does; -1 for one the receive would drop.
int deliver(UploadState& state, const Bytes& d) {
    if (d.size() > PACKET_BUFFER_SIZE)
        return -1;
    std::memset(state.packet, 0xA5, PACKET_BUFFER_SIZE); // what an earlier datagram left
    if (!d.empty())
        std::memcpy(state.packet, d.data(), d.size());
    std::memset(state.packet + d.size(), 0, PACKET_BUFFER_SIZE - d.size());
    return static_cast<int>(d.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    FuzzUpload u;
    start_upload(u, in);
    UploadState& state = u.state;
    bool ended = false;
    std::uint64_t moved_at = 0; // when the transfer last moved (its start, an accepted ACK)

    while (in.more() && !ended) {
        // A second between datagrams: the replies' rate limits never bite, and a transfer has
        // stood still long enough to be taken over after three.
        state.now_us += 1000000;
        const std::uint8_t selector = in.byte();
        const std::uint16_t from_port = source_port(selector);
        const std::size_t sends_before = fake.sends.size();
        const TransferSeen before = seen(state);
        Bytes d;
        int length = -1;
        bool renumbered = false; // a transfer started, or an ACK was accepted

        switch (selector & 7) {
        case STEP_BOOTP:
        case STEP_GOOD_BOOTP: {
            d = (selector & 7) == STEP_BOOTP ? in.datagram(selector) : tagged_request(in);
            length = deliver(state, d);
            if (length < 0)
                break;
            Heard h = handle_bootp_request(state, length, FUZZ_TARGET, host_to_net16(from_port));
            FUZZ_CHECK((h == HEARD_DEVICE) == answers_bootp(d, from_port));
            FUZZ_CHECK(fake.sends.size() == sends_before + (h == HEARD_DEVICE ? 1 : 0));
            if (h == HEARD_DEVICE)
                check_bootp_reply(fake.sends.back(), d, from_port, state);
            break;
        }
        case STEP_REQUEST:
        case STEP_GOOD_READ: {
            d = (selector & 7) == STEP_REQUEST ? in.datagram(selector) : read_request();
            length = deliver(state, d);
            if (length < 0)
                break;
            // Any datagram may come from another host; the device's read request from its own.
            const std::uint32_t from_addr =
                (selector & 7) == STEP_REQUEST ? ack_source(selector) : FUZZ_TARGET;
            const bool read = is_read_request(d) && from_addr == FUZZ_TARGET;
            const bool strangers_read = is_read_request(d) && from_addr != FUZZ_TARGET;
            const bool repeat = read && repeats_read_request(before, from_port);
            // A moving transfer is not given up for a read request in the device's name.
            const bool held = read && !repeat && before.data_sock != NET_INVALID_SOCKET &&
                              state.now_us - moved_at < TRANSFER_TAKEOVER_QUIET_US;
            Heard h = handle_tftp_request(state, length, from_addr, host_to_net16(from_port));
            const bool refused = is_refused_write_request(d, from_port) ||
                                 (strangers_read && from_port >= LOWEST_CLIENT_PORT);
            FUZZ_CHECK(fake.sends.size() == sends_before + ((read && !held) || refused ? 1 : 0));
            if (h == HEARD_DEVICE) {
                FUZZ_CHECK(read && (repeat || !fake.fail_data_ports));
                FUZZ_CHECK(state.transfer.current_block == 1 &&
                           state.transfer.data_sock == fake_data_socket());
                FUZZ_CHECK(state.transfer.peer_port == host_to_net16(from_port));
                // DATA 1 again from the same port, or a new transfer from a new one.
                FUZZ_CHECK((state.transfers_started == before.serial) == repeat);
                check_data(fake.sends.back(), state);
                renumbered = true;
                if (!repeat)
                    moved_at = state.now_us;
            } else if (read && !held) {
                check_error(fake.sends.back(), REFUSED_NO_DATA_PORT);
                FUZZ_CHECK(state.transfer.data_sock == NET_INVALID_SOCKET); // no port: no transfer
            } else {
                if (refused) {
                    const FakeSend& s = fake.sends.back();
                    FUZZ_CHECK(s.sock == state.endpoints[TFTP_ENDPOINT] && s.to_port == from_port &&
                               s.to_addr == from_addr);
                    check_error(s, strangers_read ? REFUSED_STRANGER : REFUSED_WRITE);
                }
                // Another host's read request leaves the transfer as it was, its peer too.
                FUZZ_CHECK(seen(state) == before);
            }
            break;
        }
        case STEP_ACK:
        case STEP_GOOD_ACK: {
            d = (selector & 7) == STEP_ACK ? in.datagram(selector)
                                           : ack_of(state.transfer.current_block);
            if (state.transfer.data_sock == NET_INVALID_SOCKET)
                break; // no data endpoint to arrive on
            length = deliver(state, d);
            if (length < 0)
                break;
            const std::uint32_t from_addr = ack_source(selector);
            AckResult r = handle_data_datagram(state, length, from_addr, host_to_net16(from_port));
            FUZZ_CHECK((r != ACK_IGNORED) == acks(before, d, from_addr, from_port));
            if (r == ACK_IGNORED) // another host's datagram changes nothing of the transfer
                FUZZ_CHECK(state.transfer.peer_addr == before.peer_addr &&
                           state.transfer.peer_port == before.peer_port &&
                           fake.sends.size() == sends_before);
            if (r == ACK_FINAL) {
                FUZZ_CHECK(std::uint64_t{before.block} * TFTP_BLOCK_SIZE > state.image_size);
                FUZZ_CHECK(fake.sends.size() == sends_before);
                ended = true;
            } else if (r == ACK_ACCEPTED) {
                FUZZ_CHECK(state.transfer.current_block == before.block + 1);
                FUZZ_CHECK(fake.sends.size() == sends_before + 1);
                check_data(fake.sends.back(), state);
                renumbered = true;
                moved_at = state.now_us;
            }
            break;
        }
        case STEP_QUIET_TICK:
            ++state.retransmit_ticks;
            if (state.transfer.data_sock != NET_INVALID_SOCKET && state.retransmit_ticks > 1) {
                send_current_block(state);
                FUZZ_CHECK(state.retransmit_ticks == 0);
                FUZZ_CHECK(fake.sends.size() == sends_before + 1);
                check_data(fake.sends.back(), state);
            }
            break;
        case STEP_PORTS:
            fake.fail_data_ports = !fake.fail_data_ports;
            break;
        }

        // Whatever happened, the block never skips: it stays, moves on by one for an accepted
        // ACK, or starts again at 1 on a new transfer; or no transfer runs any more.
        if (!renumbered && state.transfer.data_sock != NET_INVALID_SOCKET)
            FUZZ_CHECK(state.transfer.current_block == before.block);
        for (std::size_t i = sends_before; i < fake.sends.size(); ++i)
            FUZZ_CHECK(fake.sends[i].bytes.size() <= PACKET_BUFFER_SIZE);
        FUZZ_CHECK(fake_open_sockets() <= 4);
    }
    end_upload(u);
    return 0;
}
