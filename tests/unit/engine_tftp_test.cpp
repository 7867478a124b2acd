// The TFTP read server, called directly on an UploadState.
#include "engine_fixture.h"

#include <algorithm>

namespace {

const std::uint32_t OTHER_HOST = fake_address(203, 0, 113, 7);

class Tftp : public EngineTest {
  protected:
    // Acknowledges every DATA packet until the transfer completes; returns the DATA sent.
    std::vector<Bytes> acknowledge_all(std::size_t max_blocks) {
        std::vector<Bytes> data;
        for (std::size_t n = 0; n <= max_blocks; ++n) {
            data.push_back(fake.sends.back().bytes);
            AckResult r =
                acknowledge(ack(static_cast<std::uint16_t>(state.transfer.current_block)));
            if (r == ACK_FINAL)
                return data;
            EXPECT_EQ(r, ACK_ACCEPTED);
        }
        ADD_FAILURE() << "the transfer did not complete";
        return data;
    }
};

TEST_F(Tftp, ReadRequestOpensADataEndpointInRangeAndSendsBlockOne) {
    open_state(1000);
    state.retransmit_ticks = 7;
    for (int i = 0; i < 20; ++i) {
        // Any file name, with or without options, gets the loaded image in 512-byte blocks.
        Bytes req = i % 2 ? rrq("whatever.img", "netascii") : rrq("x", "octet");
        if (i % 3 == 0)
            req = tftp_texts(TFTP_OP_RRQ, {"f.bin", "octet", "blksize", "1468", "tsize", "0"});
        fake.sends.clear();
        state.now_us += TRANSFER_TAKEOVER_QUIET_US; // the transfer before stood still
        ASSERT_EQ(request(req, TARGET, static_cast<std::uint16_t>(2000 + i)), HEARD_DEVICE);
        net_socket d = fake_data_socket();
        ASSERT_NE(d, NET_INVALID_SOCKET);
        EXPECT_EQ(state.transfer.data_sock, d);
        const FakeSocket& fs = fake.sockets[static_cast<std::size_t>(d)];
        EXPECT_TRUE(fake_is_data_port(fs.port)) << fs.port;
        EXPECT_EQ(fs.addr, LOCAL);
        EXPECT_FALSE(fs.broadcast);
        // Connected to the request's source, so that the system drops every other sender.
        EXPECT_TRUE(fs.connected);
        EXPECT_EQ(fs.peer_addr, TARGET);
        EXPECT_EQ(fs.peer_port, 2000 + i);
        EXPECT_EQ(fake_open_sockets(), 4);
        EXPECT_EQ(state.transfer.current_block, 1u);
        EXPECT_EQ(state.retransmit_ticks, 0u);
        ASSERT_EQ(fake.sends.size(), 1u);
        EXPECT_EQ(fake.sends[0].sock, d);
        EXPECT_EQ(fake.sends[0].to_addr, TARGET);
        EXPECT_EQ(fake.sends[0].to_port, 2000 + i);
        EXPECT_EQ(fake.sends[0].bytes, expected_data(image, 1));
    }
}

TEST_F(Tftp, OnlyAClientsWriteRequestIsRefusedAndNothingElseAnswered) {
    open_state(5000);
    request(rrq());
    acknowledge(ack(1));
    const net_socket data = state.transfer.data_sock;
    const Bytes write_request = tftp_texts(TFTP_OP_WRQ, {"f", "octet"});
    ASSERT_EQ(request(write_request, OTHER_HOST, 1024), HEARD_STRAY);
    ASSERT_EQ(fake.sends.size(), 3u);
    EXPECT_EQ(fake.sends[2].sock, state.endpoints[TFTP_ENDPOINT]);
    EXPECT_EQ(fake.sends[2].to_addr, OTHER_HOST);
    EXPECT_EQ(fake.sends[2].to_port, 1024);
    EXPECT_EQ(fake.sends[2].bytes, ONLY_RRQ_ERROR);

    // An answer to any of these could be answered in turn, for ever: an ERROR from a server
    // that refuses an ERROR, an echo, a write request forged from a service's port.
    const Bytes not_requests[] = {
        {0, 3, 0, 1, 9, 9},
        {0, 4, 0, 1},
        {0, 5, 0, 0, 0},
        ONLY_RRQ_ERROR,
        {1, 1, 'f', 0},
        {0, 0},
        {0x80, 0x01},
        {0},
        {},
    };
    fake.sends.clear();
    for (std::uint16_t port : {1234, 69, 7, 1023}) {
        for (const Bytes& d : not_requests)
            EXPECT_EQ(request(d, OTHER_HOST, port), HEARD_STRAY);
        EXPECT_EQ(request(write_request, OTHER_HOST, port), HEARD_STRAY);
    }
    ASSERT_EQ(fake.sends.size(), 1u);
    EXPECT_EQ(fake.sends[0].to_port, 1234) << "only the write request from port 1234 is answered";
    EXPECT_EQ(fake.sends[0].bytes, ONLY_RRQ_ERROR);
    EXPECT_EQ(state.transfer.data_sock, data);
    EXPECT_EQ(state.transfer.current_block, 2u);
    // The transfer goes on where it was.
    EXPECT_EQ(acknowledge(ack(2)), ACK_ACCEPTED);
    EXPECT_EQ(fake.sends.back().bytes, expected_data(image, 3));
}

struct TransferCase {
    std::size_t size;
    std::vector<std::size_t> data_payloads;
    std::vector<std::uint32_t> progress;
};

TEST_F(Tftp, WholeTransfersSendEveryBlockAndReportProgress) {
    std::vector<TransferCase> cases = {
        {0, {0}, {100}},
        {1000, {512, 488}, {51, 100}},
        {512, {512, 0}, {100, 100}},
        {102400, {}, {}},
    };
    for (std::uint32_t block = 1; block <= 200; ++block) {
        cases[3].data_payloads.push_back(512);
        cases[3].progress.push_back(block / 2);
    }
    cases[3].data_payloads.push_back(0);
    cases[3].progress.push_back(100);

    for (const TransferCase& c : cases) {
        SCOPED_TRACE(c.size);
        fake_reset();
        progress_calls.clear();
        state = UploadState{};
        open_state(c.size);
        ASSERT_EQ(request(rrq()), HEARD_DEVICE);
        std::vector<Bytes> data = acknowledge_all(1000);
        ASSERT_EQ(data.size(), c.data_payloads.size());
        for (std::size_t i = 0; i < data.size(); ++i) {
            EXPECT_EQ(data[i].size(), c.data_payloads[i] + 4);
            EXPECT_EQ(data[i], expected_data(image, i + 1)) << "block " << i + 1;
        }
        EXPECT_EQ(progress_calls, c.progress);
        EXPECT_EQ(fake.sends.size(), data.size()) << "something was sent after the last ACK";
    }
}

TEST_F(Tftp, WithoutACallbackTheTransferRunsTheSame) {
    open_state(1000, UPDATE_MODE_FIRMWARE, record_all_but_progress);
    request(rrq());
    std::vector<Bytes> data = acknowledge_all(10);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[1], expected_data(image, 2));
    EXPECT_TRUE(progress_calls.empty());
}

TEST_F(Tftp, OnlyAnAckOfTheCurrentBlockIsAccepted) {
    open_state(3000);
    request(rrq());
    fake.sends.clear();
    const Bytes ignored[] = {ack(0),
                             ack(2),
                             ack(0x0101),
                             ack(0xFFFF),
                             tftp_packet(TFTP_OP_DATA, 1),
                             tftp_packet(TFTP_OP_ERROR, 1),
                             tftp_packet(0x0104, 1)};
    for (const Bytes& d : ignored)
        EXPECT_EQ(acknowledge(d), ACK_IGNORED) << int(d[0]) << ' ' << int(d[1]) << ' ' << int(d[3]);
    // An ACK shorter than 4 bytes is ignored, whatever the buffer holds past it.
    put(ack(1));
    EXPECT_EQ(handle_ack(state, 3, TARGET, host_to_net16(CLIENT_TFTP_PORT)), ACK_IGNORED);
    EXPECT_EQ(handle_ack(state, 0, TARGET, host_to_net16(CLIENT_TFTP_PORT)), ACK_IGNORED);
    EXPECT_TRUE(fake.sends.empty());
    EXPECT_TRUE(progress_calls.empty());
    EXPECT_EQ(state.transfer.current_block, 1u);

    // Only the transfer's own identifier, the read request's address and port, acknowledges:
    // not another host, not even from the device's port, nor the device's address from
    // another port (a forged source, or a stale client of its own).
    for (auto [from, port] :
         {std::pair{OTHER_HOST, CLIENT_TFTP_PORT}, std::pair{TARGET, std::uint16_t{4444}},
          std::pair{TARGET, std::uint16_t{CLIENT_TFTP_PORT + 1}}})
        EXPECT_EQ(acknowledge(ack(1), from, port), ACK_IGNORED) << port;
    EXPECT_TRUE(fake.sends.empty());
    EXPECT_TRUE(progress_calls.empty());
    EXPECT_EQ(acknowledge(Bytes{0, 4, 0, 1, 0, 0}), ACK_ACCEPTED) << "trailing bytes are allowed";
    ASSERT_EQ(fake.sends.size(), 1u);
    EXPECT_EQ(fake.sends[0].to_addr, TARGET);
    EXPECT_EQ(fake.sends[0].to_port, CLIENT_TFTP_PORT);
    EXPECT_EQ(fake.sends[0].bytes, expected_data(image, 2));
    EXPECT_EQ(progress_calls, std::vector<std::uint32_t>{17});
    EXPECT_EQ(state.transfer.peer_port, host_to_net16(CLIENT_TFTP_PORT)) << "the peer changed";
}

TEST_F(Tftp, TheDevicesErrorIsToldOncePerDataEndpointAndEndsNothing) {
    open_state(3000);
    request(rrq());
    fake.sends.clear();
    Bytes error = tftp_packet(TFTP_OP_ERROR, 3);
    const std::string text = "Disk\x1b[2J full" + std::string(150, 'x');
    error.insert(error.end(), text.begin(), text.end());
    error.push_back(0);
    EXPECT_EQ(acknowledge(error, OTHER_HOST, CLIENT_TFTP_PORT), ACK_IGNORED);
    EXPECT_TRUE(stall_notices.empty()) << "another host's ERROR was told";
    EXPECT_EQ(acknowledge(error), ACK_IGNORED);
    EXPECT_EQ(acknowledge(error), ACK_IGNORED);
    ASSERT_EQ(stall_notices.size(), 1u);
    const UpdateNotice& told = stall_notices[0].first;
    EXPECT_EQ(told.kind, NOTICE_DEVICE_ERROR);
    EXPECT_EQ(told.block, 1u);
    EXPECT_EQ(told.device_error.code, 3u);
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
    open_state(size);
    request(rrq());
    std::uint64_t block = 1;
    for (; block <= 65537; ++block) {
        ASSERT_EQ(state.transfer.current_block, block);
        const Bytes& sent = fake.sends.back().bytes;
        ASSERT_EQ(get_be16(&sent[TFTP_BLOCK]), static_cast<std::uint16_t>(block));
        std::size_t n = block == 65537 ? 100 : 512;
        ASSERT_EQ(sent.size(), n + 4);
        ASSERT_TRUE(std::equal(sent.begin() + 4, sent.end(), image.begin() + (block - 1) * 512))
            << "block " << block;
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

TEST_F(Tftp, SecondReadRequestRestartsOnAFreshEndpointAtBlockOne) {
    open_state(5000);
    request(rrq());
    acknowledge(ack(1));
    acknowledge(ack(2));
    const net_socket old_sock = state.transfer.data_sock;
    const std::uint32_t old_serial = fake.sockets[static_cast<std::size_t>(old_sock)].serial;
    fake.sends.clear();

    // While the transfer moves, a read request in the device's name is not the device's: any
    // host can forge its address. From another port, or from the transfer's own past block 1.
    for (std::uint16_t port : {std::uint16_t{3001}, CLIENT_TFTP_PORT}) {
        const std::uint32_t block = state.transfer.current_block;
        fake.sends.clear();
        state.now_us += TRANSFER_TAKEOVER_QUIET_US - 2 * ARRIVAL_STEP_US;
        EXPECT_EQ(request(rrq(), TARGET, port), HEARD_STRAY) << port;
        EXPECT_EQ(state.transfer.data_sock, old_sock);
        EXPECT_EQ(state.transfer.current_block, block);
        EXPECT_TRUE(fake.sends.empty()) << "a forged request was answered";
        EXPECT_EQ(acknowledge(ack(static_cast<std::uint16_t>(block))), ACK_ACCEPTED);
    }
    acknowledge(ack(2)); // a duplicate moves nothing
    fake.sends.clear();
    // Once it has stood still that long, the device's loader is taken to have restarted.
    state.now_us += TRANSFER_TAKEOVER_QUIET_US - 2 * ARRIVAL_STEP_US;
    ASSERT_EQ(request(rrq(), TARGET, 3001), HEARD_DEVICE);
    net_socket now = fake_data_socket();
    ASSERT_NE(now, NET_INVALID_SOCKET);
    EXPECT_EQ(state.transfer.data_sock, now);
    EXPECT_NE(fake.sockets[static_cast<std::size_t>(now)].serial, old_serial)
        << "the old data endpoint was kept";
    EXPECT_EQ(fake_open_sockets(), 4) << "the old data endpoint was not closed";
    EXPECT_EQ(state.transfer.current_block, 1u);
    ASSERT_EQ(fake.sends.size(), 1u);
    EXPECT_EQ(fake.sends[0].to_port, 3001);
    EXPECT_EQ(fake.sends[0].bytes, expected_data(image, 1));
    EXPECT_EQ(acknowledge(ack(5)), ACK_IGNORED);
    EXPECT_EQ(acknowledge(ack(1)), ACK_IGNORED) << "the old transfer's port acknowledged";
    EXPECT_EQ(acknowledge(ack(1), TARGET, 3001), ACK_ACCEPTED);
    EXPECT_EQ(fake.sends.back().bytes, expected_data(image, 2));
}

TEST_F(Tftp, SameReadRequestBeforeAck1ResendsDataOneFromTheSamePort) {
    open_state(5000);
    request(rrq());
    const net_socket first = state.transfer.data_sock;
    const std::uint32_t serial = fake.sockets[static_cast<std::size_t>(first)].serial;
    const int created = fake.sockets_created;
    state.retransmit_ticks = 1;
    fake.sends.clear();

    // The device's read request, duplicated on the way or retried as DATA 1 crossed it.
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(request(rrq()), HEARD_DEVICE);
    EXPECT_EQ(state.transfer.data_sock, first);
    EXPECT_EQ(fake.sockets[static_cast<std::size_t>(first)].serial, serial) << "port changed";
    EXPECT_EQ(fake.sockets_created, created);
    EXPECT_EQ(state.retransmit_ticks, 0u);
    ASSERT_EQ(fake.sends.size(), 3u);
    for (const FakeSend& s : fake.sends) {
        EXPECT_EQ(s.sock, first);
        EXPECT_EQ(s.to_addr, TARGET);
        EXPECT_EQ(s.to_port, CLIENT_TFTP_PORT);
        EXPECT_EQ(s.bytes, expected_data(image, 1));
    }
    EXPECT_EQ(acknowledge(ack(1)), ACK_ACCEPTED);
    EXPECT_EQ(fake.sends.back().bytes, expected_data(image, 2));

    // Another port, or the same request once block 1 is acknowledged: a restart.
    struct Restart {
        std::uint16_t port;
        bool ack_first;
    };
    for (Restart r : {Restart{CLIENT_TFTP_PORT + 1, false}, Restart{CLIENT_TFTP_PORT, true}}) {
        state.now_us += TRANSFER_TAKEOVER_QUIET_US;
        request(rrq());
        if (r.ack_first)
            acknowledge(ack(1));
        const net_socket before = state.transfer.data_sock;
        const std::uint32_t before_serial = fake.sockets[static_cast<std::size_t>(before)].serial;
        state.now_us += TRANSFER_TAKEOVER_QUIET_US;
        ASSERT_EQ(request(rrq(), TARGET, r.port), HEARD_DEVICE);
        EXPECT_NE(fake.sockets[static_cast<std::size_t>(state.transfer.data_sock)].serial,
                  before_serial)
            << r.port << " ack " << r.ack_first;
        EXPECT_EQ(fake.sends.back().to_port, r.port);
        EXPECT_EQ(fake.sends.back().bytes, expected_data(image, 1));
        EXPECT_EQ(fake_open_sockets(), 4);
    }
}

TEST_F(Tftp, ReadRequestsFromAnyOtherAddressAreRefusedAndLeaveTheTransferAlone) {
    open_state(5000);
    const std::uint32_t NEIGHBOUR = fake_address(198, 51, 100, 66);
    const Bytes refusal = tftp_texts(TFTP_OP_ERROR, {"Only the device being updated is served"}, 2);

    // Before the device asks: no transfer starts, and the device has not asked.
    EXPECT_EQ(request(rrq(), NEIGHBOUR, 2000), HEARD_STRAY);
    EXPECT_EQ(fake_open_sockets(), 3) << "a data endpoint was opened for another host";
    EXPECT_EQ(state.transfer.data_sock, NET_INVALID_SOCKET);
    EXPECT_FALSE(state.read_request_served);
    ASSERT_EQ(fake.sends.size(), 1u);
    EXPECT_EQ(fake.sends[0].sock, state.endpoints[TFTP_ENDPOINT]);
    EXPECT_EQ(fake.sends[0].to_addr, NEIGHBOUR);
    EXPECT_EQ(fake.sends[0].to_port, 2000);
    EXPECT_EQ(fake.sends[0].bytes, refusal);
    ASSERT_EQ(stall_notices.size(), 1u);
    EXPECT_EQ(stall_notices[0].first.kind, NOTICE_STRANGER_REFUSED);
    EXPECT_EQ(stall_notices[0].first.refused_addr, NEIGHBOUR);

    // During the device's transfer: the transfer goes on where it was.
    ASSERT_EQ(request(rrq()), HEARD_DEVICE);
    EXPECT_TRUE(state.read_request_served);
    acknowledge(ack(1));
    const net_socket data = state.transfer.data_sock;
    const std::uint32_t serial = state.transfers_started;
    fake.sends.clear();
    // From the device's own port number too; from a service's port no answer at all, as an
    // echo service would answer the answer.
    for (std::uint16_t port : {CLIENT_TFTP_PORT, std::uint16_t{7}, std::uint16_t{1023}})
        EXPECT_EQ(request(rrq(), OTHER_HOST, port), HEARD_STRAY) << port;
    EXPECT_EQ(request(rrq(), NEIGHBOUR, 1024), HEARD_STRAY);
    ASSERT_EQ(fake.sends.size(), 2u);
    EXPECT_EQ(fake.sends[0].to_addr, OTHER_HOST);
    EXPECT_EQ(fake.sends[0].to_port, CLIENT_TFTP_PORT);
    EXPECT_EQ(fake.sends[1].to_port, 1024);
    for (const FakeSend& s : fake.sends)
        EXPECT_EQ(s.bytes, refusal);
    EXPECT_EQ(stall_notices.size(), 1u) << "the refusal is told once per upload";
    EXPECT_EQ(state.transfer.data_sock, data);
    EXPECT_EQ(state.transfers_started, serial);
    EXPECT_EQ(state.transfer.current_block, 2u);
    EXPECT_EQ(state.transfer.peer_addr, TARGET);
    EXPECT_EQ(state.transfer.peer_port, host_to_net16(CLIENT_TFTP_PORT));
    EXPECT_EQ(acknowledge(ack(2)), ACK_ACCEPTED);
    EXPECT_EQ(fake.sends.back().to_addr, TARGET);
    EXPECT_EQ(fake.sends.back().bytes, expected_data(image, 3));
}

TEST_F(Tftp, NoDataPortAfter64DrawsGivesAnErrorAndNoTransfer) {
    open_state(5000);
    request(rrq());
    acknowledge(ack(1));
    fake.fail_data_ports = true;
    fake.bind_attempts.clear();
    fake.sends.clear();
    state.now_us += TRANSFER_TAKEOVER_QUIET_US;

    EXPECT_EQ(request(rrq(), TARGET, 3002), HEARD_STRAY);
    EXPECT_EQ(fake.bind_attempts.size(), 64u);
    EXPECT_TRUE(
        std::all_of(fake.bind_attempts.begin(), fake.bind_attempts.end(), fake_is_data_port));
    const Bytes want = tftp_texts(TFTP_OP_ERROR, {"No data port available"}, 0);
    ASSERT_EQ(fake.sends.size(), 1u);
    EXPECT_EQ(fake.sends[0].sock, state.endpoints[TFTP_ENDPOINT]);
    EXPECT_EQ(fake.sends[0].to_port, 3002);
    EXPECT_EQ(fake.sends[0].bytes, want);
    EXPECT_EQ(state.transfer.data_sock, NET_INVALID_SOCKET);
    EXPECT_EQ(fake_open_sockets(), 3) << "a data endpoint was left open";

    // Once ports can be had again, the next read request starts a transfer.
    fake.fail_data_ports = false;
    EXPECT_EQ(request(rrq()), HEARD_DEVICE);
    EXPECT_EQ(fake.sends.back().bytes, expected_data(image, 1));
}

} // namespace
