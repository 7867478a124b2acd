#include "command_line.h"
#include "report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

struct TempImage {
    std::string path;
    TempImage() {
        path = (std::filesystem::temp_directory_path() /
                ("qb_cli_image_" + std::to_string(reinterpret_cast<std::uintptr_t>(this))))
                   .string();
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fputs("image", f);
        std::fclose(f);
    }
    ~TempImage() { std::remove(path.c_str()); }
};

CommandLine parse(std::initializer_list<const char*> args) {
    std::vector<const char*> argv{"QBupdate"};
    argv.insert(argv.end(), args.begin(), args.end());
    return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

std::uint32_t addr(unsigned a, unsigned b, unsigned c, unsigned d) {
    return host_to_net32(a << 24 | b << 16 | c << 8 | d);
}

TEST(CommandLine, DefaultsAndAcceptedForms) {
    TempImage image;
    CommandLine none = parse({});
    EXPECT_FALSE(none.show_usage);
    EXPECT_STREQ(none.image_path, "quibble_box.bin");
    EXPECT_EQ(none.target_addr, addr(192, 168, 1, 10));
    EXPECT_EQ(none.mode, UPDATE_MODE_FIRMWARE);

    CommandLine file_only = parse({image.path.c_str()});
    EXPECT_FALSE(file_only.show_usage);
    EXPECT_EQ(file_only.image_path, image.path);
    EXPECT_EQ(file_only.target_addr, addr(192, 168, 1, 10));

    CommandLine boot = parse({image.path.c_str(), "198.51.100.10", "boot"});
    EXPECT_FALSE(boot.show_usage);
    EXPECT_EQ(boot.target_addr, addr(198, 51, 100, 10));
    EXPECT_EQ(boot.mode, UPDATE_MODE_BOOT_AREA);
}

TEST(CommandLine, EveryRejectedFormShowsUsage) {
    TempImage image;
    const char* f = image.path.c_str();
    for (const char* help : {"?", "?anything", "-h", "-H", "-help", "/?"})
        EXPECT_TRUE(parse({help}).show_usage) << help;
    EXPECT_TRUE(parse({"no/such/file.bin"}).show_usage);
    const std::string directory = std::filesystem::temp_directory_path().string();
    EXPECT_TRUE(parse({directory.c_str()}).show_usage) << "a directory is not an image";
    EXPECT_TRUE(parse({""}).show_usage);
    for (const char* target : {"0.0.0.0", "255.255.255.255", "not-an-address", ""})
        EXPECT_TRUE(parse({f, target}).show_usage) << target;
    for (const char* keyword : {"BOOT", "Boot", "boot ", "firmware"})
        EXPECT_TRUE(parse({f, "198.51.100.10", keyword}).show_usage) << keyword;
    EXPECT_TRUE(parse({f, "198.51.100.10", "boot", "extra"}).show_usage);
}

TEST(CommandLine, UsageTextIsExact) {
    EXPECT_STREQ(USAGE_TEXT,
                 "\n\nusage: QBupdate filename targetIP\n\n\t where\tfilename is the name of the "
                 "file containing the image to upload\n\t\t targetIP is IP address of target in "
                 "ddd.ddd.ddd.ddd format\n");
}

TEST(InterfaceChoice, BestScoreEarliestOnTieFirstWhenNoneScores) {
    const std::uint32_t target = addr(192, 168, 1, 10);
    std::uint32_t two[] = {addr(10, 0, 0, 5), addr(192, 168, 1, 2)};
    EXPECT_EQ(choose_local_address(two, 2, target), 1);

    std::uint32_t tie[] = {addr(192, 168, 1, 2), addr(192, 168, 1, 2)};
    EXPECT_EQ(choose_local_address(tie, 2, target), 0);

    std::uint32_t disjoint[] = {addr(1, 0, 0, 1), addr(4, 0, 0, 1)};
    EXPECT_EQ(choose_local_address(disjoint, 2, addr(2, 0, 0, 2)), 0);

    std::uint32_t three[] = {addr(203, 0, 113, 1), addr(198, 51, 100, 1), addr(10, 1, 1, 1)};
    EXPECT_EQ(choose_local_address(three, 3, addr(198, 51, 100, 10)), 1);
}

TEST(InterfaceChoice, LoopbackOnlyForALoopbackTarget) {
    std::uint32_t list[] = {addr(127, 0, 0, 1), addr(198, 51, 100, 1)};
    EXPECT_EQ(usable_local_addresses(list, 2, addr(198, 51, 100, 10)), 1);
    EXPECT_EQ(list[0], addr(198, 51, 100, 1));

    std::uint32_t again[] = {addr(127, 0, 0, 1), addr(198, 51, 100, 1)};
    EXPECT_EQ(usable_local_addresses(again, 2, addr(127, 0, 0, 2)), 2);

    std::uint32_t only_lo[] = {addr(127, 0, 0, 1)};
    EXPECT_EQ(usable_local_addresses(only_lo, 1, addr(198, 51, 100, 10)), 0);
}

TEST(FailureReport, ExitStatusAndOneLineNamingTheCause) {
    EXPECT_EQ(exit_status_for(UPDATE_DONE), 0);
    EXPECT_EQ(exit_status_for(UPDATE_NO_IMAGE), 2);
    EXPECT_EQ(exit_status_for(UPDATE_NO_WAKE_PORT), 3);
    EXPECT_EQ(exit_status_for(UPDATE_NO_BOOTP_PORT), 3);
    EXPECT_EQ(exit_status_for(UPDATE_NO_TFTP_PORT), 3);
    EXPECT_EQ(exit_status_for(UPDATE_NO_ANSWER), 4);
    EXPECT_EQ(exit_status_for(UPDATE_WAIT_FAILED), 5);

    char line[512];
    const std::uint32_t local = addr(198, 51, 100, 1);
    const std::uint32_t target = addr(198, 51, 100, 10);
    describe_failure(line, sizeof line, UPDATE_NO_IMAGE, {IMAGE_MISSING, NET_FAULT_NONE}, "x.bin",
                     local, target);
    EXPECT_STREQ(line, "QBupdate: cannot load image 'x.bin': no such file\n");
    describe_failure(line, sizeof line, UPDATE_NO_BOOTP_PORT, {IMAGE_OK, NET_FAULT_PERMISSION},
                     "x.bin", local, target);
    EXPECT_EQ(std::string(line).rfind("QBupdate: cannot open UDP port 67 on 198.51.100.1: ", 0),
              0u);
    EXPECT_NE(std::string(line).find("root"), std::string::npos);
    describe_failure(line, sizeof line, UPDATE_NO_ANSWER, {}, "x.bin", local, target);
    EXPECT_STREQ(line, "QBupdate: no answer from 198.51.100.10 after 41 wake beacons from "
                       "198.51.100.1\n");

    std::string long_path(2000, 'p');
    describe_failure(line, sizeof line, UPDATE_NO_IMAGE, {IMAGE_UNREADABLE, NET_FAULT_NONE},
                     long_path.c_str(), local, target);
    std::string truncated(line);
    EXPECT_EQ(truncated.size(), sizeof line - 1);
    EXPECT_EQ(truncated.back(), '\n');
    EXPECT_EQ(truncated.find('\n'), truncated.size() - 1);
}

} // namespace
