// Images near the 4 GiB limit: the block and offset arithmetic must not wrap. The image is a
// lazily mapped region that ends right at an inaccessible page, so a read past its end crashes.
#include "engine_fixture.h"

#include <sys/mman.h>
#include <unistd.h>

namespace {

class LargeImage : public EngineTest {
  public:
    unsigned char* base = nullptr;
    std::size_t mapped = 0;

    unsigned char* map_image(std::uint32_t size) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t data = (std::size_t{size} + page - 1) / page * page;
        mapped = data + page;
        void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED)
            return nullptr;
        base = static_cast<unsigned char*>(p);
        mprotect(base + data, page, PROT_NONE);
        unsigned char* image_start = base + (data - size);
        // Only the first and last blocks are touched, so only their pages are ever backed.
        for (std::size_t i = 0; i < 1024; ++i) {
            image_start[i] = static_cast<unsigned char>(i * 7 + 1);
            image_start[size - 1 - i] = static_cast<unsigned char>(i * 13 + 5);
        }
        return image_start;
    }

    void TearDown() override {
        if (base != nullptr)
            munmap(base, mapped);
        EngineTest::TearDown();
    }

    // A transfer of the image at its last but one block: its ACK sends `last`, the ACK of that
    // ends the upload.
    void serve_last_blocks(unsigned char* img, std::uint32_t size, const Bytes& last,
                           const std::vector<std::uint32_t>& progress) {
        open_state(0);
        state.image = img;
        state.image_size = size;
        ASSERT_EQ(request(rrq()), HEARD_DEVICE);
        state.transfer.current_block = 8388607;
        fake.sends.clear();
        EXPECT_EQ(acknowledge(ack(0xFFFF)), ACK_ACCEPTED);
        ASSERT_EQ(fake.sends.size(), 1u);
        EXPECT_EQ(fake.sends[0].bytes, last);
        EXPECT_EQ(acknowledge(ack(0)), ACK_FINAL) << "the upload would never end";
        EXPECT_EQ(fake.sends.size(), 1u) << "something was sent after the last ACK";
        EXPECT_EQ(progress_calls, progress);
    }
};

TEST_F(LargeImage, LastBlocksOfAnImageOf4GiBMinusOneStayInsideIt) {
    const std::uint32_t size = 0xFFFFFFFFu; // the last block, 8388608, carries 511 bytes
    unsigned char* img = map_image(size);
    ASSERT_NE(img, nullptr);
    unsigned char packet[PACKET_BUFFER_SIZE];
    ASSERT_EQ(build_data_packet(img, size, packet, 8388607), 516);
    EXPECT_EQ(std::memcmp(packet + 4, img + 0xFFFFFC00u, 512), 0);
    ASSERT_EQ(build_data_packet(img, size, packet, 8388608), 4 + 511);
    EXPECT_EQ(get_be16(packet + TFTP_BLOCK), 0);
    EXPECT_EQ(std::memcmp(packet + 4, img + 0xFFFFFE00u, 511), 0);
    EXPECT_EQ(build_data_packet(img, size, packet, 8388609), 4);
    EXPECT_EQ(build_data_packet(img, size, packet, 0xFFFFFFFFu), 4);

    Bytes last{0, 3, 0, 0};
    last.insert(last.end(), img + 0xFFFFFE00u, img + size);
    serve_last_blocks(img, size, last, {99, 100});
}

TEST_F(LargeImage, ImageOfWholeBlocksNear4GiBEndsWithAnEmptyBlock) {
    const std::uint32_t size = 0xFFFFFE00u; // 8388607 full blocks
    unsigned char* img = map_image(size);
    ASSERT_NE(img, nullptr);
    serve_last_blocks(img, size, {0, 3, 0, 0}, {100, 100});
}

} // namespace
