// Waiting at start for an address on the device's subnet. On a cable straight to the device the
// adapter has no link, and on Windows no address, until the device is powered: the operator's
// order of steps (run QBupdate, then power the device) must still work.
#pragma once

#include "engine.h"
#include "host.h"

#include <cstddef>
#include <cstdint>

// The wake window: as long as the device is given to answer the beacons.
constexpr std::uint32_t SUBNET_WAIT_MS = MAX_UNANSWERED_BEACONS * 500;
constexpr std::uint32_t SUBNET_POLL_MS = 500;
// How many of this host's addresses a reading takes, at most.
constexpr int MAX_ADDRESSES_READ = 64;

// What the wait needs of the system, apart so that a test can run it on a clock of its own.
struct SubnetWaitHooks {
    int (*read_addresses)(LocalAddress* out, int capacity, LocalAddressFilter keep,
                          std::uint32_t target_addr); // as net_local_addresses
    std::uint64_t (*now_us)();
    void (*pause_ms)(std::uint32_t ms);
    void (*say)(const char* line);
    bool (*run_can_start)(const char* image_path); // as run_can_start below
};
extern const SubnetWaitHooks SYSTEM_SUBNET_WAIT;

// Whether a run from this image would get past its set-up: the image can be loaded, and nothing
// keeps QBupdate off ports 9, 67 and 69 (net_port_refused). Only such a run waits; any other
// fails at once with its own line, or goes on as without the wait.
bool run_can_start(const char* image_path);

// Whether the address can reach the target now: on its subnet, on an interface with link.
bool reaches_subnet_of(const LocalAddress& local, std::uint32_t target_addr);

// Takes this host's usable addresses (is_usable_local_address) as just read, `count` of them in
// `addrs`. When none reaches the target's subnet and a run from the image could start, says so
// once (describe_subnet_wait) and reads them again every SUBNET_POLL_MS until one does or
// SUBNET_WAIT_MS have passed. Returns how many usable addresses the last reading found.
int wait_for_subnet(LocalAddress* addrs, int count, int capacity, std::uint32_t target_addr,
                    const char* image_path, const SubnetWaitHooks& hooks = SYSTEM_SUBNET_WAIT);

// Writes the line wait_for_subnet says as it begins to wait (describe_subnet_wait, with the
// made-up address read from the whole list), or an empty text when an address already reaches
// the target's subnet.
void describe_wait_ahead(char* out, std::size_t capacity, const LocalAddress* addrs, int count,
                         std::uint32_t target_addr,
                         const SubnetWaitHooks& hooks = SYSTEM_SUBNET_WAIT);

// Of all this host's addresses (`all`, unfiltered), a link-local one (169.254.0.0/16) on an
// interface that holds no usable address: an adapter that asked for an address and got none.
// Null when there is none, or the target is link-local itself.
const LocalAddress* made_up_address(const LocalAddress* all, int count, std::uint32_t target_addr);

// Writes the line (with "QBupdate: " and a newline) that says QBupdate waits for an address on
// the target's subnet, naming the target and the address it would otherwise serve it from; with
// `made_up` (made_up_address), also that address and what to do about it.
void describe_subnet_wait(char* out, std::size_t capacity, const LocalAddress* addrs, int count,
                          std::uint32_t target_addr, const LocalAddress* made_up = nullptr);
