// The event loop on the scripted network: beacon schedule, dispatch order, device traffic
// against stray traffic, retransmission.
#include "engine_fixture.h"

#include <map>

namespace {

using Loop = EngineTest;
const std::uint32_t OTHER_HOST_ADDR = fake_address(198, 51, 100, 66);

std::size_t count_sends_from(std::uint16_t port) {
    return fake_sends_from(port).size();
}

std::vector<Bytes> data_sent() {
    std::vector<Bytes> out;
    for (const FakeSend& s : fake.sends)
        if (fake_is_data_port(s.from_port))
            out.push_back(s.bytes);
    return out;
}

// The `once` rows, then `rows` in their passes and again every `step` passes up to pass `last`;
// each from a new source port when `new_ports` (a client that gave up its port, or a forger).
std::vector<TimedDatagram> every(int step, const std::vector<TimedDatagram>& rows, int last = 1000,
                                 std::vector<TimedDatagram> once = {}, bool new_ports = false) {
    for (TimedDatagram row : rows)
        for (; row.pass <= last; row.pass += step) {
            once.push_back(row);
            row.from_port = static_cast<std::uint16_t>(row.from_port + (new_ports ? 1 : 0));
        }
    return once;
}

TEST_F(Loop, SilentDeviceGets41BeaconsThenNoAnswer) {
    open_state(1000);
    state.target_addr = fake_address(192, 168, 1, 10);
    // Interrupted waits are neither quiet ticks nor failures.
    EXPECT_EQ(run_timeline(state, {every(1, {at(0, WAIT_INTERRUPTED)}, 9), 100000}),
              UPDATE_NO_ANSWER);

    const Bytes beacon = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 'p',  'e',  'x',  'l',
                          'i',  'n',  's',  'o',  'u',  'n',  'd',  'w',  'o',  'r',
                          'k',  's',  0xC0, 0xA8, 0x01, 0x0A, 0xC0, 0xA8, 0x01, 0x0A};
    ASSERT_EQ(fake.sends.size(), 41u);
    for (const FakeSend& s : fake.sends) {
        EXPECT_EQ(s.sock, state.endpoints[WAKE_ENDPOINT]);
        EXPECT_EQ(s.to_addr, state.target_addr);
        EXPECT_EQ(s.to_port, 9);
        EXPECT_EQ(s.bytes, beacon);
    }
    // Ten interrupted waits, 41 beaconing ticks and the quiet tick that gives up.
    EXPECT_EQ(fake.waits.size(), 52u);
    ASSERT_GT(pass_marks.size(), 10u);
    EXPECT_EQ(pass_marks[10].sends, 0u) << "a beacon went while the waits were interrupted";
    for (const FakeWait& w : fake.waits) {
        EXPECT_EQ(w.socks.size(), 2u) << "a data endpoint was waited on with no transfer";
        EXPECT_GT(w.timeout_ms, 0u);
        EXPECT_LE(w.timeout_ms, 500u);
    }
}

TEST_F(Loop, StrayTrafficBetweenTicksDoesNotSilenceTheBeacon) {
    open_state(1000);
    // Every other wait a stray datagram arrives, the others are quiet ticks.
    EXPECT_EQ(
        run_timeline(state, {every(10, {{0, 67, bootp_request(""), TARGET, 68}, // a DHCP client
                                        {2, 69, Bytes{0, 2, 'x', 0, 'o', 0}, TARGET, 2000},
                                        {4, 67, Bytes(800, 1), TARGET, 68}, // oversized: dropped
                                        {6, 67, bootp_request("pexlinQB", 300, 1, 6), TARGET, 68},
                                        {8, 69, rrq(), OTHER_HOST_ADDR, 2001}}), // another host's
                             100000, 250000}),
        UPDATE_NO_ANSWER);
    EXPECT_EQ(count_sends_from(9), 41u);
    EXPECT_GE(pass_marks.size(), 79u) << "fewer than 40 strays came, one every other pass";
    EXPECT_EQ(count_sends_from(67), 0u);
    EXPECT_GE(count_sends_from(69), 16u) << "write and strangers' read requests not refused";
    EXPECT_EQ(state.phase, PHASE_WAKING);
    EXPECT_TRUE(data_sent().empty()) << "a stranger's read request started a transfer";
    EXPECT_FALSE(state.read_request_served);
}

TEST_F(Loop, StrayStormStillLetsTheBeaconOutEveryHalfSecond) {
    open_state(1000);
    // A datagram every 10 ms on the scripted clock, another host's read request or an untagged
    // BOOTP request; a tick cut short by each would never end.
    const std::uint64_t start = clock_microseconds();
    EXPECT_EQ(run_timeline(state, {every(2, {{0, 69, rrq(), OTHER_HOST_ADDR, 2001},
                                             {1, 67, bootp_request("other"), TARGET, 68}}),
                                   1001, 10000, 9, 2}),
              UPDATE_WAIT_FAILED);
    const std::uint64_t elapsed_us = clock_microseconds() - start;
    EXPECT_EQ(count_sends_from(9), 2u);
    EXPECT_GE(elapsed_us, 1000000u);
    EXPECT_LT(elapsed_us, 1200000u);
}

TEST_F(Loop, TaggedRequestStopsTheBeaconForGood) {
    open_state(1000);
    EXPECT_EQ(run_timeline(state, {{{3, 67, bootp_request(), TARGET, 68}}, 80}), UPDATE_WAIT_FAILED)
        << "the loop ended on its own";
    EXPECT_EQ(count_sends_from(9), 3u);
    EXPECT_EQ(count_sends_from(67), 1u);
    EXPECT_EQ(state.phase, PHASE_HEARD);
}

TEST_F(Loop, BootpIsHandledBeforeTftpAndANewDataEndpointWaitsForTheNextPass) {
    open_state(1000);
    EXPECT_EQ(run_timeline(state, {{{0, 67, bootp_request(), TARGET, 68},
                                    {0, 69, rrq(), TARGET, CLIENT_TFTP_PORT}},
                                   2}),
              UPDATE_WAIT_FAILED);
    ASSERT_EQ(fake.sends.size(), 2u);
    EXPECT_EQ(fake.sends[0].from_port, 67);
    EXPECT_EQ(fake.sends[1].bytes, expected_data(image, 1));
    ASSERT_EQ(fake.waits.size(), 3u);
    EXPECT_EQ(fake.waits[0].socks.size(), 2u);
    ASSERT_EQ(fake.waits[1].socks.size(), 3u);
    EXPECT_EQ(fake.waits[1].socks[2], state.transfer.data_sock);
}

TEST_F(Loop, BlockIsResentOnTheSecondQuietTickWhateverStrayTrafficCame) {
    open_state(3000);
    // Passes 1, 3, 4, 5, 8 and 9 are quiet: resends after 3, 5 and (of block 2) 9.
    const Timeline timeline{{{0, 69, rrq(), TARGET, CLIENT_TFTP_PORT},
                             {2, 69, Bytes(600, 0xEE), TARGET, 5000}, // a stray
                             {6, ON_DATA, ack(1), TARGET, CLIENT_TFTP_PORT},
                             {7, ON_DATA, ack(1), TARGET, CLIENT_TFTP_PORT}}, // stale
                            10};
    EXPECT_EQ(run_timeline(state, timeline), UPDATE_WAIT_FAILED);
    const Bytes d1 = expected_data(image, 1), d2 = expected_data(image, 2);
    EXPECT_EQ(data_sent(), (std::vector<Bytes>{d1, d1, d1, d2, d2}));
    EXPECT_EQ(progress_calls, std::vector<std::uint32_t>{17});
    EXPECT_EQ(count_sends_from(9), 0u) << "a read request is device traffic";
}

TEST_F(Loop, TaggedRequestsRestartTheTickOnlyUntilATransferRuns) {
    open_state(3000);
    // The device's BOOTP requests, 0.3 s apart, and its read request in pass 2.
    EXPECT_EQ(run_timeline(state, {every(1, {{0, 67, bootp_request(), TARGET, 68}}, 40,
                                         {{2, 69, rrq(), TARGET, CLIENT_TFTP_PORT}}),
                                   41, 300000, ON_DATA, 2}),
              UPDATE_WAIT_FAILED);
    // The ACK of DATA 1 never comes: the block goes again within two seconds all the same.
    ASSERT_EQ(data_sent(), (std::vector<Bytes>{expected_data(image, 1), expected_data(image, 1)}));
    EXPECT_LE(fake.clock_skip_us - pass_marks[2].skip_us, 2000000u);
    EXPECT_EQ(count_sends_from(67), fake.waits.size() - 1) << "every request is answered";
    // Before the transfer each request starts a new half-second tick; during it none does.
    ASSERT_GE(fake.waits.size(), 5u);
    EXPECT_GE(fake.waits[2].timeout_ms, 499u);
    EXPECT_GE(fake.waits[3].timeout_ms, 499u) << "the read request starts a tick";
    EXPECT_LE(fake.waits[4].timeout_ms, 201u);
}

TEST_F(Loop, StallsAreReportedOnceAfterTenSecondsAndTheUpdateGoesOn) {
    open_state(1000); // two blocks
    // Phases of 12 s: BOOTP requests every 0.3 s and no read request; then silence while block
    // 1 goes unacknowledged; the same for block 2, the last. Each begins with the device's move,
    // in the pass that ends at 0.3, 12.3, 24.3 and 36.3 s.
    const int began[] = {0, 40, 64, 88};
    EXPECT_EQ(run_timeline(state, {every(1, {{0, 67, bootp_request(), TARGET, 68}}, 39,
                                         {{40, 69, rrq(), TARGET, CLIENT_TFTP_PORT},
                                          at(41, PACE, 500000),
                                          {64, ON_DATA, ack(1), TARGET, CLIENT_TFTP_PORT},
                                          {88, ON_DATA, ack(2), TARGET, CLIENT_TFTP_PORT}}),
                                   401, 300000}),
              UPDATE_DONE);
    EXPECT_EQ(progress_calls, (std::vector<std::uint32_t>{51, 100}));
    ASSERT_EQ(pass_marks.size(), 89u);
    ASSERT_EQ(stall_notices.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const std::uint64_t after = stall_notices[i].second - pass_marks[began[i]].skip_us;
        EXPECT_GE(after, 10000000u) << i;
        EXPECT_LE(after, 10600000u) << i;
    }
    const UpdateNotice& bootp = stall_notices[0].first;
    EXPECT_EQ(bootp.kind, NOTICE_NO_READ_REQUEST);
    EXPECT_EQ(bootp.local_addr, LOCAL);
    for (std::uint32_t block : {1u, 2u}) {
        const UpdateNotice& n = stall_notices[block].first;
        EXPECT_EQ(n.kind, NOTICE_BLOCK_UNACKNOWLEDGED);
        EXPECT_EQ(n.block, block);
        EXPECT_EQ(n.last_block, block == 2);
        EXPECT_EQ(n.peer_addr, TARGET);
        EXPECT_EQ(n.peer_port, host_to_net16(CLIENT_TFTP_PORT));
    }
    // Resent about once a second all along: 11 or 12 times in each 12 s.
    EXPECT_GE(data_sent().size(), 2u + 2 * 11);
}

// A signal that cuts the wait short is the front end's to judge (a hang-up may end the update):
// it is told whether a stall has been reported and nothing has moved since.
TEST_F(Loop, AnInterruptedWaitAsksTheFrontEndWhetherAStallStandsStill) {
    open_state(1000);
    state.notice = [](void*, const UpdateNotice& notice) {
        stall_notices.emplace_back(notice, fake.clock_skip_us);
        return notice.kind != NOTICE_WAIT_INTERRUPTED || !notice.standing_still;
    };
    // Once before block 1 has stood still for 10 s, then after each second.
    EXPECT_EQ(run_timeline(state, {every(2, {at(6, WAIT_INTERRUPTED)}, 100,
                                         {{0, 69, rrq(), TARGET, CLIENT_TFTP_PORT},
                                          at(4, WAIT_INTERRUPTED)}),
                                   101, 500000}),
              UPDATE_ABANDONED);
    ASSERT_GE(stall_notices.size(), 3u);
    const auto& told = stall_notices[stall_notices.size() - 2].first;
    const auto& last = stall_notices.back().first;
    EXPECT_EQ(stall_notices[0].first.kind, NOTICE_WAIT_INTERRUPTED);
    EXPECT_FALSE(stall_notices[0].first.standing_still);
    EXPECT_EQ(told.kind, NOTICE_BLOCK_UNACKNOWLEDGED);
    EXPECT_EQ(last.kind, NOTICE_WAIT_INTERRUPTED);
    EXPECT_TRUE(last.standing_still);
    EXPECT_LE(stall_notices.back().second - stall_notices[stall_notices.size() - 2].second,
              1000000u);
}

TEST_F(Loop, StormOfDuplicateAcksDoesNotStarveRetransmission) {
    open_state(3000);
    // After DATA 1 the client repeats its last ACK every 10 ms on the scripted clock.
    const std::uint64_t first_sent = clock_microseconds();
    EXPECT_EQ(
        run_timeline(state, {every(1, {{1, ON_DATA, ack(0), TARGET, CLIENT_TFTP_PORT}}, 1000,
                                   {{0, 69, rrq(), TARGET, CLIENT_TFTP_PORT}, at(1, PACE, 10000)}),
                             1001, 0, ON_DATA, 2}),
        UPDATE_WAIT_FAILED);
    const std::uint64_t elapsed_us = clock_microseconds() - first_sent;
    ASSERT_EQ(data_sent().size(), 2u);
    EXPECT_EQ(data_sent()[1], expected_data(image, 1));
    // Two ticks of half a second that the duplicates do not restart.
    EXPECT_GE(elapsed_us, 1000000u);
    EXPECT_LT(elapsed_us, 1200000u);
}

struct DeadlineCase {
    const char* what;
    std::vector<TimedDatagram> rows; // the timeline's, each pass a quarter second
    bool data_ports_fail;            // no read request gets a data endpoint
    int result;
    double ends_after_s; // after the first arrival, within half a second (0: not checked)
    std::vector<NoticeKind> notices = {}; // told, in order (unchecked when empty)
};

TEST_F(Loop, OnceTheDeviceIsHeardABlockMustBeAcknowledgedWithin60Seconds) {
    constexpr std::uint16_t PORT = CLIENT_TFTP_PORT;
    const TimedDatagram tagged{0, 67, bootp_request(), TARGET, 68};
    const TimedDatagram asks{236, 69, rrq(), TARGET, PORT}; // at 59 s
    const DeadlineCase cases[] = {
        {"BOOTP replies every 2 s and a stranger's read request, never a read request",
         every(8, {tagged}, 1000, {{100, 69, rrq(), OTHER_HOST_ADDR, 2000}}),
         false,
         UPDATE_NO_READ_REQUEST,
         60,
         {NOTICE_NO_READ_REQUEST, NOTICE_STRANGER_REFUSED}},
        {"a read request at 59 s whose data port cannot be opened",
         {tagged, asks},
         true,
         UPDATE_NO_READ_REQUEST,
         60},
        {"a read request at 59 s, never acknowledged",
         {tagged, asks},
         false,
         UPDATE_NO_ACKNOWLEDGEMENT,
         60},
        {"no device: a forged read request, then another from a new port every 3.5 s",
         every(14, {{0, 69, rrq(), TARGET, PORT}}, 1000, {}, true), false,
         UPDATE_NO_ACKNOWLEDGEMENT, 60},
        // Once a block is acknowledged there is no time-out: the device stands still for two
        // minutes and finishes.
        {"a read request at 59 s acknowledged at once, the last block two minutes later",
         {tagged, asks, {237, ON_DATA, ack(1), TARGET, PORT}, {800, ON_DATA, ack(2), TARGET, PORT}},
         false,
         UPDATE_DONE,
         0},
    };
    for (const DeadlineCase& c : cases) {
        SCOPED_TRACE(c.what);
        fake_reset();
        stall_notices.clear();
        state = UploadState{};
        open_state(1000);
        fake.fail_data_ports = c.data_ports_fail;
        const std::uint64_t start = fake.clock_skip_us;
        EXPECT_EQ(run_timeline(state, {c.rows, 2000, 250000}), c.result);
        if (c.ends_after_s > 0) {
            const double after_s = static_cast<double>(fake.clock_skip_us - start) / 1e6 - 0.25;
            EXPECT_NEAR(after_s, c.ends_after_s, 0.5);
        }
        EXPECT_EQ(count_sends_from(9), 0u) << "the beacon went on once the device was heard";
        std::vector<NoticeKind> kinds;
        for (const auto& [notice, when] : stall_notices)
            kinds.push_back(notice.kind);
        if (!c.notices.empty()) {
            EXPECT_EQ(kinds, c.notices);
            EXPECT_EQ(stall_notices[0].first.units.count, 1u) << "the unit answered, named";
        }
    }
}

TEST_F(Loop, RestartInThePassOfAReadyAckDoesNotReadTheNewEndpoint) {
    open_state(3000);
    // An ACK for the old transfer and a new read request, in one pass, once the old transfer
    // has stood still long enough to be given up.
    EXPECT_EQ(run_timeline(state, {{{0, 69, rrq(), TARGET, CLIENT_TFTP_PORT},
                                    at(1, PACE, TRANSFER_TAKEOVER_QUIET_US),
                                    {1, ON_DATA, ack(1), TARGET, CLIENT_TFTP_PORT},
                                    {1, 69, rrq(), TARGET, CLIENT_TFTP_PORT + 1},
                                    at(2, PACE, 0)},
                                   3}),
              UPDATE_WAIT_FAILED);
    ASSERT_EQ(fake.waits.size(), 4u);
    ASSERT_EQ(fake.waits[1].socks.size(), 3u) << "no data endpoint in the pass of the ACK";
    EXPECT_EQ(state.transfer.data_sock, fake.waits[1].socks[2])
        << "the new endpoint did not reuse the number";
    EXPECT_EQ(data_sent(), (std::vector<Bytes>{expected_data(image, 1), expected_data(image, 1)}));
    EXPECT_EQ(state.transfer.current_block, 1u);
    EXPECT_TRUE(progress_calls.empty());
    // unready_receives, checked for every test, shows the new endpoint was not read.
}

TEST_F(Loop, ShortTaggedRequestAfterALargerDatagramIsAnsweredWithZeros) {
    open_state(1000);
    EXPECT_EQ(run_timeline(state, {{{0, 67, Bytes(700, 0xEE), TARGET, 68},
                                    {1, 67, bootp_request("pexlinQB", 60), TARGET, 68}},
                                   2}),
              UPDATE_WAIT_FAILED);
    std::vector<FakeSend> replies = fake_sends_from(67);
    ASSERT_EQ(replies.size(), 1u);
    const Bytes& b = replies[0].bytes;
    ASSERT_EQ(b.size(), 300u);
    for (std::size_t i = 60; i < 300; ++i) {
        if (i < BOOTP_FILE || i > BOOTP_FILE + 12) {
            ASSERT_EQ(b[i], 0) << "stale byte at " << i;
        }
    }
}

TEST_F(Loop, OversizedDatagramsAreDroppedAndItsBytesNeverUsed) {
    open_state(1000);
    // An 800-byte tagged request: the receive fills the buffer, but the datagram is dropped.
    EXPECT_EQ(run_timeline(state, {{{0, 67, bootp_request("pexlinQB", 800), TARGET, 68},
                                    {0, 69, Bytes(701, 0), TARGET, 2000}},
                                   3}),
              UPDATE_WAIT_FAILED);
    EXPECT_EQ(count_sends_from(67), 0u);
    EXPECT_EQ(count_sends_from(69), 0u);
    EXPECT_EQ(count_sends_from(9), 2u) << "the dropped datagrams cost no beacon";
}

TEST_F(Loop, ReadRequestWithoutADataPortLeavesTheLoopBeaconing) {
    open_state(1000);
    fake.fail_data_ports = true;
    fake_queue(69, rrq(), TARGET, CLIENT_TFTP_PORT);
    EXPECT_EQ(run_event_loop(state), UPDATE_NO_ANSWER);
    std::vector<FakeSend> errors = fake_sends_from(69);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(get_be16(&errors[0].bytes[TFTP_ERROR_CODE]), TFTP_ERR_NOT_DEFINED);
    EXPECT_EQ(count_sends_from(9), 41u);
    EXPECT_TRUE(data_sent().empty());
    EXPECT_EQ(fake_open_sockets(), 3);
}

// A read request, the device acknowledging each block, and `events`; what its host sends while
// the address is gone never reaches it, nor its ACKs the host. GONE_AT follows the ACK of DATA 2.
Timeline acking_device(std::vector<TimedDatagram> events) {
    events.push_back({0, 69, rrq(), TARGET, CLIENT_TFTP_PORT});
    return {every(1, {at(0, DEVICE_ACKS)}, 200, events), 201};
}
constexpr int GONE_AT = 3;

struct Bounce {
    FakeLoss how;
    const char* system;
    int tentative_for; // waits the address is listed again before its duplicate check is done
};

class AddressBounce : public EngineTest, public testing::WithParamInterface<Bounce> {};

// The host's address comes back 3 s (six quiet ticks) after it went, in pass 8, first tentative
// where the row says so.
TEST_P(AddressBounce, TheTransferGoesOnFromTheSamePortsOnceTheAddressIsBack) {
    open_state(3000); // six blocks
    const FakeLoss how = GetParam().how;
    const int back = 8 + GetParam().tentative_for;
    ASSERT_EQ(run_timeline(state, acking_device({at(GONE_AT, ADDRESS_GOES, how),
                                                 at(8, ADDRESS_BACK, GetParam().tentative_for > 0),
                                                 at(back, ADDRESS_BACK)})),
              UPDATE_DONE)
        << fake.waits.size() << " waits, " << device_acked << " acknowledged";
    EXPECT_EQ(device_acked, 6);
    ASSERT_GT(pass_marks.size(), static_cast<std::size_t>(back));
    EXPECT_EQ(progress_calls, (std::vector<std::uint32_t>{17, 34, 51, 68, 85, 100}));

    // Block 3 was sent while the address was gone, and went again once it was back.
    std::size_t lost_sends = 0;
    for (std::size_t i = 0; i < fake.sends.size(); ++i) {
        lost_sends += fake_is_data_port(fake.sends[i].from_port) && fake.sends[i].dropped;
        EXPECT_FALSE(i >= pass_marks[back].sends && fake.sends[i].dropped) << i;
    }
    EXPECT_GE(lost_sends + static_cast<std::size_t>(fake.sends_on_invalid), 1u);
    EXPECT_EQ(stall_notices.size(), 0u);
    EXPECT_EQ(pass_marks[back].binds, pass_marks[GONE_AT].binds)
        << "a bind tried while the address was gone or its duplicate check not done";
    if (how != FAKE_LOSS_KEEPS_SOCKETS) {
        EXPECT_GE(fake.address_reads, 6) << "the address list read on the six quiet ticks";
    }

    // Every endpoint is where the device left it.
    EXPECT_EQ(fake_open_sockets(), 4);
    for (std::uint16_t port : {9, 67, 69})
        EXPECT_NE(fake_socket_on(port), NET_INVALID_SOCKET) << port;
    ASSERT_NE(state.transfer.data_sock, NET_INVALID_SOCKET);
    EXPECT_EQ(fake.sockets[state.transfer.data_sock].port, fake.sends[0].from_port)
        << "the data endpoint's port, DATA 1's";
    EXPECT_TRUE(fake.sockets[fake_socket_on(67)].hear_broadcasts);
    for (const FakeSocket& sock : fake.sockets)
        EXPECT_FALSE(sock.open && sock.given_up) << "a given-up socket is still in use";
    if (how == FAKE_LOSS_KEEPS_SOCKETS)
        EXPECT_EQ(fake.sockets_created, 4) << "nothing to reopen where the system keeps them";
    else
        EXPECT_GE(fake.sockets_created, 8) << "all four reopened";
}

INSTANTIATE_TEST_SUITE_P(
    EachSystem, AddressBounce,
    testing::Values(Bounce{FAKE_LOSS_KEEPS_SOCKETS, "Linux", 0},
                    Bounce{FAKE_LOSS_FAILS_WAIT, "WindowsWaitFails", 0},
                    Bounce{FAKE_LOSS_FAILS_RECEIVE, "WindowsReceiveFails", 0},
                    Bounce{FAKE_LOSS_FAILS_SEND, "WindowsSendFails", 0},
                    Bounce{FAKE_LOSS_SILENT, "WindowsOnlyTheAddressListTells", 0},
                    Bounce{FAKE_LOSS_SILENT, "WindowsBackTentativeFirst", 3},
                    Bounce{FAKE_LOSS_FAILS_SEND, "WindowsSendFailsBackTentative", 2}),
    [](const testing::TestParamInfo<Bounce>& info) { return std::string(info.param.system); });

// Another program took port 67 while the address was gone: only that endpoint is tried again,
// and the transfer goes on from the others without their being closed under it.
TEST_F(Loop, AnEndpointThatCannotBeReopenedIsRetriedAloneAndTheTransferGoesOn) {
    open_state(3000);
    constexpr int BACK = GONE_AT + 6;
    ASSERT_EQ(
        run_timeline(state, acking_device({at(GONE_AT, ADDRESS_GOES, FAKE_LOSS_FAILS_SEND),
                                           at(GONE_AT, PORT_TAKEN, 67), at(BACK, ADDRESS_BACK)})),
        UPDATE_DONE)
        << device_acked << " acknowledged";
    EXPECT_EQ(fake_socket_on(67), NET_INVALID_SOCKET);
    ASSERT_GT(pass_marks.size(), static_cast<std::size_t>(BACK));
    const std::size_t binds_before_return = pass_marks[BACK].binds;
    ASSERT_GT(binds_before_return, 0u);
    std::map<std::uint16_t, int> binds_after;
    for (std::size_t i = binds_before_return; i < fake.bind_attempts.size(); ++i)
        ++binds_after[fake.bind_attempts[i]];
    EXPECT_EQ(binds_after[9], 1);
    EXPECT_EQ(binds_after[69], 1);
    EXPECT_EQ(binds_after[fake.sockets[state.transfer.data_sock].port], 1);
    EXPECT_GE(binds_after[67], 4) << "port 67 tried again on every pass";
    EXPECT_EQ(binds_after.size(), 4u);
}

// Three beacons, then the address goes for good: its ticks send nothing and count as no beacon,
// and after as many of them as the beacons would have taken the update ends all the same.
TEST_F(Loop, AnAddressThatNeverComesBackEndsAfterAWakeWindowWithoutIt) {
    open_state(1000);
    EXPECT_EQ(run_timeline(state, {{at(3, ADDRESS_GOES, FAKE_LOSS_FAILS_WAIT)}, 401}),
              UPDATE_NO_ANSWER);
    EXPECT_EQ(count_sends_from(9), 3u);
    EXPECT_EQ(fake.sends_on_invalid, 0);
    EXPECT_EQ(state.beacon_count, 3u);
    EXPECT_EQ(state.addressless_ticks, MAX_UNANSWERED_BEACONS);
    // The failed wait's tick, the rest of it, and the wake window without the address.
    EXPECT_LE(fake.waits.size(), 3u + 2u + MAX_UNANSWERED_BEACONS + 1u);
    EXPECT_EQ(fake.bind_attempts.size(), 3u) << "no bind while the list says the address is gone";
    EXPECT_EQ(fake_open_sockets(), 0);
}

struct WakingGap {
    FakeLoss how;
    const char* system;
    std::size_t beacons_dropped; // sent into the gap, and counted
};

class AddressGoneWhileWaking : public EngineTest, public testing::WithParamInterface<WakingGap> {};

// The address goes after two beacons and is back ten waits later; the device never answers.
TEST_P(AddressGoneWhileWaking, TicksWithoutTheAddressAreNoBeacons) {
    open_state(1000);
    EXPECT_EQ(
        run_timeline(state, {{at(2, ADDRESS_GOES, GetParam().how), at(12, ADDRESS_BACK)}, 401}),
        UPDATE_NO_ANSWER);
    const std::vector<FakeSend> beacons = fake_sends_from(9);
    ASSERT_EQ(beacons.size(), MAX_UNANSWERED_BEACONS);
    std::size_t dropped = 0;
    for (const FakeSend& b : beacons)
        dropped += b.dropped ? 1u : 0u;
    EXPECT_EQ(dropped, GetParam().beacons_dropped);
    EXPECT_EQ(fake.sends_on_invalid, 0);
    EXPECT_NE(fake_socket_on(9), NET_INVALID_SOCKET) << "the wake endpoint reopened";
    EXPECT_EQ(state.addressless_ticks, 0u) << "a beacon sent starts the count without it again";
}

INSTANTIATE_TEST_SUITE_P(EachSystem, AddressGoneWhileWaking,
                         testing::Values(WakingGap{FAKE_LOSS_KEEPS_SOCKETS, "Linux", 10},
                                         WakingGap{FAKE_LOSS_FAILS_SEND, "WindowsSendFails", 0},
                                         WakingGap{FAKE_LOSS_SILENT, "WindowsListOnly", 0}),
                         [](const testing::TestParamInfo<WakingGap>& info) {
                             return std::string(info.param.system);
                         });

TEST_F(Loop, AFailedWaitWithNoEndpointLostStillEndsTheUpdate) {
    open_state(1000);
    fake_address_goes(LOCAL, FAKE_LOSS_KEEPS_SOCKETS); // Linux keeps the sockets; nothing lost
    EXPECT_EQ(run_timeline(state, {{}, 4}), UPDATE_WAIT_FAILED);
    EXPECT_EQ(fake.sockets_created, 3);
    EXPECT_EQ(count_sends_from(9), 4u);
    for (const FakeSend& f : fake.sends)
        EXPECT_TRUE(f.dropped);
}

} // namespace
