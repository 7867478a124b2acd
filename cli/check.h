// QBupdate --check: everything an update does before its first datagram (the arguments, the
// target's checks, the address choice, the image loaded, ports 9, 67 and 69 opened and closed
// again, the firewall asked), then a report on standard output instead of the first beacon.
#pragma once

#include "command_line.h"
#include "digest.h"
#include "report.h"

#include <cstddef>
#include <cstdint>

// What the check found, as its report gives it.
struct CheckFindings {
    ServingFacts serving;
    bool target_given;
    UpdateMode mode;
    int result;               // update_target's, ended at the network's start: UPDATE_ABANDONED
    bool network_reached;     // the image loaded and the ports open: no datagram would be next
    ImageFault image_fault;   // when the image could not be loaded
    std::uint32_t image_size; // once loaded
    ImageDigest digest;
    char firewall[1024];  // firewall_notice's line, or empty
    const char* warnings; // the lines (each "QBupdate: ...\n") an update would print first
};

// The exit status of the check: that of the update's failure before its first datagram, 0 when
// nothing stands in the way.
int check_status(const CheckFindings& findings);

// Writes the report, one fact a line: the image, the target, the address served from, the
// ports, the firewall, each warning, and the verdict.
void describe_check(char* out, std::size_t capacity, const CheckFindings& findings);

// Runs the check for the parsed command line with the address chosen: prints the failure line,
// if any, on standard error and the report on standard output; returns check_status. The
// socket library must have been started; it is cleaned up here.
int run_check(const CommandLine& cl, const ServingFacts& serving, const char* warnings);
