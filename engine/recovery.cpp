// Endpoints the system gave up when the local address went away: a device that resets drops a
// direct cable's link, and Windows then removes the adapter's address and may give up the
// sockets bound to it. The update goes on through the gap, and its endpoints come back on the
// same ports, so that the device finds them where it left them.
#include "upload_state.h"

#include <initializer_list>

namespace {

// The sockets of one address go together; one that never sends or receives would not tell.
bool any_lost(const UploadState& state) {
    for (net_socket s : {state.wake_sock, state.bootp_sock, state.tftp_sock, state.data_sock}) {
        if (s != NET_INVALID_SOCKET && net_endpoint_lost(s))
            return true;
    }
    return state.wake_sock == NET_INVALID_SOCKET || state.bootp_sock == NET_INVALID_SOCKET ||
           state.tftp_sock == NET_INVALID_SOCKET || state.lost_data_port != 0;
}

void reopen(net_socket& sock, std::uint32_t local_addr, std::uint16_t port, int broadcast,
            Hearing hearing) {
    net_close(sock);
    sock = open_udp_endpoint(local_addr, port, broadcast, hearing);
}

} // namespace

bool recover_lost_endpoints(UploadState& state) {
    if (state.phase != PHASE_TRANSFERRING || state.data_sock != NET_INVALID_SOCKET)
        state.lost_data_port = 0; // no transfer, or a new endpoint: nothing old to reopen
    if (!any_lost(state))
        return false;
    const std::uint32_t local = state.local_addr;
    if (state.data_sock != NET_INVALID_SOCKET) {
        state.lost_data_port = net_local_port(state.data_sock);
        net_close(state.data_sock);
        state.data_sock = NET_INVALID_SOCKET;
    }
    reopen(state.wake_sock, local, host_to_net16(WAKE_PORT), 1, HEAR_LOCAL_ADDRESS);
    reopen(state.bootp_sock, local, host_to_net16(BOOTP_SERVER_PORT), 1, HEAR_BROADCASTS);
    reopen(state.tftp_sock, local, host_to_net16(TFTP_SERVER_PORT), 0, HEAR_LOCAL_ADDRESS);
    if (state.lost_data_port != 0) {
        state.data_sock = open_udp_endpoint(local, state.lost_data_port, 0, HEAR_LOCAL_ADDRESS);
        if (state.data_sock != NET_INVALID_SOCKET)
            state.lost_data_port = 0;
    }
    return true;
}
