// QBupdate: loads a new image into a QuibbleBox over the local network segment.
#include "check.h"
#include "command_line.h"
#include "console.h"
#include "engine.h"
#include "host.h"
#include "local_address.h"
#include "notices.h"
#include "report.h"
#include "subnet_wait.h"

#include <cstdio>
#include <cstring>

namespace {

// Answers --version and the usage cases; returns the exit status, or -1 to go on.
int answer_without_network(const CommandLine& cl, int argc, char** argv) {
    if (cl.problem == ARGUMENTS_VERSION) {
        console_text(CONSOLE_OUT, "QBupdate " QB_VERSION "\n");
        return EXIT_ANSWERED;
    }
    if (!cl.show_usage)
        return -1;
    console_text(CONSOLE_OUT, USAGE_TEXT);
    char why[512];
    describe_argument_problem(why, sizeof why, cl, argc, argv);
    console_line(why);
    if (cl.problem == ARGUMENTS_LONG_HELP)
        console_line(MORE_HELP_LINE);
    return cl.problem == ARGUMENTS_LONG_HELP ? EXIT_ANSWERED : EXIT_USAGE_OR_SETUP;
}

// Ends the run before the engine, with the socket library let go and the line said.
int end_at_start(const char* line) {
    net_cleanup();
    console_line(line);
    return EXIT_USAGE_OR_SETUP;
}

// This host's usable addresses for the target, after the wait for its subnet where an update
// would wait (the check only says that it would); -1 with the refusal said when the target
// cannot be one device, judged on the list read first and again on the list read after the
// wait (a subnet's broadcast address is refused only once the subnet is known).
int addresses_for(const CommandLine& cl, LocalAddress* addrs, NoticeContext& notices) {
    int count =
        net_local_addresses(addrs, MAX_ADDRESSES_READ, is_usable_local_address, cl.target_addr);
    count = count < 0 ? 0 : count;
    char refusal[512];
    describe_target_refusal(refusal, sizeof refusal, addrs, count, cl.target_addr);
    if (refusal[0] == '\0' && cl.check) {
        describe_wait_ahead(notices.start_lines, sizeof notices.start_lines, addrs, count,
                            cl.target_addr);
    } else if (refusal[0] == '\0') {
        count = wait_for_subnet(addrs, count, MAX_ADDRESSES_READ, cl.target_addr, cl.image_path);
        describe_target_refusal(refusal, sizeof refusal, addrs, count, cl.target_addr);
    }
    if (refusal[0] != '\0') {
        end_at_start(refusal);
        return -1;
    }
    return count;
}

// Chooses the address to serve from and adds the front end's start lines about the choice.
ServingFacts choose_serving(const CommandLine& cl, const LocalAddress* addrs, int count,
                            NoticeContext& notices) {
    std::uint32_t route_source = 0;
    if (!net_route_source(cl.target_addr, &route_source))
        route_source = 0;
    const int chosen = choose_local_address(addrs, count, cl.target_addr, route_source);
    char* const start_lines = notices.start_lines;
    const std::size_t lines_size = sizeof notices.start_lines;
    std::size_t used = std::strlen(start_lines);
    if (!cl.target_given)
        describe_default_target(start_lines + used, lines_size - used, cl.target_addr);
    used = std::strlen(start_lines);
    describe_address_choice(start_lines + used, lines_size - used, addrs, count, chosen,
                            cl.target_addr, route_source);
    ServingFacts serving{cl.image_path, addrs[chosen].addr, "", cl.target_addr};
    std::snprintf(serving.interface_name, sizeof serving.interface_name, "%s",
                  addrs[chosen].interface_name);
    return serving;
}

// The update itself, and its last line.
int update(const CommandLine& cl, const LocalAddress* addrs, int count, NoticeContext& notices) {
    UpdateDiagnosis diagnosis{};
    console_begin();
    const std::uint64_t began = clock_microseconds();
    const int result = update_target(notices.serving.local_addr, cl.target_addr, cl.image_path,
                                     cl.mode, take_update_notice, &notices, &diagnosis);
    const std::uint64_t took_us = clock_microseconds() - began;
    net_cleanup();
    char last_line[512];
    StartContext context;
    context.default_image = !cl.image_given;
    context.off_subnet = !any_on_subnet_of(addrs, count, cl.target_addr);
    if (result == UPDATE_DONE)
        describe_success(last_line, sizeof last_line, cl.target_addr, diagnosis, took_us);
    else
        describe_failure(last_line, sizeof last_line, result, diagnosis, cl.image_path,
                         notices.serving.local_addr, cl.target_addr, context);
    console_line(last_line);
    console_end();
    return exit_status_for(result);
}

} // namespace

int main(int argc, char** argv) {
    arguments_as_utf8(&argc, &argv);
    const CommandLine cl = parse_command_line(argc, argv);
    if (const int answered = answer_without_network(cl, argc, argv); answered >= 0)
        return answered;
    if (!net_startup())
        return end_at_start("QBupdate: cannot start the socket library\n");
    LocalAddress addrs[MAX_ADDRESSES_READ];
    NoticeContext notices{};
    const int count = addresses_for(cl, addrs, notices);
    if (count < 0)
        return EXIT_USAGE_OR_SETUP;
    if (count == 0)
        return end_at_start(
            "QBupdate: this host has no usable IPv4 address to reach the device from\n");
    const ServingFacts serving = choose_serving(cl, addrs, count, notices);
    if (cl.check)
        return run_check(cl, serving, notices.start_lines);
    notices.serving_known = true;
    notices.serving = serving;
    return update(cl, addrs, count, notices);
}
