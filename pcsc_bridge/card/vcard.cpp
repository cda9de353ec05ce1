// A virtual card for vpcd's reader: connecting to the reader's port inserts
// the card, closing the connection removes it. Answers "send your ATR" with
// the chosen ATR and every command APDU with 90 00.
//
//   pcsc-vcard ATR-HEX [PORT]     (default port 35963: "Virtual PCD 00 00")
// Runs until killed or until the reader closes the connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool ReadAll(int fd, uint8_t* p, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::recv(fd, p, length, 0);
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// One message: a 2-byte big-endian length, then the payload, in one write.
bool Send(int fd, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> m{static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    m.insert(m.end(), payload.begin(), payload.end());
    return ::send(fd, m.data(), m.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(m.size());
}

std::vector<uint8_t> ParseHex(const std::string& text)
{
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: pcsc-vcard ATR-HEX [PORT]\n");
        return 64;
    }
    const std::vector<uint8_t> atr = ParseHex(argv[1]);
    const int port = argc > 2 ? std::atoi(argv[2]) : 35963;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    // vpcd sends length and payload in two writes: without these every
    // message waits for a delayed ACK.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("pcsc-vcard: connect 127.0.0.1");
        return 1;
    }
    for (;;) {
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        uint8_t size[2];
        if (!ReadAll(fd, size, 2)) break;
        std::vector<uint8_t> payload((size[0] << 8) | size[1]);
        if (!payload.empty() && !ReadAll(fd, payload.data(), payload.size())) break;
        if (payload.size() == 1) {
            if (payload[0] == 4 && !Send(fd, atr)) break;  // 0 off, 1 on, 2 reset: no answer
        } else if (!Send(fd, {0x90, 0x00})) {
            break;
        }
    }
    ::close(fd);
    return 0;
}
