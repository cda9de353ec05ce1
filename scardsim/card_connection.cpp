// Card connections: connect, disconnect, status, and the APDU-level calls,
// which only check the connection because no card applications are simulated.
#include "service.h"

#include "guarded.h"

#include <algorithm>
#include <cstring>

using namespace scardsim;

namespace {

constexpr DWORD kKnownProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_RAW;

// The connection's card as it is now: SCARD_S_SUCCESS, or why the handle can
// no longer reach it.
LONG CheckHandle(Service& service, SCARDHANDLE hCard, CardHandle*& handle, Reader*& reader)
{
    auto found = service.handles.find(hCard);
    if (found == service.handles.end() || found->second.orphaned) return SCARD_E_INVALID_HANDLE;
    handle = &found->second;
    reader = service.FindReader(handle->reader);
    if (!reader) return SCARD_E_READER_UNAVAILABLE;
    if (handle->cardSerial == 0) return SCARD_S_SUCCESS;  // direct connection to an empty reader
    if (!reader->card || reader->card->serial != handle->cardSerial) return SCARD_W_REMOVED_CARD;
    if (reader->card->resets != handle->cardResets) return SCARD_W_RESET_CARD;
    return SCARD_S_SUCCESS;
}

LONG Negotiate(DWORD offered, DWORD preferred, DWORD& protocol)
{
    const DWORD common = offered & preferred;
    // T=1 wins when both are possible: it is the faster block protocol.
    if (common & SCARD_PROTOCOL_T1) {
        protocol = SCARD_PROTOCOL_T1;
    } else if (common & SCARD_PROTOCOL_T0) {
        protocol = SCARD_PROTOCOL_T0;
    } else if (preferred & SCARD_PROTOCOL_RAW) {
        protocol = SCARD_PROTOCOL_RAW;
    } else {
        return SCARD_E_PROTO_MISMATCH;
    }
    return SCARD_S_SUCCESS;
}

}  // namespace

LONG WINAPI SCardConnectW(SCARDCONTEXT hContext, LPCWSTR szReader, DWORD dwShareMode, DWORD dwPreferredProtocols,
                          LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardConnectW")) return *injected;
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        if (LONG result = service.ServiceResult()) return result;
        if (!service.contexts.count(hContext)) return SCARD_E_INVALID_HANDLE;
        if (!szReader || !phCard || !pdwActiveProtocol) return SCARD_E_INVALID_PARAMETER;
        if (dwShareMode != SCARD_SHARE_EXCLUSIVE && dwShareMode != SCARD_SHARE_SHARED &&
            dwShareMode != SCARD_SHARE_DIRECT) {
            return SCARD_E_INVALID_VALUE;
        }
        if (dwPreferredProtocols & ~kKnownProtocols) return SCARD_E_INVALID_VALUE;
        if (dwShareMode != SCARD_SHARE_DIRECT && dwPreferredProtocols == 0) return SCARD_E_INVALID_VALUE;
        Reader* reader = service.FindReader(szReader);
        if (!reader) return SCARD_E_UNKNOWN_READER;
        if (service.TakeHostility("SCardConnectW").mode == SIM_HOSTILE_ZERO_HANDLE) {
            *phCard = 0;
            *pdwActiveProtocol = SCARD_PROTOCOL_T1;
            return SCARD_S_SUCCESS;
        }

        CardHandle handle;
        handle.context = hContext;
        handle.reader = reader->name;
        handle.shareMode = dwShareMode;
        if (reader->card) {
            const Card& card = *reader->card;
            if (dwShareMode != SCARD_SHARE_DIRECT) {
                // The test's override stands for whatever the real card or driver
                // would have answered, so it comes before every other check.
                if (card.connectResult != SCARD_S_SUCCESS) return card.connectResult;
                if (card.flags & SIM_CARD_MUTE) return SCARD_W_UNRESPONSIVE_CARD;
            }
            DWORD shared, exclusive;
            service.CountHandles(*reader, shared, exclusive);
            if (exclusive || (dwShareMode == SCARD_SHARE_EXCLUSIVE && shared)) return SCARD_E_SHARING_VIOLATION;
            if (dwShareMode != SCARD_SHARE_DIRECT) {
                if (LONG result = Negotiate(card.protocols, dwPreferredProtocols, handle.protocol)) return result;
            }
            handle.cardSerial = card.serial;
            handle.cardResets = card.resets;
        } else if (dwShareMode != SCARD_SHARE_DIRECT) {
            return SCARD_E_NO_SMARTCARD;
        }

        const SCARDHANDLE id = service.nextHandle++;
        service.handles.emplace(id, handle);
        *phCard = id;
        *pdwActiveProtocol = handle.protocol;
        service.NotifyChange();  // the reader now shows INUSE or EXCLUSIVE
        return SCARD_S_SUCCESS;
    });
}

LONG WINAPI SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardDisconnect")) return *injected;
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        auto found = service.handles.find(hCard);
        if (found == service.handles.end() || found->second.orphaned) return SCARD_E_INVALID_HANDLE;
        if (dwDisposition > SCARD_EJECT_CARD) return SCARD_E_INVALID_VALUE;
        const CardHandle handle = found->second;
        service.handles.erase(found);
        Reader* reader = service.FindReader(handle.reader);
        if (reader && reader->card && reader->card->serial == handle.cardSerial) {
            if (dwDisposition == SCARD_RESET_CARD || dwDisposition == SCARD_UNPOWER_CARD) {
                ++reader->card->resets;
            } else if (dwDisposition == SCARD_EJECT_CARD) {
                service.RemoveCardLocked(reader->name);
            }
        }
        service.NotifyChange();
        return SCARD_S_SUCCESS;
    });
}

LONG WINAPI SCardStatusW(SCARDHANDLE hCard, LPWSTR szReaderName, LPDWORD pcchReaderLen, LPDWORD pdwState,
                         LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardStatusW")) return *injected;
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        if (LONG result = service.ServiceResult()) return result;
        CardHandle* handle;
        Reader* reader;
        if (LONG result = CheckHandle(service, hCard, handle, reader)) return result;
        const Hostility hostility = service.TakeHostility("SCardStatusW");
        const bool atrLengthLies = hostility.mode == SIM_HOSTILE_ATR_LENGTH && pbAtr && pcbAtrLen &&
                                   *pcbAtrLen != SCARD_AUTOALLOCATE;

        // The reader name comes as a multi-string, as the platform reports every
        // name the reader is known by.
        const std::wstring names = MultiString({reader->name});
        const Bytes atr = reader->card && !(reader->card->flags & SIM_CARD_MUTE) && handle->cardSerial
                              ? reader->card->atr
                              : Bytes{};
        const DWORD nameLength = static_cast<DWORD>(names.size());
        const DWORD atrLength = static_cast<DWORD>(atr.size());
        // Both sizes are checked before anything is written or allocated, so a
        // failed call leaves no service buffer behind.
        if (CallerBufferTooSmall(szReaderName, pcchReaderLen, nameLength) ||
            (!atrLengthLies && CallerBufferTooSmall(pbAtr, pcbAtrLen, atrLength))) {
            if (pcchReaderLen && szReaderName && *pcchReaderLen != SCARD_AUTOALLOCATE) *pcchReaderLen = nameLength;
            if (pcbAtrLen && pbAtr && *pcbAtrLen != SCARD_AUTOALLOCATE) *pcbAtrLen = atrLength;
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        if (atrLengthLies) {
            // Never more than the caller's buffer holds: the lie is in the length only.
            std::memcpy(pbAtr, atr.data(), std::min(atrLength, *pcbAtrLen));
            *pcbAtrLen = hostility.parameter;
        } else if (pcbAtrLen) {
            if (LONG result = ReturnBuffer(service, atr.data(), atrLength, 1, pbAtr, pcbAtrLen)) return result;
        }
        if (pcchReaderLen) {
            if (LONG result = ReturnAnswer(service, hostility, names.data(), nameLength, sizeof(WCHAR), szReaderName,
                                           pcchReaderLen)) {
                return result;
            }
        }
        if (pdwState) {
            if (!reader->card) {
                *pdwState = SCARD_ABSENT;
            } else if (handle->protocol) {
                *pdwState = SCARD_SPECIFIC;
            } else {
                *pdwState = SCARD_POWERED;
            }
        }
        if (pdwProtocol) *pdwProtocol = handle->protocol;
        return SCARD_S_SUCCESS;
    });
}

namespace {

// Everything a transaction or a transmission needs: a live connection to the
// same card.
LONG CheckConnection(SCARDHANDLE hCard)
{
    Service& service = Instance();
    std::lock_guard lock(service.mutex);
    if (LONG result = service.ServiceResult()) return result;
    CardHandle* handle;
    Reader* reader;
    return CheckHandle(service, hCard, handle, reader);
}

}  // namespace

LONG WINAPI SCardBeginTransaction(SCARDHANDLE hCard)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardBeginTransaction")) return *injected;
        return CheckConnection(hCard);
    });
}

LONG WINAPI SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardEndTransaction")) return *injected;
        if (dwDisposition > SCARD_EJECT_CARD) return SCARD_E_INVALID_VALUE;
        return CheckConnection(hCard);
    });
}

LONG WINAPI SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer, DWORD cbSendLength,
                          LPSCARD_IO_REQUEST, LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardTransmit")) return *injected;
        if (LONG result = CheckConnection(hCard)) return result;
        if (!pioSendPci || !pbSendBuffer || cbSendLength < 4 || !pbRecvBuffer || !pcbRecvLength) {
            return SCARD_E_INVALID_PARAMETER;
        }
        // No application runs on a simulated card: every command is answered
        // "instruction not supported" (SW1 SW2 = 6D 00).
        if (*pcbRecvLength < 2) return SCARD_E_INSUFFICIENT_BUFFER;
        pbRecvBuffer[0] = 0x6D;
        pbRecvBuffer[1] = 0x00;
        *pcbRecvLength = 2;
        return SCARD_S_SUCCESS;
    });
}
