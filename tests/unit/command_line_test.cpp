#include "check.h"
#include "command_line.h"
#include "digest.h"
#include "firewall_notice.h"
#include "host.h"
#include "local_address.h"
#include "report.h"
#include "subnet_wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

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
    for (const char* target : {"0.0.0.0", "255.255.255.255", "not-an-address", "", "192.168.1.010"})
        EXPECT_TRUE(parse({f, target}).show_usage) << target;
    for (const char* keyword : {"BOOT", "Boot", "boot ", "firmware"})
        EXPECT_TRUE(parse({f, "198.51.100.10", keyword}).show_usage) << keyword;
    EXPECT_TRUE(parse({f, "198.51.100.10", "boot", "extra"}).show_usage);
}

TEST(CommandLine, LongHelpAndVersionAreQuestionsAnswered) {
    EXPECT_EQ(parse({"--help"}).problem, ARGUMENTS_LONG_HELP);
    EXPECT_TRUE(parse({"--help"}).show_usage);
    EXPECT_EQ(parse({"--version"}).problem, ARGUMENTS_VERSION);
    EXPECT_FALSE(parse({"--version"}).show_usage);
    for (const char* help : {"-h", "?", "-help"})
        EXPECT_EQ(parse({help}).problem, ARGUMENTS_HELP) << help;
    TempImage image;
    EXPECT_FALSE(parse({image.path.c_str()}).target_given);
    EXPECT_TRUE(parse({image.path.c_str(), "198.51.100.10"}).target_given);
}

TEST(SuccessReport, NamesTheDeviceTheBytesAndTheTime) {
    char line[512];
    UpdateDiagnosis told{};
    told.units.count = 1;
    told.units.hw[0] = HardwareAddress{true, {0x02, 0x00, 0x5e, 0xa0, 0x0b, 0xff}};
    told.bytes_acknowledged = 4194304;
    describe_success(line, sizeof line, addr(198, 51, 100, 10), told, 5349999);
    EXPECT_STREQ(line, "QBupdate: updated 198.51.100.10 (hardware address 02:00:5e:a0:0b:ff): "
                       "4194304 bytes acknowledged in 5.3 s\n");
    // More than one unit answered: all are named, none is taken for the device.
    told.units.count = 2;
    told.units.hw[1] = HardwareAddress{true, {0x52, 0x54, 0x00, 0x12, 0x34, 0x56}};
    describe_success(line, sizeof line, addr(198, 51, 100, 10), told, 5349999);
    EXPECT_STREQ(line, "QBupdate: updated 198.51.100.10 (hardware addresses 02:00:5e:a0:0b:ff, "
                       "52:54:00:12:34:56 answered; which one took the image cannot be told): "
                       "4194304 bytes acknowledged in 5.3 s\n");
    UpdateDiagnosis untold{};
    untold.bytes_acknowledged = 512;
    describe_success(line, sizeof line, addr(127, 0, 0, 1), untold, 40000);
    EXPECT_STREQ(line, "QBupdate: updated 127.0.0.1: 512 bytes acknowledged in 0.0 s\n");
    describe_default_target(line, sizeof line, parse({}).target_addr);
    EXPECT_STREQ(line, "QBupdate: no target address given: updating the device at 192.168.1.10, "
                       "the default\n");
}

TEST(CommandLine, UsageTextIsExact) {
    EXPECT_STREQ(USAGE_TEXT,
                 "\n\nusage: QBupdate filename targetIP\n\n\t where\tfilename is the name of the "
                 "file containing the image to upload\n\t\t targetIP is IP address of target in "
                 "ddd.ddd.ddd.ddd format\n");
}

TEST(TargetAddress, OnlyFourPlainDecimalNumbersAreAnAddress) {
    std::uint32_t got = 0;
    EXPECT_EQ(parse_ipv4("198.51.100.10", &got), ADDRESS_OK);
    EXPECT_EQ(got, addr(198, 51, 100, 10));
    EXPECT_EQ(parse_ipv4("0.1.0.255", &got), ADDRESS_OK) << "a lone 0 is no leading zero";
    EXPECT_EQ(got, addr(0, 1, 0, 255));
    for (const char* zero : {"192.168.001.010", "01.2.3.4", "1.2.3.00", "1.2.3.0255"})
        EXPECT_EQ(parse_ipv4(zero, &got), ADDRESS_LEADING_ZERO) << zero;
    for (const char* large : {"256.1.1.1", "1.1.1.999", "1.1.1.1000"})
        EXPECT_EQ(parse_ipv4(large, &got), ADDRESS_PART_TOO_LARGE) << large;
    for (const char* form :
         {"", "198.51.25610", "1.2.3", "1.2.3.4.5", "0x7f.0.0.1", "1..2.3", " 1.2.3.4", "1.2.3.4 ",
          "1.2.3.4\n", "+1.2.3.4", "1.2.3.-4", "1.2.3.", ".1.2.3", "1.2.3.4x", "one.2.3.4"})
        EXPECT_EQ(parse_ipv4(form, &got), ADDRESS_NOT_DOTTED_DECIMAL) << form;
    EXPECT_EQ(parse_ipv4("0.0.0.0", &got), ADDRESS_NOT_A_DEVICE);
    EXPECT_EQ(parse_ipv4("255.255.255.255", &got), ADDRESS_NOT_A_DEVICE);
}

std::string argument_line(std::initializer_list<const char*> args) {
    std::vector<const char*> argv{"QBupdate"};
    argv.insert(argv.end(), args.begin(), args.end());
    const int argc = static_cast<int>(argv.size());
    CommandLine cl = parse_command_line(argc, argv.data());
    char line[512];
    describe_argument_problem(line, sizeof line, cl, argc, argv.data());
    return line;
}

TEST(CommandLine, TheRefusedArgumentIsNamedOnOneLine) {
    TempImage image;
    const char* f = image.path.c_str();
    EXPECT_EQ(argument_line({f, "192.168.001.010"}),
              "QBupdate: '192.168.001.010' is not an IPv4 address in ddd.ddd.ddd.ddd form: a "
              "leading zero is ambiguous\n");
    EXPECT_EQ(argument_line({f, "0.0.0.0"}),
              "QBupdate: '0.0.0.0' is not an address a device can have\n");
    EXPECT_EQ(argument_line({"no/such.bin", "1.2.3.4"}),
              "QBupdate: cannot open image 'no/such.bin': no such file\n");
    EXPECT_EQ(argument_line({f, "198.51.100.10", "BOOT"}),
              "QBupdate: 'BOOT' is not a mode: only the word boot, in lower case, selects the "
              "boot area\n");
    EXPECT_EQ(argument_line({f, "198.51.100.10", "boot", "x"})
                  .rfind("QBupdate: 4 arguments "
                         "are too many",
                         0),
              0u);
    EXPECT_EQ(argument_line({"-h"}), "") << "asking for help is no error";
    // An option this program does not know, or a Windows-style one, names no file: it is called
    // what it is. A path that names no file stays a missing image, and --check reads the rest
    // as an update would.
    const struct {
        std::initializer_list<const char*> args;
        const char* line;
    } rows[] = {
        {{"-x"},
         "QBupdate: unknown option '-x' (and no file of that name): QBupdate --help lists "
         "the options\n"},
        {{"--chek", "1.2.3.4"},
         "QBupdate: unknown option '--chek' (and no file of that name): "
         "QBupdate --help lists the options\n"},
        {{"/checkup"},
         "QBupdate: unknown option '/checkup' (and no file of that name): QBupdate "
         "--help lists the options\n"},
        {{"--check", "--check"},
         "QBupdate: unknown option '--check' (and no file of that name): "
         "QBupdate --help lists the options\n"},
        {{"/no/such.bin"}, "QBupdate: cannot open image '/no/such.bin': no such file\n"},
        {{"-"}, "QBupdate: cannot open image '-': no such file\n"},
        {{"--check", "no/such.bin"}, "QBupdate: cannot open image 'no/such.bin': no such file\n"},
        {{"--check", f, "1.2.3.4", "BOOT"},
         "QBupdate: 'BOOT' is not a mode: only the word boot, "
         "in lower case, selects the boot area\n"},
        {{"--check", f, "1.2.3.4", "boot", "x"},
         "QBupdate: 4 arguments are too many: give the "
         "image, the target address and, for the boot "
         "area, boot\n"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(argument_line(row.args), row.line) << *row.args.begin();
    const CommandLine checked = parse({"--check", f, "198.51.100.10", "boot"});
    EXPECT_TRUE(checked.check);
    EXPECT_FALSE(checked.show_usage);
    EXPECT_EQ(checked.mode, UPDATE_MODE_BOOT_AREA);
    EXPECT_EQ(checked.target_addr, addr(198, 51, 100, 10));
    const CommandLine bare = parse({"--check"});
    EXPECT_TRUE(bare.check);
    EXPECT_FALSE(bare.show_usage) << "the default image is not opened by the argument checks";
    EXPECT_FALSE(bare.image_given);
    EXPECT_STREQ(bare.image_path, "quibble_box.bin");
    EXPECT_EQ(parse({"--check", "--help"}).problem, ARGUMENTS_LONG_HELP);
    EXPECT_TRUE(parse({f}).image_given);
    // Any bytes of an argument are quoted on one line, and a very long one is cut short.
    const std::string long_target = "\x1b[2J" + std::string(5000, '1');
    const std::string line = argument_line({f, long_target.c_str()});
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
    EXPECT_NE(line.find("...'"), std::string::npos) << line;
}

LocalAddress local(std::uint32_t address, unsigned prefix, bool has_link = true,
                   const char* name = "eth0") {
    LocalAddress a{address, prefix == 0 ? 0 : host_to_net32(0xFFFFFFFFu << (32 - prefix)), has_link,
                   ""};
    std::snprintf(a.interface_name, sizeof a.interface_name, "%s", name);
    return a;
}

TEST(InterfaceChoice, OnTheTargetsSubnetFirstThenBestScoreEarliestOnTie) {
    const std::uint32_t target = addr(192, 168, 1, 10);
    LocalAddress two[] = {local(addr(10, 0, 0, 5), 8), local(addr(192, 168, 1, 2), 24)};
    EXPECT_EQ(choose_local_address(two, 2, target), 1);

    // A phone hotspot's address shares more bits with the target than the adapter facing it.
    LocalAddress hotspot[] = {local(addr(192, 168, 43, 11), 24), local(addr(192, 168, 1, 2), 24)};
    EXPECT_EQ(choose_local_address(hotspot, 2, target), 1);

    // /28 neighbours: .26 scores higher for .10 but its subnet is .16 to .31.
    LocalAddress neighbours[] = {local(addr(198, 51, 100, 26), 28, true, "wlan0"),
                                 local(addr(198, 51, 100, 1), 28, true, "eth1")};
    EXPECT_EQ(choose_local_address(neighbours, 2, addr(198, 51, 100, 10)), 1);

    LocalAddress tie[] = {local(addr(192, 168, 1, 2), 24), local(addr(192, 168, 1, 11), 24)};
    EXPECT_EQ(choose_local_address(tie, 2, target), 1) << "the higher score on the subnet";
    LocalAddress same[] = {local(addr(192, 168, 1, 2), 24), local(addr(192, 168, 1, 2), 24)};
    EXPECT_EQ(choose_local_address(same, 2, target), 0);

    // Wi-Fi and a cable on one subnet: the system's route to the target names the cable, and
    // the cable serves, however the score ranks the two. A route through an address off the
    // subnet, or none, leaves the score to choose.
    const std::uint32_t home = addr(192, 168, 1, 10);
    LocalAddress shared[] = {local(addr(192, 168, 1, 26), 24, true, "wlan0"),
                             local(addr(192, 168, 1, 1), 24, true, "eth0"),
                             local(addr(10, 0, 0, 5), 8, true, "tun0")};
    const struct {
        std::uint32_t route;
        int chosen;
    } routes[] = {{addr(192, 168, 1, 1), 1},
                  {addr(192, 168, 1, 26), 0},
                  {0, 0},
                  {addr(10, 0, 0, 5), 0},
                  {addr(192, 168, 1, 99), 0}};
    for (const auto& row : routes)
        EXPECT_EQ(choose_local_address(shared, 3, home, row.route), row.chosen)
            << net_to_host32(row.route);
    EXPECT_EQ(choose_local_address(two, 2, target, addr(10, 0, 0, 5)), 1)
        << "the route does not override the subnet";

    // None on the subnet: the score alone, and the first when none scores.
    LocalAddress disjoint[] = {local(addr(1, 0, 0, 1), 24), local(addr(4, 0, 0, 1), 24)};
    EXPECT_EQ(choose_local_address(disjoint, 2, addr(2, 0, 0, 2)), 0);
    LocalAddress three[] = {local(addr(203, 0, 113, 1), 24), local(addr(198, 51, 100, 1), 32),
                            local(addr(10, 1, 1, 1), 8)};
    EXPECT_EQ(choose_local_address(three, 3, addr(198, 51, 100, 10)), 1);
}

TEST(InterfaceChoice, LoopbackAndLinkLocalOnlyForSuchATarget) {
    const std::uint32_t lo = addr(127, 0, 0, 1), apipa = addr(169, 254, 7, 7),
                        lan = addr(198, 51, 100, 1);
    for (std::uint32_t target : {addr(198, 51, 100, 10), addr(10, 0, 0, 1)}) {
        EXPECT_FALSE(is_usable_local_address(lo, target));
        EXPECT_FALSE(is_usable_local_address(apipa, target));
        EXPECT_TRUE(is_usable_local_address(lan, target));
    }
    EXPECT_TRUE(is_usable_local_address(lo, addr(127, 0, 0, 2)));
    EXPECT_FALSE(is_usable_local_address(apipa, addr(127, 0, 0, 2)));
    EXPECT_TRUE(is_usable_local_address(apipa, addr(169, 254, 1, 1)));
    EXPECT_FALSE(is_usable_local_address(lo, addr(169, 254, 1, 1)));
    EXPECT_TRUE(is_usable_local_address(lan, addr(169, 254, 1, 1)));
}

std::string refusal(const std::vector<LocalAddress>& addrs, std::uint32_t target) {
    char line[512];
    describe_target_refusal(line, sizeof line, addrs.data(), static_cast<int>(addrs.size()),
                            target);
    return line;
}

TEST(TargetAddress, OneThatCannotBeOneDeviceIsRefusedWithItsReason) {
    const std::vector<LocalAddress> host = {local(addr(198, 51, 100, 1), 24, true, "eth0"),
                                            local(addr(203, 0, 113, 9), 31, true, "p2p"),
                                            local(addr(192, 0, 2, 5), 32, true, "tun0")};
    for (std::uint32_t fine :
         {addr(198, 51, 100, 10), addr(198, 51, 100, 254), addr(203, 0, 113, 8), addr(192, 0, 2, 4),
          addr(10, 0, 0, 255), addr(223, 255, 255, 254), addr(127, 0, 0, 1),
          addr(127, 255, 255, 255)})
        EXPECT_EQ(refusal(host, fine), "") << net_to_host32(fine);
    EXPECT_EQ(refusal(host, addr(198, 51, 100, 1)),
              "QBupdate: 198.51.100.1 is this host's own address (on eth0), not the device's: "
              "give the device's address\n");
    EXPECT_NE(refusal(host, addr(203, 0, 113, 9)).find("203.0.113.9 is this host's own"),
              std::string::npos);
    EXPECT_EQ(refusal(host, addr(198, 51, 100, 255)),
              "QBupdate: 198.51.100.255 is the broadcast address of 198.51.100.0/24 on eth0: the "
              "wake beacon would reach every host there; give the device's own address\n");
    EXPECT_EQ(refusal(host, addr(198, 51, 100, 0)),
              "QBupdate: 198.51.100.0 is the network address of 198.51.100.0/24 on eth0, not a "
              "device's: give the device's own address\n");
    EXPECT_EQ(refusal(host, addr(224, 0, 0, 1)),
              "QBupdate: 224.0.0.1 is a multicast address (224.0.0.0/4), never one device's: "
              "give the device's own address\n");
    EXPECT_NE(refusal({}, addr(239, 255, 255, 250)).find("multicast"), std::string::npos);
    EXPECT_EQ(refusal({}, addr(240, 0, 0, 1)),
              "QBupdate: 240.0.0.1 is a reserved address (240.0.0.0/4), never one device's: give "
              "the device's own address\n");
    EXPECT_NE(refusal({}, addr(255, 255, 255, 254)).find("reserved"), std::string::npos);
    // A /28 neighbour's subnet: its broadcast address is refused, the next address is not.
    const std::vector<LocalAddress> narrow = {local(addr(198, 51, 100, 17), 28, true, "eth1")};
    EXPECT_NE(refusal(narrow, addr(198, 51, 100, 31)).find("broadcast address of 198.51.100.16/28"),
              std::string::npos);
    EXPECT_NE(refusal(narrow, addr(198, 51, 100, 16)).find("network address"), std::string::npos);
    EXPECT_EQ(refusal(narrow, addr(198, 51, 100, 32)), "");
}

std::string choice_line(const std::vector<LocalAddress>& addrs, std::uint32_t target,
                        std::uint32_t route = 0) {
    const int n = static_cast<int>(addrs.size());
    char line[512];
    describe_address_choice(line, sizeof line, addrs.data(), n,
                            choose_local_address(addrs.data(), n, target, route), target, route);
    return line;
}

TEST(InterfaceChoice, AChoiceThatCannotWorkIsSaidWithItsFix) {
    const std::uint32_t target = addr(198, 51, 100, 10);
    EXPECT_EQ(choice_line({local(addr(198, 51, 100, 1), 24)}, target), "");
    EXPECT_EQ(choice_line({local(addr(203, 0, 113, 1), 24, true, "eth1")}, target),
              "QBupdate: no address of this host is on the subnet of 198.51.100.10; trying from "
              "203.0.113.1 on eth1 all the same: give the adapter that faces the device an "
              "address on the device's subnet\n");
    EXPECT_EQ(choice_line({local(addr(198, 51, 100, 1), 24, false, "eth1")}, target),
              "QBupdate: eth1, which holds 198.51.100.1, has no link; trying to reach "
              "198.51.100.10 all the same: plug in the cable to the device\n");
    const std::string both = choice_line({local(addr(203, 0, 113, 1), 24, false, "eth1")}, target);
    EXPECT_NE(both.find("no address of this host is on the subnet of 198.51.100.10"),
              std::string::npos);
    EXPECT_NE(both.find("has no link"), std::string::npos);
    EXPECT_EQ(both.find('\n'), both.size() - 1);

    // Two interfaces on the subnet: both named, the one chosen and why, and how to choose the
    // other. Two addresses on one interface are no choice to tell.
    const std::uint32_t home = addr(192, 168, 1, 10);
    const std::vector<LocalAddress> shared = {local(addr(192, 168, 1, 26), 24, true, "wlan0"),
                                              local(addr(192, 168, 1, 1), 24, true, "eth0")};
    EXPECT_EQ(choice_line(shared, home, addr(192, 168, 1, 1)),
              "QBupdate: two interfaces hold the subnet of 192.168.1.10, eth0 (192.168.1.1) and "
              "wlan0 (192.168.1.26); serving from 192.168.1.1 on eth0, the one this host routes "
              "to the device: if the device is on wlan0, unplug or disable eth0 and run QBupdate "
              "again\n");
    EXPECT_NE(choice_line(shared, home)
                  .find("serving from 192.168.1.26 on wlan0, the one that "
                        "shares most with its address: if the device is on "
                        "eth0, unplug or disable wlan0"),
              std::string::npos)
        << choice_line(shared, home);
    EXPECT_EQ(choice_line({local(addr(192, 168, 1, 26), 24, true, "eth0"),
                           local(addr(192, 168, 1, 1), 24, true, "eth0")},
                          home),
              "");
    EXPECT_EQ(choice_line({local(addr(192, 168, 1, 1), 24, true, "eth0"),
                           local(addr(10, 0, 0, 5), 8, true, "wlan0")},
                          home, addr(10, 0, 0, 5)),
              "");
}

// The system as a script: which addresses each reading returns, on a clock that only the
// pauses move.
struct ScriptedHost {
    std::vector<std::vector<LocalAddress>> readings; // the last one repeats
    int reads = 0;
    std::uint64_t now_us = 1000000;
    std::vector<std::uint64_t> read_times;
    std::vector<std::string> said;
    bool run_can_start = true;
};
ScriptedHost host;

// An unfiltered reading (keep null) looks at the reading last taken, and is not counted.
int scripted_read(LocalAddress* out, int capacity, LocalAddressFilter keep,
                  std::uint32_t target_addr) {
    if (keep != nullptr)
        host.read_times.push_back(host.now_us);
    const int index = keep != nullptr ? host.reads++ : (host.reads > 0 ? host.reads - 1 : 0);
    const auto& reading = host.readings[std::min<std::size_t>(index, host.readings.size() - 1)];
    int n = 0;
    for (const LocalAddress& a : reading)
        if (n < capacity && (keep == nullptr || keep(a.addr, target_addr)))
            out[n++] = a;
    return reading.empty() && host.readings.size() == 1 ? -1 : n;
}
const SubnetWaitHooks SCRIPTED_WAIT{
    scripted_read, [] { return host.now_us; },
    [](std::uint32_t ms) { host.now_us += std::uint64_t{ms} * 1000u; },
    [](const char* line) { host.said.emplace_back(line); },
    [](const char*) { return host.run_can_start; }};

int wait_with(std::vector<std::vector<LocalAddress>> readings, LocalAddress* out,
              bool may_wait = true) {
    host = ScriptedHost{};
    host.readings = std::move(readings);
    host.run_can_start = may_wait;
    const std::uint32_t target = addr(198, 51, 100, 10);
    const int count = scripted_read(out, 8, is_usable_local_address, target);
    return wait_for_subnet(out, count < 0 ? 0 : count, 8, target, "image.bin", SCRIPTED_WAIT);
}

TEST(SubnetWait, AnAddressOnTheSubnetThatAppearsIsTakenAtTheNextReading) {
    const LocalAddress wifi = local(addr(203, 0, 113, 7), 24, true, "Wi-Fi");
    const LocalAddress cable = local(addr(198, 51, 100, 1), 24, true, "Ethernet");
    LocalAddress out[8];
    // For 3 s (seven readings) only the Wi-Fi address, then the cable's too.
    std::vector<std::vector<LocalAddress>> readings(7, {wifi});
    readings.push_back({wifi, cable});
    ASSERT_EQ(wait_with(readings, out), 2);
    EXPECT_EQ(out[choose_local_address(out, 2, addr(198, 51, 100, 10))].addr, cable.addr);
    ASSERT_EQ(host.read_times.size(), 8u);
    for (std::size_t i = 1; i < host.read_times.size(); ++i)
        EXPECT_EQ(host.read_times[i] - host.read_times[i - 1], 500000u) << i;
    ASSERT_EQ(host.said.size(), 1u) << "said once, however long it waits";
    EXPECT_EQ(host.said[0],
              "QBupdate: waiting up to 20 s for an address on the subnet of 198.51.100.10: "
              "connect or power the device (no address of this host is on it yet; without one "
              "QBupdate tries from 203.0.113.7 on Wi-Fi)\n");

    // A link that comes up on an address already on the subnet ends the wait as well.
    const LocalAddress unplugged = local(addr(198, 51, 100, 1), 24, false, "eth1");
    ASSERT_EQ(wait_with({{unplugged}, {unplugged}, {cable}}, out), 1);
    EXPECT_TRUE(out[0].has_link);
    ASSERT_EQ(host.said.size(), 1u);
    EXPECT_NE(host.said[0].find("eth1, which holds 198.51.100.1, has no link yet"),
              std::string::npos)
        << host.said[0];
}

TEST(SubnetWait, AnAdapterWithAMadeUpAddressIsNamedWithTheFix) {
    const LocalAddress wifi = local(addr(203, 0, 113, 7), 24, true, "Wi-Fi");
    const LocalAddress apipa = local(addr(169, 254, 12, 34), 16, true, "Ethernet");
    LocalAddress out[8];
    ASSERT_EQ(wait_with({{wifi, apipa}}, out), 1) << "the made-up address serves no one";
    ASSERT_EQ(host.said.size(), 1u);
    EXPECT_EQ(host.said[0],
              "QBupdate: waiting up to 20 s for an address on the subnet of 198.51.100.10: "
              "Ethernet holds only 169.254.12.34, an address the system made up when no DHCP "
              "server answered; give Ethernet a static address on the device's subnet\n");
    // An adapter that holds a real address besides, or a link-local target, is no such case.
    const std::vector<LocalAddress> rows[] = {
        {wifi, local(addr(169, 254, 12, 34), 16, true, "Wi-Fi")},
        {wifi},
        {local(addr(127, 0, 0, 1), 8, true, "lo")},
    };
    for (const auto& all : rows)
        EXPECT_EQ(made_up_address(all.data(), static_cast<int>(all.size()), addr(198, 51, 100, 10)),
                  nullptr);
    EXPECT_EQ(made_up_address(&apipa, 1, addr(169, 254, 1, 1)), nullptr);
    EXPECT_EQ(made_up_address(&apipa, 1, addr(198, 51, 100, 10)), &apipa);
}

TEST(SubnetWait, NoWaitWhenTheSubnetIsThereOrTheRunFailsAnyway) {
    const LocalAddress cable = local(addr(198, 51, 100, 1), 24);
    const LocalAddress wifi = local(addr(203, 0, 113, 7), 24);
    LocalAddress out[8];
    EXPECT_EQ(wait_with({{wifi, cable}}, out), 2);
    EXPECT_EQ(host.reads, 1);
    EXPECT_TRUE(host.said.empty());
    // An image that cannot be loaded fails at once, with its own line only.
    EXPECT_EQ(wait_with({{wifi}}, out, false), 1);
    EXPECT_EQ(host.reads, 1);
    EXPECT_TRUE(host.said.empty());
    EXPECT_EQ(wait_with({{}}, out, false), 0);
    EXPECT_TRUE(host.said.empty());
}

TEST(SubnetWait, AfterTheWakeWindowTheBestOtherAddressOrNone) {
    const LocalAddress wifi = local(addr(203, 0, 113, 7), 24, true, "Wi-Fi");
    LocalAddress out[8];
    ASSERT_EQ(wait_with({{wifi}}, out), 1);
    EXPECT_EQ(out[0].addr, wifi.addr);
    const std::uint64_t waited = host.read_times.back() - host.read_times.front();
    EXPECT_GE(waited, std::uint64_t{SUBNET_WAIT_MS} * 1000u);
    EXPECT_LT(waited, std::uint64_t{SUBNET_WAIT_MS + SUBNET_POLL_MS} * 1000u);
    EXPECT_EQ(SUBNET_WAIT_MS, 20500u) << "41 beacons, half a second apart";

    // No usable address at all (a failed lookup, or only loopback): the wait says so and ends
    // with none, as it began.
    EXPECT_EQ(wait_with({{}}, out), 0);
    EXPECT_EQ(host.reads, 1 + static_cast<int>(SUBNET_WAIT_MS / SUBNET_POLL_MS));
    ASSERT_EQ(host.said.size(), 1u);
    EXPECT_EQ(host.said[0],
              "QBupdate: waiting up to 20 s for an address on the subnet of 198.51.100.10: "
              "connect or power the device (this host has no usable IPv4 address yet)\n");
    EXPECT_EQ(wait_with({{local(addr(127, 0, 0, 1), 8, true, "lo")}}, out), 0);
    EXPECT_EQ(host.said.size(), 1u);
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
#if defined(_WIN32)
    EXPECT_EQ(std::string(line).find("root"), std::string::npos) << "Linux advice on Windows";
#else
    EXPECT_NE(std::string(line).find("permission denied; run it with sudo, or let it bind the "
                                     "ports once with sudo setcap cap_net_bind_service"),
              std::string::npos)
        << line;
    EXPECT_NE(std::string(line).find("/cli_tests"), std::string::npos) << "the binary's own path";
#endif
    describe_failure(line, sizeof line, UPDATE_NO_ANSWER, {}, "x.bin", local, target);
    EXPECT_STREQ(line, "QBupdate: no answer from 198.51.100.10 after 41 wake beacons from "
                       "198.51.100.1; check the address, the device's power and cable, and that "
                       "the firewall lets UDP port 67 in\n");
    // A second run holds the ports as readily as a server does.
    for (UpdateResult port : {UPDATE_NO_WAKE_PORT, UPDATE_NO_BOOTP_PORT, UPDATE_NO_TFTP_PORT}) {
        describe_failure(line, sizeof line, port, {IMAGE_OK, NET_FAULT_IN_USE}, "x.bin", local,
                         target);
        EXPECT_NE(std::string(line).find("(another QBupdate, or a "), std::string::npos) << line;
    }

    // Once a BOOTP reply has gone, the line names the hardware address answered.
    UpdateDiagnosis answered{};
    answered.units.count = 1;
    answered.units.hw[0] = HardwareAddress{true, {0x52, 0x54, 0x00, 0x12, 0x34, 0x56}};
    EXPECT_EQ(exit_status_for(UPDATE_NO_READ_REQUEST), 4);
    describe_failure(line, sizeof line, UPDATE_NO_READ_REQUEST, answered, "x.bin", local, target);
    EXPECT_STREQ(line, "QBupdate: the device 52:54:00:12:34:56 took the BOOTP reply for "
                       "198.51.100.10 but did not ask for the image within 60 s: check that the "
                       "firewall lets UDP port 69 in to 198.51.100.1, and whether a second unit "
                       "in its loader took the reply\n");
    answered.net_fault = NET_FAULT_OTHER;
    describe_failure(line, sizeof line, UPDATE_WAIT_FAILED, answered, "x.bin", local, target);
    EXPECT_STREQ(line, "QBupdate: device 52:54:00:12:34:56: waiting for network traffic on "
                       "198.51.100.1 failed\n");
    describe_failure(line, sizeof line, UPDATE_ABANDONED, answered, "x.bin", local, target);
    EXPECT_EQ(
        std::string(line).rfind("QBupdate: device 52:54:00:12:34:56: the update stood still", 0),
        0u);
    EXPECT_EQ(std::string(line).find('\n'), std::strlen(line) - 1);
    // Requests in the device's name were served but nothing acknowledged; with two units
    // answered, neither is called the device.
    EXPECT_EQ(exit_status_for(UPDATE_NO_ACKNOWLEDGEMENT), 4);
    answered.units.count = 2;
    answered.units.hw[1] = HardwareAddress{true, {0x02, 0x00, 0x5e, 0x10, 0x00, 0xab}};
    describe_failure(line, sizeof line, UPDATE_NO_ACKNOWLEDGEMENT, answered, "x.bin", local,
                     target);
    for (const char* words :
         {"QBupdate: units 52:54:00:12:34:56, 02:00:5e:10:00:ab answered: read requests from "
          "198.51.100.10 were served from 198.51.100.1, but no block was acknowledged within "
          "60 s",
          "UDP ports 32768 to 40959", "another host may have sent the requests"})
        EXPECT_NE(std::string(line).find(words), std::string::npos) << words << '\n' << line;
    describe_failure(line, sizeof line, UPDATE_NO_READ_REQUEST, answered, "x.bin", local, target);
    EXPECT_EQ(std::string(line).rfind("QBupdate: the device (one of 52:54:00:12:34:56, "
                                      "02:00:5e:10:00:ab) took the BOOTP reply",
                                      0),
              0u)
        << line;

    // What the start knew comes first: the default image's name and where it was looked for;
    // no address on the device's subnet as the likely cause of the silence.
    StartContext bare;
    bare.default_image = true;
    describe_failure(line, sizeof line, UPDATE_NO_IMAGE, {IMAGE_MISSING, NET_FAULT_NONE},
                     "quibble_box.bin", local, target, bare);
    EXPECT_STREQ(line, "QBupdate: cannot load image 'quibble_box.bin': no such file; without "
                       "arguments QBupdate loads quibble_box.bin, the default image name, from "
                       "the working directory: name another first, as in QBupdate new.bin "
                       "192.168.1.10\n");
    describe_failure(line, sizeof line, UPDATE_NO_IMAGE, {IMAGE_NO_PERMISSION, NET_FAULT_NONE},
                     "quibble_box.bin", local, target, bare);
    EXPECT_STREQ(line, "QBupdate: cannot load image 'quibble_box.bin': permission denied\n");
    StartContext off;
    off.off_subnet = true;
    describe_failure(line, sizeof line, UPDATE_NO_ANSWER, {}, "x.bin", addr(203, 0, 113, 1), target,
                     off);
    EXPECT_STREQ(line, "QBupdate: no address of this host was on the subnet of 198.51.100.10, "
                       "the likely cause: no answer from it after 41 wake beacons from "
                       "203.0.113.1; give the adapter that faces the device an address on the "
                       "device's subnet, then check the device's power and cable\n");

    std::string long_path(2000, 'p');
    describe_failure(line, sizeof line, UPDATE_NO_IMAGE, {IMAGE_UNREADABLE, NET_FAULT_NONE},
                     long_path.c_str(), local, target);
    std::string truncated(line);
    EXPECT_EQ(truncated.size(), sizeof line - 1);
    EXPECT_EQ(truncated.back(), '\n');
    EXPECT_EQ(truncated.find('\n'), truncated.size() - 1);
}

TEST(FailureReport, NoticesNameTheStrangerAndBothUnits) {
    UpdateNotice n{};
    char line[512];
    n.kind = NOTICE_STRANGER_REFUSED;
    n.refused_addr = addr(198, 51, 100, 66);
    describe_notice(line, sizeof line, n);
    EXPECT_STREQ(line, "QBupdate: refused a TFTP read request from 198.51.100.66: only the device "
                       "being updated is served; the update goes on\n");
    n.kind = NOTICE_SECOND_DEVICE;
    n.units.count = 2;
    n.units.hw[0] = HardwareAddress{true, {0x52, 0x54, 0x00, 0x12, 0x34, 0x56}};
    n.units.hw[1] = HardwareAddress{true, {0x02, 0x00, 0x5e, 0x10, 0x00, 0xab}};
    describe_notice(line, sizeof line, n);
    EXPECT_STREQ(line, "QBupdate: tagged BOOTP requests came from more than one hardware address "
                       "(52:54:00:12:34:56, 02:00:5e:10:00:ab), and each was given the device's "
                       "address: power off every unit that is not meant to be updated\n");
    n.units.count = 1;
    n.kind = NOTICE_NO_READ_REQUEST;
    n.local_addr = addr(198, 51, 100, 1);
    describe_notice(line, sizeof line, n);
    EXPECT_EQ(std::string(line).rfind("QBupdate: the device 52:54:00:12:34:56 took the BOOTP "
                                      "reply but has not asked for the image in 10 s;",
                                      0),
              0u);
    EXPECT_NE(std::string(line).find("giving up at 60 s\n"), std::string::npos);
}

// The published check values: the CRC-32 a loader's crc32 command prints and zlib computes,
// and the SHA-256 of the standard's examples; lengths that end mid-slice as well.
TEST(ImageDigest, TheChecksumsOthersComputeForTheSameBytes) {
    const struct {
        std::string bytes;
        std::uint32_t crc32;
        const char* sha256;
    } rows[] = {
        {"", 0x00000000u, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 0x352441C2u, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"123456789", 0xCBF43926u,
         "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225"},
        {std::string(1000000, 'a'), 0xDC25BFBCu,
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& row : rows) {
        const auto* data = reinterpret_cast<const unsigned char*>(row.bytes.data());
        const ImageDigest digest = digest_image(data, row.bytes.size());
        EXPECT_EQ(digest.crc32, row.crc32) << row.bytes.size();
        EXPECT_TRUE(digest.sha256_known);
        EXPECT_STREQ(digest.sha256_hex, row.sha256) << row.bytes.size();
    }
    // Every length from 0 to 17 against the bit-at-a-time definition.
    const unsigned char bytes[] = "\x00\xff\x10\x80QuibbleBox\x01\x7f\xaa\x55";
    for (std::size_t n = 0; n < sizeof bytes; ++n) {
        std::uint32_t c = 0xFFFFFFFFu;
        for (std::size_t i = 0; i < n; ++i) {
            c ^= bytes[i];
            for (int bit = 0; bit < 8; ++bit)
                c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
        }
        EXPECT_EQ(crc32_of(bytes, n), ~c) << n;
    }
}

ServingFacts serving_facts(const char* path) {
    ServingFacts facts{path, addr(198, 51, 100, 1), "", addr(198, 51, 100, 10)};
    std::snprintf(facts.interface_name, sizeof facts.interface_name, "%s", "veth-host");
    return facts;
}

TEST(StartLine, NamesTheImageItsChecksumsAndBothEnds) {
    const std::string image = "123456789";
    const ImageDigest digest =
        digest_image(reinterpret_cast<const unsigned char*>(image.data()), image.size());
    char line[1024];
    describe_start(line, sizeof line, serving_facts("new firmware.bin"), 9, digest);
    EXPECT_STREQ(line, "QBupdate: serving 'new firmware.bin' (9 bytes, SHA-256 "
                       "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225, CRC-32 "
                       "cbf43926) from 198.51.100.1 on veth-host to the device at 198.51.100.10\n");
    // A long or odd path is cut short and shown safe; the checksums and the addresses stay.
    const std::string odd = "\x1b[2J" + std::string(2000, 'p');
    describe_start(line, sizeof line, serving_facts(odd.c_str()), 9, digest);
    const std::string text(line);
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_NE(text.find("...' (9 bytes, SHA-256 15e2b0d3"), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1);
    ImageDigest refused = digest;
    refused.sha256_known = false;
    describe_start(line, sizeof line, serving_facts("x.bin"), 9, refused);
    EXPECT_NE(std::string(line).find("(9 bytes, SHA-256 unknown, CRC-32 cbf43926)"),
              std::string::npos)
        << line;
}

TEST(Check, TheReportSaysEachFactAndTheVerdict) {
    const std::string image = "abc";
    CheckFindings ready{};
    ready.serving = serving_facts("new.bin");
    ready.target_given = true;
    ready.result = UPDATE_ABANDONED;
    ready.network_reached = true;
    ready.image_size = 3;
    ready.digest = digest_image(reinterpret_cast<const unsigned char*>(image.data()), 3);
    ready.warnings = "";
    const std::string firewall_line =
        NET_FIREWALL_ASKED ? "firewall: nothing found that drops the device's requests to "
                             "QBupdate (or the firewall did not answer)\n"
                           : "firewall: not asked (on this system a firewall treats every "
                             "program alike: it must let UDP ports 67 and 69 in)\n";
    const std::string facts =
        "image: 'new.bin', 3 bytes, SHA-256 "
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad, CRC-32 352441c2\n"
        "target: 198.51.100.10, firmware\n"
        "serving from: 198.51.100.1 on veth-host\n";

    CheckFindings warned = ready;
    warned.target_given = false;
    warned.mode = UPDATE_MODE_BOOT_AREA;
    warned.warnings = "QBupdate: first warning\nQBupdate: second warning\n";
    std::snprintf(warned.firewall, sizeof warned.firewall, "%s",
                  "QBupdate: a rule blocks inbound UDP\n");
    CheckFindings port_held = ready;
    port_held.result = UPDATE_NO_BOOTP_PORT;
    port_held.network_reached = false;
    CheckFindings no_image = ready;
    no_image.result = UPDATE_NO_IMAGE;
    no_image.network_reached = false;
    no_image.image_fault = IMAGE_MISSING;

    const struct {
        const char* what;
        const CheckFindings& findings;
        int status;
        std::string report;
    } rows[] = {
        {"ready", ready, 0,
         facts + "ports: UDP 9, 67 and 69 opened on 198.51.100.1 and closed again\n" +
             firewall_line + "ready: nothing stands in the way of the update; nothing was sent\n"},
        {"warnings", warned, 0,
         "image: 'new.bin', 3 bytes, SHA-256 "
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad, CRC-32 352441c2\n"
         "target: 198.51.100.10 (the default), boot area\n"
         "serving from: 198.51.100.1 on veth-host\n"
         "ports: UDP 9, 67 and 69 opened on 198.51.100.1 and closed again\n"
         "firewall: a rule blocks inbound UDP\n"
         "warning: first warning\nwarning: second warning\n"
         "ready: nothing stands in the way of the update; nothing was sent\n"},
        {"port 67 held", port_held, 3,
         "image: 'new.bin' loads (its size and checksums are told once the ports open)\n"
         "target: 198.51.100.10, firmware\nserving from: 198.51.100.1 on veth-host\n"
         "ports: UDP port 67 cannot be opened on 198.51.100.1\n"
         "firewall: not asked, as the ports are not open\n"
         "not ready: the update would end with exit status 3, as the line on standard error "
         "says; nothing was sent\n"},
        {"image missing", no_image, 2,
         "image: 'new.bin' cannot be loaded: no such file\n"
         "target: 198.51.100.10, firmware\nserving from: 198.51.100.1 on veth-host\n"
         "ports: not tried, as the image cannot be loaded\n"
         "firewall: not asked, as the ports are not open\n"
         "not ready: the update would end with exit status 2, as the line on standard error "
         "says; nothing was sent\n"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(check_status(row.findings), row.status) << row.what;
        char report[4096];
        describe_check(report, sizeof report, row.findings);
        EXPECT_EQ(std::string(report), row.report) << row.what;
    }
}

#if !defined(_WIN32)
TEST(FailureReport, ThePermissionFixNamesTheBinaryAndRawOnlyWhereNeeded) {
    const struct {
        const char* path;
        unsigned major, minor;
        const char* advice;
    } rows[] = {
        {"/usr/bin/QBupdate", 6, 1,
         "permission denied; run it with sudo, or let it bind the ports once with sudo setcap "
         "cap_net_bind_service=ep /usr/bin/QBupdate"},
        {"/usr/bin/QBupdate", 5, 7,
         "permission denied; run it with sudo, or let it bind the ports once with sudo setcap "
         "cap_net_bind_service=ep /usr/bin/QBupdate"},
        {"/home/al/my tools/QBupdate", 5, 4,
         "permission denied; run it with sudo, or let it bind the ports once with sudo setcap "
         "cap_net_bind_service,cap_net_raw=ep '/home/al/my tools/QBupdate' (this kernel, 5.4, "
         "also needs CAP_NET_RAW, which Linux 5.7 and later do not)"},
        {"/opt/it's/QBupdate", 4, 19,
         "permission denied; run it with sudo, or let it bind the ports once with sudo setcap "
         "cap_net_bind_service,cap_net_raw=ep '/opt/it'\\''s/QBupdate' (this kernel, 4.19, also "
         "needs CAP_NET_RAW, which Linux 5.7 and later do not)"},
        {"/tmp/a\nb", 6, 0,
         "permission denied; run it with sudo, or let it bind the ports once with sudo setcap "
         "cap_net_bind_service=ep '/tmp/a?b'"},
    };
    for (const auto& row : rows) {
        char advice[768];
        describe_permission_fix(advice, sizeof advice, row.path, row.major, row.minor);
        EXPECT_STREQ(advice, row.advice) << row.path;
    }
}
#endif

#if defined(_WIN32)
// No privilege opens these ports on Windows: the line that explains a bind failure there must
// send the operator to the program that holds the port, never to root or Linux capabilities.
TEST(FailureReport, WindowsBindFailuresInWindowsTerms) {
    constexpr int WSAEACCES_CODE = 10013;
    constexpr int WSAEADDRINUSE_CODE = 10048;
    constexpr int WSAEADDRNOTAVAIL_CODE = 10049;
    constexpr int WSAENOBUFS_CODE = 10055;
    const std::uint32_t local = addr(198, 51, 100, 1);
    char line[512];
    for (int code : {WSAEACCES_CODE, WSAEADDRINUSE_CODE, WSAEADDRNOTAVAIL_CODE, WSAENOBUFS_CODE}) {
        describe_failure(line, sizeof line, UPDATE_NO_BOOTP_PORT,
                         {IMAGE_OK, net_fault_from_winsock_error(code)}, "x.bin", local, local);
        const std::string text(line);
        EXPECT_EQ(text.rfind("QBupdate: cannot open UDP port 67 on 198.51.100.1: ", 0), 0u) << text;
        EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
        EXPECT_EQ(text.find("root"), std::string::npos) << text;
        EXPECT_EQ(text.find("CAP_"), std::string::npos) << text;
    }
    describe_failure(line, sizeof line, UPDATE_NO_BOOTP_PORT,
                     {IMAGE_OK, net_fault_from_winsock_error(WSAEACCES_CODE)}, "x.bin", local,
                     local);
    EXPECT_NE(std::string(line).find("another program holds it exclusively"), std::string::npos);
    EXPECT_NE(std::string(line).find("netsh int ipv4 show excludedportrange protocol=udp"),
              std::string::npos);
    EXPECT_EQ(net_fault_from_winsock_error(WSAEADDRINUSE_CODE), NET_FAULT_IN_USE);
    EXPECT_EQ(net_fault_from_winsock_error(WSAEADDRNOTAVAIL_CODE), NET_FAULT_NO_ADDRESS);
    EXPECT_EQ(net_fault_from_winsock_error(0), NET_FAULT_NONE);
}

// Only the failures of a socket whose address went away lead to its reopening: one that found
// nothing queued, a datagram too long or an earlier send's port-unreachable must not.
// Which Windows Sockets errors give an endpoint up: from a wait or a receive, and from a send
// to a destination a datagram can go to (or, where named, to address or port 0).
TEST(AddressLoss, WinsockFailuresThatGiveUpAnEndpoint) {
    struct Row {
        int error;
        bool lost_in_wait;
        bool lost_in_send;
        std::uint32_t to_addr = host_to_net32(0xC6336410); // 198.51.100.16
        std::uint16_t to_port = host_to_net16(2070);
    };
    for (const Row& row : {Row{10050, true, true},                 // WSAENETDOWN
                           Row{10051, false, true},                // WSAENETUNREACH
                           Row{10065, false, true},                // WSAEHOSTUNREACH
                           Row{10049, true, true},                 // WSAEADDRNOTAVAIL
                           Row{10049, true, false, 0},             // ... to address 0
                           Row{10049, true, false, 0xC6336410, 0}, // ... to port 0
                           Row{10035, false, false},               // WSAEWOULDBLOCK: a full buffer
                           Row{10013, false, false},               // WSAEACCES: no broadcast
                           Row{10054, false, false},               // WSAECONNRESET
                           Row{10040, false, false},               // WSAEMSGSIZE
                           Row{10052, false, false}}) {            // WSAENETRESET: TTL ran out
        EXPECT_EQ(winsock_error_loses_endpoint(row.error), row.lost_in_wait) << row.error;
        EXPECT_EQ(winsock_send_error_loses_endpoint(row.error, row.to_addr, row.to_port),
                  row.lost_in_send)
            << row.error << " to " << row.to_addr << ":" << row.to_port;
    }
}

TEST(AddressLoss, TheAddressListTellsAnAddressHeldFromOneThatIsNot) {
    ASSERT_TRUE(net_startup());
    EXPECT_EQ(net_address_state(host_to_net32(0x7F000001)), NET_ADDRESS_USABLE);
    EXPECT_EQ(net_address_state(host_to_net32(0xCB0071FE)), NET_ADDRESS_GONE); // 203.0.113.254
    LocalAddress listed[16];
    const int n = net_local_addresses(listed, 16);
    ASSERT_GT(n, 0);
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(net_address_state(listed[i].addr), NET_ADDRESS_USABLE) << listed[i].addr;
    net_cleanup();
}

DWORD input_mode(HANDLE in) {
    DWORD mode = 0;
    GetConsoleMode(in, &mode);
    return mode & ~static_cast<DWORD>(ENABLE_EXTENDED_FLAGS); // Windows does not report it
}

HANDLE ctrl_seen = nullptr;

BOOL WINAPI note_ctrl(DWORD /*event*/) {
    SetEvent(ctrl_seen);
    return TRUE; // handled: the test goes on
}

// Generates Ctrl+C on its console, so it runs only where QB_OWN_CONSOLE says the console is its
// own (tests/windows/winelab.py runs it on a pseudo-terminal under Wine).
TEST(Console, QuickEditOffForTheUpdateAndTheOperatorsModeBackOnEveryWayOut) {
    const bool own_console = std::getenv("QB_OWN_CONSOLE") != nullptr;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD original = 0;
    if (!own_console || !GetConsoleMode(in, &original)) {
        ASSERT_FALSE(own_console) << "standard input is not a console";
        GTEST_SKIP() << "needs a console of its own (QB_OWN_CONSOLE)";
    }
    ASSERT_TRUE(SetConsoleMode(in, original | ENABLE_EXTENDED_FLAGS | ENABLE_QUICK_EDIT_MODE |
                                       ENABLE_INSERT_MODE));
    const DWORD operators = input_mode(in);
    ASSERT_NE(operators & ENABLE_QUICK_EDIT_MODE, 0u);

    console_open();
    EXPECT_EQ(input_mode(in), operators & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE));
    console_close();
    EXPECT_EQ(input_mode(in), operators);

    // Ctrl+C: the hold's handler, installed last, runs first and puts the mode back; this test's
    // handler then keeps the process alive.
    ctrl_seen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(note_ctrl, TRUE);
    console_open();
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    EXPECT_EQ(WaitForSingleObject(ctrl_seen, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(input_mode(in), operators);
    console_close();
    SetConsoleCtrlHandler(note_ctrl, FALSE);
    CloseHandle(ctrl_seen);

    // Standard input redirected: the console's input (CONIN$) is held all the same.
    HANDLE file = CreateFileW(L"NUL", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    SetStdHandle(STD_INPUT_HANDLE, file);
    console_open();
    SetStdHandle(STD_INPUT_HANDLE, in);
    EXPECT_EQ(input_mode(in), operators & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE));
    console_close();
    EXPECT_EQ(input_mode(in), operators);
    CloseHandle(file);
    SetConsoleMode(in, original | ENABLE_EXTENDED_FLAGS);
}

#endif

// The firewall's answers are plain values, so the words for them are tested on every system.
constexpr const char* PROGRAM = "C:\\Program Files\\QBupdate\\QBupdate.exe";
constexpr std::uint32_t ALL_PROFILES = 0x7FFFFFFF;

FirewallRule rule(bool allow, int protocol, std::uint32_t profiles, bool inbound = true,
                  bool enabled = true) {
    return FirewallRule{inbound, allow, protocol, profiles, enabled};
}

std::string firewall_line(std::uint32_t device_profile, std::uint32_t enabled,
                          std::initializer_list<FirewallRule> rules, const char* program = PROGRAM,
                          FirewallLocalRules local_rules = FIREWALL_LOCAL_RULES_APPLY) {
    FirewallAnswers answers{};
    answers.device_profile = device_profile;
    answers.enabled_profiles = enabled;
    answers.local_rules = local_rules;
    for (const FirewallRule& r : rules)
        answers.rules[answers.rule_count++] = r;
    char line[1024];
    describe_firewall(line, sizeof line, answers, program);
    return line;
}

// A cable straight to the device is an unidentified network, which Windows puts in the Public
// profile; a standard user's first run gets block rules and no prompt.
TEST(FirewallNotice, SaysWhenTheDevicesRequestsWillBeDroppedAndNamesTheProfile) {
    const std::uint32_t on = FIREWALL_DOMAIN | FIREWALL_PRIVATE | FIREWALL_PUBLIC;
    const FirewallRule allow_all = rule(true, FIREWALL_PROTOCOL_UDP, ALL_PROFILES);
    const FirewallRule block_public_udp = rule(false, FIREWALL_PROTOCOL_UDP, FIREWALL_PUBLIC);
    const FirewallRule block_public_tcp = rule(false, 6, FIREWALL_PUBLIC);

    // Silent: the program is allowed where the PC is, or the firewall is off there.
    EXPECT_EQ(firewall_line(FIREWALL_PUBLIC, on, {allow_all}), "");
    EXPECT_EQ(
        firewall_line(FIREWALL_PUBLIC, on, {rule(true, FIREWALL_PROTOCOL_ANY, FIREWALL_PUBLIC)}),
        "");
    EXPECT_EQ(firewall_line(FIREWALL_PUBLIC, FIREWALL_PRIVATE, {}), "") << "off in Public";
    EXPECT_EQ(firewall_line(0, on, {}), "") << "no network, no profile";
    EXPECT_EQ(firewall_line(
                  FIREWALL_PUBLIC, on,
                  {allow_all, rule(false, FIREWALL_PROTOCOL_UDP, FIREWALL_PUBLIC, true, false)}),
              "")
        << "a disabled block rule";
    EXPECT_EQ(firewall_line(FIREWALL_PRIVATE, on, {allow_all, block_public_udp}), "")
        << "a block rule for another profile";

    // Blocked: a block rule wins over any allow rule.
    const std::string blocked =
        firewall_line(FIREWALL_PUBLIC, on, {block_public_tcp, block_public_udp, allow_all});
    EXPECT_EQ(blocked.rfind("QBupdate: a Windows Defender Firewall rule blocks inbound UDP for "
                            "C:\\Program Files\\QBupdate\\QBupdate.exe in the Public profile, ",
                            0),
              0u)
        << blocked;
    EXPECT_EQ(firewall_line(FIREWALL_PUBLIC, on, {block_public_tcp, allow_all}), "")
        << "a block rule for TCP only";

    // Not allowed: no enabled inbound rule for UDP covers the active profile.
    for (const FirewallRule& useless :
         {rule(true, FIREWALL_PROTOCOL_UDP, FIREWALL_PRIVATE), rule(true, 6, ALL_PROFILES),
          rule(true, FIREWALL_PROTOCOL_UDP, ALL_PROFILES, false),
          rule(true, FIREWALL_PROTOCOL_UDP, ALL_PROFILES, true, false)}) {
        const std::string line = firewall_line(FIREWALL_PUBLIC, on, {useless});
        EXPECT_EQ(line.rfind("QBupdate: no Windows Defender Firewall rule allows inbound UDP for "
                             "C:\\Program Files\\QBupdate\\QBupdate.exe in the Public profile, ",
                             0),
                  0u)
            << line;
    }
    EXPECT_NE(firewall_line(FIREWALL_PRIVATE | FIREWALL_PUBLIC, on, {})
                  .find(" in the Private and Public profiles, "),
              std::string::npos);

    // The fix: delete the program's inbound rules, add the installer's rule, or the installer.
    EXPECT_NE(blocked.find("netsh advfirewall firewall delete rule name=all dir=in "
                           "program=\"C:\\Program Files\\QBupdate\\QBupdate.exe\" and netsh "
                           "advfirewall firewall add rule name=QBupdate dir=in action=allow "
                           "protocol=udp localport=67,69 remoteip=any interfacetype=lan "
                           "profile=any program=\"C:\\Program Files\\QBupdate\\QBupdate.exe\""),
              std::string::npos)
        << blocked;
    EXPECT_NE(blocked.find("installer"), std::string::npos);
    EXPECT_EQ(blocked.find('\n'), blocked.size() - 1) << "one line";

    // A path too long for the commands to fit: the line still ends, and points to the guide.
    const std::string deep = "C:\\" + std::string(600, 'd') + "\\QBupdate.exe";
    const std::string short_form = firewall_line(FIREWALL_PUBLIC, on, {}, deep.c_str());
    EXPECT_EQ(short_form.find('\n'), short_form.size() - 1) << short_form;
    EXPECT_NE(short_form.find("README.txt"), std::string::npos) << short_form;
}

// Group Policy that turns local rule merging off (as security baselines do for the Public
// profile), or "block all incoming connections", makes every rule on this PC void, the
// installer's included: the line says so, and that IT fixes it, with the rule to deploy.
TEST(FirewallNotice, SaysWhenLocalRulesDoNotApplyAndWhoCanFixIt) {
    const std::uint32_t on = FIREWALL_DOMAIN | FIREWALL_PRIVATE | FIREWALL_PUBLIC;
    const FirewallRule allow_all = rule(true, FIREWALL_PROTOCOL_UDP, ALL_PROFILES);
    const std::string policy = firewall_line(FIREWALL_PUBLIC, on, {allow_all}, PROGRAM,
                                             FIREWALL_LOCAL_RULES_OVERRIDDEN_BY_POLICY);
    EXPECT_EQ(policy, "QBupdate: Group Policy keeps firewall rules made on this PC from applying "
                      "in the Public profile of the network facing the device, so the device's "
                      "BOOTP and TFTP requests will be dropped unless IT's policy allows them: "
                      "only IT can fix this, with a rule by policy allowing inbound UDP ports 67 "
                      "and 69 for \"C:\\Program Files\\QBupdate\\QBupdate.exe\" in all "
                      "profiles\n");
    const std::string shields_up = firewall_line(FIREWALL_DOMAIN, on, {allow_all}, PROGRAM,
                                                 FIREWALL_LOCAL_RULES_INBOUND_BLOCKED);
    EXPECT_EQ(shields_up.rfind("QBupdate: Windows Defender Firewall blocks all incoming "
                               "connections in the Domain profile of the network facing the "
                               "device, whatever rules allow QBupdate, ",
                               0),
              0u)
        << shields_up;
    EXPECT_NE(shields_up.find("ask IT"), std::string::npos) << shields_up;
    EXPECT_EQ(shields_up.find('\n'), shields_up.size() - 1) << "one line";
    // A block rule counts for nothing then either: the policy is what to fix.
    EXPECT_EQ(firewall_line(FIREWALL_PUBLIC, on, {rule(false, FIREWALL_PROTOCOL_UDP, ALL_PROFILES)},
                            PROGRAM, FIREWALL_LOCAL_RULES_OVERRIDDEN_BY_POLICY),
              policy);

    // Silent where the firewall is off on the device's network, or there is none.
    EXPECT_EQ(firewall_line(FIREWALL_PUBLIC, FIREWALL_DOMAIN | FIREWALL_PRIVATE, {}, PROGRAM,
                            FIREWALL_LOCAL_RULES_OVERRIDDEN_BY_POLICY),
              "");
    EXPECT_EQ(firewall_line(0, on, {}, PROGRAM, FIREWALL_LOCAL_RULES_INBOUND_BLOCKED), "");

    // The profile named is the device's network's, not another adapter's: a Domain-only allow
    // rule does not help a cable on Public.
    const std::string cable =
        firewall_line(FIREWALL_PUBLIC, on, {rule(true, FIREWALL_PROTOCOL_UDP, FIREWALL_DOMAIN)});
    EXPECT_NE(cable.find(" in the Public profile, "), std::string::npos) << cable;
    EXPECT_NE(cable.find("if Windows asks now, ticking Public networks: "), std::string::npos)
        << cable;
    const std::string wifi = firewall_line(FIREWALL_PRIVATE, on, {});
    EXPECT_NE(wifi.find("if Windows asks now: "), std::string::npos) << wifi;
    EXPECT_EQ(
        firewall_line(FIREWALL_DOMAIN, on, {rule(true, FIREWALL_PROTOCOL_UDP, FIREWALL_DOMAIN)}),
        "");

    // A path too long for the rule to fit: still one line, pointing to the guide.
    const std::string deep = "C:\\" + std::string(1000, 'd') + "\\QBupdate.exe";
    const std::string short_form = firewall_line(FIREWALL_PUBLIC, on, {}, deep.c_str(),
                                                 FIREWALL_LOCAL_RULES_OVERRIDDEN_BY_POLICY);
    EXPECT_EQ(short_form.find('\n'), short_form.size() - 1) << short_form;
    EXPECT_NE(short_form.find("README.txt"), std::string::npos) << short_form;
}

#if defined(_WIN32)
// Under Wine the firewall API does not answer (E_NOTIMPL), and the line stays empty; on Windows
// whatever it says for an adapter's address is one line about this program. An address no
// adapter holds has no network, and so no line.
TEST(FirewallNotice, TheRealQueryIsSilentOrOneLine) {
    char line[1024];
    std::memset(line, 'x', sizeof line);
    firewall_notice(line, sizeof line, addr(198, 51, 100, 99));
    EXPECT_EQ(std::string(line), "");
    LocalAddress addresses[16];
    const int count = net_local_addresses(addresses, 16);
    ASSERT_GE(count, 0);
    for (int i = 0; i < count; ++i) {
        std::memset(line, 'x', sizeof line);
        firewall_notice(line, sizeof line, addresses[i].addr);
        const std::string text(line);
        if (text.empty())
            continue;
        EXPECT_EQ(text.rfind("QBupdate: ", 0), 0u) << text;
        EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
        EXPECT_NE(text.find("cli_tests.exe"), std::string::npos) << text;
    }
}
#endif

} // namespace
