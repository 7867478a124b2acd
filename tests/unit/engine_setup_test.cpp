// update_target on the scripted network: set-up, unwinding, a whole upload, teardown.
#include "engine_fixture.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <tuple>

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

    // Runs update_target and returns its result; opened_modes gets the modes it told of an
    // image opened. The engine itself prints nothing.
    int run(UpdateMode mode, UpdateDiagnosis* diagnosis, notice_callback notice = record_notice,
            void* context = nullptr) {
        opened_modes.clear();
        testing::internal::CaptureStdout();
        int r = update_target(LOCAL, TARGET, path.c_str(), mode, notice, context, diagnosis);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        return r;
    }
};

// Records every notice; given an image to keep, ends the update at the network's start with
// the image it was lent there.
bool record_or_stop(void* image_told, const UpdateNotice& notice) {
    if (image_told == nullptr || notice.kind != NOTICE_NETWORK_STARTS)
        return record_notice(image_told, notice);
    static_cast<Bytes*>(image_told)->assign(notice.image, notice.image + notice.image_size);
    return false;
}

constexpr int NO_FILE = -1, A_DIRECTORY = -2;
struct EarlyEnd {
    int image_size;             // or NO_FILE, or A_DIRECTORY in the image's place
    std::uint16_t failing_port; // 0: none
    NetFault fault;
    int result; // UPDATE_ABANDONED: by the callback at the network's start
    ImageFault image_fault;
    std::vector<std::uint16_t> tried;
};

// An update ended before its loop, each way with its own code, closes what it opened and sends
// and waits for nothing: an image that cannot be loaded (nothing opened or told), a port that
// cannot be bound, or a callback ending it at the network's start (as a check before the site
// visit does: the ports are bound then, and the image lent as loaded).
TEST_F(Update, SetUpEndedEarlyUnwindsWithItsOwnCodeAndLeavesNothingOpen) {
    const EarlyEnd rows[] = {
        {NO_FILE, 0, NET_FAULT_NONE, UPDATE_NO_IMAGE, IMAGE_MISSING, {}},
        {A_DIRECTORY, 0, NET_FAULT_NONE, UPDATE_NO_IMAGE, IMAGE_NOT_REGULAR, {}},
        {1000, 9, NET_FAULT_IN_USE, UPDATE_NO_WAKE_PORT, IMAGE_OK, {9}},
        {1000, 9, NET_FAULT_PERMISSION, UPDATE_NO_WAKE_PORT, IMAGE_OK, {9}},
        {1000, 67, NET_FAULT_IN_USE, UPDATE_NO_BOOTP_PORT, IMAGE_OK, {9, 67}},
        {1000, 67, NET_FAULT_PERMISSION, UPDATE_NO_BOOTP_PORT, IMAGE_OK, {9, 67}},
        {1000, 69, NET_FAULT_IN_USE, UPDATE_NO_TFTP_PORT, IMAGE_OK, {9, 67, 69}},
        {1000, 69, NET_FAULT_PERMISSION, UPDATE_NO_TFTP_PORT, IMAGE_OK, {9, 67, 69}},
        {0, 0, NET_FAULT_NONE, UPDATE_ABANDONED, IMAGE_OK, {9, 67, 69}},
        {1, 0, NET_FAULT_NONE, UPDATE_ABANDONED, IMAGE_OK, {9, 67, 69}},
        {70000, 0, NET_FAULT_NONE, UPDATE_ABANDONED, IMAGE_OK, {9, 67, 69}}};
    std::error_code ec;
    for (std::size_t row = 0; row < std::size(rows); ++row) {
        const EarlyEnd& r = rows[row];
        SCOPED_TRACE(testing::Message() << "row " << row);
        fake_reset();
        std::filesystem::remove(path, ec);
        if (r.image_size == A_DIRECTORY)
            std::filesystem::create_directory(path);
        else if (r.image_size != NO_FILE)
            write_image(static_cast<std::size_t>(r.image_size));
        fake.failing_ports = {r.failing_port}; // port 0 is never bound
        fake.bind_fault = r.fault;
        const bool stop = r.result == UPDATE_ABANDONED;
        Bytes image_told = {0xEE};
        UpdateDiagnosis diagnosis{};
        EXPECT_EQ(
            run(UPDATE_MODE_FIRMWARE, &diagnosis, record_or_stop, stop ? &image_told : nullptr),
            r.result);
        EXPECT_EQ(diagnosis.image_fault, r.image_fault);
        EXPECT_EQ(diagnosis.net_fault, r.fault);
        EXPECT_EQ(opened_modes, r.image_size < 0 ? "" : std::string(1, UPDATE_MODE_FIRMWARE));
        EXPECT_EQ(fake.bind_attempts, r.tried);
        EXPECT_EQ(fake.sockets_created, static_cast<int>(r.tried.size()));
        EXPECT_EQ(fake_open_sockets(), 0) << "a socket was left open";
        EXPECT_TRUE(fake.sends.empty());
        EXPECT_TRUE(fake.waits.empty());
        EXPECT_EQ(image_told, stop ? image : Bytes{0xEE}) << "the image lent";
    }
}

TEST_F(Update, EndpointsAndBannerFollowTheModeAndAllIsClosedAfterAFailedWait) {
    write_image(10);
    for (UpdateMode mode : {UPDATE_MODE_BOOT_AREA, UPDATE_MODE_FIRMWARE, UpdateMode{'x'}}) {
        fake_reset();
        fake.wait_fault = NET_FAULT_PERMISSION;
        std::vector<std::tuple<std::uint32_t, bool, bool>> seen;
        fake.on_wait = [&](int n) {
            if (n == 0) {
                for (std::uint16_t port : {9, 67, 69}) {
                    const FakeSocket& s = fake.sockets[std::size_t(fake_socket_on(port))];
                    seen.emplace_back(s.addr, s.broadcast, s.hear_broadcasts);
                }
                fake_queue(69, rrq(), TARGET, CLIENT_TFTP_PORT);
            }
            return n == 2 ? NET_WAIT_FAILED : FAKE_WAIT_FROM_QUEUES;
        };
        UpdateDiagnosis diagnosis{};
        EXPECT_EQ(run(mode, &diagnosis), UPDATE_WAIT_FAILED);
        EXPECT_EQ(opened_modes, std::string(1, static_cast<char>(mode))) << "the mode as given";
        EXPECT_EQ(diagnosis.net_fault, NET_FAULT_PERMISSION);
        // The wake, BOOTP and TFTP endpoints' (address, sends broadcasts, hears them): only the
        // BOOTP endpoint hears broadcasts, the wake endpoint only sends them.
        EXPECT_EQ(seen, (std::vector<std::tuple<std::uint32_t, bool, bool>>{
                            {LOCAL, true, false}, {LOCAL, true, true}, {LOCAL, false, false}}));
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
    UpdateDiagnosis diagnosis{};
    EXPECT_EQ(run(UPDATE_MODE_FIRMWARE, &diagnosis), UPDATE_DONE);
    EXPECT_EQ(opened_modes, std::string(1, UPDATE_MODE_FIRMWARE));
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
    EXPECT_EQ(std::tuple(progress_calls[0], progress_calls[199], progress_calls[200]),
              std::tuple(0u, 100u, 100u));
    ASSERT_EQ(stall_notices.size(), 2u);
    EXPECT_EQ(stall_notices[0].first.kind, NOTICE_NETWORK_STARTS); // before anything was sent
    const UpdateNotice& stall = stall_notices[1].first;
    EXPECT_EQ(std::tuple(stall.kind, stall.block, stall.last_block),
              std::tuple(NOTICE_BLOCK_UNACKNOWLEDGED, 99u, false));
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
        EXPECT_EQ(run(UPDATE_MODE_FIRMWARE, &diagnosis), UPDATE_WAIT_FAILED);
        std::vector<std::uint16_t> ports;
        std::copy_if(fake.bind_attempts.begin(), fake.bind_attempts.end(),
                     std::back_inserter(ports), fake_is_data_port);
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
    EXPECT_NE(ports_of_a_run(diagnosis), first);
    // Without the system's source the clock seeds the ports; they stay in their range.
    fake_reset();
    fake.random_fails = true;
    EXPECT_EQ(ports_of_a_run(diagnosis).size(), 5u);
}

} // namespace
