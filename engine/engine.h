// The update engine: one call performs one complete upload of an image to a QuibbleBox.
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdint>

// '7' selects the device's boot area; every other value selects the firmware.
using UpdateMode = unsigned char;
constexpr UpdateMode UPDATE_MODE_FIRMWARE = 0;
constexpr UpdateMode UPDATE_MODE_BOOT_AREA = '7';

// How long the device may leave the update standing still before the operator is told.
constexpr std::uint32_t STALL_NOTICE_SECONDS = 10;
// How long after the device is first heard (its BOOTP request answered, or its read request
// served) a block must be acknowledged before the update gives up (UPDATE_NO_READ_REQUEST,
// UPDATE_NO_ACKNOWLEDGEMENT). Once one is, the update has no time-out.
constexpr std::uint32_t READ_REQUEST_WAIT_SECONDS = 60;

// What the engine tells the front end while an update runs. The engine says facts; the words
// are the front end's.
enum NoticeKind : int {
    NOTICE_NO_READ_REQUEST = 0, // the device took a BOOTP reply but has not asked for the image
    NOTICE_BLOCK_UNACKNOWLEDGED = 1, // the device stopped acknowledging the block being resent
    NOTICE_NETWORK_STARTS = 2,       // image loaded, endpoints open; the first beacon is next
    NOTICE_DEVICE_ERROR = 3,         // the transfer's peer sent a TFTP ERROR
    NOTICE_STRANGER_REFUSED = 4,     // a read request from another address than the target's
                                     // (once per upload)
    NOTICE_SECOND_DEVICE = 5,        // tagged BOOTP requests from a second hardware address
                                     // answered (once per upload): `units` names both
    NOTICE_IMAGE_OPENED = 6,         // the image opened, for `mode`; nothing sent yet
    NOTICE_WAIT_INTERRUPTED = 7,     // a signal cut the loop's wait short
    NOTICE_PROGRESS = 8,             // an acknowledged block: `percent` of the image delivered
};

constexpr std::size_t HW_ADDR_SIZE = 6;

// A BOOTP client's hardware address (chaddr), when a request has told it.
struct HardwareAddress {
    bool known;
    unsigned char bytes[HW_ADDR_SIZE];
};

constexpr std::size_t MAX_UNITS_NAMED = 4;

// The hardware addresses BOOTP replies went to, in the order first answered. Which of them took
// the image cannot be told: any host can send the device's tagged request.
struct UnitsAnswered {
    std::uint32_t count; // distinct addresses answered, up to MAX_UNITS_NAMED
    HardwareAddress hw[MAX_UNITS_NAMED];
};

// The longest device error text kept, in printable ASCII.
constexpr std::size_t DEVICE_ERROR_TEXT_MAX = 100;

// A TFTP ERROR from the device, as it will be quoted.
struct DeviceError {
    bool present;
    std::uint16_t code;
    char text[DEVICE_ERROR_TEXT_MAX + 1]; // other bytes than printable ASCII shown as '?'
};

// Addresses and ports in network byte order.
struct UpdateNotice {
    NoticeKind kind;
    std::uint32_t local_addr; // this host's address, the one the BOOTP reply named
    std::uint32_t block;      // the block being resent, counted from 1 (not wrapped)
    bool last_block;          // that block ends the image
    std::uint32_t peer_addr;  // where the block is being resent
    std::uint16_t peer_port;
    DeviceError device_error;   // the device's last ERROR on this data endpoint, if any
    UnitsAnswered units;        // the hardware addresses answered so far
    std::uint32_t refused_addr; // NOTICE_STRANGER_REFUSED: the address refused
    UpdateMode mode;            // NOTICE_IMAGE_OPENED
    std::uint32_t percent;      // NOTICE_PROGRESS: 0 to 100
    bool standing_still; // NOTICE_WAIT_INTERRUPTED: a stall was told and nothing has moved since
    // NOTICE_NETWORK_STARTS: the loaded image, lent for the length of the call.
    const unsigned char* image;
    std::uint32_t image_size;
};

// Called once for each notice, with the context given to update_target: the image opened, the
// network's start, each acknowledged block's progress, a stall when it has lasted
// STALL_NOTICE_SECONDS, a device error when it arrives (once per data endpoint), a refused
// stranger and a second device when first met, an interrupted wait each time. For a stall, an
// interrupted wait or the network's start, false ends the update at once with UPDATE_ABANDONED;
// true carries on. The other notices end nothing whatever the answer.
using notice_callback = bool (*)(void* context, const UpdateNotice& notice);

enum UpdateResult : int {
    UPDATE_DONE = 0,            // the device acknowledged the last block
    UPDATE_NO_IMAGE = 1,        // the image cannot be opened, held in memory or read in full
    UPDATE_NO_BOOTP_PORT = 2,   // UDP port 67 cannot be opened
    UPDATE_NO_TFTP_PORT = 3,    // UDP port 69 cannot be opened
    UPDATE_NO_WAKE_PORT = 4,    // UDP port 9 cannot be opened
    UPDATE_NO_ANSWER = 5,       // the device never answered the wake beacon
    UPDATE_WAIT_FAILED = 6,     // waiting on the endpoints failed
    UPDATE_ABANDONED = 7,       // the notice callback ended the update at a stall
    UPDATE_NO_READ_REQUEST = 8, // the device took a BOOTP reply but did not ask for the image
                                // within READ_REQUEST_WAIT_SECONDS
    // Read requests in the device's name were served, but no block was acknowledged within
    // READ_REQUEST_WAIT_SECONDS of the device being heard.
    UPDATE_NO_ACKNOWLEDGEMENT = 9,
};

enum ImageFault : int {
    IMAGE_OK = 0,
    IMAGE_MISSING,
    IMAGE_NOT_REGULAR,
    IMAGE_TOO_LARGE, // 4 GiB or more does not fit the transfer's 32-bit size
    IMAGE_NO_MEMORY,
    IMAGE_UNREADABLE,
    IMAGE_NO_PERMISSION,
};

// The device is given this many wake beacons to answer before the upload gives up.
constexpr std::uint32_t MAX_UNANSWERED_BEACONS = 41;

// Why an upload failed, beyond its result code; filled in by update_target when given.
struct UpdateDiagnosis {
    ImageFault image_fault;
    NetFault net_fault;                   // for the port results and UPDATE_WAIT_FAILED
    UnitsAnswered units{};                // the hardware addresses BOOTP replies went to
    std::uint32_t bytes_acknowledged = 0; // image bytes the device has acknowledged in its last
                                          // transfer: the whole image after UPDATE_DONE
};

// Opens the image as update_target loads it: a regular file, read as raw bytes. Returns the
// open file with its size, or null with the fault that says why it cannot be loaded.
std::FILE* open_image(const char* path, std::uint64_t* size, ImageFault* fault);

// Addresses in network byte order. Blocks until the upload is over; the socket library must
// have been started. `notice` may be null: the upload then tells nothing.
int update_target(std::uint32_t local_addr, std::uint32_t target_addr, const char* image_path,
                  UpdateMode mode, notice_callback notice, void* context,
                  UpdateDiagnosis* diagnosis = nullptr);
