// The engine's inside: the record of one upload and the functions that work on it.
#pragma once

#include "engine.h"
#include "platform.h"
#include "wire.h"

#include <cstdint>

// A condition that becomes a stall once it has lasted STALL_NOTICE_SECONDS.
struct StallWatch {
    bool running;           // the condition holds
    bool reported;          // the stall has been reported
    std::uint64_t since_us; // when the condition began, on the engine's clock
};

// One transfer: what a read request from the device starts, on a data endpoint of its own. It
// belongs to the request's source address and port (its transfer identifier), which never
// change; only their datagrams count for it. The next read request that starts one replaces it
// whole, so nothing of an abandoned transfer (its block, its peer, the peer's error) carries
// over.
struct Transfer {
    net_socket data_sock = NET_INVALID_SOCKET; // open while the transfer runs
    std::uint32_t current_block;               // the block sent last, awaiting its ACK
    std::uint32_t peer_addr;
    std::uint16_t peer_port;
    DeviceError device_error; // the peer's first TFTP ERROR, told when it came
    // When the transfer last moved: its read request served, or its last accepted ACK.
    std::uint64_t moved_us;
    // The data endpoint's port (network order), kept from its draw: a reopen takes it again
    // without asking a socket the system may have given up.
    std::uint16_t data_port;
};

// Where an upload stands. It moves forward only, except that a read request whose data port
// cannot be opened leaves no transfer running.
enum UploadPhase : int {
    PHASE_WAKING = 0,       // beaconing: the device has not been heard
    PHASE_HEARD = 1,        // the device has been heard; no transfer runs
    PHASE_TRANSFERRING = 2, // a transfer runs: its current block awaits its acknowledgement
};

// How an endpoint is bound: to the local address only, or so that it also hears the limited
// broadcasts arriving on that address's interface (net_bind), as the BOOTP endpoint must: the
// device asks before it has an address.
enum Hearing : int { HEAR_LOCAL_ADDRESS = 0, HEAR_BROADCASTS = 1 };

// The endpoints of an upload. The fixed ones come first, in the order they are opened; the loop
// waits on BOOTP, TFTP and, while a transfer runs, the data endpoint, in that order.
enum Endpoint : int {
    WAKE_ENDPOINT = 0, // only ever sent on
    BOOTP_ENDPOINT,    // also hears the limited broadcasts on the local address's interface
    TFTP_ENDPOINT,
    FIXED_ENDPOINT_COUNT,
    DATA_ENDPOINT = FIXED_ENDPOINT_COUNT, // the transfer's, on a port drawn for it
    ENDPOINT_COUNT,
};

struct FixedEndpoint {
    std::uint16_t port; // host order
    int broadcast;      // 1: sends to broadcast addresses allowed
    Hearing hearing;
    int cannot_open; // the upload's result when it cannot be opened at the start
};

// The fixed endpoints, by Endpoint: set-up, teardown and recovery open and close them from here.
inline constexpr FixedEndpoint FIXED_ENDPOINTS[FIXED_ENDPOINT_COUNT] = {
    {WAKE_PORT, 1, HEAR_LOCAL_ADDRESS, UPDATE_NO_WAKE_PORT},
    {BOOTP_SERVER_PORT, 1, HEAR_BROADCASTS, UPDATE_NO_BOOTP_PORT},
    {TFTP_SERVER_PORT, 0, HEAR_LOCAL_ADDRESS, UPDATE_NO_TFTP_PORT},
};

// At most RATE_LIMIT_PER_SECOND sends in each second counted from the first of them.
struct RateLimit {
    std::uint64_t window_us;
    std::uint32_t sent;
};
constexpr std::uint32_t RATE_LIMIT_PER_SECOND = 4;
bool rate_allows(RateLimit& limit, std::uint64_t now_us);

struct UploadState {
    std::uint32_t local_addr;  // network order; the endpoints' address (see net_bind for BOOTP's)
    std::uint32_t target_addr; // network order
    UpdateMode mode;
    notice_callback notice; // may be null
    void* context;          // the front end's, handed back with every notice

    unsigned char* image; // the whole image file; the upload's one allocation
    std::uint32_t image_size;

    net_socket endpoints[FIXED_ENDPOINT_COUNT]; // by Endpoint, as FIXED_ENDPOINTS opens them

    // Every datagram is received into it and every reply is built in it. Past the length of the
    // datagram just received it holds zeros, so no byte of an earlier datagram is ever used.
    unsigned char packet[PACKET_BUFFER_SIZE];
    unsigned char beacon[BEACON_SIZE];

    UploadPhase phase;
    std::uint32_t port_draw; // the data-port generator, seeded once per upload
    std::uint32_t beacon_count;
    // Quiet ticks in a row while waking with the wake endpoint closed, waiting for the local
    // address: no beacon left, so they do not count as beacons.
    std::uint32_t addressless_ticks;
    std::uint32_t retransmit_ticks; // quiet ticks since the last DATA send

    Transfer transfer;
    // Counts the read requests that opened (or tried to open) a data endpoint, so that the loop
    // tells a transfer started in its pass from the one it waited on, whose endpoint number
    // the new one may have reused.
    std::uint32_t transfers_started;

    NetFault wait_fault; // why the wait failed, taken when it did
    int wait_result;     // the result a wait that ended the update left

    // The engine's clock when this pass's wait ended; the handlers take their time from it.
    std::uint64_t now_us;

    UnitsAnswered units;     // the hardware addresses BOOTP replies went to
    bool second_device_told; // a second hardware address answered has been told
    bool stranger_told;      // a read request from another address has been told
    // The device was heard (a BOOTP request answered, or a read request served) and when; from
    // then on, until an ACK is accepted, the upload has READ_REQUEST_WAIT_SECONDS left.
    bool device_heard;
    std::uint64_t device_heard_us;
    bool read_request_served; // a read request from the target address started a transfer
    bool ack_accepted;        // a transfer's ACK has been accepted: no time-out from then on

    StallWatch read_request_watch; // from the first answered BOOTP request until a transfer runs
    // From the first transfer's start, then from each accepted ACK: a stream of read requests
    // that restart the transfer does not hold the stall notice back.
    StallWatch block_watch;

    RateLimit bootp_replies;       // BOOTP replies, broadcast to every host of the segment
    RateLimit stranger_errors;     // ERROR replies to other addresses than the target's
    std::uint32_t bootp_interface; // where BOOTP replies leave (net_interface_index)
};

// What a datagram turned out to be. Only the device's own traffic stops the beacon and starts
// a new half-second tick (during a transfer, only the transfer's own); anything else leaves the
// loop's timing alone.
enum Heard : int { HEARD_STRAY = 0, HEARD_DEVICE = 1 };

enum AckResult : int {
    ACK_IGNORED = 0,  // not an acknowledgement of the current block
    ACK_ACCEPTED = 1, // the next block is on its way
    ACK_FINAL = 2,    // the last block was acknowledged: the upload is complete
};

// What a step of the upload returns while there is no result yet: it went well, go on.
constexpr int UPDATE_GOES_ON = -1;

constexpr std::uint32_t TICK_MS = 500;
// A read request from the device's address, on another port than its transfer's (or on the same
// port past block 1), replaces the transfer only once it has not moved for this long: a loader
// that really restarted has gone quiet on its old transfer, and repeats its request.
constexpr std::uint64_t TRANSFER_TAKEOVER_QUIET_US = 3000000u;
constexpr int MAX_DATA_PORT_DRAWS = 64;

// Returns an open socket bound to the local address and port (network order), or
// NET_INVALID_SOCKET; `fault` (if given) says why it failed. `broadcast` 1 allows sending
// broadcasts from it, 0 does not.
net_socket open_udp_endpoint(std::uint32_t local_addr, std::uint16_t port, int broadcast,
                             Hearing hearing, NetFault* fault = nullptr);

// Opens one fixed endpoint on the local address as FIXED_ENDPOINTS has it; NET_INVALID_SOCKET
// when it cannot be, `fault` (if given) saying why.
net_socket open_fixed_endpoint(UploadState& state, Endpoint endpoint, NetFault* fault = nullptr);
// Opens the fixed endpoints in their order and stops at the first that fails: returns its
// FIXED_ENDPOINTS result, with `fault` saying why, or UPDATE_GOES_ON.
int open_fixed_endpoints(UploadState& state, NetFault* fault);
// Opens the data endpoint of a new transfer on a port drawn from the upload's generator, trying
// up to MAX_DATA_PORT_DRAWS ports; keeps the port in the transfer. NET_INVALID_SOCKET when none
// opens.
net_socket open_data_endpoint(UploadState& state);
// Closes every endpoint still open, the data endpoint too.
void close_endpoints(UploadState& state);

void build_beacon(unsigned char* beacon, std::uint32_t target_addr);

// When the system has given up an endpoint (net_endpoint_lost), closes them all and opens them
// again on the same ports; one that cannot be opened yet (its address is not back) stays
// NET_INVALID_SOCKET, which waits pass over and sends leave alone, and is tried again at the
// next call. Returns whether it found an endpoint given up or still closed.
bool recover_lost_endpoints(UploadState& state);

// On a quiet tick: when the system's list no longer holds the local address as usable
// (net_address_state), closes every endpoint, which recover_lost_endpoints opens again once it
// is back.
void watch_local_address(UploadState& state);

// Runs the upload's loop until the transfer completes, the device stays silent, or the wait
// fails; returns the result code.
int run_event_loop(UploadState& state);

Heard handle_bootp_request(UploadState& state, int length, std::uint32_t from_addr,
                           std::uint16_t from_port);
Heard handle_tftp_request(UploadState& state, int length, std::uint32_t from_addr,
                          std::uint16_t from_port);
// What arrives on the data endpoint: the peer's TFTP ERROR (kept and told, ending nothing), or
// anything else, for handle_ack.
AckResult handle_data_datagram(UploadState& state, int length, std::uint32_t from_addr,
                               std::uint16_t from_port);
AckResult handle_ack(UploadState& state, int length, std::uint32_t from_addr,
                     std::uint16_t from_port);
// Sends the current block to the peer, first or again, and starts the resend count anew.
void send_current_block(UploadState& state);
// Hands a notice to the front end; false when it ends the update there.
bool tell_front_end(const UploadState& state, const UpdateNotice& notice);
// Tells the front end the share of the image delivered.
void tell_progress(const UploadState& state, std::uint32_t percent);
// A notice about the current transfer: its block, its peer and the peer's error, if any.
UpdateNotice transfer_notice(const UploadState& state, NoticeKind kind);

// Whether the current block is the one that ends the image.
bool is_last_block(const UploadState& state);

// Builds the DATA packet for `block` (counted from 1, not wrapped) in `packet`; returns its length.
int build_data_packet(const unsigned char* image, std::uint32_t image_size, unsigned char* packet,
                      std::uint32_t block);
