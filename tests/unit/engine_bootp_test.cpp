// The BOOTP responder, called directly on an UploadState.
#include "engine_fixture.h"

#include <algorithm>
#include <span>
#include <tuple>

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
    // 52 bytes end in the middle of the tag's terminator: not a complete tagged request.
    EXPECT_EQ(bootp(bootp_request("pexlinQB", 52)), HEARD_STRAY);
    EXPECT_EQ(bootp(Bytes{}), HEARD_STRAY);
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

// The reply is the request changed in place, cut or padded with zeros to 300 bytes, with the
// boot file the mode asks for, broadcast to the requester's port; again for the same request.
TEST_F(Bootp, ReplyIsTheRequestChangedInPlaceBroadcastToTheRequesterPort) {
    open_state(1000);
    const std::pair<UpdateMode, const char*> modes[] = {{UPDATE_MODE_BOOT_AREA, "bootboot.bin"},
                                                        {UPDATE_MODE_FIRMWARE, "firmware.bin"},
                                                        {'b', "firmware.bin"},
                                                        {'8', "firmware.bin"}};
    for (auto [mode, name] : modes) {
        for (std::size_t length : {548, 53}) { // longer than the reply; the tag and its zero byte
            SCOPED_TRACE(testing::Message() << "mode " << int(mode) << ", " << length << " bytes");
            state.mode = mode;
            fake.sends.clear();
            const Bytes req = bootp_request("PexlinQB", length);
            Bytes want = req;
            want.resize(300);
            want[BOOTP_OP] = 2;
            put_net32(&want[BOOTP_YIADDR], TARGET);
            put_net32(&want[BOOTP_SIADDR], LOCAL);
            std::memcpy(&want[BOOTP_FILE], name, 13); // the rest of the field as received
            for (std::size_t n = 1; n <= 2; ++n) {
                ASSERT_EQ(bootp(req, 6800), HEARD_DEVICE);
                ASSERT_EQ(fake.sends.size(), n);
                const FakeSend& s = fake.sends.back();
                EXPECT_EQ(std::tuple(s.sock, s.from_addr, s.to_addr, s.to_port),
                          std::tuple(state.endpoints[BOOTP_ENDPOINT], LOCAL, 0xFFFFFFFFu, 6800));
                // As text, which a failure shows whole.
                EXPECT_EQ(std::string(s.bytes.begin(), s.bytes.end()),
                          std::string(want.begin(), want.end()));
            }
        }
    }
}

TEST_F(Bootp, EveryHardwareAddressAnsweredIsKeptInOrderAndASecondOneToldOnce) {
    open_state(1000);
    // A request from the unit 52:54:00:12:34:`last`, and the `last` bytes of the units named.
    auto from_unit = [](unsigned char last) {
        Bytes req = bootp_request();
        const unsigned char hw[] = {0x52, 0x54, 0x00, 0x12, 0x34, last};
        std::memcpy(&req[BOOTP_CHADDR], hw, sizeof hw);
        return req;
    };
    auto unit_order = [](const UnitsAnswered& units) { // -1: not known, or not such a unit
        std::vector<int> last;
        for (const HardwareAddress& hw : std::span(units.hw, units.count))
            last.push_back(
                hw.known && !std::memcmp(hw.bytes, "\x52\x54\x00\x12\x34", 5) ? hw.bytes[5] : -1);
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
    for (unsigned char unit : {0x99, 0x77, 0xA0, 0xA1, 0xA2})
        bootp(from_unit(unit));
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
    // When each request arrives, and whether it is answered.
    const std::pair<std::uint64_t, bool> flood[] = {
        {T, true},           {T, true},           {T, true},
        {T + 1, true},       {T + 2, false},      {T + 999999, false},
        {T + 1000000, true}, {T + 1000000, true}, {T + 5000000, true}};
    for (auto [at_us, answered] : flood) {
        const int length = put(bootp_request());
        state.now_us = at_us;
        EXPECT_EQ(handle_bootp_request(state, length, TARGET, host_to_net16(68)) == HEARD_DEVICE,
                  answered)
            << at_us - T;
    }
    ASSERT_EQ(fake.sends.size(), 7u);
    for (const FakeSend& s : fake.sends)
        EXPECT_EQ(s.interface_index, FAKE_INTERFACE_INDEX);
    EXPECT_EQ(fake.interface_lookups, 1) << "the interface was looked up again for a reply";

    // Refusals to other hosts are held to the same rate; ERRORs to the target are not.
    fake.sends.clear();
    const std::uint32_t STRANGER = fake_address(198, 51, 100, 77);
    for (int i = 0; i < 12; ++i) { // six from each, all at once
        const int length = put(tftp_texts(TFTP_OP_WRQ, {"f", "octet"}));
        state.now_us = T + 9000000;
        handle_tftp_request(state, length, i % 2 ? TARGET : STRANGER, host_to_net16(2000));
    }
    const auto to_stranger =
        std::count_if(fake.sends.begin(), fake.sends.end(),
                      [&](const FakeSend& s) { return s.to_addr == STRANGER; });
    EXPECT_EQ(to_stranger, 4);
    EXPECT_EQ(fake.sends.size() - to_stranger, 6u);
}

} // namespace
