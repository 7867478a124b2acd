// The start-up line about the system's firewall, from what the platform read of it.
#pragma once

#include "host.h"

#include <cstddef>
#include <cstdint>

// A line (with its newline) saying that the firewall will drop the device's datagrams to this
// program, naming the network profile and the fix, or an empty text when it will not or the
// system cannot tell. `local_addr` (network order) is the address the endpoints are bound to:
// the firewall applies the profile of the network its adapter is on.
void firewall_notice(char* out, std::size_t capacity, std::uint32_t local_addr);

// The decision firewall_notice makes from the firewall's answers; apart so that a test can
// feed it answers of its own.
void describe_firewall(char* out, std::size_t capacity, const FirewallAnswers& answers,
                       const char* program_path);
