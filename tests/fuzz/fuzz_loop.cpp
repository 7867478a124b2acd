// Arbitrary traffic through the event loop: each record of the input scripts one wait (a quiet
// tick, an interrupted wait, or datagrams on the BOOTP, TFTP and data endpoints), and
// everything the loop sent in the pass before is checked at the next wait.
#include "fuzz_support.h"

namespace {

enum Wait : int {
    WAIT_QUIET = 0,
    WAIT_BOOTP = 1,
    WAIT_REQUEST = 2,
    WAIT_ACK = 3,
    WAIT_BOOTP_AND_REQUEST = 4, // both in one pass: BOOTP first
    WAIT_GOOD_ACK = 5,          // the device acknowledges the current block
    WAIT_GOOD_READ = 6,         // the device's read request
    WAIT_INTERRUPTED = 7,
};

struct Pass {
    bool bootp = false, request = false, ack = false;
    Bytes bootp_datagram, request_datagram, ack_datagram;
    std::uint16_t from_port = 0;
};

struct LoopRun {
    FuzzInput* in;
    UploadState* state;
    Pass pass;                     // what the previous wait delivered
    std::size_t checked_sends = 0; // sends already checked
    std::uint32_t block = 0;       // current block at the previous wait
    bool transfer = false;         // a data endpoint was open at the previous wait
    bool device_heard = false;
    std::size_t beacons = 0;
};

bool ack_matches(const Bytes& d, std::uint32_t block) {
    return d.size() >= 4 && d.size() <= PACKET_BUFFER_SIZE && d[0] == 0 && d[1] == 4 &&
           get_be16(&d[2]) == static_cast<std::uint16_t>(block);
}

// Checks what the loop did since the previous wait against what that wait delivered.
void check_pass(LoopRun& run, bool completed = false) {
    const UploadState& state = *run.state;
    const Pass& p = run.pass;
    bool replied = false, refused = false;
    for (std::size_t i = run.checked_sends; i < fake.sends.size(); ++i) {
        const FakeSend& s = fake.sends[i];
        FUZZ_CHECK(s.bytes.size() <= PACKET_BUFFER_SIZE);
        if (s.from_port == WAKE_PORT) {
            FUZZ_CHECK(!run.device_heard);
            FUZZ_CHECK(s.bytes.size() == BEACON_SIZE && s.to_addr == state.target_addr &&
                       s.to_port == WAKE_PORT);
            FUZZ_CHECK(std::memcmp(s.bytes.data(), state.beacon, BEACON_SIZE) == 0);
            FUZZ_CHECK(++run.beacons <= MAX_UNANSWERED_BEACONS);
        } else if (s.from_port == BOOTP_SERVER_PORT) {
            FUZZ_CHECK(p.bootp && !replied && is_tagged_request(p.bootp_datagram));
            FUZZ_CHECK(p.bootp_datagram.size() <= PACKET_BUFFER_SIZE);
            check_bootp_reply(s, p.bootp_datagram, p.from_port, state);
            replied = true;
        } else if (s.from_port == TFTP_SERVER_PORT) {
            FUZZ_CHECK(p.request && !refused && p.request_datagram.size() <= PACKET_BUFFER_SIZE);
            check_error(s, is_read_request(p.request_datagram));
            refused = true;
        } else {
            FUZZ_CHECK(fake_is_data_port(s.from_port));
            check_data(s, state);
        }
    }
    run.checked_sends = fake.sends.size();

    // The block never skips: the same, one on after an ACK of it, or 1 for a new transfer.
    const bool read = p.request && is_read_request(p.request_datagram) &&
                      p.request_datagram.size() <= PACKET_BUFFER_SIZE;
    const bool started = read && state.data_sock != NET_INVALID_SOCKET;
    const bool acked = run.transfer && p.ack && !read && ack_matches(p.ack_datagram, run.block);
    if (completed) // the last ACK ends the upload without moving the block on
        FUZZ_CHECK(acked && state.current_block == run.block);
    else if (started)
        FUZZ_CHECK(state.current_block == 1);
    else if (acked)
        FUZZ_CHECK(state.current_block == run.block + 1);
    else if (run.transfer)
        FUZZ_CHECK(state.current_block == run.block);
    if (replied || started || acked)
        run.device_heard = true;
    run.block = state.current_block;
    run.transfer = state.data_sock != NET_INVALID_SOCKET;
}

int script_wait(LoopRun& run) {
    check_pass(run);
    run.pass = Pass{};
    FuzzInput& in = *run.in;
    if (!in.more())
        return NET_WAIT_FAILED; // the end of the input ends the loop
    const std::uint8_t selector = in.byte();
    Pass& p = run.pass;
    p.from_port = static_cast<std::uint16_t>(2000 + (selector >> 7));
    int kind = selector & 7;
    if ((kind == WAIT_ACK || kind == WAIT_GOOD_ACK) && fake_data_socket() == NET_INVALID_SOCKET)
        kind = WAIT_REQUEST; // nothing to acknowledge yet
    switch (kind) {
    case WAIT_QUIET:
        return 0;
    case WAIT_INTERRUPTED:
        return NET_WAIT_INTERRUPTED;
    case WAIT_BOOTP:
    case WAIT_BOOTP_AND_REQUEST:
        p.bootp = true;
        p.bootp_datagram =
            kind == WAIT_BOOTP && !(selector & 0x10) ? in.datagram(selector) : tagged_request(in);
        fake_queue(BOOTP_SERVER_PORT, p.bootp_datagram, 0, p.from_port);
        if (kind == WAIT_BOOTP)
            break;
        [[fallthrough]];
    case WAIT_REQUEST:
    case WAIT_GOOD_READ:
        p.request = true;
        p.request_datagram = kind == WAIT_GOOD_READ ? read_request() : in.datagram(selector);
        fake_queue(TFTP_SERVER_PORT, p.request_datagram, FUZZ_TARGET, p.from_port);
        break;
    case WAIT_ACK:
    case WAIT_GOOD_ACK:
        p.ack = true;
        p.ack_datagram =
            kind == WAIT_GOOD_ACK ? ack_of(run.state->current_block) : in.datagram(selector);
        fake_queue_on(fake_data_socket(), p.ack_datagram, FUZZ_TARGET, p.from_port);
        break;
    }
    return FAKE_WAIT_FROM_QUEUES;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    FuzzUpload u;
    start_upload(u, in);
    LoopRun run{};
    run.in = &in;
    run.state = &u.state;
    fake.on_wait = [&run](int) { return script_wait(run); };

    int result = run_event_loop(u.state);
    check_pass(run, result == UPDATE_DONE);
    if (result == UPDATE_DONE) {
        FUZZ_CHECK(std::uint64_t{u.state.current_block} * TFTP_BLOCK_SIZE > u.state.image_size);
    } else if (result == UPDATE_NO_ANSWER) {
        FUZZ_CHECK(run.beacons == MAX_UNANSWERED_BEACONS && !run.device_heard);
    } else {
        FUZZ_CHECK(result == UPDATE_WAIT_FAILED && !in.more());
    }
    end_upload(u);
    return 0;
}
