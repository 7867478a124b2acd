// Where the upload's endpoints are opened, reopened and closed: the fixed ones from
// FIXED_ENDPOINTS, the data endpoint on a drawn port.
//
// Endpoints the system gave up when the local address went away: a device that resets drops a
// direct cable's link, and Windows then removes the adapter's address and may give up the
// sockets bound to it. The update goes on through the gap, and its endpoints come back on the
// same ports, so that the device finds them where it left them.
//
// The loss shows in the sockets' own failed calls (net_endpoint_lost), or only in the system's
// list of addresses (net_address_state), read on every quiet tick: a socket that neither sends
// nor receives, or whose calls fail in no way that names the loss, would never tell. The
// endpoints are opened again once the list holds the address as usable, its duplicate-address
// check done; a reopen that was not needed replaces a socket by an equal one.
#include "upload_state.h"

namespace {

// The next 15-bit value of the upload's own generator (a linear congruential one, its high
// bits). Seeded from the system's random source, its ports cannot be known before the run: a
// host that could guess them could acknowledge blocks in the device's name.
unsigned next_port_draw(std::uint32_t& draw) {
    draw = draw * 1664525u + 1013904223u;
    return draw >> 17;
}

bool any_given_up(const UploadState& state) {
    for (net_socket s : state.endpoints) {
        if (s != NET_INVALID_SOCKET && net_endpoint_lost(s))
            return true;
    }
    return state.transfer.data_sock != NET_INVALID_SOCKET &&
           net_endpoint_lost(state.transfer.data_sock);
}

// A running transfer's data endpoint is one of them; its port was kept when it was drawn.
bool all_open(const UploadState& state) {
    for (net_socket s : state.endpoints) {
        if (s == NET_INVALID_SOCKET)
            return false;
    }
    return state.phase != PHASE_TRANSFERRING || state.transfer.data_sock != NET_INVALID_SOCKET;
}

} // namespace

net_socket open_data_endpoint(UploadState& state) {
    for (int draw = 0; draw < MAX_DATA_PORT_DRAWS; ++draw) {
        const unsigned r = next_port_draw(state.port_draw);
        auto port = static_cast<std::uint16_t>(DATA_PORT_BASE + (r & DATA_PORT_MASK));
        net_socket s =
            open_udp_endpoint(state.local_addr, host_to_net16(port), 0, HEAR_LOCAL_ADDRESS);
        if (s != NET_INVALID_SOCKET) {
            state.transfer.data_port = host_to_net16(port);
            return s;
        }
    }
    return NET_INVALID_SOCKET;
}

net_socket open_udp_endpoint(std::uint32_t local_addr, std::uint16_t port, int broadcast,
                             Hearing hearing, NetFault* fault) {
    net_socket s = net_udp_socket();
    if (s == NET_INVALID_SOCKET) {
        if (fault != nullptr)
            *fault = net_last_fault();
        return NET_INVALID_SOCKET;
    }
    net_allow_broadcast(s, broadcast != 0);
    if (!net_bind(s, local_addr, port, hearing == HEAR_BROADCASTS)) {
        if (fault != nullptr)
            *fault = net_last_fault();
        net_close(s);
        return NET_INVALID_SOCKET;
    }
    return s;
}

net_socket open_fixed_endpoint(UploadState& state, Endpoint endpoint, NetFault* fault) {
    const FixedEndpoint& fixed = FIXED_ENDPOINTS[endpoint];
    const net_socket s = open_udp_endpoint(state.local_addr, host_to_net16(fixed.port),
                                           fixed.broadcast, fixed.hearing, fault);
    if (s != NET_INVALID_SOCKET && endpoint == BOOTP_ENDPOINT)
        state.bootp_interface = net_interface_index(state.local_addr); // may be renumbered
    return s;
}

int open_fixed_endpoints(UploadState& state, NetFault* fault) {
    for (int e = 0; e < FIXED_ENDPOINT_COUNT; ++e) {
        state.endpoints[e] = open_fixed_endpoint(state, static_cast<Endpoint>(e), fault);
        if (state.endpoints[e] == NET_INVALID_SOCKET)
            return FIXED_ENDPOINTS[e].cannot_open;
    }
    return UPDATE_GOES_ON;
}

// The sockets of one address go together: one that neither sends nor receives meanwhile would
// never tell.
void close_endpoints(UploadState& state) {
    for (net_socket& s : state.endpoints) {
        net_close(s);
        s = NET_INVALID_SOCKET;
    }
    net_close(state.transfer.data_sock);
    state.transfer.data_sock = NET_INVALID_SOCKET;
}

void watch_local_address(UploadState& state) {
    if (net_address_state(state.local_addr) != NET_ADDRESS_USABLE)
        close_endpoints(state);
}

bool recover_lost_endpoints(UploadState& state) {
    if (any_given_up(state))
        close_endpoints(state);
    if (all_open(state))
        return false;
    const std::uint32_t local = state.local_addr;
    if (net_address_state(local) != NET_ADDRESS_USABLE)
        return true;
    for (int e = 0; e < FIXED_ENDPOINT_COUNT; ++e) {
        if (state.endpoints[e] == NET_INVALID_SOCKET)
            state.endpoints[e] = open_fixed_endpoint(state, static_cast<Endpoint>(e));
    }
    if (state.phase == PHASE_TRANSFERRING && state.transfer.data_sock == NET_INVALID_SOCKET) {
        state.transfer.data_sock =
            open_udp_endpoint(local, state.transfer.data_port, 0, HEAR_LOCAL_ADDRESS);
        if (state.transfer.data_sock != NET_INVALID_SOCKET)
            net_connect(state.transfer.data_sock, state.transfer.peer_addr,
                        state.transfer.peer_port);
    }
    return true;
}
