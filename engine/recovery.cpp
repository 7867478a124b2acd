// Endpoints the system gave up when the local address went away: a device that resets drops a
// direct cable's link, and Windows then removes the adapter's address and may give up the
// sockets bound to it. The update goes on through the gap, and its endpoints come back on the
// same ports, so that the device finds them where it left them.
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

void close_endpoint(net_socket& sock) {
    net_close(sock);
    sock = NET_INVALID_SOCKET;
}

void open_if_closed(net_socket& sock, std::uint32_t local_addr, std::uint16_t port, int broadcast,
                    Hearing hearing) {
    if (sock == NET_INVALID_SOCKET)
        sock = open_udp_endpoint(local_addr, port, broadcast, hearing);
}

} // namespace

bool recover_lost_endpoints(UploadState& state) {
    // The sockets of one address go together: one that neither sends nor receives meanwhile
    // would never tell.
    if (any_given_up(state)) {
        if (state.transfer.data_sock != NET_INVALID_SOCKET)
            state.transfer.lost_data_port = net_local_port(state.transfer.data_sock);
        for (net_socket* s :
             {&state.wake_sock, &state.bootp_sock, &state.tftp_sock, &state.transfer.data_sock})
            close_endpoint(*s);
    }
    if (state.wake_sock != NET_INVALID_SOCKET && state.bootp_sock != NET_INVALID_SOCKET &&
        state.tftp_sock != NET_INVALID_SOCKET && state.transfer.lost_data_port == 0)
        return false;
    const std::uint32_t local = state.local_addr;
    open_if_closed(state.wake_sock, local, host_to_net16(WAKE_PORT), 1, HEAR_LOCAL_ADDRESS);
    if (state.bootp_sock == NET_INVALID_SOCKET) {
        open_if_closed(state.bootp_sock, local, host_to_net16(BOOTP_SERVER_PORT), 1,
                       HEAR_BROADCASTS);
        state.bootp_interface = net_interface_index(local); // an adapter back may be renumbered
    }
    open_if_closed(state.tftp_sock, local, host_to_net16(TFTP_SERVER_PORT), 0, HEAR_LOCAL_ADDRESS);
    if (state.transfer.lost_data_port != 0) {
        open_if_closed(state.transfer.data_sock, local, state.transfer.lost_data_port, 0,
                       HEAR_LOCAL_ADDRESS);
        if (state.transfer.data_sock != NET_INVALID_SOCKET) {
            state.transfer.lost_data_port = 0;
            net_connect(state.transfer.data_sock, state.transfer.peer_addr,
                        state.transfer.peer_port);
        }
    }
    return true;
}
