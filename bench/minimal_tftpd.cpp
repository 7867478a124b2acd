// bench_minimal_tftpd: the least a lock-step TFTP read server can do. It serves one read
// request on port 69 of the given address with the given image, whatever file is asked for, and
// exits after the last acknowledgement. Blocking sockets, no timers, no options, no output: a
// lost datagram stalls it, which the benchmark's time limit turns into a failed run.
//
//   bench_minimal_tftpd IMAGE LOCAL_ADDRESS
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int BLOCK = 512;

int fail(const char* what) {
    std::perror(what);
    return 1;
}

// Sends the image in lock-step to the peer from the data socket: the best any server can do.
void serve(int data, const sockaddr_in& peer, const unsigned char* image, long size) {
    unsigned char packet[4 + BLOCK];
    for (unsigned long block = 1;; ++block) {
        const unsigned long offset = (block - 1) * BLOCK;
        const unsigned long left = static_cast<unsigned long>(size) - offset;
        const int payload = left >= BLOCK ? BLOCK : static_cast<int>(left);
        packet[0] = 0;
        packet[1] = 3;
        packet[2] = static_cast<unsigned char>(block >> 8);
        packet[3] = static_cast<unsigned char>(block);
        std::memcpy(packet + 4, image + offset, payload);
        sendto(data, packet, 4 + payload, 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
        unsigned char ack[4 + BLOCK];
        for (;;) {
            ssize_t n = recv(data, ack, sizeof ack, 0);
            if (n >= 4 && ack[0] == 0 && ack[1] == 4 && ack[2] == packet[2] && ack[3] == packet[3])
                break;
        }
        if (payload < BLOCK)
            return;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: bench_minimal_tftpd IMAGE LOCAL_ADDRESS\n", stderr);
        return 2;
    }
    std::FILE* f = std::fopen(argv[1], "rb");
    if (f == nullptr)
        return fail("bench_minimal_tftpd: image");
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    auto* image = static_cast<unsigned char*>(std::malloc(size > 0 ? size : 1));
    if (image == nullptr || std::fread(image, 1, size, f) != static_cast<size_t>(size))
        return fail("bench_minimal_tftpd: read");
    std::fclose(f);

    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(argv[2]);
    local.sin_port = htons(69);
    int listener = socket(AF_INET, SOCK_DGRAM, 0);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return fail("bench_minimal_tftpd: port 69");

    unsigned char packet[4 + BLOCK];
    sockaddr_in peer;
    socklen_t peer_len = sizeof peer;
    for (;;) {
        peer_len = sizeof peer;
        ssize_t n = recvfrom(listener, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&peer),
                             &peer_len);
        if (n >= 2 && packet[0] == 0 && packet[1] == 1)
            break;
    }

    local.sin_port = 0;
    int data = socket(AF_INET, SOCK_DGRAM, 0);
    if (data < 0 || bind(data, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return fail("bench_minimal_tftpd: data port");

    serve(data, peer, image, size);
    std::free(image);
    close(data);
    close(listener);
    return 0;
}
