// update_target on the scripted network: set-up, unwinding, a whole upload, teardown.
#include "engine_fixture.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

class Update : public EngineTest {
  public:
    std::string path;

    void SetUp() override {
        EngineTest::SetUp();
        path = testing::TempDir() + "qb_engine_image_" +
               testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove(path, ec); // a file or, in one test, a directory
        EngineTest::TearDown();
    }

    void write_image(std::size_t size) {
        image = make_image(size);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
    }

    // Runs update_target and returns its result; `out` gets what it printed.
    int run(std::string& out, UpdateMode mode = UPDATE_MODE_FIRMWARE,
            UpdateDiagnosis* diagnosis = nullptr, const char* image_path = nullptr) {
        testing::internal::CaptureStdout();
        int r = update_target(LOCAL, TARGET, image_path ? image_path : path.c_str(), mode,
                              record_progress, diagnosis, record_stall);
        out = testing::internal::GetCapturedStdout();
        return r;
    }
};

TEST_F(Update, ImageThatCannotBeLoadedFailsBeforeAnythingIsPrintedOrOpened) {
    std::string out;
    UpdateDiagnosis diagnosis{};
    EXPECT_EQ(run(out, UPDATE_MODE_FIRMWARE, &diagnosis), UPDATE_NO_IMAGE); // never written
    EXPECT_EQ(diagnosis.image_fault, IMAGE_MISSING);
    EXPECT_EQ(out, "");

    std::filesystem::create_directory(path);
    EXPECT_EQ(run(out, UPDATE_MODE_FIRMWARE, &diagnosis), UPDATE_NO_IMAGE);
    EXPECT_EQ(diagnosis.image_fault, IMAGE_NOT_REGULAR);
    EXPECT_EQ(out, "");
    EXPECT_EQ(fake.sockets_created, 0);
}

struct PortCase {
    std::uint16_t port;
    int result;
    std::vector<std::uint16_t> tried;
};

TEST_F(Update, EachPortThatCannotBeBoundUnwindsWithItsOwnCode) {
    write_image(1000);
    const PortCase cases[] = {
        {9, UPDATE_NO_WAKE_PORT, {9}},
        {67, UPDATE_NO_BOOTP_PORT, {9, 67}},
        {69, UPDATE_NO_TFTP_PORT, {9, 67, 69}},
    };
    for (const PortCase& c : cases) {
        for (NetFault fault : {NET_FAULT_IN_USE, NET_FAULT_PERMISSION}) {
            SCOPED_TRACE(c.port);
            fake_reset();
            fake.failing_ports = {c.port};
            fake.bind_fault = fault;
            std::string out;
            UpdateDiagnosis diagnosis{};
            EXPECT_EQ(run(out, UPDATE_MODE_FIRMWARE, &diagnosis), c.result);
            EXPECT_EQ(diagnosis.net_fault, fault);
            EXPECT_EQ(diagnosis.image_fault, IMAGE_OK);
            EXPECT_EQ(fake.bind_attempts, c.tried);
            EXPECT_EQ(fake_open_sockets(), 0) << "a socket was left open";
            EXPECT_EQ(fake.sockets_created, static_cast<int>(c.tried.size()));
            EXPECT_TRUE(fake.sends.empty());
            EXPECT_EQ(out, " Updating QuibbleBox Firmware\n");
        }
    }
}

TEST_F(Update, EndpointsAndBannerFollowTheModeAndAllIsClosedAfterAFailedWait) {
    write_image(10);
    const std::pair<UpdateMode, const char*> cases[] = {
        {UPDATE_MODE_BOOT_AREA, " Updating QuibbleBox Boot Area\n"},
        {UPDATE_MODE_FIRMWARE, " Updating QuibbleBox Firmware\n"},
        {'x', " Updating QuibbleBox Firmware\n"},
    };
    for (auto [mode, banner] : cases) {
        fake_reset();
        fake.wait_fault = NET_FAULT_PERMISSION;
        std::vector<FakeSocket> seen;
        fake.on_wait = [&](int n) {
            if (n == 0) {
                seen = {fake.sockets[static_cast<std::size_t>(fake_socket_on(9))],
                        fake.sockets[static_cast<std::size_t>(fake_socket_on(67))],
                        fake.sockets[static_cast<std::size_t>(fake_socket_on(69))]};
                fake_queue(69, rrq(), TARGET, CLIENT_TFTP_PORT);
                return FAKE_WAIT_FROM_QUEUES;
            }
            return n == 2 ? NET_WAIT_FAILED : FAKE_WAIT_FROM_QUEUES;
        };
        std::string out;
        UpdateDiagnosis diagnosis{};
        EXPECT_EQ(run(out, mode, &diagnosis), UPDATE_WAIT_FAILED);
        EXPECT_EQ(out, banner);
        EXPECT_EQ(diagnosis.net_fault, NET_FAULT_PERMISSION);
        ASSERT_EQ(seen.size(), 3u);
        for (const FakeSocket& s : seen)
            EXPECT_EQ(s.addr, LOCAL);
        // Only the BOOTP endpoint hears broadcasts; the wake endpoint only sends them.
        EXPECT_TRUE(seen[0].broadcast);
        EXPECT_FALSE(seen[0].hear_broadcasts);
        EXPECT_TRUE(seen[1].broadcast);
        EXPECT_TRUE(seen[1].hear_broadcasts);
        EXPECT_FALSE(seen[2].broadcast);
        EXPECT_FALSE(seen[2].hear_broadcasts);
        EXPECT_EQ(fake.waits.size(), 3u);
        // The failed wait was no quiet tick: one quiet tick after DATA 1, no resend.
        EXPECT_EQ(fake.sends.size(), 1u);
        EXPECT_EQ(fake_open_sockets(), 0) << "teardown left a socket open";
        EXPECT_EQ(fake.sockets_created, 4);
    }
}

TEST_F(Update, DeviceFetchesTheWholeImageThroughTheLoop) {
    write_image(102400);
    // The device: a tagged request, a read request, then an ACK for every DATA it gets, once
    // after a pause of 11 s.
    std::size_t answered = 0;
    bool paused = false;
    fake.on_wait = [&](int n) {
        if (n == 0)
            fake_queue(67, bootp_request(), 0, 68);
        else if (n == 1)
            fake_queue(69, rrq(), TARGET, CLIENT_TFTP_PORT);
        else if (fake.sends.size() == 100 && !paused) {
            paused = true;
            fake.clock_skip_us += 11000000;
        } else if (fake.sends.size() > answered) {
            answered = fake.sends.size();
            const Bytes& last = fake.sends.back().bytes;
            fake_queue_on(fake_data_socket(), ack(get_be16(&last[TFTP_BLOCK])), TARGET,
                          CLIENT_TFTP_PORT);
        }
        return FAKE_WAIT_FROM_QUEUES;
    };
    std::string out;
    UpdateDiagnosis diagnosis{};
    EXPECT_EQ(run(out, UPDATE_MODE_FIRMWARE, &diagnosis), UPDATE_DONE);
    EXPECT_EQ(out, " Updating QuibbleBox Firmware\n");
    EXPECT_EQ(diagnosis.bytes_acknowledged, 102400u);
    ASSERT_EQ(diagnosis.units.count, 1u);
    const Bytes request = bootp_request();
    EXPECT_TRUE(std::equal(diagnosis.units.hw[0].bytes, diagnosis.units.hw[0].bytes + 6,
                           request.begin() + BOOTP_CHADDR));
    ASSERT_EQ(fake.sends.size(), 202u);
    EXPECT_EQ(fake.sends[0].bytes.size(), 300u);
    for (std::size_t block = 1; block <= 201; ++block)
        ASSERT_EQ(fake.sends[block].bytes, expected_data(image, block)) << block;
    ASSERT_EQ(progress_calls.size(), 201u);
    EXPECT_EQ(progress_calls[0], 0u);
    EXPECT_EQ(progress_calls[199], 100u);
    EXPECT_EQ(progress_calls[200], 100u);
    ASSERT_EQ(stall_notices.size(), 2u);
    EXPECT_EQ(stall_notices[0].first.kind, NOTICE_NETWORK_STARTS); // before anything was sent
    EXPECT_EQ(stall_notices[1].first.kind, NOTICE_BLOCK_UNACKNOWLEDGED);
    EXPECT_EQ(stall_notices[1].first.block, 99u);
    EXPECT_FALSE(stall_notices[1].first.last_block);
    EXPECT_EQ(fake_open_sockets(), 0);
    EXPECT_EQ(fake.sockets_created, 4);
}

TEST_F(Update, DataPortsComeFromTheSystemsRandomSourceReadOncePerRun) {
    write_image(5000);
    // The device restarts its transfer five times, acknowledging block 1 of the last, and the
    // wait then fails.
    auto ports_of_a_run = [&](UpdateDiagnosis& diagnosis) {
        fake.on_wait = [](int n) {
            fake.clock_skip_us += TRANSFER_TAKEOVER_QUIET_US; // each restart after a pause
            if (n < 5)
                fake_queue(69, rrq(), TARGET, static_cast<std::uint16_t>(CLIENT_TFTP_PORT + n));
            if (n == 6)
                fake_queue_on(fake_data_socket(), ack(1), TARGET, CLIENT_TFTP_PORT + 4);
            return n == 8 ? NET_WAIT_FAILED : FAKE_WAIT_FROM_QUEUES;
        };
        std::string out;
        EXPECT_EQ(run(out, UPDATE_MODE_FIRMWARE, &diagnosis), UPDATE_WAIT_FAILED);
        std::vector<std::uint16_t> ports;
        for (std::uint16_t port : fake.bind_attempts)
            if (fake_is_data_port(port))
                ports.push_back(port);
        EXPECT_EQ(ports.size(), 5u);
        EXPECT_EQ(fake.random_reads, 1);
        return ports;
    };
    UpdateDiagnosis diagnosis{};
    const std::vector<std::uint16_t> first = ports_of_a_run(diagnosis);
    EXPECT_EQ(diagnosis.bytes_acknowledged, 512u);
    EXPECT_EQ(diagnosis.units.count, 0u);
    fake_reset();
    EXPECT_EQ(ports_of_a_run(diagnosis), first) << "the same seed, the same ports";
    fake_reset();
    fake.random_value = 0x0BADCAFE;
    const std::vector<std::uint16_t> second = ports_of_a_run(diagnosis);
    EXPECT_NE(second, first);
    // Without the system's source the clock seeds the ports; they stay in their range.
    fake_reset();
    fake.random_fails = true;
    EXPECT_EQ(ports_of_a_run(diagnosis).size(), 5u);
}

} // namespace
