// A virtual card for vpcd's reader: connecting to the reader's port inserts
// the card, closing the connection removes it. Answers "send your ATR" with
// the chosen ATR and every command APDU with 90 00.
//
//   pcsc-vcard [--while FILE] ATR-HEX [PORT]   (default port 35963: "Virtual PCD 00 00")
// Runs until killed, until the reader closes the connection or, with
// --while, until FILE is removed: a Windows program under Wine (which cannot
// signal a Linux process) inserts a card by making a file and starting this,
// and takes it out by deleting the file. vpcd's ports are inside the private
// stack's network: tools/pcsc-stack inside pcsc-vcard ...
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Answers one message from the reader; false when the connection is over.
bool Answer(int fd, const std::vector<uint8_t>& atr)
{
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    uint8_t size[2];
    if (!ReadAll(fd, size, 2)) return false;
    std::vector<uint8_t> payload((size[0] << 8) | size[1]);
    if (!payload.empty() && !ReadAll(fd, payload.data(), payload.size())) return false;
    if (payload.size() == 1) return payload[0] != 4 || Send(fd, atr);  // 0 off, 1 on, 2 reset: no answer
    return Send(fd, {0x90, 0x00});
}

// Whether the inotify events waiting on `fd` include the removal of `name`.
bool Removed(int fd, const std::string& name)
{
    alignas(inotify_event) char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return true;
    for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((event->mask & (IN_DELETE_SELF | IN_IGNORED)) ||
            (event->len && name == event->name && (event->mask & (IN_DELETE | IN_MOVED_FROM))))
            return true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string whileFile;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--while") == 0) {
        whileFile = argv[2];
        first = 3;
    }
    if (argc <= first) {
        std::fprintf(stderr, "usage: pcsc-vcard [--while FILE] ATR-HEX [PORT]\n");
        return 64;
    }
    const std::vector<uint8_t> atr = ParseHex(argv[first]);
    const int port = argc > first + 1 ? std::atoi(argv[first + 1]) : 35963;

    // The file's folder is watched before the file is looked at: a removal
    // in between is not missed.
    int watch = -1;
    if (!whileFile.empty()) {
        const size_t slash = whileFile.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : whileFile.substr(0, slash + 1);
        watch = ::inotify_init1(IN_CLOEXEC);
        if (watch < 0 || ::inotify_add_watch(watch, folder.c_str(), IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF) < 0) {
            std::perror("pcsc-vcard: inotify");
            return 1;
        }
        if (::access(whileFile.c_str(), F_OK) != 0) return 0;
        whileFile = whileFile.substr(slash == std::string::npos ? 0 : slash + 1);
    }

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
        pollfd fds[2] = {{fd, POLLIN, 0}, {watch, POLLIN, 0}};
        if (::poll(fds, watch >= 0 ? 2 : 1, -1) < 0) break;
        if (fds[1].revents && Removed(watch, whileFile)) break;
        if (fds[0].revents && !Answer(fd, atr)) break;
    }
    ::close(fd);
    return 0;
}
