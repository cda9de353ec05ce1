// The Windows half of the in-process winscard.dll: the PC/SC calls of
// Quorvex.dll (and of the programs that test it) in Windows' terms, handed to
// the pcsc-lite half through lite.h. Wine loads this library into the calling
// program's own process, so a call is a call of libpcsclite there: there is no
// socket or helper process of ours, and pcscd knows the program itself as its
// client.
//
// The exports carry their own names (Win_...) and the .spec file gives them
// Windows' names: inside this ELF library a function called
// SCardEstablishContext would be pcsc-lite's.
#include "windows_side.h"

#include <cstring>

using namespace lite;

namespace lite {

HeapArray<char> Utf8(const WCHAR* text, size_t units)
{
    if (units > INT32_MAX) return {};
    const int n = units ? ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr)
                        : 0;
    if (units && n <= 0) return {};
    HeapArray<char> out(static_cast<size_t>(n) + 1);
    if (out && n) ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), out.get(), n, nullptr, nullptr);
    return out;
}

HeapArray<char> Utf8(const WCHAR* text) { return Utf8(text, StringUnits(text)); }

HeapArray<WCHAR> Utf16(const char* text, size_t bytes, size_t& count)
{
    count = 0;
    if (bytes > INT32_MAX) return {};
    const int n = bytes ? ::MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(bytes), nullptr, 0) : 0;
    if (bytes && n <= 0) return {};
    HeapArray<WCHAR> out(static_cast<size_t>(n) + 1);
    if (out && n) ::MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(bytes), out.get(), n);
    if (out) count = static_cast<size_t>(n);
    return out;
}

size_t StringUnits(const WCHAR* text)
{
    size_t n = 0;
    while (text[n]) ++n;
    return n;
}

size_t MultiStringUnits(const WCHAR* list)
{
    size_t n = 0;
    while (list[n]) n += StringUnits(list + n) + 1;
    return n + 1;
}

size_t MultiStringBytes(const char* list)
{
    size_t n = 0;
    while (list[n]) n += std::strlen(list + n) + 1;
    return n + 1;
}

LONG Deliver(const void* data, size_t units, size_t unitSize, void* buffer, DWORD* length)
{
    if (!length) return SCARD_E_INVALID_PARAMETER;
    if (units > MAXDWORD - 1) return SCARD_E_NO_MEMORY;
    if (!buffer) {
        *length = static_cast<DWORD>(units);
        return SCARD_S_SUCCESS;
    }
    if (*length == SCARD_AUTOALLOCATE) {
        HeapArray<BYTE> block(units * unitSize);
        if (!block) return SCARD_E_NO_MEMORY;
        std::memcpy(block.get(), data, units * unitSize);
        *static_cast<void**>(buffer) = block.release();
        *length = static_cast<DWORD>(units);
        return SCARD_S_SUCCESS;
    }
    const DWORD room = *length;
    *length = static_cast<DWORD>(units);
    if (room < units) return SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, data, units * unitSize);
    return SCARD_S_SUCCESS;
}

}  // namespace lite

namespace {

// A multi-string from pcsc-lite (UTF-8) as Windows hands it out (UTF-16),
// its length counted in characters with the closing empty name.
LONG DeliverMultiString(const char* list, size_t bytes, LPWSTR buffer, LPDWORD length)
{
    // Every answer ends in two NULs, whatever pcsc-lite's did.
    size_t units = 0;
    HeapArray<WCHAR> wide = Utf16(list, bytes, units);
    if (!wide) return SCARD_E_NO_MEMORY;
    while (units > 0 && wide[units - 1] == L'\0') --units;
    HeapArray<WCHAR> closed(units + 2);
    if (!closed) return SCARD_E_NO_MEMORY;
    std::memcpy(closed.get(), wide.get(), units * sizeof(WCHAR));
    return Deliver(closed.get(), units + 2, sizeof(WCHAR), buffer, length);
}

LONG ListReaders(SCARDCONTEXT context, const char* groups, LiteList& list, size_t& bytes)
{
    uint32_t length = 0;
    const LONG rc = LiteListReaders(context, groups, list.put(), &length);
    bytes = rc == SCARD_S_SUCCESS && list.get() ? length : 0;
    return rc;
}

}  // namespace

extern "C" {

extern const SCARD_IO_REQUEST Win_g_rgSCardT0Pci, Win_g_rgSCardT1Pci, Win_g_rgSCardRawPci;
const SCARD_IO_REQUEST Win_g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST Win_g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST Win_g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

LONG WINAPI Win_SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context)
{
    if (!context) return SCARD_E_INVALID_PARAMETER;
    uint64_t c = 0;
    const LONG rc = LiteEstablishContext(scope, &c);
    if (rc == SCARD_S_SUCCESS) *context = static_cast<SCARDCONTEXT>(c);
    return rc;
}

LONG WINAPI Win_SCardReleaseContext(SCARDCONTEXT context) { return LiteReleaseContext(context); }
LONG WINAPI Win_SCardIsValidContext(SCARDCONTEXT context) { return LiteIsValidContext(context); }
LONG WINAPI Win_SCardCancel(SCARDCONTEXT context) { return LiteCancel(context); }

LONG WINAPI Win_SCardFreeMemory(SCARDCONTEXT, LPCVOID memory)
{
    // Every block handed out with SCARD_AUTOALLOCATE came from the process heap here.
    if (memory) ::HeapFree(::GetProcessHeap(), 0, const_cast<LPVOID>(memory));
    return SCARD_S_SUCCESS;
}

LONG WINAPI Win_SCardListReadersW(SCARDCONTEXT context, LPCWSTR groups, LPWSTR readers, LPDWORD length)
{
    HeapArray<char> g;
    if (groups) {
        g = Utf8(groups, MultiStringUnits(groups));
        if (!g) return SCARD_E_NO_MEMORY;
    }
    LiteList list(context);
    size_t bytes = 0;
    const LONG rc = ListReaders(context, g.get(), list, bytes);
    if (rc != SCARD_S_SUCCESS) return rc;
    return DeliverMultiString(list.get(), bytes, readers, length);
}

LONG WINAPI Win_SCardListReadersA(SCARDCONTEXT context, LPCSTR groups, LPSTR readers, LPDWORD length)
{
    LiteList list(context);
    size_t bytes = 0;
    const LONG rc = ListReaders(context, groups, list, bytes);
    if (rc != SCARD_S_SUCCESS) return rc;
    if (!list.get()) return Deliver("\0", 2, 1, readers, length);
    return Deliver(list.get(), MultiStringBytes(list.get()), 1, readers, length);
}

LONG WINAPI Win_SCardGetStatusChangeW(SCARDCONTEXT context, DWORD timeout, LPSCARD_READERSTATEW states, DWORD count)
{
    if (count && !states) return SCARD_E_INVALID_PARAMETER;
    // The names in UTF-8, one block for all of them.
    size_t bytes = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (!states[i].szReader) continue;
        const size_t units = StringUnits(states[i].szReader);
        if (units > INT32_MAX) return SCARD_E_INVALID_PARAMETER;
        bytes += static_cast<size_t>(::WideCharToMultiByte(CP_UTF8, 0, states[i].szReader, static_cast<int>(units),
                                                           nullptr, 0, nullptr, nullptr)) +
                 1;
    }
    HeapArray<LiteReaderState> records(count);
    HeapArray<char> names(bytes);
    if (!records || !names) return SCARD_E_NO_MEMORY;
    size_t used = 0;
    for (DWORD i = 0; i < count; ++i) {
        records[i].currentState = states[i].dwCurrentState;
        if (!states[i].szReader) continue;
        char* name = names.get() + used;
        const int n = ::WideCharToMultiByte(CP_UTF8, 0, states[i].szReader,
                                            static_cast<int>(StringUnits(states[i].szReader)), name,
                                            static_cast<int>(bytes - used - 1), nullptr, nullptr);
        name[n > 0 ? n : 0] = '\0';
        records[i].reader = name;
        used += static_cast<size_t>(n > 0 ? n : 0) + 1;
    }
    const LONG rc = LiteGetStatusChange(context, timeout, records.get(), count);
    for (DWORD i = 0; i < count; ++i) {
        states[i].dwEventState = records[i].eventState;
        states[i].cbAtr = records[i].atrLength <= sizeof states[i].rgbAtr ? records[i].atrLength : 0;
        std::memcpy(states[i].rgbAtr, records[i].atr, states[i].cbAtr);
    }
    return rc;
}

LONG WINAPI Win_SCardConnectW(SCARDCONTEXT context, LPCWSTR reader, DWORD share, DWORD protocols, LPSCARDHANDLE card,
                              LPDWORD activeProtocol)
{
    if (!reader || !card) return SCARD_E_INVALID_PARAMETER;
    const HeapArray<char> name = Utf8(reader);
    if (!name) return SCARD_E_NO_MEMORY;
    uint64_t c = 0;
    uint32_t active = 0;
    const LONG rc = LiteConnect(context, name.get(), share, protocols, &c, &active);
    if (rc == SCARD_S_SUCCESS) {
        *card = static_cast<SCARDHANDLE>(c);
        if (activeProtocol) *activeProtocol = active;
    }
    return rc;
}

LONG WINAPI Win_SCardDisconnect(SCARDHANDLE card, DWORD disposition) { return LiteDisconnect(card, disposition); }

LONG WINAPI Win_SCardStatusW(SCARDHANDLE card, LPWSTR readerName, LPDWORD readerLength, LPDWORD state, LPDWORD protocol,
                             LPBYTE atr, LPDWORD atrLength)
{
    LiteCardStatus status{};
    const LONG rc = LiteStatus(card, &status);
    if (rc != SCARD_S_SUCCESS) return rc;
    if (state) *state = status.state;
    if (protocol) *protocol = status.protocol;
    if (readerLength) {
        // The reader's name as a multi-string of one name.
        const LONG delivered = DeliverMultiString(status.reader, std::strlen(status.reader), readerName, readerLength);
        if (delivered != SCARD_S_SUCCESS) return delivered;
    }
    if (atrLength) return Deliver(status.atr, status.atrLength, 1, atr, atrLength);
    return SCARD_S_SUCCESS;
}

LONG WINAPI Win_SCardBeginTransaction(SCARDHANDLE card) { return LiteBeginTransaction(card); }
LONG WINAPI Win_SCardEndTransaction(SCARDHANDLE card, DWORD disposition)
{
    return LiteEndTransaction(card, disposition);
}

LONG WINAPI Win_SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST send, LPCBYTE command, DWORD commandLength,
                              LPSCARD_IO_REQUEST, LPBYTE response, LPDWORD responseLength)
{
    if (!send || !command || !responseLength) return SCARD_E_INVALID_PARAMETER;
    // The largest answer pcsc-lite hands out (MAX_BUFFER_SIZE_EXTENDED).
    constexpr uint32_t kMaxResponse = 4 + 3 + (1 << 16) + 3 + 2;
    HeapArray<BYTE> answer(kMaxResponse);
    if (!answer) return SCARD_E_NO_MEMORY;
    uint32_t length = kMaxResponse;
    const LONG rc = LiteTransmit(card, send->dwProtocol, command, commandLength, answer.get(), &length);
    if (rc != SCARD_S_SUCCESS) return rc;
    return Deliver(answer.get(), length, 1, response, responseLength);
}

}  // extern "C"
