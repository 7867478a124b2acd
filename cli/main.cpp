// QBupdate: loads a new image into a QuibbleBox over the local network segment.
#include "command_line.h"
#include "engine.h"
#include "host.h"
#include "progress.h"
#include "report.h"
#include "subnet_wait.h"

#include <cstdio>

namespace {
constexpr int MAX_LOCAL_ADDRESSES = 64;
}

int main(int argc, char** argv) {
    arguments_as_utf8(&argc, &argv);
    CommandLine cl = parse_command_line(argc, argv);
    if (cl.show_usage) {
        std::fputs(USAGE_TEXT, stdout);
        std::fflush(stdout);
        char why[512];
        describe_argument_problem(why, sizeof why, cl, argc, argv);
        if (why[0] != '\0')
            write_error_text(why);
        return EXIT_USAGE_OR_SETUP;
    }
    if (!net_startup()) {
        net_cleanup();
        std::fputs("QBupdate: cannot start the socket library\n", stderr);
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
        write_error_text(refusal);
        return EXIT_USAGE_OR_SETUP;
    }
    // A target refused above needs no wait; one on no subnet yet may get its address meanwhile.
    count = read_addresses_for(addrs, MAX_LOCAL_ADDRESSES, cl.target_addr,
                               run_can_start(cl.image_path));
    if (count == 0) {
        net_cleanup();
        std::fputs("QBupdate: this host has no usable IPv4 address to reach the device from\n",
                   stderr);
        return EXIT_USAGE_OR_SETUP;
    }
    const int chosen = choose_local_address(addrs, count, cl.target_addr);
    const std::uint32_t local_addr = addrs[chosen].addr;
    describe_address_choice(start_notice, sizeof start_notice, addrs, count, chosen,
                            cl.target_addr);

    UpdateDiagnosis diagnosis{};
    console_hold_steady();
    trail_begin();
    int result = update_target(local_addr, cl.target_addr, cl.image_path, cl.mode, print_progress,
                               &diagnosis, print_update_notice);
    net_cleanup();
    if (result != UPDATE_DONE) {
        char message[512];
        describe_failure(message, sizeof message, result, diagnosis, cl.image_path, local_addr,
                         cl.target_addr);
        std::fflush(stdout);
        print_error_line(message);
    }
    trail_end();
    console_restore();
    return exit_status_for(result);
}
