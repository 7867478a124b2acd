// Shared pieces of the engine tests: an UploadState on the scripted network, real image data,
// and the packets a device sends.
#pragma once

#include "fake_platform.h"
#include "upload_state.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

inline const std::uint32_t LOCAL = fake_address(198, 51, 100, 1);
inline const std::uint32_t TARGET = fake_address(198, 51, 100, 10);
constexpr std::uint16_t CLIENT_BOOTP_PORT = 68;
constexpr std::uint16_t CLIENT_TFTP_PORT = 2070;
constexpr std::uint64_t ARRIVAL_STEP_US = 250000;

// What the engine told, by kind: the progress percentages, the modes of the images opened, and
// every other notice with the scripted clock's skip when it came.
inline std::vector<std::uint32_t> progress_calls;
inline std::string opened_modes;
inline std::vector<std::pair<UpdateNotice, std::uint64_t>> stall_notices;
inline bool record_notice(void* /*context*/, const UpdateNotice& notice) {
    if (notice.kind == NOTICE_PROGRESS)
        progress_calls.push_back(notice.percent);
    else if (notice.kind == NOTICE_IMAGE_OPENED)
        opened_modes.push_back(static_cast<char>(notice.mode));
    else
        stall_notices.emplace_back(notice, fake.clock_skip_us);
    return true;
}

inline Bytes make_image(std::size_t size) {
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i)
        image[i] = static_cast<unsigned char>((i * 131 + i / 251) & 0xFF);
    return image;
}

inline Bytes bootp_request(const char* sname = "pexlinQB", std::size_t length = 300,
                           unsigned char op = 1, unsigned char htype = 1, unsigned char hlen = 6) {
    Bytes p(length < 300 ? 300 : length, 0);
    p[BOOTP_OP] = op;
    p[BOOTP_HTYPE] = htype;
    p[BOOTP_HLEN] = hlen;
    for (std::size_t i = 3; i < p.size(); ++i)
        if (i < BOOTP_SNAME || i >= BOOTP_SNAME + BOOTP_SNAME_LENGTH)
            p[i] = static_cast<unsigned char>(0x40 + i % 61); // xid, chaddr, file, vendor area
    std::memcpy(&p[BOOTP_SNAME], sname, std::strlen(sname));
    p.resize(length);
    return p;
}

inline Bytes tftp_packet(std::uint16_t opcode, std::uint16_t block) {
    return Bytes{static_cast<unsigned char>(opcode >> 8), static_cast<unsigned char>(opcode),
                 static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block)};
}
inline Bytes ack(std::uint16_t block) {
    return tftp_packet(TFTP_OP_ACK, block);
}

// A TFTP packet of a 2-byte opcode and 2-byte field followed by zero-terminated texts.
inline Bytes tftp_texts(std::uint16_t opcode, const std::vector<std::string>& texts,
                        int field = -1) {
    Bytes p{static_cast<unsigned char>(opcode >> 8), static_cast<unsigned char>(opcode)};
    if (field >= 0) {
        p.push_back(static_cast<unsigned char>(field >> 8));
        p.push_back(static_cast<unsigned char>(field));
    }
    for (const std::string& t : texts) {
        for (char c : t)
            p.push_back(static_cast<unsigned char>(c));
        p.push_back(0);
    }
    return p;
}

inline Bytes rrq(const std::string& name = "firmware.bin", const std::string& mode = "octet") {
    return tftp_texts(TFTP_OP_RRQ, {name, mode});
}

inline const Bytes ONLY_RRQ_ERROR = tftp_texts(TFTP_OP_ERROR, {"Only RRQ is supported!"}, 4);

// The DATA packet that must carry `block` (counted from 1) of `image`.
inline Bytes expected_data(const Bytes& image, std::uint64_t block) {
    std::uint64_t offset = (block - 1) * 512;
    std::uint64_t n =
        offset < image.size() ? std::min<std::uint64_t>(512, image.size() - offset) : 0;
    Bytes p(4 + n);
    p[1] = 3;
    p[2] = static_cast<unsigned char>(block >> 8);
    p[3] = static_cast<unsigned char>(block);
    if (n > 0)
        std::memcpy(&p[4], &image[offset], n);
    return p;
}

// One row of a scripted timeline: in pass `pass` (0 is the loop's first wait) a datagram
// arrives on the endpoint bound to `port`, or on the data endpoint open then (ON_DATA); or
// `event` happens. A pass plays its rows in their order.
constexpr std::uint16_t ON_DATA = 0;
enum PassEvent {
    ARRIVES,
    WAIT_INTERRUPTED, // by a signal
    ADDRESS_GOES,     // LOCAL leaves the host, its sockets treated as the FakeLoss `value` says
    ADDRESS_BACK,     // listed again; if `value`, its duplicate-address check not yet done
    PORT_TAKEN,       // by another program: binds to port `value` fail
    DEVICE_ACKS,      // each DATA block that reached it since it last looked (a repeat again)
    PACE,             // from this pass on, each pass moves the clock `value` microseconds on
};
struct TimedDatagram {
    int pass;
    std::uint16_t port;
    Bytes bytes;
    std::uint32_t from_addr;
    std::uint16_t from_port;
    PassEvent event = ARRIVES;
    std::uint64_t value = 0;
};
inline TimedDatagram at(int pass, PassEvent event, std::uint64_t value = 0) {
    return {pass, 0, {}, 0, 0, event, value};
}

// The loop's passes: each moves the scripted clock `pass_us` on and plays its rows. The wait of
// pass `end_pass` fails, which ends the loop, as does the first wait after `end_sends` (0: none)
// datagrams have gone from the endpoint bound to `end_port` (ON_DATA: from data endpoints).
struct Timeline {
    std::vector<TimedDatagram> rows;
    int end_pass;
    std::uint64_t pass_us = 0;
    std::uint16_t end_port = ON_DATA;
    std::size_t end_sends = 0;
};

// What run_timeline saw at the end of each pass's script: the clock's skip, and the sends and
// binds tried so far; and the last block the device of DEVICE_ACKS acknowledged.
struct PassMark {
    std::uint64_t skip_us;
    std::size_t sends;
    std::size_t binds;
};
inline std::vector<PassMark> pass_marks;
inline std::uint16_t device_acked;

// The one driver of the loop's scripted passes: runs the loop through the timeline.
inline int run_timeline(UploadState& state, const Timeline& timeline) {
    pass_marks.clear();
    device_acked = 0;
    fake.on_wait = [&timeline, pass_us = timeline.pass_us, seen = std::size_t{0}](int n) mutable {
        std::size_t sent = 0;
        for (const FakeSend& s : fake.sends)
            sent += timeline.end_port == ON_DATA ? fake_is_data_port(s.from_port)
                                                 : s.from_port == timeline.end_port;
        if (n >= timeline.end_pass || (timeline.end_sends > 0 && sent >= timeline.end_sends))
            return NET_WAIT_FAILED;
        int result = FAKE_WAIT_FROM_QUEUES;
        for (const TimedDatagram& d : timeline.rows) {
            if (d.pass != n)
                continue;
            if (d.event == ARRIVES)
                fake_queue_on(d.port == ON_DATA ? fake_data_socket() : fake_socket_on(d.port),
                              d.bytes, d.from_addr, d.from_port);
            else if (d.event == WAIT_INTERRUPTED)
                result = NET_WAIT_INTERRUPTED;
            else if (d.event == ADDRESS_GOES)
                fake_address_goes(LOCAL, static_cast<FakeLoss>(d.value));
            else if (d.event == ADDRESS_BACK)
                d.value != 0 ? fake_address_returns_tentative() : fake_address_returns();
            else if (d.event == PORT_TAKEN)
                fake.failing_ports.push_back(static_cast<std::uint16_t>(d.value));
            else if (d.event == PACE)
                pass_us = d.value;
            else if (d.event == DEVICE_ACKS)
                for (; seen < fake.sends.size(); ++seen) {
                    const FakeSend& f = fake.sends[seen];
                    if (!fake_is_data_port(f.from_port) || f.dropped)
                        continue;
                    const std::uint16_t block = get_be16(&f.bytes[TFTP_BLOCK]);
                    if (block == device_acked + 1 || block == device_acked) {
                        fake_queue_on(fake_data_socket(), ack(block), TARGET, CLIENT_TFTP_PORT);
                        device_acked = block;
                    }
                }
        }
        fake.clock_skip_us += pass_us;
        pass_marks.push_back({fake.clock_skip_us, fake.sends.size(), fake.bind_attempts.size()});
        return result;
    };
    return run_event_loop(state);
}

// Every engine test runs on a fresh scripted network and ends with its invariants checked.
class EngineTest : public testing::Test {
  public:
    Bytes image;
    UploadState state{};

    void SetUp() override {
        fake_reset();
        progress_calls.clear();
        opened_modes.clear();
        stall_notices.clear();
    }

    void TearDown() override {
        EXPECT_EQ(fake.unready_receives, 0) << "a socket was read that the wait did not report";
        EXPECT_EQ(fake.sends_on_closed, 0);
        EXPECT_EQ(fake.closes_of_closed, 0);
    }

    // The state as update_target leaves it for the loop, with the loop's own start values.
    void open_state(std::size_t image_size, UpdateMode mode = UPDATE_MODE_FIRMWARE,
                    notice_callback notice = record_notice) {
        image = make_image(image_size);
        state.local_addr = LOCAL;
        state.target_addr = TARGET;
        state.mode = mode;
        state.notice = notice;
        state.image = image.data();
        state.image_size = static_cast<std::uint32_t>(image.size());
        state.transfer.data_sock = NET_INVALID_SOCKET;
        NetFault fault = NET_FAULT_NONE;
        ASSERT_EQ(open_fixed_endpoints(state, &fault), UPDATE_GOES_ON);
        build_beacon(state.beacon, state.target_addr);
        ASSERT_EQ(fake_open_sockets(), 3);
    }

    // Puts a datagram in the packet buffer as the loop does, zeros after it. Each arrives a
    // quarter of a second after the one before, as a loader's retries would, within the
    // replies' rate limit.
    int put(const Bytes& datagram) {
        state.now_us += ARRIVAL_STEP_US;
        std::memset(state.packet, 0, sizeof state.packet);
        if (!datagram.empty())
            std::memcpy(state.packet, datagram.data(), datagram.size());
        return static_cast<int>(datagram.size());
    }

    Heard bootp(const Bytes& d, std::uint16_t port = CLIENT_BOOTP_PORT) {
        return handle_bootp_request(state, put(d), TARGET, host_to_net16(port));
    }
    Heard request(const Bytes& d, std::uint32_t from = TARGET,
                  std::uint16_t port = CLIENT_TFTP_PORT) {
        return handle_tftp_request(state, put(d), from, host_to_net16(port));
    }
    AckResult acknowledge(const Bytes& d, std::uint32_t from = TARGET,
                          std::uint16_t port = CLIENT_TFTP_PORT) {
        return handle_data_datagram(state, put(d), from, host_to_net16(port));
    }
};
