#include "local_address.h"

#include "report.h"

#include <bit>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint32_t LINK_LOCAL_NET = 0xA9FE0000; // 169.254.0.0/16, host order
constexpr std::uint32_t LINK_LOCAL_MASK = 0xFFFF0000;

bool is_loopback(std::uint32_t addr) {
    return (net_to_host32(addr) >> 24) == 127;
}

} // namespace

bool is_link_local_address(std::uint32_t addr) {
    return (net_to_host32(addr) & LINK_LOCAL_MASK) == LINK_LOCAL_NET;
}

bool is_usable_local_address(std::uint32_t local_addr, std::uint32_t target_addr) {
    return (!is_loopback(local_addr) || is_loopback(target_addr)) &&
           (!is_link_local_address(local_addr) || is_link_local_address(target_addr));
}

namespace {

constexpr std::uint32_t ADDRESS_CLASS_MULTICAST = 0xE; // 224.0.0.0/4: the top four bits
constexpr std::uint32_t ADDRESS_CLASS_RESERVED = 0xF;  // 240.0.0.0/4

unsigned prefix_length(std::uint32_t netmask) {
    return static_cast<unsigned>(std::popcount(netmask));
}

} // namespace

// A target that is no single device would wake the wrong units or none: a subnet's broadcast
// address takes the beacon to port 9 of every host on it, and every unit there reboots into its
// loader.
void describe_target_refusal(char* out, std::size_t capacity, const LocalAddress* addrs, int count,
                             std::uint32_t target_addr) {
    out[0] = '\0';
    if (is_loopback(target_addr))
        return;
    char target[16];
    format_address(target_addr, target);
    const std::uint32_t top = net_to_host32(target_addr) >> 28;
    if (top == ADDRESS_CLASS_MULTICAST || top == ADDRESS_CLASS_RESERVED) {
        write_line(out, capacity,
                   "QBupdate: %s is %s, never one device's: give the device's "
                   "own address\n",
                   target,
                   top == ADDRESS_CLASS_MULTICAST ? "a multicast address (224.0.0.0/4)"
                                                  : "a reserved address (240.0.0.0/4)");
        return;
    }
    char name[INTERFACE_NAME_SIZE];
    for (int i = 0; i < count; ++i) {
        if (addrs[i].addr != target_addr)
            continue;
        write_line(out, capacity,
                   "QBupdate: %s is this host's own address (on %s), not the "
                   "device's: give the device's address\n",
                   target, copy_printable(name, sizeof name, addrs[i].interface_name));
        return;
    }
    for (int i = 0; i < count; ++i) {
        const std::uint32_t mask = net_to_host32(addrs[i].netmask);
        // A /31 or /32 link has no network or broadcast address.
        if (prefix_length(mask) >= 31 || !on_subnet_of(addrs[i], target_addr))
            continue;
        const std::uint32_t host_part = net_to_host32(target_addr) & ~mask;
        if (host_part != 0 && host_part != ~mask)
            continue;
        char subnet[16];
        format_address(addrs[i].addr & addrs[i].netmask, subnet);
        copy_printable(name, sizeof name, addrs[i].interface_name);
        if (host_part == 0)
            write_line(out, capacity,
                       "QBupdate: %s is the network address of %s/%u on %s, "
                       "not a device's: give the device's own address\n",
                       target, subnet, prefix_length(mask), name);
        else
            write_line(out, capacity,
                       "QBupdate: %s is the broadcast address of %s/%u on %s: "
                       "the wake beacon would reach every host there; give the device's own "
                       "address\n",
                       target, subnet, prefix_length(mask), name);
        return;
    }
}

bool on_subnet_of(const LocalAddress& local, std::uint32_t target_addr) {
    return (local.addr & local.netmask) == (target_addr & local.netmask);
}

bool any_on_subnet_of(const LocalAddress* addrs, int count, std::uint32_t target_addr) {
    for (int i = 0; i < count; ++i) {
        if (on_subnet_of(addrs[i], target_addr))
            return true;
    }
    return false;
}

// Of a Wi-Fi and a cable on one subnet, the score may pick the Wi-Fi's address while the device
// is on the cable, and its broadcasts never reach the socket; the system's own route to the
// target names the interface that faces it.
int choose_local_address(const LocalAddress* addrs, int count, std::uint32_t target_addr,
                         std::uint32_t route_source) {
    const bool any_on_subnet = any_on_subnet_of(addrs, count, target_addr);
    for (int i = 0; any_on_subnet && route_source != 0 && i < count; ++i) {
        if (addrs[i].addr == route_source && on_subnet_of(addrs[i], target_addr))
            return i;
    }
    std::uint32_t best_score = 0;
    int best_index = -1;
    for (int i = 0; i < count; ++i) {
        if (any_on_subnet && !on_subnet_of(addrs[i], target_addr))
            continue;
        std::uint32_t score = net_to_host32(addrs[i].addr) & net_to_host32(target_addr);
        if (best_index < 0 || score > best_score) {
            best_score = score;
            best_index = i;
        }
    }
    return best_index < 0 ? 0 : best_index;
}

namespace {

// Another interface than the chosen one's that holds an address on the target's subnet.
int other_interface_on_subnet(const LocalAddress* addrs, int count, int chosen,
                              std::uint32_t target_addr) {
    for (int i = 0; i < count; ++i) {
        if (on_subnet_of(addrs[i], target_addr) &&
            std::strcmp(addrs[i].interface_name, addrs[chosen].interface_name) != 0)
            return i;
    }
    return -1;
}

} // namespace

void describe_address_choice(char* out, std::size_t capacity, const LocalAddress* addrs, int count,
                             int chosen, std::uint32_t target_addr, std::uint32_t route_source) {
    out[0] = '\0';
    const LocalAddress& used = addrs[chosen];
    const bool any_on_subnet = any_on_subnet_of(addrs, count, target_addr);
    char local[16];
    char target[16];
    char name[INTERFACE_NAME_SIZE];
    format_address(used.addr, local);
    format_address(target_addr, target);
    copy_printable(name, sizeof name, used.interface_name);
    const int other =
        any_on_subnet ? other_interface_on_subnet(addrs, count, chosen, target_addr) : -1;
    if (used.has_link && other >= 0) {
        char other_local[16];
        char other_name[INTERFACE_NAME_SIZE];
        format_address(addrs[other].addr, other_local);
        copy_printable(other_name, sizeof other_name, addrs[other].interface_name);
        write_line(out, capacity,
                   "QBupdate: two interfaces hold the subnet of %s, %s (%s) and %s (%s); "
                   "serving from %s on %s, %s: if the device is on %s, unplug or disable %s "
                   "and run QBupdate again\n",
                   target, name, local, other_name, other_local, local, name,
                   used.addr == route_source ? "the one this host routes to the device"
                                             : "the one that shares most with its address",
                   other_name, name);
        return;
    }
    if (any_on_subnet && used.has_link)
        return;
    if (!any_on_subnet && !used.has_link)
        write_line(out, capacity,
                   "QBupdate: no address of this host is on the subnet of %s, and %s, which "
                   "holds %s, has no link; trying all the same: plug in the cable and give the "
                   "adapter that faces the device an address on the device's subnet\n",
                   target, name, local);
    else if (!any_on_subnet)
        write_line(out, capacity,
                   "QBupdate: no address of this host is on the subnet of %s; trying from %s "
                   "on %s all the same: give the adapter that faces the device an address on "
                   "the device's subnet\n",
                   target, local, name);
    else
        write_line(out, capacity,
                   "QBupdate: %s, which holds %s, has no link; trying to reach %s all the "
                   "same: plug in the cable to the device\n",
                   name, local, target);
}
