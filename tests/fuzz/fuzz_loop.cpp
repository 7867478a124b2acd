// Arbitrary traffic through the event loop: each record of the input scripts one wait (a quiet
// tick, an interrupted wait, or datagrams on the BOOTP, TFTP and data endpoints), and
// everything the loop sent in the pass before is checked at the next wait.
#include "fuzz_support.h"

namespace {

enum Wait : int {
    WAIT_QUIET = 0, // with bit 3 set, five seconds pass first
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
    std::uint32_t ack_from = 0;
};

struct LoopRun {
    FuzzInput* in;
    UploadState* state;
    Pass pass;                     // what the previous wait delivered
    std::size_t checked_sends = 0; // sends already checked
    TransferSeen last;             // at the previous wait
    bool device_heard = false, bootp_replied = false;
    std::size_t beacons = 0;
    std::uint64_t wait_clock = 0;  // the clock at the previous wait
    std::uint64_t block_since = 0; // no later than the first send of the current block
    std::size_t checked_stalls = 0;
    bool block_reported = false;      // the current block's stall has been reported
    bool no_request_reported = false; // since the last transfer began
    std::uint32_t error_serial = 0;   // the data endpoint whose device error was told
    Bytes device_hw;                  // the first hardware address answered
    Bytes second_hw;                  // a second one answered in the pass just checked
    bool second_told = false;
    std::uint64_t heard_from = 0; // the pass the device was first heard in (0: not yet)
    bool read_served = false;     // a read request started a transfer
    bool ack_accepted = false;    // an ACK moved a transfer on
    std::uint64_t moved_at = 0;   // the pass the current transfer last moved in
};

constexpr std::uint64_t READ_REQUEST_WAIT_US = std::uint64_t{READ_REQUEST_WAIT_SECONDS} * 1000000u;
constexpr std::uint64_t ONE_PASS_US = 6000000u;

// Stall notices with the clock when each came.
std::vector<std::pair<UpdateNotice, std::uint64_t>> stalls;
bool record_stall(void* /*context*/, const UpdateNotice& notice) {
    if (notice.kind != NOTICE_PROGRESS)
        stalls.emplace_back(notice, clock_microseconds());
    return true;
}

// Each stall is reported once, about what stands still now, and a block only after ten seconds.
void check_stalls(LoopRun& run) {
    const UploadState& state = *run.state;
    for (; run.checked_stalls < stalls.size(); ++run.checked_stalls) {
        const auto& [n, when] = stalls[run.checked_stalls];
        if (n.kind == NOTICE_DEVICE_ERROR) {
            // Only the peer's ERROR, once per data endpoint, quoted in printable bytes.
            FUZZ_CHECK(state.transfer.data_sock != NET_INVALID_SOCKET && n.device_error.present);
            FUZZ_CHECK(run.pass.ack && run.pass.ack_from == state.transfer.peer_addr);
            FUZZ_CHECK(run.error_serial != state.transfers_started);
            const std::size_t length = std::strlen(n.device_error.text);
            FUZZ_CHECK(length <= DEVICE_ERROR_TEXT_MAX);
            for (std::size_t i = 0; i < length; ++i)
                FUZZ_CHECK(n.device_error.text[i] >= 0x20 && n.device_error.text[i] < 0x7F);
            run.error_serial = state.transfers_started;
        } else if (n.kind == NOTICE_BLOCK_UNACKNOWLEDGED) {
            FUZZ_CHECK(state.transfer.data_sock != NET_INVALID_SOCKET && !run.block_reported);
            FUZZ_CHECK(n.block == state.transfer.current_block &&
                       n.last_block == is_last_block(state));
            FUZZ_CHECK(n.peer_addr == state.transfer.peer_addr &&
                       n.peer_port == state.transfer.peer_port);
            FUZZ_CHECK(when - run.block_since >= std::uint64_t{STALL_NOTICE_SECONDS} * 1000000u);
            run.block_reported = true;
        } else if (n.kind == NOTICE_SECOND_DEVICE) {
            // At once, once: the first address answered and the other one answered now.
            FUZZ_CHECK(!run.second_hw.empty() && !run.second_told);
            FUZZ_CHECK(n.units.count == 2 && n.units.hw[0].known && n.units.hw[1].known);
            FUZZ_CHECK(Bytes(n.units.hw[0].bytes, n.units.hw[0].bytes + 6) == run.device_hw);
            FUZZ_CHECK(Bytes(n.units.hw[1].bytes, n.units.hw[1].bytes + 6) == run.second_hw);
            run.second_told = true;
        } else if (n.kind == NOTICE_WAIT_INTERRUPTED) {
            // Standing still only while a stall told stands.
            FUZZ_CHECK(!n.standing_still || run.block_reported || run.no_request_reported);
        } else {
            FUZZ_CHECK(n.kind == NOTICE_NO_READ_REQUEST && n.local_addr == state.local_addr);
            FUZZ_CHECK(state.transfer.data_sock == NET_INVALID_SOCKET && run.bootp_replied);
            FUZZ_CHECK(!run.no_request_reported);
            run.no_request_reported = true;
        }
    }
}

// Checks what the loop did since the previous wait against what that wait delivered.
void check_pass(LoopRun& run, bool completed = false) {
    const UploadState& state = *run.state;
    const Pass& p = run.pass;
    const bool transfer = run.last.data_sock != NET_INVALID_SOCKET;
    const bool read = p.request && is_read_request(p.request_datagram) &&
                      p.request_datagram.size() <= PACKET_BUFFER_SIZE;
    const bool repeat = read && repeats_read_request(run.last, p.from_port);
    // A moving transfer is not given up for a read request in the device's name.
    const bool held =
        read && !repeat && transfer && state.now_us - run.moved_at < TRANSFER_TAKEOVER_QUIET_US;
    std::size_t data_sends = 0;
    for (std::size_t i = run.checked_sends; i < fake.sends.size(); ++i)
        data_sends += fake_is_data_port(fake.sends[i].from_port) ? 1 : 0;
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
            FUZZ_CHECK(p.bootp && !replied && answers_bootp(p.bootp_datagram, p.from_port));
            FUZZ_CHECK(p.bootp_datagram.size() <= PACKET_BUFFER_SIZE);
            check_bootp_reply(s, p.bootp_datagram, p.from_port, state);
            replied = true;
        } else if (s.from_port == TFTP_SERVER_PORT) {
            FUZZ_CHECK(p.request && !refused && p.request_datagram.size() <= PACKET_BUFFER_SIZE);
            FUZZ_CHECK(read || is_refused_write_request(p.request_datagram, p.from_port));
            check_error(s, read ? REFUSED_NO_DATA_PORT : REFUSED_WRITE);
            refused = true;
        } else {
            // Two in one pass only when a repeated read request and the ACK of DATA 1 came.
            FUZZ_CHECK(fake_is_data_port(s.from_port));
            FUZZ_CHECK(--data_sends == 0 || (repeat && data_sends == 1));
            check_data(s, state, data_sends == 0 ? state.transfer.current_block : 1);
        }
    }
    run.checked_sends = fake.sends.size();

    // The block never skips: the same, one on after an ACK of it, or 1 for a new transfer. A
    // repeated read request keeps the transfer's endpoint, so an ACK in the same pass counts.
    const bool started = read && !held && state.transfer.data_sock != NET_INVALID_SOCKET;
    const bool acked = transfer && p.ack && (!read || repeat || held) &&
                       acks(run.last, p.ack_datagram, p.ack_from, p.from_port);
    if (completed) // the last ACK ends the upload without moving the block on
        FUZZ_CHECK(acked && state.transfer.current_block == run.last.block);
    else if (acked)
        FUZZ_CHECK(state.transfer.current_block == run.last.block + 1);
    else if (started)
        FUZZ_CHECK(state.transfer.current_block == 1);
    else if (transfer && state.transfer.data_sock != NET_INVALID_SOCKET)
        FUZZ_CHECK(state.transfer.current_block == run.last.block);
    FUZZ_CHECK((state.transfers_started == run.last.serial) == (!read || repeat || held));
    // A device heard that has acknowledged nothing for 60 s since is not waited for again
    // (give or take the pass that ends it, which may skip the clock a tick and 5 s on).
    FUZZ_CHECK(run.heard_from == 0 || run.ack_accepted ||
               state.now_us < run.heard_from + READ_REQUEST_WAIT_US + ONE_PASS_US);
    if ((replied || started || acked) && run.heard_from == 0)
        run.heard_from = state.now_us;
    if (replied || started || acked)
        run.device_heard = true;
    // The stall is timed from the last accepted ACK, or the first transfer's start: restarts
    // do not hold it back.
    const bool stall_restarts = acked || (started && !run.read_served);
    run.read_served |= started;
    run.ack_accepted |= acked;
    if ((started && !repeat) || acked)
        run.moved_at = state.now_us;
    run.second_hw.clear();
    if (replied) {
        const Bytes hw(p.bootp_datagram.begin() + BOOTP_CHADDR,
                       p.bootp_datagram.begin() + BOOTP_CHADDR + 6);
        if (run.device_hw.empty())
            run.device_hw = hw;
        else if (hw != run.device_hw && !run.second_told)
            run.second_hw = hw;
    }
    run.bootp_replied |= replied;
    if (stall_restarts) {
        run.block_since = run.wait_clock;
        run.block_reported = false;
    }
    if (started && !repeat)
        run.no_request_reported = false;
    check_stalls(run);
    FUZZ_CHECK(run.second_hw.empty() || run.second_told); // told in the pass it was answered
    run.last = seen(state);
    run.wait_clock = clock_microseconds();
}

int script_wait(LoopRun& run) {
    check_pass(run);
    run.pass = Pass{};
    FuzzInput& in = *run.in;
    if (!in.more())
        return NET_WAIT_FAILED; // the end of the input ends the loop
    const std::uint8_t selector = in.byte();
    Pass& p = run.pass;
    p.from_port = source_port(selector);
    int kind = selector & 7;
    if ((kind == WAIT_ACK || kind == WAIT_GOOD_ACK) && fake_data_socket() == NET_INVALID_SOCKET)
        kind = WAIT_REQUEST; // nothing to acknowledge yet
    switch (kind) {
    case WAIT_QUIET:
        if (selector & 8)
            fake.clock_skip_us += 5000000;
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
        p.ack_datagram = kind == WAIT_GOOD_ACK ? ack_of(run.state->transfer.current_block)
                                               : in.datagram(selector);
        p.ack_from = ack_source(selector);
        fake_queue_on(fake_data_socket(), p.ack_datagram, p.ack_from, p.from_port);
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
    run.wait_clock = clock_microseconds();
    stalls.clear();
    u.state.notice = record_stall;
    fake.on_wait = [&run](int) { return script_wait(run); };

    int result = run_event_loop(u.state);
    check_pass(run, result == UPDATE_DONE);
    if (result == UPDATE_DONE) {
        FUZZ_CHECK(std::uint64_t{u.state.transfer.current_block} * TFTP_BLOCK_SIZE >
                   u.state.image_size);
    } else if (result == UPDATE_NO_ANSWER) {
        FUZZ_CHECK(run.beacons == MAX_UNANSWERED_BEACONS && !run.device_heard);
    } else if (result == UPDATE_NO_READ_REQUEST || result == UPDATE_NO_ACKNOWLEDGEMENT) {
        FUZZ_CHECK(run.heard_from != 0 && !run.ack_accepted);
        FUZZ_CHECK(run.read_served == (result == UPDATE_NO_ACKNOWLEDGEMENT));
        FUZZ_CHECK(u.state.now_us >= run.heard_from + READ_REQUEST_WAIT_US);
    } else {
        FUZZ_CHECK(result == UPDATE_WAIT_FAILED && !in.more());
    }
    end_upload(u);
    return 0;
}
