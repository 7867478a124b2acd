// This host's addresses against the target: which may serve it, which one does, and the
// targets that cannot be one device.
#pragma once

#include "host.h"

#include <cstddef>
#include <cstdint>

// Whether the engine may bind to a local address to reach the target (a LocalAddressFilter):
// loopback ones only when the target itself is a loopback address, link-local ones
// (169.254.0.0/16, what a system gives an adapter that got no address) only when the target is
// link-local too.
bool is_usable_local_address(std::uint32_t local_addr, std::uint32_t target_addr);

// Writes the line (with "QBupdate: " and a newline) that says why the target cannot be one
// device, or an empty text when it can: a multicast address or one of 240.0.0.0/4, an address
// of this host, or the network or broadcast address of a subnet of the usable local addresses
// `addrs` that holds it (none on /31 and /32 links). A loopback target is always allowed.
void describe_target_refusal(char* out, std::size_t capacity, const LocalAddress* addrs, int count,
                             std::uint32_t target_addr);

// Whether the address's interface subnet holds the target.
bool on_subnet_of(const LocalAddress& local, std::uint32_t target_addr);
bool any_on_subnet_of(const LocalAddress* addrs, int count, std::uint32_t target_addr);

// 169.254.0.0/16: the address a system gives itself when no DHCP server answered.
bool is_link_local_address(std::uint32_t addr);

// The index of the address to serve the target from. Those on the target's subnet come first;
// among them the one the system sends to the target from (`route_source`, net_route_source; 0
// when unknown), so that of two interfaces on one subnet the one routed to the device serves it.
// Otherwise, among them (or among all, when none is) the one whose host-order AND with the
// target is largest wins, the earliest on a tie, and the first when none scores above zero.
// `count` must be at least 1.
int choose_local_address(const LocalAddress* addrs, int count, std::uint32_t target_addr,
                         std::uint32_t route_source = 0);

// Writes the line (with "QBupdate: " and a newline) that warns that the chosen address cannot
// reach the target (no address on its subnet, an interface without link), or that a second
// interface holds the target's subnet too (naming both, the one chosen and how to choose the
// other), or an empty text.
void describe_address_choice(char* out, std::size_t capacity, const LocalAddress* addrs, int count,
                             int chosen, std::uint32_t target_addr, std::uint32_t route_source = 0);
