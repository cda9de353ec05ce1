// The pcsc-lite half of the in-process winscard.dll: plain calls of
// libpcsclite in the calling program's own process, their values turned into
// Windows' terms. pcscd sees the program itself as its client, so it checks
// every handle against that client and cleans up after it when it goes.
#include <winscard.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "lite.h"
#include "translation.h"

using lite::WindowsResult;

namespace {

SCARDCONTEXT Context(uint64_t context) { return static_cast<SCARDCONTEXT>(context); }
SCARDHANDLE Card(uint64_t card) { return static_cast<SCARDHANDLE>(card); }

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

}  // namespace

int32_t LiteEstablishContext(uint32_t scope, uint64_t* context)
{
    SCARDCONTEXT c = 0;
    const LONG rc = SCardEstablishContext(scope, nullptr, nullptr, &c);
    if (rc == SCARD_S_SUCCESS) *context = static_cast<uint64_t>(c);
    return WindowsResult(rc);
}

int32_t LiteReleaseContext(uint64_t context) { return WindowsResult(SCardReleaseContext(Context(context))); }
int32_t LiteIsValidContext(uint64_t context) { return WindowsResult(SCardIsValidContext(Context(context))); }
int32_t LiteCancel(uint64_t context) { return WindowsResult(SCardCancel(Context(context))); }

int32_t LiteListReaders(uint64_t context, const char* groups, char** readers, uint32_t* length)
{
    char* list = nullptr;
    DWORD n = SCARD_AUTOALLOCATE;
    const LONG rc = SCardListReaders(Context(context), groups, reinterpret_cast<char*>(&list), &n);
    if (rc != SCARD_S_SUCCESS) return WindowsResult(rc);
    *readers = list;
    *length = static_cast<uint32_t>(n);
    return 0;
}

void LiteFreeMemory(uint64_t context, void* memory)
{
    if (memory) SCardFreeMemory(Context(context), memory);
}

int32_t LiteGetStatusChange(uint64_t context, uint32_t timeout, LiteReaderState* states, uint32_t count)
{
    // pcsc-lite's record: 8-byte DWORDs and a 33-byte ATR (80 bytes on 64-bit Linux).
    constexpr uint32_t kOnStack = 16;
    SCARD_READERSTATE local[kOnStack];
    std::unique_ptr<SCARD_READERSTATE, FreeDeleter> heap;
    SCARD_READERSTATE* records = local;
    if (count > kOnStack) {
        heap.reset(static_cast<SCARD_READERSTATE*>(std::calloc(count, sizeof(SCARD_READERSTATE))));
        if (!heap) return WindowsResult(SCARD_E_NO_MEMORY);
        records = heap.get();
    }
    for (uint32_t i = 0; i < count; ++i) {
        records[i] = SCARD_READERSTATE{};
        records[i].szReader = states[i].reader;
        // All 32 bits: the event counter the caller saw is in the high word.
        records[i].dwCurrentState = states[i].currentState;
    }
    // Windows' INFINITE and pcsc-lite's are both 0xFFFFFFFF: widened, never sign-extended.
    const LONG rc = SCardGetStatusChange(Context(context), static_cast<DWORD>(timeout), records, count);
    for (uint32_t i = 0; i < count; ++i) {
        states[i].eventState = static_cast<uint32_t>(records[i].dwEventState);
        const DWORD atrLength = records[i].cbAtr <= MAX_ATR_SIZE ? records[i].cbAtr : 0;
        states[i].atrLength = static_cast<uint32_t>(atrLength);
        std::memcpy(states[i].atr, records[i].rgbAtr, atrLength);
    }
    return WindowsResult(rc);
}

int32_t LiteConnect(uint64_t context, const char* reader, uint32_t share, uint32_t protocols, uint64_t* card,
                    uint32_t* activeProtocol)
{
    SCARDHANDLE c = 0;
    DWORD active = 0;
    const LONG rc = SCardConnect(Context(context), reader, share, lite::LiteProtocol(protocols), &c, &active);
    if (rc == SCARD_S_SUCCESS) {
        *card = static_cast<uint64_t>(c);
        *activeProtocol = lite::WindowsProtocol(active);
    }
    return WindowsResult(rc);
}

int32_t LiteDisconnect(uint64_t card, uint32_t disposition)
{
    return WindowsResult(SCardDisconnect(Card(card), disposition));
}

int32_t LiteStatus(uint64_t card, LiteCardStatus* status)
{
    DWORD nameLength = sizeof status->reader;
    DWORD state = 0, protocol = 0;
    BYTE atr[MAX_ATR_SIZE] = {};
    DWORD atrLength = sizeof atr;
    const LONG rc = SCardStatus(Card(card), status->reader, &nameLength, &state, &protocol, atr, &atrLength);
    if (rc != SCARD_S_SUCCESS) return WindowsResult(rc);
    status->reader[sizeof status->reader - 1] = '\0';
    status->state = lite::WindowsCardState(state);
    status->protocol = lite::WindowsProtocol(protocol);
    status->atrLength = static_cast<uint32_t>(atrLength <= sizeof atr ? atrLength : 0);
    std::memcpy(status->atr, atr, status->atrLength);
    return 0;
}

int32_t LiteBeginTransaction(uint64_t card) { return WindowsResult(SCardBeginTransaction(Card(card))); }

int32_t LiteEndTransaction(uint64_t card, uint32_t disposition)
{
    return WindowsResult(SCardEndTransaction(Card(card), disposition));
}

int32_t LiteTransmit(uint64_t card, uint32_t protocol, const uint8_t* command, uint32_t commandLength,
                     uint8_t* response, uint32_t* responseLength)
{
    const SCARD_IO_REQUEST* pci = SCARD_PCI_T0;
    if (protocol & SCARD_PROTOCOL_T1) pci = SCARD_PCI_T1;
    if (protocol & lite::kWindowsRaw) pci = SCARD_PCI_RAW;
    DWORD length = *responseLength;
    const LONG rc = SCardTransmit(Card(card), pci, command, commandLength, nullptr, response, &length);
    *responseLength = static_cast<uint32_t>(length);
    return WindowsResult(rc);
}
