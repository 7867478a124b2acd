#include "digest.h"

#include <array>
#include <cstdio>

namespace {

constexpr std::uint32_t CRC32_POLYNOMIAL = 0xEDB88320u; // 0x04C11DB7, bits reversed

constexpr std::array<std::uint32_t, 256> crc32_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < table.size(); ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1u) != 0 ? (c >> 1) ^ CRC32_POLYNOMIAL : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> CRC32_TABLE = crc32_table();

} // namespace

std::uint32_t crc32_of(const unsigned char* data, std::size_t size) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i)
        c = CRC32_TABLE[(c ^ data[i]) & 0xFFu] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

ImageDigest digest_image(const unsigned char* data, std::size_t size) {
    ImageDigest digest{};
    unsigned char sha[SHA256_SIZE];
    digest.sha256_known = sha256_digest(data, size, sha);
    for (std::size_t i = 0; digest.sha256_known && i < SHA256_SIZE; ++i)
        std::snprintf(digest.sha256_hex + 2 * i, 3, "%02x", sha[i]);
    digest.crc32 = crc32_of(data, size);
    return digest;
}
