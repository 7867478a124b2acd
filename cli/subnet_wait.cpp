#include "subnet_wait.h"

#include "command_line.h"
#include "console.h"
#include "local_address.h"
#include "report.h"
#include "wire.h"

#include <cstdio>
#include <cstring>

namespace {

int read_usable(const SubnetWaitHooks& hooks, LocalAddress* addrs, int capacity,
                std::uint32_t target_addr) {
    const int count = hooks.read_addresses(addrs, capacity, is_usable_local_address, target_addr);
    return count < 0 ? 0 : count;
}

bool any_reaches(const LocalAddress* addrs, int count, std::uint32_t target_addr) {
    for (int i = 0; i < count; ++i) {
        if (reaches_subnet_of(addrs[i], target_addr))
            return true;
    }
    return false;
}

} // namespace

const SubnetWaitHooks SYSTEM_SUBNET_WAIT{net_local_addresses, clock_microseconds, pause_ms,
                                         console_line, run_can_start};

bool run_can_start(const char* image_path) {
    return image_can_be_opened(image_path) == IMAGE_OK && !net_port_refused(WAKE_PORT) &&
           !net_port_refused(BOOTP_SERVER_PORT) && !net_port_refused(TFTP_SERVER_PORT);
}

bool reaches_subnet_of(const LocalAddress& local, std::uint32_t target_addr) {
    return local.has_link && on_subnet_of(local, target_addr);
}

int wait_for_subnet(LocalAddress* addrs, int count, int capacity, std::uint32_t target_addr,
                    const char* image_path, const SubnetWaitHooks& hooks) {
    // The run's own checks (the image, the ports) only when there is a wait to spare it.
    if (any_reaches(addrs, count, target_addr) || !hooks.run_can_start(image_path))
        return count;
    char line[768];
    describe_wait_ahead(line, sizeof line, addrs, count, target_addr, hooks);
    hooks.say(line);
    const std::uint64_t until = hooks.now_us() + std::uint64_t{SUBNET_WAIT_MS} * 1000u;
    while (hooks.now_us() < until) {
        hooks.pause_ms(SUBNET_POLL_MS);
        count = read_usable(hooks, addrs, capacity, target_addr);
        if (any_reaches(addrs, count, target_addr))
            break;
    }
    return count;
}

void describe_wait_ahead(char* out, std::size_t capacity, const LocalAddress* addrs, int count,
                         std::uint32_t target_addr, const SubnetWaitHooks& hooks) {
    out[0] = '\0';
    if (any_reaches(addrs, count, target_addr))
        return;
    LocalAddress all[MAX_ADDRESSES_READ];
    const int all_count = hooks.read_addresses(all, MAX_ADDRESSES_READ, nullptr, target_addr);
    describe_subnet_wait(out, capacity, addrs, count, target_addr,
                         made_up_address(all, all_count < 0 ? 0 : all_count, target_addr));
}

const LocalAddress* made_up_address(const LocalAddress* all, int count, std::uint32_t target_addr) {
    if (is_link_local_address(target_addr))
        return nullptr;
    for (int i = 0; i < count; ++i) {
        if (!is_link_local_address(all[i].addr))
            continue;
        bool alone = true;
        for (int j = 0; j < count && alone; ++j)
            alone = !(std::strcmp(all[j].interface_name, all[i].interface_name) == 0 &&
                      is_usable_local_address(all[j].addr, target_addr));
        if (alone)
            return &all[i];
    }
    return nullptr;
}

void describe_subnet_wait(char* out, std::size_t capacity, const LocalAddress* addrs, int count,
                          std::uint32_t target_addr, const LocalAddress* made_up) {
    char target[16];
    format_address(target_addr, target);
    const unsigned seconds = SUBNET_WAIT_MS / 1000;
    if (made_up != nullptr) {
        char own[16];
        char name[INTERFACE_NAME_SIZE];
        format_address(made_up->addr, own);
        copy_printable(name, sizeof name, made_up->interface_name);
        write_line(out, capacity,
                   "QBupdate: waiting up to %u s for an address on the subnet of %s: %s holds "
                   "only %s, an address the system made up when no DHCP server answered; give "
                   "%s a static address on the device's subnet\n",
                   seconds, target, name, own, name);
        return;
    }
    if (count == 0) {
        write_line(out, capacity,
                   "QBupdate: waiting up to %u s for an address on the subnet of %s: connect "
                   "or power the device (this host has no usable IPv4 address yet)\n",
                   seconds, target);
        return;
    }
    const LocalAddress& other = addrs[choose_local_address(addrs, count, target_addr)];
    char local[16];
    char name[INTERFACE_NAME_SIZE];
    format_address(other.addr, local);
    copy_printable(name, sizeof name, other.interface_name);
    if (on_subnet_of(other, target_addr))
        write_line(out, capacity,
                   "QBupdate: waiting up to %u s for a link on the subnet of %s: connect or "
                   "power the device (%s, which holds %s, has no link yet)\n",
                   seconds, target, name, local);
    else
        write_line(out, capacity,
                   "QBupdate: waiting up to %u s for an address on the subnet of %s: connect "
                   "or power the device (no address of this host is on it yet; without one "
                   "QBupdate tries from %s on %s)\n",
                   seconds, target, local, name);
}
