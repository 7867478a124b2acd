// The BOOTP responder, called directly on an UploadState.
#include "engine_fixture.h"

namespace {

using Bootp = EngineTest;

TEST_F(Bootp, TagTestIgnoresCaseButNeedsTheWholeTextAndTheHeader) {
    open_state(1000);
    for (const char* tag : {"pexlinQB", "PEXLINQB", "PexlinQB", "pexlinqb"})
        EXPECT_EQ(bootp(bootp_request(tag)), HEARD_DEVICE) << tag;
    EXPECT_EQ(fake.sends.size(), 4u);

    fake.sends.clear();
    for (const char* tag :
         {"pexlinQB2", "pexlin", "pexlinQ", " pexlinQB", "xexlinQB", "", "pexlinQB!"})
        EXPECT_EQ(bootp(bootp_request(tag)), HEARD_STRAY) << '"' << tag << '"';
    EXPECT_EQ(bootp(bootp_request("pexlinQB", 300, 2)), HEARD_STRAY) << "op must be 1";
    EXPECT_EQ(bootp(bootp_request("pexlinQB", 300, 1, 6)), HEARD_STRAY) << "htype must be 1";
    EXPECT_EQ(bootp(bootp_request("pexlinQB", 300, 1, 1, 16)), HEARD_STRAY) << "hlen must be 6";
    EXPECT_TRUE(fake.sends.empty()) << "an untagged request was answered";
    // A tagged request from a service's port would aim the broadcast reply at that service.
    for (std::uint16_t port : {7, 9, 19, 67, 69, 1023})
        EXPECT_EQ(bootp(bootp_request(), port), HEARD_STRAY) << port;
    EXPECT_TRUE(fake.sends.empty()) << "a request from a port below 1024 was answered";

    // Only the text up to the first zero byte counts.
    Bytes after_zero = bootp_request("pexlinQB");
    std::memcpy(&after_zero[BOOTP_SNAME + 9], "junk", 4);
    EXPECT_EQ(bootp(after_zero), HEARD_DEVICE);
}

TEST_F(Bootp, ReplyIsTheRequestChangedInPlaceBroadcastToTheRequesterPort) {
    open_state(1000);
    Bytes req = bootp_request("PexlinQB", 548); // longer than the reply
    ASSERT_EQ(bootp(req, 6800), HEARD_DEVICE);
    ASSERT_EQ(fake.sends.size(), 1u);
    const FakeSend& s = fake.sends[0];
    EXPECT_EQ(s.sock, state.endpoints[BOOTP_ENDPOINT]);
    EXPECT_EQ(s.from_addr, LOCAL);
    EXPECT_EQ(s.to_addr, 0xFFFFFFFFu);
    EXPECT_EQ(s.to_port, 6800);
    ASSERT_EQ(s.bytes.size(), 300u);

    Bytes want(req.begin(), req.begin() + 300);
    want[BOOTP_OP] = 2;
    put_net32(&want[BOOTP_YIADDR], TARGET);
    put_net32(&want[BOOTP_SIADDR], LOCAL);
    std::memcpy(&want[BOOTP_FILE], "firmware.bin", 13); // the rest of the field as received
    EXPECT_EQ(s.bytes, want);

    // The same request again gets the same reply.
    bootp(req, 6800);
    ASSERT_EQ(fake.sends.size(), 2u);
    EXPECT_EQ(fake.sends[1].bytes, want);
}

TEST_F(Bootp, BootFileNameFollowsTheMode) {
    const std::pair<UpdateMode, const char*> cases[] = {
        {UPDATE_MODE_BOOT_AREA, "bootboot.bin"},
        {UPDATE_MODE_FIRMWARE, "firmware.bin"},
        {'b', "firmware.bin"},
        {'8', "firmware.bin"},
    };
    for (auto [mode, name] : cases) {
        fake_reset();
        state = UploadState{};
        open_state(10, mode);
        bootp(bootp_request());
        ASSERT_EQ(fake.sends.size(), 1u);
        const Bytes& b = fake.sends[0].bytes;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[BOOTP_FILE])), name) << int(mode);
    }
}

TEST_F(Bootp, EveryHardwareAddressAnsweredIsKeptInOrderAndASecondOneToldOnce) {
    open_state(1000);
    auto from_unit = [](unsigned char last) {
        Bytes req = bootp_request();
        const unsigned char hw[] = {0x52, 0x54, 0x00, 0x12, 0x34, last};
        std::memcpy(&req[BOOTP_CHADDR], hw, sizeof hw);
        return req;
    };
    auto unit_order = [](const UnitsAnswered& units) {
        std::vector<int> last;
        for (std::uint32_t i = 0; i < units.count; ++i) {
            EXPECT_TRUE(units.hw[i].known);
            EXPECT_EQ(0, std::memcmp(units.hw[i].bytes, "\x52\x54\x00\x12\x34", 5));
            last.push_back(units.hw[i].bytes[5]);
        }
        return last;
    };
    EXPECT_EQ(state.units.count, 0u);
    ASSERT_EQ(bootp(from_unit(0x56)), HEARD_DEVICE);
    EXPECT_EQ(unit_order(state.units), std::vector<int>{0x56});
    bootp(from_unit(0x56));
    EXPECT_TRUE(stall_notices.empty()) << "the same unit asking again is no second device";

    // A second unit is answered all the same (a loader may change its address between
    // stages), and told at once, once, with both addresses and neither called the device.
    ASSERT_EQ(bootp(from_unit(0x99)), HEARD_DEVICE);
    ASSERT_EQ(stall_notices.size(), 1u);
    const UpdateNotice& told = stall_notices[0].first;
    EXPECT_EQ(told.kind, NOTICE_SECOND_DEVICE);
    EXPECT_EQ(unit_order(told.units), (std::vector<int>{0x56, 0x99}));
    state.now_us += 1000000; // past the replies' rate limit
    bootp(from_unit(0x99));
    bootp(from_unit(0x77));
    for (unsigned char more = 0xA0; more < 0xA3; ++more)
        bootp(from_unit(more));
    EXPECT_EQ(stall_notices.size(), 1u);
    EXPECT_EQ(fake.sends.size(), 8u) << "every tagged request is answered";
    EXPECT_EQ(unit_order(state.units), (std::vector<int>{0x56, 0x99, 0x77, 0xA0}));

    // An untagged request tells nothing of a device.
    Bytes other = bootp_request("");
    other[BOOTP_CHADDR] = 0x01;
    bootp(other);
    EXPECT_EQ(state.units.count, 4u);
}

// Replies to any tagged request, and ERRORs to any stranger, are few a second: a flood of small
// requests must not become a flood of 300-byte broadcasts to every host of the segment.
TEST_F(Bootp, RepliesAreFourASecondAndLeaveByTheInterfaceLookedUpWhenBound) {
    open_state(1000);
    EXPECT_EQ(fake.interface_lookups, 1);
    const std::uint64_t T = 10000000;
    struct Arrival {
        std::uint64_t at_us;
        bool answered;
    };
    const Arrival flood[] = {{T, true},           {T, true},           {T, true},
                             {T + 1, true},       {T + 2, false},      {T + 999999, false},
                             {T + 1000000, true}, {T + 1000000, true}, {T + 5000000, true}};
    for (const Arrival& a : flood) {
        const int length = put(bootp_request());
        state.now_us = a.at_us;
        EXPECT_EQ(handle_bootp_request(state, length, TARGET, host_to_net16(68)) == HEARD_DEVICE,
                  a.answered)
            << a.at_us - T;
    }
    ASSERT_EQ(fake.sends.size(), 7u);
    for (const FakeSend& s : fake.sends)
        EXPECT_EQ(s.interface_index, FAKE_INTERFACE_INDEX);
    EXPECT_EQ(fake.interface_lookups, 1) << "the interface was looked up again for a reply";

    // Refusals to other hosts are held to the same rate; ERRORs to the target are not.
    fake.sends.clear();
    const std::uint32_t STRANGER = fake_address(198, 51, 100, 77);
    for (int i = 0; i < 6; ++i) {
        for (std::uint32_t from : {STRANGER, TARGET}) {
            const int length = put(tftp_texts(TFTP_OP_WRQ, {"f", "octet"}));
            state.now_us = T + 9000000;
            handle_tftp_request(state, length, from, host_to_net16(2000));
        }
    }
    std::size_t to_stranger = 0;
    for (const FakeSend& s : fake.sends)
        to_stranger += s.to_addr == STRANGER ? 1 : 0;
    EXPECT_EQ(to_stranger, 4u);
    EXPECT_EQ(fake.sends.size() - to_stranger, 6u);
}

TEST_F(Bootp, ShortTaggedRequestNeedsItsTerminatorAndIsPaddedWithZeros) {
    open_state(1000);
    // 53 bytes hold the tag and its zero byte: answered, zero-padded to 300 bytes.
    Bytes req = bootp_request("pexlinQB", 53);
    ASSERT_EQ(bootp(req), HEARD_DEVICE);
    ASSERT_EQ(fake.sends.size(), 1u);
    const Bytes& b = fake.sends[0].bytes;
    ASSERT_EQ(b.size(), 300u);
    EXPECT_TRUE(std::equal(req.begin() + 3, req.begin() + 16, b.begin() + 3));
    for (std::size_t i = 53; i < 300; ++i) {
        if (i < BOOTP_FILE || i > BOOTP_FILE + 12) {
            ASSERT_EQ(b[i], 0) << "byte " << i;
        }
    }

    // 52 bytes end in the middle of the tag's terminator: not a complete tagged request.
    EXPECT_EQ(bootp(bootp_request("pexlinQB", 52)), HEARD_STRAY);
    EXPECT_EQ(bootp(Bytes{}), HEARD_STRAY);
    EXPECT_EQ(fake.sends.size(), 1u);
}

} // namespace
