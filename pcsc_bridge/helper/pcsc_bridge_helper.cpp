// Native side of the PC/SC bridge: answers the forwarding winscard.dll's
// requests with pcsc-lite. One thread per connection, so a blocking
// SCardGetStatusChange on one connection never holds up another (SCardCancel
// arrives on a different connection). Listens on 127.0.0.1 only.
//
//   pcsc-bridge-helper [--port N] [--control STACK-SCRIPT]
// Port default: $QUORVEX_PCSC_BRIDGE_PORT, else 35990.
#include <winscard.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../wire.h"

using namespace pcscbridge;

namespace {

// What the helper holds open in pcscd for its clients, for the leak checks.
std::mutex g_lock;
std::set<SCARDCONTEXT> g_contexts;
std::set<SCARDHANDLE> g_cards;
std::string g_control;  // the stack script that owns pcscd, for the service tests

bool ReadAll(int fd, void* buffer, size_t length)
{
    auto* p = static_cast<uint8_t*>(buffer);
    while (length > 0) {
        const ssize_t n = ::recv(fd, p, length, 0);
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void* buffer, size_t length)
{
    const auto* p = static_cast<const uint8_t*>(buffer);
    while (length > 0) {
        const ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// A handle whose release failed this way no longer exists in pcscd.
bool Gone(LONG rc)
{
    return rc == SCARD_S_SUCCESS || rc == SCARD_E_INVALID_HANDLE || rc == SCARD_F_COMM_ERROR ||
           rc == SCARD_E_NO_SERVICE;
}

// pcsc-lite's LONG is 64 bits; the values are Windows' 32-bit ones.
uint32_t Cut(LONG rc) { return static_cast<uint32_t>(rc); }

void AppendMulti(std::vector<uint8_t>& out, const char* multi, DWORD length)
{
    // pcsc-lite's length counts the closing NUL of the list, as Windows' does;
    // keep exactly the names and the final NUL.
    if (multi && length > 0) PutBytes(out, multi, length);
}

struct Answer {
    ResponseHeader header{kMagic, 0, 0, 0, 0, 0};
    std::vector<uint8_t> data;
};

Answer Handle(const RequestHeader& rq, const std::vector<uint8_t>& body)
{
    Answer a;
    auto& h = a.header;
    const SCARDCONTEXT context = rq.context;
    const SCARDHANDLE card = rq.card;
    switch (static_cast<Op>(rq.op)) {
    case Op::EstablishContext: {
        SCARDCONTEXT c = 0;
        const LONG rc = SCardEstablishContext(rq.a1, nullptr, nullptr, &c);
        h.result = Cut(rc);
        if (rc == SCARD_S_SUCCESS) {
            h.v1 = static_cast<uint32_t>(c);
            std::lock_guard<std::mutex> guard(g_lock);
            g_contexts.insert(c);
        }
        break;
    }
    case Op::ReleaseContext: {
        const LONG rc = SCardReleaseContext(context);
        h.result = Cut(rc);
        if (Gone(rc)) {
            std::lock_guard<std::mutex> guard(g_lock);
            g_contexts.erase(context);
        }
        break;
    }
    case Op::IsValidContext: h.result = Cut(SCardIsValidContext(context)); break;
    case Op::Cancel: h.result = Cut(SCardCancel(context)); break;
    case Op::ListReaders: {
        std::string groups(body.begin(), body.end());
        char* list = nullptr;
        DWORD length = SCARD_AUTOALLOCATE;
        const LONG rc = SCardListReaders(context, groups.empty() ? nullptr : groups.c_str(),
                                         reinterpret_cast<char*>(&list), &length);
        h.result = Cut(rc);
        if (rc == SCARD_S_SUCCESS) {
            AppendMulti(a.data, list, length);
            SCardFreeMemory(context, list);
        }
        break;
    }
    case Op::GetStatusChange: {
        const uint32_t count = rq.a2;
        if (count > kMaxReaderStates) {
            h.result = Cut(SCARD_E_INVALID_PARAMETER);
            break;
        }
        Reader in(body.data(), body.size());
        std::vector<std::string> names(count);
        // pcsc-lite's SCARD_READERSTATE: 8-byte DWORDs and a 33-byte ATR (80 bytes a record).
        std::vector<SCARD_READERSTATE> states(count);
        for (uint32_t i = 0; i < count; ++i) {
            StateIn s{};
            if (!in.Get(s) || !in.GetBytes(names[i], s.nameLength)) {
                h.result = Cut(SCARD_E_INVALID_PARAMETER);
                return a;
            }
            states[i].dwCurrentState = s.currentState;
        }
        for (uint32_t i = 0; i < count; ++i) states[i].szReader = names[i].c_str();
        const LONG rc = SCardGetStatusChange(context, rq.a1, states.data(), count);
        h.result = Cut(rc);
        for (uint32_t i = 0; i < count; ++i) {
            StateOut o{};
            o.eventState = static_cast<uint32_t>(states[i].dwEventState);
            o.atrLength = static_cast<uint32_t>(states[i].cbAtr > MAX_ATR_SIZE ? 0 : states[i].cbAtr);
            std::memcpy(o.atr, states[i].rgbAtr, o.atrLength);
            Put(a.data, o);
        }
        break;
    }
    case Op::Connect: {
        const std::string reader(body.begin(), body.end());
        SCARDHANDLE c = 0;
        DWORD protocol = 0;
        const LONG rc = SCardConnect(context, reader.c_str(), rq.a1, LiteProtocol(rq.a2), &c, &protocol);
        h.result = Cut(rc);
        if (rc == SCARD_S_SUCCESS) {
            h.v1 = static_cast<uint32_t>(c);
            h.v2 = WindowsProtocol(protocol);
            std::lock_guard<std::mutex> guard(g_lock);
            g_cards.insert(c);
        }
        break;
    }
    case Op::Disconnect: {
        const LONG rc = SCardDisconnect(card, rq.a1);
        h.result = Cut(rc);
        if (Gone(rc)) {
            std::lock_guard<std::mutex> guard(g_lock);
            g_cards.erase(card);
        }
        break;
    }
    case Op::Status: {
        char name[MAX_READERNAME + 1] = {};
        DWORD nameLength = sizeof name;
        DWORD state = 0, protocol = 0;
        BYTE atr[MAX_ATR_SIZE] = {};
        DWORD atrLength = sizeof atr;
        const LONG rc = SCardStatus(card, name, &nameLength, &state, &protocol, atr, &atrLength);
        h.result = Cut(rc);
        if (rc == SCARD_S_SUCCESS) {
            h.v1 = WindowsCardState(state);
            h.v2 = WindowsProtocol(protocol);
            StatusOut o{};
            o.atrLength = static_cast<uint32_t>(atrLength);
            std::memcpy(o.atr, atr, atrLength);
            Put(a.data, o);
            // pcsc-lite's name length counts the NUL (as a multi-string of one name would).
            PutBytes(a.data, name, std::strlen(name));
        }
        break;
    }
    case Op::BeginTransaction: h.result = Cut(SCardBeginTransaction(card)); break;
    case Op::EndTransaction: h.result = Cut(SCardEndTransaction(card, rq.a1)); break;
    case Op::Transmit: {
        const SCARD_IO_REQUEST* pci = (rq.a1 & SCARD_PROTOCOL_T1) ? SCARD_PCI_T1 : SCARD_PCI_T0;
        BYTE response[MAX_BUFFER_SIZE_EXTENDED];
        DWORD responseLength = sizeof response;
        const LONG rc = SCardTransmit(card, pci, body.data(), body.size(), nullptr, response, &responseLength);
        h.result = Cut(rc);
        if (rc == SCARD_S_SUCCESS) PutBytes(a.data, response, responseLength);
        break;
    }
    case Op::Counters: {
        std::lock_guard<std::mutex> guard(g_lock);
        h.v1 = static_cast<uint32_t>(g_contexts.size());
        h.v2 = static_cast<uint32_t>(g_cards.size());
        break;
    }
    case Op::ServiceControl: {
        if (g_control.empty()) {
            h.result = Cut(SCARD_E_UNSUPPORTED_FEATURE);
            break;
        }
        const std::string command = "'" + g_control + "' " + (rq.a1 ? "pcscd-start" : "pcscd-stop") +
                                    " >/dev/null 2>&1";
        h.result = std::system(command.c_str()) == 0 ? 0 : Cut(SCARD_F_UNKNOWN_ERROR);
        if (!rq.a1) {
            // A stopped pcscd holds nothing open any more.
            std::lock_guard<std::mutex> guard(g_lock);
            g_contexts.clear();
            g_cards.clear();
        }
        break;
    }
    default: h.result = Cut(SCARD_E_INVALID_PARAMETER); break;
    }
    h.dataLength = static_cast<uint32_t>(a.data.size());
    return a;
}

void Serve(int fd)
{
    for (;;) {
        RequestHeader rq{};
        if (!ReadAll(fd, &rq, sizeof rq) || rq.magic != kMagic || rq.dataLength > kMaxData) break;
        std::vector<uint8_t> body(rq.dataLength);
        if (!body.empty() && !ReadAll(fd, body.data(), body.size())) break;
        const Answer a = Handle(rq, body);
        if (!WriteAll(fd, &a.header, sizeof a.header)) break;
        if (!a.data.empty() && !WriteAll(fd, a.data.data(), a.data.size())) break;
    }
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv)
{
    int port = kDefaultPort;
    if (const char* env = std::getenv(kPortVariable)) port = std::atoi(env);
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--port")
            port = std::atoi(argv[i + 1]);
        else if (std::string(argv[i]) == "--control")
            g_control = argv[i + 1];
    ::signal(SIGPIPE, SIG_IGN);

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 64) != 0) {
        std::perror("pcsc-bridge-helper: 127.0.0.1");
        return 1;
    }
    std::printf("pcsc-bridge-helper: listening on 127.0.0.1:%d\n", port);
    std::fflush(stdout);
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::thread(Serve, fd).detach();
    }
}
