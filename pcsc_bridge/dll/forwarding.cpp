// The PC/SC calls, forwarded to the native helper. Connections are pooled:
// a call takes an idle one (or opens a new one) and gives it back when its
// answer has arrived, so a blocking wait on one thread never holds up
// SCardCancel on another.
#include "bridge.h"

#include <ws2tcpip.h>

#include <cstdlib>
#include <mutex>

using namespace pcscbridge;

namespace {

std::mutex g_poolLock;
std::vector<SOCKET> g_idle;

uint16_t Port()
{
    char value[16] = {};
    const DWORD n = ::GetEnvironmentVariableA(kPortVariable, value, sizeof value);
    const int port = (n > 0 && n < sizeof value) ? std::atoi(value) : 0;
    return port > 0 && port < 65536 ? static_cast<uint16_t>(port) : kDefaultPort;
}

SOCKET Open()
{
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    BOOL on = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(Port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Sends or receives exactly `length` bytes: a stream socket may move fewer
// per call.
template <typename Byte, typename Transfer>
bool TransferAll(Byte* p, size_t length, Transfer transfer)
{
    while (length > 0) {
        const int n = transfer(p, static_cast<int>(length));
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool SendAll(SOCKET s, const void* data, size_t length)
{
    return TransferAll(static_cast<const char*>(data), length,
                       [s](const char* p, int n) { return ::send(s, p, n, 0); });
}

bool ReceiveAll(SOCKET s, void* data, size_t length)
{
    return TransferAll(static_cast<char*>(data), length, [s](char* p, int n) { return ::recv(s, p, n, 0); });
}

bool Exchange(SOCKET s, const RequestHeader& rq, const std::vector<uint8_t>& data, Reply& reply)
{
    if (!SendAll(s, &rq, sizeof rq) || (!data.empty() && !SendAll(s, data.data(), data.size()))) return false;
    if (!ReceiveAll(s, &reply.header, sizeof reply.header) || reply.header.magic != kMagic ||
        reply.header.dataLength > kMaxData)
        return false;
    reply.data.resize(reply.header.dataLength);
    return reply.data.empty() || ReceiveAll(s, reply.data.data(), reply.data.size());
}

}  // namespace

namespace pcscbridge {

bool Call(Op op, uint32_t context, uint32_t card, uint32_t a1, uint32_t a2, const std::vector<uint8_t>& data,
          Reply& reply, LONG& failure)
{
    const RequestHeader rq{kMagic, static_cast<uint32_t>(op),         context, card, a1, a2,
                           0,      static_cast<uint32_t>(data.size())};
    SOCKET s = INVALID_SOCKET;
    {
        std::lock_guard<std::mutex> guard(g_poolLock);
        if (!g_idle.empty()) {
            s = g_idle.back();
            g_idle.pop_back();
        }
    }
    bool pooled = s != INVALID_SOCKET;
    for (;;) {
        if (s == INVALID_SOCKET) s = Open();
        if (s == INVALID_SOCKET) {
            failure = SCARD_E_NO_SERVICE;
            return false;
        }
        if (Exchange(s, rq, data, reply)) break;
        ::closesocket(s);
        s = INVALID_SOCKET;
        // An idle connection may have outlived its helper: one fresh try.
        if (!pooled) {
            failure = SCARD_F_COMM_ERROR;
            return false;
        }
        pooled = false;
    }
    std::lock_guard<std::mutex> guard(g_poolLock);
    g_idle.push_back(s);
    return true;
}

std::string Utf8(const wchar_t* text, size_t length)
{
    if (length == 0) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Wide(const char* text, size_t length)
{
    if (length == 0) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n);
    return out;
}

void* Allocate(size_t bytes) { return ::HeapAlloc(::GetProcessHeap(), 0, bytes ? bytes : 1); }

LONG Deliver(const void* bytes, DWORD units, DWORD unitSize, void* buffer, DWORD* length)
{
    if (!length) return SCARD_E_INVALID_PARAMETER;
    if (!buffer) {
        *length = units;
        return SCARD_S_SUCCESS;
    }
    if (*length == SCARD_AUTOALLOCATE) {
        void* block = Allocate(static_cast<size_t>(units) * unitSize);
        if (!block) return SCARD_E_NO_MEMORY;
        std::memcpy(block, bytes, static_cast<size_t>(units) * unitSize);
        *static_cast<void**>(buffer) = block;
        *length = units;
        return SCARD_S_SUCCESS;
    }
    const DWORD room = *length;
    *length = units;
    if (room < units) return SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, bytes, static_cast<size_t>(units) * unitSize);
    return SCARD_S_SUCCESS;
}

}  // namespace pcscbridge

namespace {

uint32_t Handle32(ULONG_PTR handle) { return static_cast<uint32_t>(handle); }

LONG Simple(Op op, uint32_t context, uint32_t card, uint32_t a1 = 0)
{
    Reply reply;
    LONG failure = 0;
    if (!Call(op, context, card, a1, 0, {}, reply, failure)) return failure;
    return static_cast<LONG>(reply.header.result);
}

// A UTF-8 multi-string from the helper as UTF-16: Windows counts its length
// in characters, closing NUL included.
std::wstring WideMulti(const std::vector<uint8_t>& data)
{
    std::wstring out = Wide(reinterpret_cast<const char*>(data.data()), data.size());
    if (out.empty() || out.back() != L'\0') out.push_back(L'\0');
    if (out.size() < 2 || out[out.size() - 2] != L'\0') out.push_back(L'\0');
    return out;
}

}  // namespace

extern "C" {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

LONG WINAPI SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context)
{
    if (!context) return SCARD_E_INVALID_PARAMETER;
    Reply reply;
    LONG failure = 0;
    if (!Call(Op::EstablishContext, 0, 0, scope, 0, {}, reply, failure)) return failure;
    if (reply.header.result == SCARD_S_SUCCESS) *context = reply.header.v1;
    return static_cast<LONG>(reply.header.result);
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT context) { return Simple(Op::ReleaseContext, Handle32(context), 0); }
LONG WINAPI SCardIsValidContext(SCARDCONTEXT context) { return Simple(Op::IsValidContext, Handle32(context), 0); }
LONG WINAPI SCardCancel(SCARDCONTEXT context) { return Simple(Op::Cancel, Handle32(context), 0); }

LONG WINAPI SCardFreeMemory(SCARDCONTEXT, LPCVOID memory)
{
    // Every buffer handed out with SCARD_AUTOALLOCATE was allocated here.
    if (memory) ::HeapFree(::GetProcessHeap(), 0, const_cast<LPVOID>(memory));
    return SCARD_S_SUCCESS;
}

static LONG ListReaders(SCARDCONTEXT context, const std::string& groups, std::vector<uint8_t>& list)
{
    Reply reply;
    LONG failure = 0;
    std::vector<uint8_t> data(groups.begin(), groups.end());
    if (!Call(Op::ListReaders, Handle32(context), 0, 0, 0, data, reply, failure)) return failure;
    list = std::move(reply.data);
    return static_cast<LONG>(reply.header.result);
}

LONG WINAPI SCardListReadersW(SCARDCONTEXT context, LPCWSTR groups, LPWSTR readers, LPDWORD length)
{
    std::string g;
    if (groups) {
        const wchar_t* end = groups;
        while (*end) end += wcslen(end) + 1;
        g = Utf8(groups, static_cast<size_t>(end - groups) + 1);
    }
    std::vector<uint8_t> list;
    const LONG rc = ListReaders(context, g, list);
    if (rc != SCARD_S_SUCCESS) return rc;
    const std::wstring wide = WideMulti(list);
    return Deliver(wide.data(), static_cast<DWORD>(wide.size()), sizeof(wchar_t), readers, length);
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT context, LPCSTR groups, LPSTR readers, LPDWORD length)
{
    std::string g;
    if (groups) {
        const char* end = groups;
        while (*end) end += strlen(end) + 1;
        g.assign(groups, static_cast<size_t>(end - groups) + 1);
    }
    std::vector<uint8_t> list;
    const LONG rc = ListReaders(context, g, list);
    if (rc != SCARD_S_SUCCESS) return rc;
    return Deliver(list.data(), static_cast<DWORD>(list.size()), 1, readers, length);
}

LONG WINAPI SCardGetStatusChangeW(SCARDCONTEXT context, DWORD timeout, LPSCARD_READERSTATEW states, DWORD count)
{
    if (count > kMaxReaderStates || (count && !states)) return SCARD_E_INVALID_PARAMETER;
    std::vector<uint8_t> data;
    for (DWORD i = 0; i < count; ++i) {
        const std::string name = states[i].szReader ? Utf8(states[i].szReader, wcslen(states[i].szReader)) : "";
        Put(data, StateIn{static_cast<uint32_t>(states[i].dwCurrentState), static_cast<uint32_t>(name.size())});
        PutBytes(data, name.data(), name.size());
    }
    Reply reply;
    LONG failure = 0;
    if (!Call(Op::GetStatusChange, Handle32(context), 0, timeout, count, data, reply, failure)) return failure;
    Reader in(reply.data.data(), reply.data.size());
    for (DWORD i = 0; i < count; ++i) {
        StateOut o{};
        if (!in.Get(o)) break;
        states[i].dwEventState = o.eventState;
        states[i].cbAtr = o.atrLength <= sizeof states[i].rgbAtr ? o.atrLength : 0;
        std::memcpy(states[i].rgbAtr, o.atr, states[i].cbAtr);
    }
    return static_cast<LONG>(reply.header.result);
}

LONG WINAPI SCardConnectW(SCARDCONTEXT context, LPCWSTR reader, DWORD share, DWORD protocols, LPSCARDHANDLE card,
                          LPDWORD active)
{
    if (!reader || !card) return SCARD_E_INVALID_PARAMETER;
    const std::string name = Utf8(reader, wcslen(reader));
    Reply reply;
    LONG failure = 0;
    if (!Call(Op::Connect, Handle32(context), 0, share, protocols, std::vector<uint8_t>(name.begin(), name.end()),
              reply, failure))
        return failure;
    if (reply.header.result == SCARD_S_SUCCESS) {
        *card = reply.header.v1;
        if (active) *active = reply.header.v2;
    }
    return static_cast<LONG>(reply.header.result);
}

LONG WINAPI SCardDisconnect(SCARDHANDLE card, DWORD disposition)
{
    return Simple(Op::Disconnect, 0, Handle32(card), disposition);
}

LONG WINAPI SCardStatusW(SCARDHANDLE card, LPWSTR readerName, LPDWORD readerLength, LPDWORD state, LPDWORD protocol,
                         LPBYTE atr, LPDWORD atrLength)
{
    Reply reply;
    LONG failure = 0;
    if (!Call(Op::Status, 0, Handle32(card), 0, 0, {}, reply, failure)) return failure;
    if (reply.header.result != SCARD_S_SUCCESS) return static_cast<LONG>(reply.header.result);
    Reader in(reply.data.data(), reply.data.size());
    StatusOut o{};
    std::string name;
    if (!in.Get(o) || !in.GetBytes(name, in.left()) || o.atrLength > sizeof o.atr) return SCARD_F_COMM_ERROR;
    if (state) *state = reply.header.v1;
    if (protocol) *protocol = reply.header.v2;
    if (readerLength) {
        std::wstring wide = Wide(name.data(), name.size());
        wide.append(2, L'\0');  // a multi-string of one name
        const LONG rc = Deliver(wide.data(), static_cast<DWORD>(wide.size()), sizeof(wchar_t), readerName,
                                readerLength);
        if (rc != SCARD_S_SUCCESS) return rc;
    }
    if (atrLength) return Deliver(o.atr, o.atrLength, 1, atr, atrLength);
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardBeginTransaction(SCARDHANDLE card) { return Simple(Op::BeginTransaction, 0, Handle32(card)); }
LONG WINAPI SCardEndTransaction(SCARDHANDLE card, DWORD disposition)
{
    return Simple(Op::EndTransaction, 0, Handle32(card), disposition);
}

LONG WINAPI SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST send, LPCBYTE command, DWORD commandLength,
                          LPSCARD_IO_REQUEST, LPBYTE response, LPDWORD responseLength)
{
    if (!send || !command || !responseLength) return SCARD_E_INVALID_PARAMETER;
    Reply reply;
    LONG failure = 0;
    if (!Call(Op::Transmit, 0, Handle32(card), send->dwProtocol, 0,
              std::vector<uint8_t>(command, command + commandLength), reply, failure))
        return failure;
    if (reply.header.result != SCARD_S_SUCCESS) return static_cast<LONG>(reply.header.result);
    return Deliver(reply.data.data(), static_cast<DWORD>(reply.data.size()), 1, response, responseLength);
}

// Not PC/SC: what the helper holds open in pcscd, for leak checks. The test
// exports use the C calling convention, so their names are undecorated on x86
// as the .def and its import library have them.
LONG __cdecl PcscBridgeCounters(DWORD* contexts, DWORD* cards)
{
    Reply reply;
    LONG failure = 0;
    if (!Call(Op::Counters, 0, 0, 0, 0, {}, reply, failure)) return failure;
    if (contexts) *contexts = reply.header.v1;
    if (cards) *cards = reply.header.v2;
    return SCARD_S_SUCCESS;
}

}  // extern "C"

extern "C" LONG __cdecl PcscBridgeServiceControl(DWORD start)
{
    return Simple(Op::ServiceControl, 0, 0, start ? 1 : 0);
}
