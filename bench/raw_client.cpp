// bench_raw_client: the other half of the path's lock-step limit. It asks the raw server for
// BLOCKS datagrams and answers each with 4 bytes; it exits 0 only if every datagram was 516
// bytes long and carried the expected 16-bit sequence number.
//
//   bench_raw_client SERVER_ADDRESS PORT BLOCKS
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: bench_raw_client SERVER_ADDRESS PORT BLOCKS\n", stderr);
        return 2;
    }
    const unsigned long blocks = std::strtoul(argv[3], nullptr, 10);
    sockaddr_in server;
    std::memset(&server, 0, sizeof server);
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = inet_addr(argv[1]);
    server.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[2])));
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        std::perror("bench_raw_client: socket");
        return 1;
    }
    unsigned char answer[4] = {0, 4, 0, 0};
    sendto(s, answer, sizeof answer, 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
    for (unsigned long block = 1; block <= blocks; ++block) {
        unsigned char packet[600];
        sockaddr_in from;
        socklen_t from_len = sizeof from;
        ssize_t n =
            recvfrom(s, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n != 516 || packet[2] != static_cast<unsigned char>(block >> 8) ||
            packet[3] != static_cast<unsigned char>(block)) {
            std::fprintf(stderr, "bench_raw_client: block %lu wrong\n", block);
            return 1;
        }
        answer[2] = packet[2];
        answer[3] = packet[3];
        sendto(s, answer, sizeof answer, 0, reinterpret_cast<sockaddr*>(&from), from_len);
    }
    return 0;
}
