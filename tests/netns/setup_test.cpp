// update_target's set-up on real sockets, on loopback in a network namespace of its own
// (run_in_netns.sh): the image checks, each fixed port already taken, and nothing left open.
#include "engine.h"
#include "host.h"
#include "upload_state.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

const std::uint32_t LOOPBACK = host_to_net32(0x7F000001);
const std::uint32_t TARGET = host_to_net32(0x7F000002);

int open_descriptors() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

// Opens a fixed endpoint the way the engine does, from its row of FIXED_ENDPOINTS.
net_socket open_like_engine(const FixedEndpoint& fixed) {
    return open_udp_endpoint(LOOPBACK, host_to_net16(fixed.port), fixed.broadcast, fixed.hearing);
}

class Setup : public testing::Test {
  protected:
    std::string dir;

    void SetUp() override {
        dir = testing::TempDir() + "qb_netns_setup";
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // `out` gets the modes the engine told of an image opened; it prints nothing itself.
    int run(const std::string& path, std::string& out, UpdateDiagnosis& diagnosis) {
        out.clear();
        auto told = [](void* context, const UpdateNotice& notice) {
            if (notice.kind == NOTICE_IMAGE_OPENED)
                static_cast<std::string*>(context)->push_back(static_cast<char>(notice.mode));
            return true;
        };
        testing::internal::CaptureStdout();
        int r = update_target(LOOPBACK, TARGET, path.c_str(), UPDATE_MODE_FIRMWARE, told, &out,
                              &diagnosis);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        return r;
    }
};

TEST_F(Setup, ImageThatCannotBeLoadedPrintsNothingAndOpensNothing) {
    const int before = open_descriptors();
    std::string out;
    UpdateDiagnosis diagnosis{};
    EXPECT_EQ(run(dir + "/missing.bin", out, diagnosis), 1);
    EXPECT_EQ(diagnosis.image_fault, IMAGE_MISSING);
    EXPECT_EQ(out, "");
    EXPECT_EQ(run(dir, out, diagnosis), 1);
    EXPECT_EQ(diagnosis.image_fault, IMAGE_NOT_REGULAR);
    EXPECT_EQ(out, "");
    EXPECT_EQ(open_descriptors(), before);
    // The fixed ports are still free.
    for (const FixedEndpoint& fixed : FIXED_ENDPOINTS) {
        net_socket s = open_like_engine(fixed);
        EXPECT_NE(s, NET_INVALID_SOCKET) << fixed.port;
        net_close(s);
    }
}

TEST_F(Setup, PortTakenByAnotherSocketFailsWithItsCodeAndLeavesNothingOpen) {
    const std::string image = dir + "/image.bin";
    std::ofstream(image, std::ios::binary) << std::string(1000, 'q');
    // Each port that cannot be opened has its own code.
    std::vector<std::pair<std::uint16_t, int>> codes;
    for (const FixedEndpoint& fixed : FIXED_ENDPOINTS)
        codes.emplace_back(fixed.port, fixed.cannot_open);
    EXPECT_EQ(codes, (std::vector<std::pair<std::uint16_t, int>>{{9, UPDATE_NO_WAKE_PORT},
                                                                 {67, UPDATE_NO_BOOTP_PORT},
                                                                 {69, UPDATE_NO_TFTP_PORT}}));
    for (const FixedEndpoint& taken : FIXED_ENDPOINTS) {
        SCOPED_TRACE(taken.port);
        // Another program holds the port, bound to the address without any option.
        net_socket other = net_udp_socket();
        ASSERT_NE(other, NET_INVALID_SOCKET);
        ASSERT_TRUE(net_bind(other, LOOPBACK, host_to_net16(taken.port), false));
        const int before = open_descriptors();

        std::string out;
        UpdateDiagnosis diagnosis{};
        EXPECT_EQ(run(image, out, diagnosis), taken.cannot_open);
        EXPECT_EQ(diagnosis.net_fault, NET_FAULT_IN_USE);
        EXPECT_EQ(out, std::string(1, UPDATE_MODE_FIRMWARE));
        EXPECT_EQ(open_descriptors(), before) << "a descriptor was left open";

        for (const FixedEndpoint& fixed : FIXED_ENDPOINTS) {
            if (fixed.port == taken.port)
                continue;
            net_socket s = open_like_engine(fixed);
            EXPECT_NE(s, NET_INVALID_SOCKET) << "port " << fixed.port << " was left bound";
            net_close(s);
        }
        net_close(other);
        net_socket s = open_like_engine(taken);
        EXPECT_NE(s, NET_INVALID_SOCKET);
        net_close(s);
    }
}

} // namespace

int main(int argc, char** argv) {
    // These tests bind the fixed ports: never in the machine's own network namespace.
    if (std::getenv("QB_IN_FRESH_NETNS") == nullptr) {
        std::puts("SKIP: run through run_in_netns.sh, in a network namespace of its own");
        return 77;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
