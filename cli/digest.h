// The image's checksums, as the start line and the check's report give them: the SHA-256 to
// compare with the release's published one, the CRC-32 with what the device's loader prints for
// the bytes it took (its crc32 command).
#pragma once

#include "host.h"

#include <cstddef>
#include <cstdint>

// The CRC-32 of zlib, Ethernet and the loaders' crc32 commands: reflected, polynomial
// 0xEDB88320, starting from and finished with all bits set.
std::uint32_t crc32_of(const unsigned char* data, std::size_t size);

struct ImageDigest {
    bool sha256_known; // false when the system's crypto library refused
    char sha256_hex[2 * SHA256_SIZE + 1];
    std::uint32_t crc32;
};

ImageDigest digest_image(const unsigned char* data, std::size_t size);
