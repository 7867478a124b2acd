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

#include <initializer_list>

namespace {

bool any_given_up(const UploadState& state) {
    for (net_socket s :
         {state.wake_sock, state.bootp_sock, state.tftp_sock, state.transfer.data_sock}) {
        if (s != NET_INVALID_SOCKET && net_endpoint_lost(s))
            return true;
    }
    return false;
}

// The sockets of one address go together: one that neither sends nor receives meanwhile would
// never tell.
void close_all(UploadState& state) {
    for (net_socket* s :
         {&state.wake_sock, &state.bootp_sock, &state.tftp_sock, &state.transfer.data_sock}) {
        net_close(*s);
        *s = NET_INVALID_SOCKET;
    }
}

// A running transfer's data endpoint is one of them; its port was kept when it was drawn.
bool all_open(const UploadState& state) {
    return state.wake_sock != NET_INVALID_SOCKET && state.bootp_sock != NET_INVALID_SOCKET &&
           state.tftp_sock != NET_INVALID_SOCKET &&
           (state.phase != PHASE_TRANSFERRING || state.transfer.data_sock != NET_INVALID_SOCKET);
}

void open_if_closed(net_socket& sock, std::uint32_t local_addr, std::uint16_t port, int broadcast,
                    Hearing hearing) {
    if (sock == NET_INVALID_SOCKET)
        sock = open_udp_endpoint(local_addr, port, broadcast, hearing);
}

} // namespace

void watch_local_address(UploadState& state) {
    if (net_address_state(state.local_addr) != NET_ADDRESS_USABLE)
        close_all(state);
}

bool recover_lost_endpoints(UploadState& state) {
    if (any_given_up(state))
        close_all(state);
    if (all_open(state))
        return false;
    const std::uint32_t local = state.local_addr;
    if (net_address_state(local) != NET_ADDRESS_USABLE)
        return true;
    open_if_closed(state.wake_sock, local, host_to_net16(WAKE_PORT), 1, HEAR_LOCAL_ADDRESS);
    if (state.bootp_sock == NET_INVALID_SOCKET) {
        open_if_closed(state.bootp_sock, local, host_to_net16(BOOTP_SERVER_PORT), 1,
                       HEAR_BROADCASTS);
        state.bootp_interface = net_interface_index(local); // an adapter back may be renumbered
    }
    open_if_closed(state.tftp_sock, local, host_to_net16(TFTP_SERVER_PORT), 0, HEAR_LOCAL_ADDRESS);
    if (state.phase == PHASE_TRANSFERRING && state.transfer.data_sock == NET_INVALID_SOCKET) {
        open_if_closed(state.transfer.data_sock, local, state.transfer.data_port, 0,
                       HEAR_LOCAL_ADDRESS);
        if (state.transfer.data_sock != NET_INVALID_SOCKET)
            net_connect(state.transfer.data_sock, state.transfer.peer_addr,
                        state.transfer.peer_port);
    }
    return true;
}
