// The TFTP read server, called directly on an UploadState.
#include "engine_fixture.h"

#include <algorithm>
#include <tuple>

namespace {

const std::uint32_t OTHER_HOST = fake_address(203, 0, 113, 7);
const std::uint32_t NEIGHBOUR = fake_address(198, 51, 100, 66);

// A datagram as sent: from which socket, to which address and port, every byte.
using Sent = std::tuple<net_socket, std::uint32_t, std::uint16_t, Bytes>;
// A datagram arriving: its bytes, and the address and port it comes from.
using Arrival = std::tuple<Bytes, std::uint32_t, std::uint16_t>;

class Tftp : public EngineTest {
  protected:
    // The device's read request for an image of `size` bytes.
    void serve(std::size_t size) {
        open_state(size);
        ASSERT_EQ(request(rrq()), HEARD_DEVICE);
    }
    std::vector<Sent> sent() {
        std::vector<Sent> out;
        for (const FakeSend& s : fake.sends)
            out.emplace_back(s.sock, s.to_addr, s.to_port, s.bytes);
        return out;
    }
    Sent last_sent() { return fake.sends.empty() ? Sent{} : sent().back(); }
    Sent data_to_device(std::uint64_t block) {
        return {state.transfer.data_sock, TARGET, CLIENT_TFTP_PORT, expected_data(image, block)};
    }
    std::uint32_t serial_of(net_socket s) { return fake.sockets[std::size_t(s)].serial; }
    std::string row_name(const Arrival& a) {
        const Bytes& d = std::get<0>(a);
        return testing::PrintToString(std::string(d.begin(), d.end())) + " from host ." +
               std::to_string(net_to_host32(std::get<1>(a)) & 0xFF) + " port " +
               std::to_string(std::get<2>(a));
    }

    // A read request from the device's `port` (re)starts the transfer: a fresh data endpoint in
    // place of the one of `old_serial`, connected to it, and DATA 1 sent from it alone.
    void expect_restart(const Bytes& request_bytes, std::uint16_t port, std::uint32_t old_serial) {
        fake.sends.clear();
        ASSERT_EQ(request(request_bytes, TARGET, port), HEARD_DEVICE);
        const net_socket now = fake_data_socket();
        ASSERT_NE(now, NET_INVALID_SOCKET);
        EXPECT_EQ(state.transfer.data_sock, now);
        const FakeSocket& fs = fake.sockets[std::size_t(now)];
        EXPECT_NE(fs.serial, old_serial) << "the old data endpoint was kept";
        EXPECT_EQ(fake_open_sockets(), 4) << "the old data endpoint was not closed";
        EXPECT_TRUE(fake_is_data_port(fs.port)) << fs.port;
        // Connected to the request's source, so that the system drops every other sender.
        EXPECT_EQ(std::tuple(fs.addr, fs.broadcast, fs.connected, fs.peer_addr, fs.peer_port),
                  std::tuple(LOCAL, false, true, TARGET, port));
        EXPECT_EQ(state.transfer.current_block, 1u);
        EXPECT_EQ(state.retransmit_ticks, 0u);
        EXPECT_EQ(sent(), (std::vector<Sent>{{now, TARGET, port, expected_data(image, 1)}}));
    }
};

// Once the transfer before stood still, every read request of the device's starts a transfer
// again: any file name, with or without options, gets the loaded image in 512-byte blocks.
TEST_F(Tftp, ReadRequestOpensADataEndpointInRangeAndSendsBlockOne) {
    open_state(1000);
    // Each request's port, and whether its block 1 is acknowledged before the next: another port
    // before block 1 is acknowledged, the same port after it was, then new ports.
    std::vector<std::pair<std::uint16_t, bool>> steps = {
        {CLIENT_TFTP_PORT, false}, {CLIENT_TFTP_PORT + 1, true}, {CLIENT_TFTP_PORT + 1, false}};
    for (std::uint16_t port = 2000; port < 2020; ++port)
        steps.emplace_back(port, false);
    std::uint32_t before = 0; // the serial of the data endpoint before
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto [port, acknowledged] = steps[i];
        Bytes req = i % 2 ? rrq("whatever.img", "netascii") : rrq("x", "octet");
        if (i % 3 == 0)
            req = tftp_texts(TFTP_OP_RRQ, {"f.bin", "octet", "blksize", "1468", "tsize", "0"});
        SCOPED_TRACE(row_name({req, TARGET, port}));
        state.retransmit_ticks = 7;
        state.now_us += TRANSFER_TAKEOVER_QUIET_US;
        ASSERT_NO_FATAL_FAILURE(expect_restart(req, port, before));
        before = serial_of(state.transfer.data_sock);
        if (acknowledged) {
            ASSERT_EQ(acknowledge(ack(1), TARGET, port), ACK_ACCEPTED);
        }
    }
}

// Only a client's write request, or a read request from another address, is refused: an answer
// to anything else, or to a service's port, could be answered in turn for ever (an ERROR from a
// server refusing an ERROR, an echo). None starts or moves a transfer, before it or during it.
TEST_F(Tftp, StrayRequestsAreRefusedOrIgnoredAndLeaveTheTransferAlone) {
    open_state(5000);
    const Bytes refusal = tftp_texts(TFTP_OP_ERROR, {"Only the device being updated is served"}, 2);
    // Each datagram from other hosts, and its answer to a client's port (empty: none).
    std::vector<std::pair<Bytes, Bytes>> strays = {
        {tftp_texts(TFTP_OP_WRQ, {"f", "octet"}), ONLY_RRQ_ERROR}, {rrq(), refusal}};
    for (const Bytes& d : {Bytes{0, 3, 0, 1, 9, 9}, {0, 4, 0, 1}, {0, 5, 0, 0, 0}, ONLY_RRQ_ERROR})
        strays.emplace_back(d, Bytes{});
    for (const Bytes& d : {Bytes{1, 1, 'f', 0}, {0, 0}, {0x80, 0x01}, {0}, {}})
        strays.emplace_back(d, Bytes{});
    auto send_strays = [&](const char* when) {
        const auto before = std::tuple(state.transfer.data_sock, state.transfers_started,
                                       state.transfer.current_block, fake_open_sockets());
        for (const auto& [datagram, answer] : strays) {
            for (std::uint32_t from : {NEIGHBOUR, OTHER_HOST}) {
                for (std::uint16_t port : {1024, 1234, 2000, int{CLIENT_TFTP_PORT}, 69, 7, 1023}) {
                    SCOPED_TRACE(when + (": " + row_name({datagram, from, port})));
                    fake.sends.clear();
                    EXPECT_EQ(request(datagram, from, port), HEARD_STRAY);
                    std::vector<Sent> want;
                    if (port >= 1024 && !answer.empty())
                        want.emplace_back(state.endpoints[TFTP_ENDPOINT], from, port, answer);
                    EXPECT_EQ(sent(), want);
                    EXPECT_EQ(std::tuple(state.transfer.data_sock, state.transfers_started,
                                         state.transfer.current_block, fake_open_sockets()),
                              before)
                        << "the transfer moved, or a data endpoint was opened for another host";
                }
            }
        }
    };
    send_strays("before the device asks");
    EXPECT_EQ(state.transfer.data_sock, NET_INVALID_SOCKET);
    EXPECT_FALSE(state.read_request_served);
    ASSERT_EQ(request(rrq()), HEARD_DEVICE);
    EXPECT_TRUE(state.read_request_served);
    ASSERT_EQ(acknowledge(ack(1)), ACK_ACCEPTED);
    send_strays("during the transfer");
    ASSERT_EQ(stall_notices.size(), 1u) << "the refusal is told once per upload";
    EXPECT_EQ(stall_notices[0].first.kind, NOTICE_STRANGER_REFUSED);
    EXPECT_EQ(stall_notices[0].first.refused_addr, NEIGHBOUR);
    EXPECT_EQ(state.transfer.peer_addr, TARGET);
    EXPECT_EQ(state.transfer.peer_port, host_to_net16(CLIENT_TFTP_PORT));
    EXPECT_EQ(acknowledge(ack(2)), ACK_ACCEPTED);
    EXPECT_EQ(last_sent(), data_to_device(3));
}

struct TransferCase {
    std::size_t size;
    std::vector<std::size_t> data_payloads;
    std::vector<std::uint32_t> progress;
    notice_callback notice = record_notice;
};

TEST_F(Tftp, WholeTransfersSendEveryBlockAndReportProgressIfAsked) {
    std::vector<TransferCase> cases = {{0, {0}, {100}},
                                       {1000, {512, 488}, {51, 100}},
                                       {512, {512, 0}, {100, 100}},
                                       {102400, std::vector<std::size_t>(200, 512), {}},
                                       // The same with no callback at all.
                                       {1000, {512, 488}, {}, nullptr}};
    for (std::uint32_t block = 1; block <= 200; ++block)
        cases[3].progress.push_back(block / 2);
    cases[3].data_payloads.push_back(0);
    cases[3].progress.push_back(100);

    for (const TransferCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " bytes, progress "
                                        << (c.notice == record_notice ? "told" : "not asked for"));
        EngineTest::TearDown(); // the row before's invariants, then a fresh network and state
        EngineTest::SetUp();
        state = UploadState{};
        open_state(c.size, UPDATE_MODE_FIRMWARE, c.notice);
        ASSERT_EQ(request(rrq()), HEARD_DEVICE);
        // Every DATA, each acknowledged until the transfer completes.
        std::vector<Bytes> data{fake.sends.back().bytes};
        AckResult r = ACK_IGNORED;
        while (data.size() <= 1000 &&
               (r = acknowledge(ack(std::uint16_t(state.transfer.current_block)))) == ACK_ACCEPTED)
            data.push_back(fake.sends.back().bytes);
        EXPECT_EQ(r, ACK_FINAL) << "the transfer did not complete";
        ASSERT_EQ(data.size(), c.data_payloads.size());
        for (std::size_t i = 0; i < data.size(); ++i) {
            EXPECT_EQ(data[i].size(), c.data_payloads[i] + 4);
            EXPECT_EQ(data[i], expected_data(image, i + 1)) << "block " << i + 1;
        }
        EXPECT_EQ(progress_calls, c.progress);
        EXPECT_EQ(fake.sends.size(), data.size()) << "something was sent after the last ACK";
    }
}

// Only the transfer's own identifier, the read request's address and port, acknowledges: not
// another host, not even from the device's port, nor the device's address from another port
// (a forged source, or a stale client of its own).
TEST_F(Tftp, OnlyAnAckOfTheCurrentBlockFromTheTransfersOwnPeerIsAccepted) {
    serve(3000);
    fake.sends.clear();
    std::vector<Arrival> ignored = {{ack(1), OTHER_HOST, CLIENT_TFTP_PORT},
                                    {ack(1), TARGET, 4444},
                                    {ack(1), TARGET, CLIENT_TFTP_PORT + 1}};
    for (const Bytes& d : {ack(0), ack(2), ack(0x0101), ack(0xFFFF), tftp_packet(TFTP_OP_DATA, 1),
                           tftp_packet(TFTP_OP_ERROR, 1), tftp_packet(0x0104, 1)})
        ignored.emplace_back(d, TARGET, CLIENT_TFTP_PORT);
    for (const Arrival& a : ignored) {
        SCOPED_TRACE(row_name(a));
        EXPECT_EQ(acknowledge(std::get<0>(a), std::get<1>(a), std::get<2>(a)), ACK_IGNORED);
        EXPECT_TRUE(fake.sends.empty());
        EXPECT_TRUE(progress_calls.empty());
        EXPECT_EQ(state.transfer.current_block, 1u);
    }
    // An ACK shorter than 4 bytes is ignored, whatever the buffer holds past it.
    put(ack(1));
    for (int length : {3, 0})
        EXPECT_EQ(handle_ack(state, length, TARGET, host_to_net16(CLIENT_TFTP_PORT)), ACK_IGNORED)
            << length;
    EXPECT_TRUE(fake.sends.empty());
    EXPECT_TRUE(progress_calls.empty());
    EXPECT_EQ(state.transfer.current_block, 1u);

    EXPECT_EQ(acknowledge(Bytes{0, 4, 0, 1, 0, 0}), ACK_ACCEPTED) << "trailing bytes are allowed";
    EXPECT_EQ(sent(), (std::vector<Sent>{data_to_device(2)}));
    EXPECT_EQ(progress_calls, std::vector<std::uint32_t>{17});
    EXPECT_EQ(state.transfer.peer_port, host_to_net16(CLIENT_TFTP_PORT)) << "the peer changed";
}

TEST_F(Tftp, TheDevicesErrorIsToldOncePerDataEndpointAndEndsNothing) {
    serve(3000);
    fake.sends.clear();
    const Bytes error = tftp_texts(TFTP_OP_ERROR, {"Disk\x1b[2J full" + std::string(150, 'x')}, 3);
    EXPECT_EQ(acknowledge(error, OTHER_HOST, CLIENT_TFTP_PORT), ACK_IGNORED);
    EXPECT_TRUE(stall_notices.empty()) << "another host's ERROR was told";
    EXPECT_EQ(acknowledge(error), ACK_IGNORED);
    EXPECT_EQ(acknowledge(error), ACK_IGNORED);
    ASSERT_EQ(stall_notices.size(), 1u);
    const UpdateNotice& told = stall_notices[0].first;
    EXPECT_EQ(std::tuple(told.kind, told.block, told.device_error.code),
              std::tuple(NOTICE_DEVICE_ERROR, 1u, 3u));
    EXPECT_EQ(std::string(told.device_error.text),
              ("Disk?[2J full" + std::string(150, 'x')).substr(0, DEVICE_ERROR_TEXT_MAX));
    EXPECT_TRUE(fake.sends.empty());
    EXPECT_EQ(transfer_notice(state, NOTICE_BLOCK_UNACKNOWLEDGED).device_error.code, 3u);

    EXPECT_EQ(acknowledge(ack(1)), ACK_ACCEPTED) << "the device may take the block after all";
    state.now_us += TRANSFER_TAKEOVER_QUIET_US;
    request(rrq(), TARGET, CLIENT_TFTP_PORT + 1); // a new data endpoint: told again
    EXPECT_FALSE(transfer_notice(state, NOTICE_BLOCK_UNACKNOWLEDGED).device_error.present);
    acknowledge(error, TARGET, CLIENT_TFTP_PORT + 1);
    EXPECT_EQ(stall_notices.size(), 2u);
}

TEST_F(Tftp, BlockNumbersWrapPast65535AndAcksMatchTheLow16Bits) {
    const std::size_t size = 65536u * 512 + 100; // the last block is 65537
    serve(size);
    for (std::uint64_t block = 1; block <= 65537; ++block) {
        ASSERT_EQ(state.transfer.current_block, block);
        // The block number its low 16 bits, the payload of 512 bytes but the last's 100.
        ASSERT_EQ(fake.sends.back().bytes, expected_data(image, block)) << "block " << block;
        if (block == 65536 || block == 65537) { // the wrapped number must not match the old one
            ASSERT_EQ(acknowledge(ack(static_cast<std::uint16_t>(block - 1))), ACK_IGNORED);
        }
        fake.sends.clear();
        AckResult r = acknowledge(ack(static_cast<std::uint16_t>(block)));
        ASSERT_EQ(r, block == 65537 ? ACK_FINAL : ACK_ACCEPTED) << "block " << block;
    }
    EXPECT_EQ(progress_calls.size(), 65537u);
    EXPECT_EQ(progress_calls[65534], 65535ull * 512 * 100 / size);
    EXPECT_EQ(progress_calls[65535], 99u);
    EXPECT_EQ(progress_calls.back(), 100u);
    EXPECT_TRUE(std::is_sorted(progress_calls.begin(), progress_calls.end()));
}

// The device's own read request during its transfer. Before ACK 1 (duplicated on the way, or
// retried as DATA 1 crossed it) it gets DATA 1 again from the same port. From another port or
// past block 1 it is not the device's while the transfer moves: any host can forge its address.
// Once the transfer stood still that long the loader is taken to have restarted: a fresh
// endpoint, or an ERROR when no data port can be had.
TEST_F(Tftp, DevicesReadRequestDuringItsTransferResendsIsIgnoredOrRestartsIt) {
    serve(5000);
    const net_socket first = state.transfer.data_sock;
    const std::uint32_t serial = serial_of(first);
    const int created = fake.sockets_created;
    state.retransmit_ticks = 1;
    fake.sends.clear();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(request(rrq()), HEARD_DEVICE);
    EXPECT_EQ(state.transfer.data_sock, first);
    EXPECT_EQ(serial_of(first), serial) << "port changed";
    EXPECT_EQ(fake.sockets_created, created);
    EXPECT_EQ(state.retransmit_ticks, 0u);
    EXPECT_EQ(sent(),
              std::vector<Sent>(3, {first, TARGET, CLIENT_TFTP_PORT, expected_data(image, 1)}));
    EXPECT_EQ(acknowledge(ack(1)), ACK_ACCEPTED);
    EXPECT_EQ(last_sent(), data_to_device(2));
    ASSERT_EQ(acknowledge(ack(2)), ACK_ACCEPTED);

    for (std::uint16_t port : {std::uint16_t{3001}, CLIENT_TFTP_PORT}) {
        const std::uint32_t block = state.transfer.current_block;
        fake.sends.clear();
        state.now_us += TRANSFER_TAKEOVER_QUIET_US - 2 * ARRIVAL_STEP_US;
        EXPECT_EQ(request(rrq(), TARGET, port), HEARD_STRAY) << port;
        EXPECT_EQ(state.transfer.data_sock, first);
        EXPECT_EQ(state.transfer.current_block, block);
        EXPECT_TRUE(fake.sends.empty()) << "a forged request was answered";
        EXPECT_EQ(acknowledge(ack(static_cast<std::uint16_t>(block))), ACK_ACCEPTED);
    }
    acknowledge(ack(2)); // a duplicate moves nothing
    state.now_us += TRANSFER_TAKEOVER_QUIET_US - 2 * ARRIVAL_STEP_US;
    ASSERT_NO_FATAL_FAILURE(expect_restart(rrq(), 3001, serial));
    EXPECT_EQ(acknowledge(ack(5)), ACK_IGNORED);
    EXPECT_EQ(acknowledge(ack(1)), ACK_IGNORED) << "the old transfer's port acknowledged";
    EXPECT_EQ(acknowledge(ack(1), TARGET, 3001), ACK_ACCEPTED);
    EXPECT_EQ(last_sent(), (Sent{state.transfer.data_sock, TARGET, 3001, expected_data(image, 2)}));

    // No data port after 64 draws: an ERROR, and no transfer.
    fake.fail_data_ports = true;
    fake.bind_attempts.clear();
    fake.sends.clear();
    state.now_us += TRANSFER_TAKEOVER_QUIET_US;
    EXPECT_EQ(request(rrq(), TARGET, 3002), HEARD_STRAY);
    EXPECT_EQ(fake.bind_attempts.size(), 64u);
    EXPECT_TRUE(
        std::all_of(fake.bind_attempts.begin(), fake.bind_attempts.end(), fake_is_data_port));
    const Bytes no_port = tftp_texts(TFTP_OP_ERROR, {"No data port available"}, 0);
    EXPECT_EQ(sent(), (std::vector<Sent>{{state.endpoints[TFTP_ENDPOINT], TARGET, 3002, no_port}}));
    EXPECT_EQ(state.transfer.data_sock, NET_INVALID_SOCKET);
    EXPECT_EQ(fake_open_sockets(), 3) << "a data endpoint was left open";

    // Once ports can be had again, the next read request starts a transfer.
    fake.fail_data_ports = false;
    EXPECT_NO_FATAL_FAILURE(expect_restart(rrq(), CLIENT_TFTP_PORT, 0));
}

} // namespace
