#include "check.h"
#include "command_line.h"
#include "digest.h"
#include "firewall_notice.h"
#include "host.h"
#include "line_check.h"
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

CommandLine parse(const std::vector<const char*>& args) {
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

std::string success(std::uint32_t target, const UpdateDiagnosis& told, std::uint64_t took_us) {
    char line[512];
    describe_success(line, sizeof line, target, told, took_us);
    return line;
}

TEST(SuccessReport, NamesTheDeviceTheBytesAndTheTime) {
    const HardwareAddress first{true, {0x02, 0x00, 0x5e, 0xa0, 0x0b, 0xff}};
    const HardwareAddress second{true, {0x52, 0x54, 0x00, 0x12, 0x34, 0x56}};
    const std::uint32_t device = addr(198, 51, 100, 10);
    char by_default[512];
    describe_default_target(by_default, sizeof by_default, parse({}).target_addr);
    // More than one unit answered: all are named, none is taken for the device.
    const Said rows[] = {
        {success(device, {IMAGE_OK, NET_FAULT_NONE, {1, {first}}, 4194304}, 5349999),
         {"198.51.100.10 (hardware address 02:00:5e:a0:0b:ff)", "4194304 bytes", "5.3 s"}},
        {success(device, {IMAGE_OK, NET_FAULT_NONE, {2, {first, second}}, 4194304}, 5349999),
         {"addresses 02:00:5e:a0:0b:ff, 52:54:00:12:34:56", "cannot be told", "4194304 bytes",
          "5.3 s"}},
        {success(addr(127, 0, 0, 1), {IMAGE_OK, NET_FAULT_NONE, {}, 512}, 40000),
         {"127.0.0.1: 512 bytes", "0.0 s"}},
        {by_default, {"no target address given", "192.168.1.10, the default"}},
    };
    EXPECT_TRUE(all_have(rows));
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

std::string argument_line(const std::vector<const char*>& args) {
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
    // Any bytes of an argument are quoted on one line, and a very long one is cut short.
    const std::string long_target = "\x1b[2J" + std::string(5000, '1');
    const std::string cut = argument_line({f, long_target.c_str()});
    // An option this program does not know, or a Windows-style one, names no file: it is called
    // what it is. A path that names no file stays a missing image, and --check reads the rest
    // as an update would.
    const Said rows[] = {
        {argument_line({f, "192.168.001.010"}),
         {"'192.168.001.010'", "ddd.ddd.ddd.ddd", "a leading zero"}},
        {argument_line({f, "0.0.0.0"}), {"'0.0.0.0' is not an address a device can have"}},
        {argument_line({"no/such.bin", "1.2.3.4"}), {"image 'no/such.bin': no such file"}},
        {argument_line({f, "198.51.100.10", "BOOT"}),
         {"'BOOT' is not a mode", "boot, in lower case"}},
        {argument_line({f, "198.51.100.10", "boot", "x"}), {"4 arguments are too many"}},
        {argument_line({"-h"}), {}}, // asking for help is no error
        {argument_line({"-x"}), {"unknown option '-x'", "no file of that name", "QBupdate --help"}},
        {argument_line({"--chek", "1.2.3.4"}), {"unknown option '--chek'", "QBupdate --help"}},
        {argument_line({"/checkup"}), {"unknown option '/checkup'", "QBupdate --help"}},
        {argument_line({"--check", "--check"}), {"unknown option '--check'", "QBupdate --help"}},
        {argument_line({"/no/such.bin"}), {"image '/no/such.bin': no such file"}},
        {argument_line({"-"}), {"image '-': no such file"}},
        {argument_line({"--check", "no/such.bin"}), {"image 'no/such.bin': no such file"}},
        {argument_line({"--check", f, "1.2.3.4", "BOOT"}),
         {"'BOOT' is not a mode", "boot, in lower case"}},
        {argument_line({"--check", f, "1.2.3.4", "boot", "x"}),
         {"4 arguments are too many", "for the boot area, boot\n"}},
        {cut, {"...'"}},
    };
    EXPECT_TRUE(all_have(rows));
    EXPECT_EQ(cut.find('\x1b'), std::string::npos);
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
    // A /28 neighbour's subnet: its broadcast address is refused, the next address is not.
    const std::vector<LocalAddress> narrow = {local(addr(198, 51, 100, 17), 28, true, "eth1")};
    const Said rows[] = {
        {refusal(host, addr(198, 51, 100, 1)), {"198.51.100.1 is this host's own", "(on eth0)"}},
        {refusal(host, addr(203, 0, 113, 9)), {"203.0.113.9 is this host's own", "(on p2p)"}},
        {refusal(host, addr(198, 51, 100, 255)),
         {"198.51.100.255 is the broadcast address of 198.51.100.0/24 on eth0", "every host"}},
        {refusal(host, addr(198, 51, 100, 0)), {"network address of 198.51.100.0/24 on eth0"}},
        {refusal(host, addr(224, 0, 0, 1)), {"224.0.0.1 is a multicast address (224.0.0.0/4)"}},
        {refusal({}, addr(239, 255, 255, 250)), {"239.255.255.250 is a multicast address"}},
        {refusal({}, addr(240, 0, 0, 1)), {"240.0.0.1 is a reserved address (240.0.0.0/4)"}},
        {refusal({}, addr(255, 255, 255, 254)), {"255.255.255.254 is a reserved address"}},
        {refusal(narrow, addr(198, 51, 100, 31)), {"broadcast address of 198.51.100.16/28"}},
        {refusal(narrow, addr(198, 51, 100, 16)), {"network address of 198.51.100.16/28"}},
        {refusal(narrow, addr(198, 51, 100, 32)), {}},
    };
    EXPECT_TRUE(all_have(rows));
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
    const std::uint32_t target = addr(198, 51, 100, 10), home = addr(192, 168, 1, 10);
    const LocalAddress on_subnet = local(addr(198, 51, 100, 1), 24),
                       off_subnet = local(addr(203, 0, 113, 1), 24, true, "eth1"),
                       no_link = local(addr(198, 51, 100, 1), 24, false, "eth1"),
                       neither = local(addr(203, 0, 113, 1), 24, false, "eth1");
    // Two interfaces on the subnet: both named, the one chosen and why, and how to choose the
    // other. Two addresses on one interface are no choice to tell.
    const LocalAddress wlan0 = local(addr(192, 168, 1, 26), 24, true, "wlan0"),
                       eth0 = local(addr(192, 168, 1, 1), 24, true, "eth0"),
                       eth0_too = local(addr(192, 168, 1, 26), 24, true, "eth0"),
                       vpn = local(addr(10, 0, 0, 5), 8, true, "wlan0");
    const Said rows[] = {
        {choice_line({on_subnet}, target), {}},
        {choice_line({off_subnet}, target),
         {"subnet of 198.51.100.10", "203.0.113.1 on eth1", "an address on the device's subnet"}},
        {choice_line({no_link}, target),
         {"eth1, which holds 198.51.100.1, has no link", "198.51.100.10", "plug in the cable"}},
        {choice_line({neither}, target), {"subnet of 198.51.100.10", "has no link"}},
        {choice_line({wlan0, eth0}, home, eth0.addr),
         {"eth0 (192.168.1.1) and wlan0 (192.168.1.26)", "192.168.1.1 on eth0, the one this host",
          "on wlan0, unplug or disable eth0 and run QBupdate again"}},
        {choice_line({wlan0, eth0}, home),
         {"192.168.1.26 on wlan0, the one that shares most", "on eth0, unplug or disable wlan0"}},
        {choice_line({eth0_too, eth0}, home), {}},
        {choice_line({eth0, vpn}, home, vpn.addr), {}},
    };
    EXPECT_TRUE(all_have(rows));
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
    EXPECT_TRUE(line_has(host.said[0], {"waiting up to 20 s", "the subnet of 198.51.100.10",
                                        "connect or power the device", "203.0.113.7 on Wi-Fi"}));

    // A link that comes up on an address already on the subnet ends the wait as well.
    const LocalAddress unplugged = local(addr(198, 51, 100, 1), 24, false, "eth1");
    ASSERT_EQ(wait_with({{unplugged}, {unplugged}, {cable}}, out), 1);
    EXPECT_TRUE(out[0].has_link);
    ASSERT_EQ(host.said.size(), 1u);
    EXPECT_TRUE(line_has(host.said[0], {"eth1, which holds 198.51.100.1, has no link yet"}));
}

TEST(SubnetWait, AnAdapterWithAMadeUpAddressIsNamedWithTheFix) {
    const LocalAddress wifi = local(addr(203, 0, 113, 7), 24, true, "Wi-Fi");
    const LocalAddress apipa = local(addr(169, 254, 12, 34), 16, true, "Ethernet");
    LocalAddress out[8];
    ASSERT_EQ(wait_with({{wifi, apipa}}, out), 1) << "the made-up address serves no one";
    ASSERT_EQ(host.said.size(), 1u);
    EXPECT_TRUE(
        line_has(host.said[0], {"waiting up to 20 s", "the subnet of 198.51.100.10",
                                "Ethernet holds only 169.254.12.34", "when no DHCP server answered",
                                "give Ethernet a static address on the device's subnet"}));
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
    EXPECT_TRUE(line_has(host.said[0], {"waiting up to 20 s", "the subnet of 198.51.100.10",
                                        "connect or power the device",
                                        "this host has no usable IPv4 address yet"}));
    EXPECT_EQ(wait_with({{local(addr(127, 0, 0, 1), 8, true, "lo")}}, out), 0);
    EXPECT_EQ(host.said.size(), 1u);
}

std::string failure(int result, const UpdateDiagnosis& told, const char* image = "x.bin",
                    const StartContext& start = {}, std::uint32_t local = addr(198, 51, 100, 1)) {
    char line[512];
    describe_failure(line, sizeof line, result, told, image, local, addr(198, 51, 100, 10), start);
    return line;
}

// `count` units answered BOOTP requests: 52:54:00:12:34:56, then 02:00:5e:10:00:ab.
UnitsAnswered units(std::uint32_t count) {
    UnitsAnswered u{count, {HardwareAddress{true, {0x52, 0x54, 0x00, 0x12, 0x34, 0x56}}}};
    if (count > 1)
        u.hw[1] = HardwareAddress{true, {0x02, 0x00, 0x5e, 0x10, 0x00, 0xab}};
    return u;
}

TEST(FailureReport, ExitStatusAndOneLineNamingTheCause) {
    const struct {
        UpdateResult result;
        int status;
    } statuses[] = {
        {UPDATE_DONE, 0},          {UPDATE_NO_IMAGE, 2},        {UPDATE_NO_WAKE_PORT, 3},
        {UPDATE_NO_BOOTP_PORT, 3}, {UPDATE_NO_TFTP_PORT, 3},    {UPDATE_NO_ANSWER, 4},
        {UPDATE_WAIT_FAILED, 5},   {UPDATE_NO_READ_REQUEST, 4}, {UPDATE_NO_ACKNOWLEDGEMENT, 4}};
    for (const auto& row : statuses)
        EXPECT_EQ(exit_status_for(row.result), row.status) << row.result;

    // Once a BOOTP reply has gone, the line names the hardware address answered; with two units
    // answered, neither is called the device.
    const UpdateDiagnosis one{IMAGE_OK, NET_FAULT_NONE, units(1)};
    const UpdateDiagnosis one_failed{IMAGE_OK, NET_FAULT_OTHER, units(1)};
    const UpdateDiagnosis two{IMAGE_OK, NET_FAULT_OTHER, units(2)};
    const UpdateDiagnosis in_use{IMAGE_OK, NET_FAULT_IN_USE};
    // What the start knew comes first: the default image's name and where it was looked for;
    // no address on the device's subnet as the likely cause of the silence.
    const StartContext bare{true, false}, off{false, true};
    const std::string denied = failure(UPDATE_NO_BOOTP_PORT, {IMAGE_OK, NET_FAULT_PERMISSION});
    const std::string long_path(2000, 'p');
    const std::string cut =
        failure(UPDATE_NO_IMAGE, {IMAGE_UNREADABLE, NET_FAULT_NONE}, long_path.c_str());
    const Said rows[] = {
        {failure(UPDATE_NO_IMAGE, {IMAGE_MISSING, NET_FAULT_NONE}),
         {"image 'x.bin': no such file\n"}},
        {denied, {"cannot open UDP port 67 on 198.51.100.1: "}},
        {failure(UPDATE_NO_ANSWER, {}),
         {"no answer from 198.51.100.10 after 41 wake beacons from 198.51.100.1;",
          "power and cable", "UDP port 67"}},
        // A second run holds the ports as readily as a server does.
        {failure(UPDATE_NO_WAKE_PORT, in_use), {"UDP port 9 on 198.51.100.1:", "another QBupdate"}},
        {failure(UPDATE_NO_BOOTP_PORT, in_use),
         {"UDP port 67 on 198.51.100.1:", "another QBupdate"}},
        {failure(UPDATE_NO_TFTP_PORT, in_use),
         {"UDP port 69 on 198.51.100.1:", "another QBupdate"}},
        {failure(UPDATE_NO_READ_REQUEST, one),
         {"device 52:54:00:12:34:56 took the BOOTP reply for 198.51.100.10", "60 s",
          "UDP port 69 in to 198.51.100.1,", "a second unit"}},
        {failure(UPDATE_WAIT_FAILED, one_failed),
         {"device 52:54:00:12:34:56: waiting for network traffic on 198.51.100.1 failed"}},
        {failure(UPDATE_ABANDONED, one_failed),
         {"device 52:54:00:12:34:56: the update stood still"}},
        // Requests in the device's name were served but nothing acknowledged.
        {failure(UPDATE_NO_ACKNOWLEDGEMENT, two),
         {"units 52:54:00:12:34:56, 02:00:5e:10:00:ab answered", "requests from 198.51.100.10",
          "served from 198.51.100.1,", "60 s", "UDP ports 32768 to 40959", "another host"}},
        {failure(UPDATE_NO_READ_REQUEST, two),
         {"the device (one of 52:54:00:12:34:56, 02:00:5e:10:00:ab) took the BOOTP reply"}},
        {failure(UPDATE_NO_IMAGE, {IMAGE_MISSING, NET_FAULT_NONE}, "quibble_box.bin", bare),
         {"image 'quibble_box.bin': no such file", "without arguments", "working directory",
          "QBupdate new.bin 192.168.1.10"}},
        {failure(UPDATE_NO_IMAGE, {IMAGE_NO_PERMISSION, NET_FAULT_NONE}, "quibble_box.bin", bare),
         {"image 'quibble_box.bin': permission denied\n"}},
        {failure(UPDATE_NO_ANSWER, {}, "x.bin", off, addr(203, 0, 113, 1)),
         {"subnet of 198.51.100.10, the likely cause", "41 wake beacons from 203.0.113.1;",
          "an address on the device's subnet", "power and cable"}},
        {cut, {"image 'ppp", "ppp...\n"}},
    };
    EXPECT_TRUE(all_have(rows));
    EXPECT_EQ(cut.size(), 511u) << "cut to fit the line's buffer";
    // Cut where no UTF-8 character is split, both the path and the line: 3-byte characters.
    std::string euros;
    for (int i = 0; i < 700; ++i)
        euros += "\xE2\x82\xAC";
    const std::string cut_euros =
        failure(UPDATE_NO_IMAGE, {IMAGE_UNREADABLE, NET_FAULT_NONE}, euros.c_str());
    EXPECT_TRUE(line_has(cut_euros, {"\xE2\x82\xAC...\n"}));
    EXPECT_GE(cut_euros.size(), 509u);
#if defined(_WIN32)
    EXPECT_EQ(denied.find("root"), std::string::npos) << "Linux advice on Windows";
#else
    EXPECT_TRUE(line_has(denied, {"permission denied; run it with sudo",
                                  "sudo setcap cap_net_bind_service", "/cli_tests"}))
        << "the binary's own path";
#endif
}

std::string notice_line(const UpdateNotice& notice) {
    char line[512];
    describe_notice(line, sizeof line, notice);
    return line;
}

TEST(FailureReport, NoticesNameTheStrangerAndBothUnits) {
    UpdateNotice stranger{};
    stranger.kind = NOTICE_STRANGER_REFUSED;
    stranger.refused_addr = addr(198, 51, 100, 66);
    UpdateNotice second = stranger;
    second.kind = NOTICE_SECOND_DEVICE;
    second.units = units(2);
    UpdateNotice silent = second;
    silent.units.count = 1;
    silent.kind = NOTICE_NO_READ_REQUEST;
    silent.local_addr = addr(198, 51, 100, 1);
    const Said rows[] = {
        {notice_line(stranger), {"TFTP read request from 198.51.100.66", "the update goes on"}},
        {notice_line(second),
         {"more than one hardware address (52:54:00:12:34:56, 02:00:5e:10:00:ab)",
          "power off every unit that is not meant to be updated"}},
        {notice_line(silent),
         {"device 52:54:00:12:34:56 took the BOOTP reply", "10 s", "giving up at 60 s\n"}},
    };
    EXPECT_TRUE(all_have(rows));
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

std::string start_line(const char* path, const ImageDigest& digest) {
    char line[1024];
    describe_start(line, sizeof line, serving_facts(path), 9, digest);
    return line;
}

TEST(StartLine, NamesTheImageItsChecksumsAndBothEnds) {
    const std::string image = "123456789";
    const ImageDigest digest =
        digest_image(reinterpret_cast<const unsigned char*>(image.data()), image.size());
    ImageDigest refused = digest;
    refused.sha256_known = false;
    // A long or odd path is cut short and shown safe; the checksums and the addresses stay.
    const std::string odd = start_line(("\x1b[2J" + std::string(2000, 'p')).c_str(), digest);
    const std::string ends = "from 198.51.100.1 on veth-host to the device at 198.51.100.10\n";
    const std::string sha =
        "SHA-256 15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225";
    const Said rows[] = {
        {start_line("new firmware.bin", digest),
         {"'new firmware.bin' (9 bytes, " + sha + ", CRC-32 cbf43926)", ends}},
        {odd, {"...' (9 bytes, " + sha, "CRC-32 cbf43926", ends}},
        {start_line("x.bin", refused), {"(9 bytes, SHA-256 unknown, CRC-32 cbf43926)", ends}},
    };
    EXPECT_TRUE(all_have(rows));
    EXPECT_EQ(odd.find('\x1b'), std::string::npos);
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
    const std::string plain = "sudo setcap cap_net_bind_service=ep ";
    const std::string raw = "sudo setcap cap_net_bind_service,cap_net_raw=ep ";
    const struct {
        const char* path;
        unsigned major, minor;
        std::vector<std::string> words;
    } rows[] = {
        {"/usr/bin/QBupdate", 6, 1, {"run it with sudo", plain + "/usr/bin/QBupdate\n"}},
        {"/usr/bin/QBupdate", 5, 7, {"run it with sudo", plain + "/usr/bin/QBupdate\n"}},
        {"/home/al/my tools/QBupdate",
         5,
         4,
         {raw + "'/home/al/my tools/QBupdate' (this kernel, 5.4, also needs CAP_NET_RAW",
          "Linux 5.7 and later do not"}},
        {"/opt/it's/QBupdate", 4, 19, {raw + "'/opt/it'\\''s/QBupdate' (this kernel, 4.19,"}},
        {"/tmp/a\nb", 6, 0, {plain + "'/tmp/a?b'\n"}},
    };
    for (const auto& row : rows) {
        char advice[768];
        describe_permission_fix(advice, sizeof advice, row.path, row.major, row.minor);
        // The advice ends the failure line: it holds no line break of its own.
        EXPECT_TRUE(line_has("QBupdate: " + std::string(advice) + "\n", row.words)) << row.path;
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
        EXPECT_TRUE(line_has(text, {"cannot open UDP port 67 on 198.51.100.1: "})) << code;
        EXPECT_EQ(text.find("root"), std::string::npos) << text;
        EXPECT_EQ(text.find("CAP_"), std::string::npos) << text;
    }
    describe_failure(line, sizeof line, UPDATE_NO_BOOTP_PORT,
                     {IMAGE_OK, net_fault_from_winsock_error(WSAEACCES_CODE)}, "x.bin", local,
                     local);
    EXPECT_TRUE(line_has(line, {"another program holds it exclusively",
                                "netsh int ipv4 show excludedportrange protocol=udp"}));
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
    const FirewallRule block_udp = rule(false, FIREWALL_PROTOCOL_UDP, FIREWALL_PUBLIC);
    const FirewallRule block_tcp = rule(false, 6, FIREWALL_PUBLIC);
    const FirewallRule block_off = rule(false, FIREWALL_PROTOCOL_UDP, FIREWALL_PUBLIC, true, false);
    // The fix: delete the program's inbound rules, then add the installer's rule, or the installer.
    const std::string quoted = "program=\"" + std::string(PROGRAM) + "\"";
    const std::string fix = "netsh advfirewall firewall delete rule name=all dir=in " + quoted +
                            " and netsh advfirewall firewall add rule name=QBupdate dir=in "
                            "action=allow protocol=udp localport=67,69 remoteip=any "
                            "interfacetype=lan profile=any " +
                            quoted;
    // Not allowed: no enabled inbound rule for UDP covers the active profile.
    const std::vector<std::string> not_allowed = {"no Windows Defender Firewall rule allows",
                                                  PROGRAM, " in the Public profile, "};
    // A path too long for the commands to fit: the line still ends, and points to the guide.
    const std::string deep = "C:\\" + std::string(600, 'd') + "\\QBupdate.exe";
    const Said rows[] = {
        // Silent: the program is allowed where the PC is, or the firewall is off there; a block
        // rule disabled, for another profile or for TCP only.
        {firewall_line(FIREWALL_PUBLIC, on, {allow_all}), {}},
        {firewall_line(FIREWALL_PUBLIC, on, {rule(true, FIREWALL_PROTOCOL_ANY, FIREWALL_PUBLIC)}),
         {}},
        {firewall_line(FIREWALL_PUBLIC, FIREWALL_PRIVATE, {}), {}}, // off in Public
        {firewall_line(0, on, {}), {}},                             // no network, no profile
        {firewall_line(FIREWALL_PUBLIC, on, {allow_all, block_off}), {}},
        {firewall_line(FIREWALL_PRIVATE, on, {allow_all, block_udp}), {}},
        {firewall_line(FIREWALL_PUBLIC, on, {block_tcp, allow_all}), {}},
        // Blocked: a block rule wins over any allow rule.
        {firewall_line(FIREWALL_PUBLIC, on, {block_tcp, block_udp, allow_all}),
         {"rule blocks inbound UDP for", PROGRAM, " in the Public profile, ", fix, "installer"}},
        {firewall_line(FIREWALL_PUBLIC, on, {rule(true, FIREWALL_PROTOCOL_UDP, FIREWALL_PRIVATE)}),
         not_allowed},
        {firewall_line(FIREWALL_PUBLIC, on, {rule(true, 6, ALL_PROFILES)}), not_allowed},
        {firewall_line(FIREWALL_PUBLIC, on,
                       {rule(true, FIREWALL_PROTOCOL_UDP, ALL_PROFILES, false)}),
         not_allowed},
        {firewall_line(FIREWALL_PUBLIC, on,
                       {rule(true, FIREWALL_PROTOCOL_UDP, ALL_PROFILES, true, false)}),
         not_allowed},
        {firewall_line(FIREWALL_PRIVATE | FIREWALL_PUBLIC, on, {}),
         {" in the Private and Public profiles, "}},
        {firewall_line(FIREWALL_PUBLIC, on, {}, deep.c_str()), {"README.txt"}},
    };
    EXPECT_TRUE(all_have(rows));
}

// Group Policy that turns local rule merging off (as security baselines do for the Public
// profile), or "block all incoming connections", makes every rule on this PC void, the
// installer's included: the line says so, and that IT fixes it, with the rule to deploy.
TEST(FirewallNotice, SaysWhenLocalRulesDoNotApplyAndWhoCanFixIt) {
    const std::uint32_t on = FIREWALL_DOMAIN | FIREWALL_PRIVATE | FIREWALL_PUBLIC;
    const FirewallRule allow_all = rule(true, FIREWALL_PROTOCOL_UDP, ALL_PROFILES);
    const FirewallRule domain_only = rule(true, FIREWALL_PROTOCOL_UDP, FIREWALL_DOMAIN);
    const FirewallLocalRules by_policy = FIREWALL_LOCAL_RULES_OVERRIDDEN_BY_POLICY;
    const FirewallLocalRules shields_up = FIREWALL_LOCAL_RULES_INBOUND_BLOCKED;
    const std::string policy = firewall_line(FIREWALL_PUBLIC, on, {allow_all}, PROGRAM, by_policy);
    // A block rule counts for nothing then either: the policy is what to fix.
    EXPECT_EQ(firewall_line(FIREWALL_PUBLIC, on, {rule(false, FIREWALL_PROTOCOL_UDP, ALL_PROFILES)},
                            PROGRAM, by_policy),
              policy);
    // A path too long for the rule to fit: still one line, pointing to the guide.
    const std::string deep = "C:\\" + std::string(1000, 'd') + "\\QBupdate.exe";
    const Said rows[] = {
        {policy,
         {"Group Policy", "in the Public profile", "BOOTP and TFTP requests will be dropped",
          "only IT can fix this", "UDP ports 67 and 69 for \"" + std::string(PROGRAM) + "\"",
          "in all profiles\n"}},
        {firewall_line(FIREWALL_DOMAIN, on, {allow_all}, PROGRAM, shields_up),
         {"blocks all incoming connections in the Domain profile", "whatever rules", "ask IT"}},
        // Silent where the firewall is off on the device's network, or there is none.
        {firewall_line(FIREWALL_PUBLIC, FIREWALL_DOMAIN | FIREWALL_PRIVATE, {}, PROGRAM, by_policy),
         {}},
        {firewall_line(0, on, {}, PROGRAM, shields_up), {}},
        // The profile named is the device's network's, not another adapter's: a Domain-only allow
        // rule does not help a cable on Public.
        {firewall_line(FIREWALL_PUBLIC, on, {domain_only}),
         {" in the Public profile, ", "if Windows asks now, ticking Public networks: "}},
        {firewall_line(FIREWALL_PRIVATE, on, {}), {"if Windows asks now: "}},
        {firewall_line(FIREWALL_DOMAIN, on, {domain_only}), {}},
        {firewall_line(FIREWALL_PUBLIC, on, {}, deep.c_str(), by_policy), {"README.txt"}},
    };
    EXPECT_TRUE(all_have(rows));
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
        EXPECT_TRUE(line_has(text, {"cli_tests.exe"}));
    }
}
#endif

} // namespace
