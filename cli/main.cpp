// QBupdate: loads a new image into a QuibbleBox over the local network segment.
#include "command_line.h"
#include "console.h"
#include "engine.h"
#include "host.h"
#include "notices.h"
#include "progress.h"
#include "report.h"
#include "subnet_wait.h"

#include <cstring>

namespace {
constexpr int MAX_LOCAL_ADDRESSES = 64;
}

int main(int argc, char** argv) {
    arguments_as_utf8(&argc, &argv);
    CommandLine cl = parse_command_line(argc, argv);
    if (cl.problem == ARGUMENTS_VERSION) {
        console_text(CONSOLE_OUT, "QBupdate " QB_VERSION "\n");
        return EXIT_ANSWERED;
    }
    if (cl.show_usage) {
        console_text(CONSOLE_OUT, USAGE_TEXT);
        char why[512];
        describe_argument_problem(why, sizeof why, cl, argc, argv);
        console_line(why);
        return cl.problem == ARGUMENTS_LONG_HELP ? EXIT_ANSWERED : EXIT_USAGE_OR_SETUP;
    }
    if (!net_startup()) {
        net_cleanup();
        console_line("QBupdate: cannot start the socket library\n");
        return EXIT_USAGE_OR_SETUP;
    }

    LocalAddress addrs[MAX_LOCAL_ADDRESSES];
    int count =
        net_local_addresses(addrs, MAX_LOCAL_ADDRESSES, is_usable_local_address, cl.target_addr);
    count = count < 0 ? 0 : count;
    char refusal[512];
    describe_target_refusal(refusal, sizeof refusal, addrs, count, cl.target_addr);
    if (refusal[0] != '\0') {
        net_cleanup();
        console_line(refusal);
        return EXIT_USAGE_OR_SETUP;
    }
    // A target on no subnet of this host yet may get its address meanwhile; the addresses that
    // came judge the target again (a subnet's broadcast address is refused only once it is
    // known).
    count = wait_for_subnet(addrs, count, MAX_LOCAL_ADDRESSES, cl.target_addr, cl.image_path);
    describe_target_refusal(refusal, sizeof refusal, addrs, count, cl.target_addr);
    if (refusal[0] != '\0') {
        net_cleanup();
        console_line(refusal);
        return EXIT_USAGE_OR_SETUP;
    }
    if (count == 0) {
        net_cleanup();
        console_line("QBupdate: this host has no usable IPv4 address to reach the device from\n");
        return EXIT_USAGE_OR_SETUP;
    }
    const int chosen = choose_local_address(addrs, count, cl.target_addr);
    const std::uint32_t local_addr = addrs[chosen].addr;
    char start_lines[1024] = "";
    if (!cl.target_given)
        describe_default_target(start_lines, sizeof start_lines, cl.target_addr);
    const std::size_t used = std::strlen(start_lines);
    describe_address_choice(start_lines + used, sizeof start_lines - used, addrs, count, chosen,
                            cl.target_addr);
    notices_begin(start_lines);

    UpdateDiagnosis diagnosis{};
    console_begin();
    const std::uint64_t began = clock_microseconds();
    const int result = update_target(local_addr, cl.target_addr, cl.image_path, cl.mode,
                                     print_progress, &diagnosis, print_update_notice);
    const std::uint64_t took_us = clock_microseconds() - began;
    net_cleanup();
    char last_line[512];
    if (result == UPDATE_DONE)
        describe_success(last_line, sizeof last_line, cl.target_addr, diagnosis, took_us);
    else
        describe_failure(last_line, sizeof last_line, result, diagnosis, cl.image_path,
                         local_addr, cl.target_addr);
    console_line(last_line);
    console_end();
    return exit_status_for(result);
}
