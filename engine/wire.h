// What crosses the wire: the layouts of the wake beacon, BOOTP and TFTP packets, and the
// helpers that put and get their big-endian fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr std::uint16_t WAKE_PORT = 9;
constexpr std::uint16_t BOOTP_SERVER_PORT = 67;
constexpr std::uint16_t BOOTP_CLIENT_PORT = 68;
constexpr std::uint16_t TFTP_SERVER_PORT = 69;
constexpr std::uint16_t DATA_PORT_BASE = 32768;
// Ports below this belong to services, which may answer a reply with one of their own.
constexpr std::uint16_t LOWEST_CLIENT_PORT = 1024;
constexpr unsigned DATA_PORT_MASK = 0x1FFF; // data ports 32768 to 40959
constexpr std::uint32_t LIMITED_BROADCAST = 0xFFFFFFFFu;

// Every datagram a device sends fits: a BOOTP request is 300 bytes, one padded as DHCP clients
// do at most 548 (the payload of the 576-byte datagram every host must accept), and a read
// request is a few dozen. So do the largest packets built here, a DATA packet (516 bytes) and a
// BOOTP reply (300). Anything longer is dropped unread.
constexpr std::size_t PACKET_BUFFER_SIZE = 700;

// Wake beacon: six 0xAA bytes, the magic text, then the target address twice.
constexpr std::size_t BEACON_SYNC_OFFSET = 0;
constexpr std::size_t BEACON_SYNC_LENGTH = 6;
constexpr unsigned char BEACON_SYNC_BYTE = 0xAA;
constexpr std::size_t BEACON_MAGIC_OFFSET = 6;
constexpr char BEACON_MAGIC[] = "pexlinsoundworks";
constexpr std::size_t BEACON_MAGIC_LENGTH = sizeof BEACON_MAGIC - 1;
constexpr std::size_t BEACON_TARGET_OFFSET = 22;
constexpr std::size_t BEACON_TARGET_AGAIN_OFFSET = 26;
constexpr std::size_t BEACON_SIZE = 30;

// BOOTP (RFC 951), at its offsets. Requests and replies share the layout.
constexpr std::size_t BOOTP_OP = 0;
constexpr std::size_t BOOTP_HTYPE = 1;
constexpr std::size_t BOOTP_HLEN = 2;
constexpr std::size_t BOOTP_YIADDR = 16;
constexpr std::size_t BOOTP_SIADDR = 20;
constexpr std::size_t BOOTP_CHADDR = 28; // the client's hardware address, hlen bytes of it
constexpr std::size_t BOOTP_SNAME = 44;
constexpr std::size_t BOOTP_SNAME_LENGTH = 64;
constexpr std::size_t BOOTP_FILE = 108;
constexpr std::size_t BOOTP_FILE_LENGTH = 128;
constexpr std::size_t BOOTP_REPLY_SIZE = 300;
constexpr unsigned char BOOTP_OP_REQUEST = 1;
constexpr unsigned char BOOTP_OP_REPLY = 2;
constexpr unsigned char BOOTP_HTYPE_ETHERNET = 1;
constexpr unsigned char BOOTP_HLEN_ETHERNET = 6;
constexpr char BOOTP_DEVICE_TAG[] = "pexlinQB";
constexpr std::size_t BOOTP_DEVICE_TAG_LENGTH = sizeof BOOTP_DEVICE_TAG - 1;
// A request must hold the tag and its terminating zero to be recognised.
constexpr std::size_t BOOTP_MIN_TAGGED_LENGTH = BOOTP_SNAME + BOOTP_DEVICE_TAG_LENGTH + 1;
constexpr char BOOT_FILE_FIRMWARE[] = "firmware.bin";
constexpr char BOOT_FILE_BOOT_AREA[] = "bootboot.bin";

// TFTP (RFC 1350): a 2-byte opcode, then a block number (DATA, ACK) or an error code (ERROR).
constexpr std::size_t TFTP_OPCODE = 0;
constexpr std::size_t TFTP_BLOCK = 2;
constexpr std::size_t TFTP_ERROR_CODE = 2;
constexpr std::size_t TFTP_PAYLOAD = 4;
constexpr std::size_t TFTP_ERROR_TEXT = 4;
constexpr std::size_t TFTP_ACK_SIZE = 4;
constexpr std::size_t TFTP_BLOCK_SIZE = 512;
constexpr std::uint16_t TFTP_OP_RRQ = 1;
constexpr std::uint16_t TFTP_OP_WRQ = 2;
constexpr std::uint16_t TFTP_OP_DATA = 3;
constexpr std::uint16_t TFTP_OP_ACK = 4;
constexpr std::uint16_t TFTP_OP_ERROR = 5;
constexpr std::uint16_t TFTP_ERR_NOT_DEFINED = 0;
constexpr std::uint16_t TFTP_ERR_ACCESS_VIOLATION = 2;
constexpr std::uint16_t TFTP_ERR_ILLEGAL_OPERATION = 4;
constexpr char TFTP_TEXT_ONLY_RRQ[] = "Only RRQ is supported!";
constexpr char TFTP_TEXT_NO_DATA_PORT[] = "No data port available";
constexpr char TFTP_TEXT_DEVICE_ONLY[] = "Only the device being updated is served";

static_assert(BEACON_MAGIC_OFFSET + BEACON_MAGIC_LENGTH == BEACON_TARGET_OFFSET);
static_assert(BEACON_TARGET_AGAIN_OFFSET + 4 == BEACON_SIZE);
static_assert(BOOTP_SNAME + BOOTP_SNAME_LENGTH == BOOTP_FILE);
static_assert(BOOTP_CHADDR + BOOTP_HLEN_ETHERNET <= BOOTP_MIN_TAGGED_LENGTH,
              "a tagged request holds the hardware address");
static_assert(BOOTP_FILE + BOOTP_FILE_LENGTH <= BOOTP_REPLY_SIZE);
static_assert(sizeof BOOT_FILE_FIRMWARE <= BOOTP_FILE_LENGTH &&
              sizeof BOOT_FILE_BOOT_AREA <= BOOTP_FILE_LENGTH);
static_assert(PACKET_BUFFER_SIZE >= TFTP_PAYLOAD + TFTP_BLOCK_SIZE, "a full DATA packet fits");
static_assert(PACKET_BUFFER_SIZE >= BOOTP_REPLY_SIZE, "a BOOTP reply fits");
static_assert(PACKET_BUFFER_SIZE >= TFTP_ERROR_TEXT + sizeof TFTP_TEXT_ONLY_RRQ &&
              PACKET_BUFFER_SIZE >= TFTP_ERROR_TEXT + sizeof TFTP_TEXT_NO_DATA_PORT &&
              PACKET_BUFFER_SIZE >= TFTP_ERROR_TEXT + sizeof TFTP_TEXT_DEVICE_ONLY);

inline void put_be16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

inline std::uint16_t get_be16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

// Addresses are kept in network order, so they go onto the wire as they are in memory.
inline void put_net32(unsigned char* p, std::uint32_t network_order) {
    std::memcpy(p, &network_order, 4);
}

inline std::uint32_t get_net32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
