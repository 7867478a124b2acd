// The upload's one loop: half-second ticks, the wake beacon, and dispatch to the handlers.
//
// An upload's life. It starts WAKING: every tick that ends without the device being heard sends
// the wake beacon, and after MAX_UNANSWERED_BEACONS of them the upload gives up. The device's
// tagged BOOTP request, answered, makes it HEARD: no more beacons, and from then on it ends only
// with a completed transfer (or a failed wait). A read request makes it TRANSFERRING: one block
// in flight, resent on the second tick that ends without an accepted acknowledgement.
//
// The tick is half a second long and only the device's own traffic starts a new one: a BOOTP
// request answered before a transfer runs, and during a transfer only the transfer's own
// datagrams (a read request served, an accepted acknowledgement). Anything else is handled but
// leaves the tick to end when it would have, so stray traffic can neither silence the beacon
// nor hold back a resend.
//
// Once the device has been heard (its BOOTP request answered, or a read request in its name
// served), a block must be acknowledged within READ_REQUEST_WAIT_SECONDS, or the upload ends:
// the beacon has stopped for good, so a forged request or a firewall that drops port 69 or the
// data ports would otherwise leave it waiting for ever. Once an acknowledgement has been
// accepted, nothing but a completed transfer ends it, however long the device stands still.
//
// Two stall watches tell the operator when the update stands still (STALL_NOTICE_SECONDS),
// once per stall: while HEARD, the time since the first answered BOOTP request without a read
// request; while TRANSFERRING, the time since the last accepted acknowledgement (or the first
// transfer's start), across restarted transfers.
#include "upload_state.h"

#include <cstring>

namespace {

constexpr std::uint64_t TICK_US = std::uint64_t{TICK_MS} * 1000u;
constexpr std::uint64_t STALL_NOTICE_US = std::uint64_t{STALL_NOTICE_SECONDS} * 1000000u;
constexpr std::uint64_t READ_REQUEST_WAIT_US = std::uint64_t{READ_REQUEST_WAIT_SECONDS} * 1000000u;

// The endpoints the loop waits on, from BOOTP_ENDPOINT on: the wake endpoint is never read.
constexpr int FIRST_WAITED = BOOTP_ENDPOINT;

// Takes one datagram into the packet buffer and zeros what follows it; -1 when none was taken.
int receive_datagram(UploadState& state, net_socket s, std::uint32_t* from_addr,
                     std::uint16_t* from_port) {
    int length =
        net_receive(s, state.packet, static_cast<int>(PACKET_BUFFER_SIZE), from_addr, from_port);
    if (length < 0)
        return -1;
    std::memset(state.packet + length, 0, PACKET_BUFFER_SIZE - static_cast<std::size_t>(length));
    return length;
}

std::uint32_t milliseconds_until(std::uint64_t when_us, std::uint64_t now_us) {
    if (when_us <= now_us)
        return 0;
    return static_cast<std::uint32_t>((when_us - now_us + 999u) / 1000u);
}

// A tick that ran its full half second without the device being heard. Returns false when the
// device has stayed silent through every beacon. A tick whose beacon cannot leave (the wake
// endpoint waits for the local address) is no beacon; an address gone for as long as the
// beacons would have lasted ends the wait all the same.
bool on_quiet_tick(UploadState& state) {
    watch_local_address(state);
    if (state.phase == PHASE_WAKING) {
        if (state.beacon_count >= MAX_UNANSWERED_BEACONS ||
            state.addressless_ticks >= MAX_UNANSWERED_BEACONS)
            return false;
        if (state.endpoints[WAKE_ENDPOINT] == NET_INVALID_SOCKET) {
            ++state.addressless_ticks;
        } else {
            state.addressless_ticks = 0;
            net_send(state.endpoints[WAKE_ENDPOINT], state.beacon, static_cast<int>(BEACON_SIZE),
                     state.target_addr, host_to_net16(WAKE_PORT));
            ++state.beacon_count;
        }
    }
    ++state.retransmit_ticks;
    if (state.phase == PHASE_TRANSFERRING && state.retransmit_ticks > 1)
        send_current_block(state);
    return true;
}

// What the datagrams of one pass turned out to be.
struct Arrivals {
    bool bootp_answered; // the device's tagged BOOTP request, answered
    bool transfer;       // the transfer's own traffic: a read request served, an accepted ACK
    bool complete;       // the last block was acknowledged
};

// Receives from each ready endpoint once, in a fixed order, and hands each datagram to its
// handler.
Arrivals take_ready_datagrams(UploadState& state, const bool* ready, bool data_waited,
                              std::uint32_t data_serial) {
    Arrivals heard{false, false, false};
    std::uint32_t from_addr = 0;
    std::uint16_t from_port = 0;
    if (ready[BOOTP_ENDPOINT]) {
        int length =
            receive_datagram(state, state.endpoints[BOOTP_ENDPOINT], &from_addr, &from_port);
        if (length >= 0)
            heard.bootp_answered =
                handle_bootp_request(state, length, from_addr, from_port) == HEARD_DEVICE;
    }
    if (ready[TFTP_ENDPOINT]) {
        int length =
            receive_datagram(state, state.endpoints[TFTP_ENDPOINT], &from_addr, &from_port);
        if (length >= 0)
            heard.transfer =
                handle_tftp_request(state, length, from_addr, from_port) == HEARD_DEVICE;
    }
    // A data endpoint opened in this pass may reuse the number of the one that was waited on;
    // only the endpoint that took part in the wait is read.
    if (data_waited && ready[DATA_ENDPOINT] && state.transfers_started == data_serial) {
        int length = receive_datagram(state, state.transfer.data_sock, &from_addr, &from_port);
        if (length >= 0) {
            AckResult ack = handle_data_datagram(state, length, from_addr, from_port);
            heard.complete = ack == ACK_FINAL;
            heard.transfer |= ack == ACK_ACCEPTED;
        }
    }
    return heard;
}

// While a transfer runs only its own traffic starts a new tick: the device's BOOTP requests,
// sent on a schedule of their own, must not hold back the retransmission of a lost block.
bool restarts_tick(const Arrivals& heard, bool transfer_running) {
    return heard.transfer || (heard.bootp_answered && !transfer_running);
}

// True once, when the watched condition has lasted long enough to be reported.
bool stall_due(StallWatch& watch, std::uint64_t now) {
    if (!watch.running || watch.reported || now - watch.since_us < STALL_NOTICE_US)
        return false;
    watch.reported = true;
    return true;
}

// The device took a BOOTP reply but has not started a transfer: timed from the first reply, as
// a device that keeps asking and never fetches is stuck all the same. Returns false when the
// front end ends the update at the stall.
bool check_read_request_overdue(UploadState& state, const Arrivals& heard, std::uint64_t now) {
    StallWatch& watch = state.read_request_watch;
    if (state.phase == PHASE_TRANSFERRING) {
        watch.running = false;
        return true;
    }
    if (heard.bootp_answered && !watch.running)
        watch = StallWatch{true, false, now};
    if (!stall_due(watch, now))
        return true;
    UpdateNotice notice{};
    notice.kind = NOTICE_NO_READ_REQUEST;
    notice.local_addr = state.local_addr;
    notice.units = state.units;
    return tell_front_end(state, notice);
}

// The result that ends an upload whose device was heard but acknowledged nothing in time, or
// UPDATE_GOES_ON while it has time left.
int acknowledgement_overdue(UploadState& state, const Arrivals& heard, std::uint64_t now) {
    if ((heard.bootp_answered || heard.transfer) && !state.device_heard) {
        state.device_heard = true;
        state.device_heard_us = now;
    }
    if (!state.device_heard || state.ack_accepted ||
        now - state.device_heard_us < READ_REQUEST_WAIT_US)
        return UPDATE_GOES_ON;
    return state.read_request_served ? UPDATE_NO_ACKNOWLEDGEMENT : UPDATE_NO_READ_REQUEST;
}

// No acknowledgement since the last one (or since the first transfer began), resends and
// restarted transfers notwithstanding.
bool check_block_overdue(UploadState& state, std::uint64_t now) {
    if (state.phase != PHASE_TRANSFERRING || !stall_due(state.block_watch, now))
        return true;
    return tell_front_end(state, transfer_notice(state, NOTICE_BLOCK_UNACKNOWLEDGED));
}

// A signal's end to the wait goes to the front end, which may end the update there: the one
// it takes (a hang-up) only records itself.
UpdateNotice interrupted_notice(const UploadState& state) {
    UpdateNotice notice{};
    notice.kind = NOTICE_WAIT_INTERRUPTED;
    notice.standing_still = (state.phase == PHASE_TRANSFERRING && state.block_watch.reported) ||
                            (state.read_request_watch.running && state.read_request_watch.reported);
    return notice;
}

// What wait_for_datagrams returns besides a count of ready endpoints (0: a quiet tick).
constexpr int WAIT_AGAIN = -1;        // a signal cut the wait short: wait again
constexpr int WAIT_ENDED_UPDATE = -2; // the update ends with state.wait_result

// Waits on the endpoints until the tick ends, and takes the clock when the wait is over. A
// failed wait after which endpoints were given up (and reopened, or waiting for their address)
// lets the rest of the tick pass quietly.
int wait_for_datagrams(UploadState& state, std::uint64_t tick_end, bool data_waited, bool* ready) {
    net_socket socks[ENDPOINT_COUNT];
    for (int e = 0; e < FIXED_ENDPOINT_COUNT; ++e)
        socks[e] = state.endpoints[e];
    socks[DATA_ENDPOINT] = state.transfer.data_sock;
    const std::uint32_t wait_ms = milliseconds_until(tick_end, state.now_us);
    int ready_count = 0;
    if (wait_ms > 0) {
        const int last_waited = data_waited ? DATA_ENDPOINT : TFTP_ENDPOINT;
        ready_count = net_wait_readable(socks + FIRST_WAITED, ready + FIRST_WAITED,
                                        last_waited - FIRST_WAITED + 1, wait_ms);
        if (ready_count == NET_WAIT_INTERRUPTED) {
            const bool goes_on = tell_front_end(state, interrupted_notice(state));
            state.now_us = clock_microseconds();
            state.wait_result = UPDATE_ABANDONED;
            return goes_on ? WAIT_AGAIN : WAIT_ENDED_UPDATE;
        }
        if (ready_count == NET_WAIT_FAILED) {
            state.wait_fault = net_last_fault();
            state.wait_result = UPDATE_WAIT_FAILED;
            if (!recover_lost_endpoints(state))
                return WAIT_ENDED_UPDATE;
            // The rest of the tick passes quietly, however the system fails meanwhile.
            net_wait_readable(nullptr, nullptr, 0, wait_ms);
            ready_count = 0;
        }
    }
    state.now_us = clock_microseconds();
    return ready_count;
}

} // namespace

void build_beacon(unsigned char* beacon, std::uint32_t target_addr) {
    std::memset(beacon + BEACON_SYNC_OFFSET, BEACON_SYNC_BYTE, BEACON_SYNC_LENGTH);
    std::memcpy(beacon + BEACON_MAGIC_OFFSET, BEACON_MAGIC, BEACON_MAGIC_LENGTH);
    put_net32(beacon + BEACON_TARGET_OFFSET, target_addr);
    put_net32(beacon + BEACON_TARGET_AGAIN_OFFSET, target_addr);
}

int run_event_loop(UploadState& state) {
    build_beacon(state.beacon, state.target_addr);
    state.phase = PHASE_WAKING;
    state.beacon_count = 0;
    state.addressless_ticks = 0;
    state.retransmit_ticks = 0;
    state.transfer = Transfer{};
    state.read_request_watch = StallWatch{};
    state.block_watch = StallWatch{};
    state.device_heard = false;

    state.now_us = clock_microseconds();
    std::uint64_t tick_end = state.now_us + TICK_US;
    for (;;) {
        recover_lost_endpoints(state);
        bool ready[ENDPOINT_COUNT] = {};
        const bool data_waited = state.phase == PHASE_TRANSFERRING;
        const std::uint32_t data_serial = state.transfers_started;
        const int ready_count = wait_for_datagrams(state, tick_end, data_waited, ready);
        if (ready_count == WAIT_ENDED_UPDATE)
            return state.wait_result;
        if (ready_count == WAIT_AGAIN)
            continue;
        const std::uint64_t now = state.now_us;
        Arrivals heard{false, false, false};
        if (ready_count == 0) {
            if (!on_quiet_tick(state))
                return UPDATE_NO_ANSWER;
        } else {
            heard = take_ready_datagrams(state, ready, data_waited, data_serial);
            if (heard.complete)
                return UPDATE_DONE;
            if (state.phase == PHASE_WAKING && (heard.bootp_answered || heard.transfer))
                state.phase = PHASE_HEARD;
        }
        if (ready_count == 0 || restarts_tick(heard, data_waited))
            tick_end = now + TICK_US;
        if (const int overdue = acknowledgement_overdue(state, heard, now);
            overdue != UPDATE_GOES_ON)
            return overdue;
        if (!check_read_request_overdue(state, heard, now) || !check_block_overdue(state, now))
            return UPDATE_ABANDONED;
    }
}
