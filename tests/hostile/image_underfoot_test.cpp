// The image changes between the front end's test open and the engine's load: it vanishes, or
// something that is not a regular file takes its place. The engine must refuse it at once,
// say why, and leave no descriptor open. Run inside a network namespace of its own: a fault
// that let such an image through would go on to open the engine's ports.
#include "command_line.h"
#include "engine.h"
#include "report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

int open_descriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

struct Swap {
    const char* what;
    void (*replace)(const fs::path& image);
    ImageFault fault;
    bool banner; // the banner is told once the engine has opened a regular file
};

const Swap swaps[] = {
    {"removed", [](const fs::path& p) { fs::remove(p); }, IMAGE_MISSING, false},
    {"a FIFO",
     [](const fs::path& p) {
         fs::remove(p);
         mkfifo(p.c_str(), 0600);
     },
     IMAGE_NOT_REGULAR, false},
    {"a directory",
     [](const fs::path& p) {
         fs::remove(p);
         fs::create_directory(p);
     },
     IMAGE_NOT_REGULAR, false},
    {"/dev/zero",
     [](const fs::path& p) {
         fs::remove(p);
         fs::create_symlink("/dev/zero", p);
     },
     IMAGE_NOT_REGULAR, false},
    // Regular, with a length of 0 that its content belies.
    {"/proc/self/status",
     [](const fs::path& p) {
         fs::remove(p);
         fs::create_symlink("/proc/self/status", p);
     },
     IMAGE_UNREADABLE, true},
};

TEST(ImageUnderfoot, ChangedAfterTheTestOpenIsRefusedWithNothingLeftOpen) {
    const fs::path dir = fs::temp_directory_path() / ("qb-underfoot-" + std::to_string(getpid()));
    fs::create_directories(dir);
    for (const Swap& swap : swaps) {
        SCOPED_TRACE(swap.what);
        const fs::path image = dir / "image.bin";
        fs::remove_all(image);
        std::ofstream(image, std::ios::binary) << std::string(5000, 'q');
        ASSERT_EQ(image_can_be_opened(image.c_str()), IMAGE_OK);
        swap.replace(image);

        const int before = open_descriptors();
        UpdateDiagnosis diagnosis{};
        bool opened = false;
        auto told = [](void* context, const UpdateNotice& notice) {
            *static_cast<bool*>(context) |= notice.kind == NOTICE_IMAGE_OPENED;
            return true;
        };
        int result =
            update_target(0, 0, image.c_str(), UPDATE_MODE_FIRMWARE, told, &opened, &diagnosis);

        EXPECT_EQ(result, UPDATE_NO_IMAGE);
        EXPECT_EQ(diagnosis.image_fault, swap.fault);
        EXPECT_EQ(opened, swap.banner);
        EXPECT_EQ(open_descriptors(), before);
        fs::remove_all(image);
    }
    fs::remove_all(dir);
}

} // namespace
