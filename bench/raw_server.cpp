// bench_raw_server: one half of the path's lock-step limit. After a 4-byte request it sends
// BLOCKS datagrams of 516 bytes, each only after the 4-byte answer to the one before, as a
// TFTP server would, but with no file, no protocol and nothing else per block.
//
//   bench_raw_server LOCAL_ADDRESS PORT BLOCKS
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: bench_raw_server LOCAL_ADDRESS PORT BLOCKS\n", stderr);
        return 2;
    }
    const unsigned long blocks = std::strtoul(argv[3], nullptr, 10);
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(argv[1]);
    local.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[2])));
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("bench_raw_server: bind");
        return 1;
    }
    unsigned char packet[516];
    std::memset(packet, 0x5A, sizeof packet);
    sockaddr_in peer;
    socklen_t peer_len = sizeof peer;
    if (recvfrom(s, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&peer), &peer_len) < 0)
        return 1;
    for (unsigned long block = 1; block <= blocks; ++block) {
        packet[2] = static_cast<unsigned char>(block >> 8);
        packet[3] = static_cast<unsigned char>(block);
        sendto(s, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
        unsigned char answer[516];
        if (recv(s, answer, sizeof answer, 0) < 0)
            return 1;
    }
    return 0;
}
