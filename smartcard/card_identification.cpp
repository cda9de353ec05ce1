#define QV_LOG_SOURCE "SmartCardAuthPlugin.cpp"
// The last stage of SendDataReadyEventForCurrentCard: ATR -> card name -> CSP
// name, DataReady, then disconnect and release of the watch context.
#include <cwchar>
#include <optional>
#include <string_view>

#include "logging/log.h"
#include "smartcard/card_watch.h"
#include "win/status_ids.h"
#include "win/unique_bstr.h"

namespace quorvex {
namespace {

constexpr unsigned Hex(LONG result) noexcept { return static_cast<unsigned>(result); }

// The first name of a service answer of `length` characters, or nothing when
// its terminator does not lie within the answer: a name cut short may name
// another card type or CSP, and the service would read past the answer's end
// when given it back.
std::optional<std::wstring_view> WholeName(const WCHAR* text, DWORD length) noexcept
{
    if (!text) return std::nullopt;
    const WCHAR* const end = ::wmemchr(text, L'\0', length);
    if (!end) return std::nullopt;
    return std::wstring_view(text, static_cast<std::size_t>(end - text));
}

// The card's ATR. False when the run ended with a failure event.
bool ReadAtr(CardWatchHost& host, TraceScope& scope, SCARDCONTEXT context, const ScardCard& card, BYTE* atr,
             DWORD& atrLength)
{
    {
        ScardBuffer<WCHAR> readerName(context);
        DWORD readerNameLength = SCARD_AUTOALLOCATE;
        DWORD state = 0;
        DWORD protocol = 0;
        const LONG result = ::SCardStatusW(card.get(), readerName.put(), &readerNameLength, &state, &protocol, atr,
                                           &atrLength);
        QV_LOG(3, scope, "SCardStatus() return: 0x%X", Hex(result));
        if (result != SCARD_S_SUCCESS) {
            QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): failed to get card status: 0x%X", Hex(result));
            host.FireFailed(status::kCardStatusFailed);
            return false;
        }
    }
    // No ATR, or one longer than the buffer (cut short, or written past it),
    // identifies nothing.
    if (atrLength == 0 || atrLength > SCARD_ATR_LENGTH) {
        QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): card status gave an ATR of %lu bytes",
               static_cast<unsigned long>(atrLength));
        host.FireFailed(status::kCardStatusFailed);
        return false;
    }
    return true;
}

// The first card name registered for the ATR, in `cards`. False when the run
// ended with a failure event.
bool LookUpCardName(CardWatchHost& host, TraceScope& scope, SCARDCONTEXT context, const BYTE* atr,
                    ScardBuffer<WCHAR>& cards, std::wstring_view& cardName)
{
    DWORD cardsLength = SCARD_AUTOALLOCATE;
    const LONG result = ::SCardListCardsW(context, atr, nullptr, 0, cards.put(), &cardsLength);
    QV_LOG(3, scope, "SCardListCards() return: 0x%X", Hex(result));
    if (result != SCARD_S_SUCCESS) {
        QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): cannot enum cards: 0x%X", Hex(result));
        host.FireFailed(status::kCardListFailed);
        return false;
    }
    // Only a whole first name goes on to the provider lookup.
    cardName = WholeName(cards.get(), cardsLength).value_or(std::wstring_view());
    if (cardName.empty()) {
        QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): unknown smart card type");
        host.FireFailed(status::kUnknownCard);
        host.SendStatusChanged(status::kUnknownCardNotice);
        return false;
    }
    return true;
}

// The CSP of the card type `cards` names first, in `provider`. False when the
// run ended with a failure event.
bool LookUpProvider(CardWatchHost& host, TraceScope& scope, SCARDCONTEXT context, const ScardBuffer<WCHAR>& cards,
                    ScardBuffer<WCHAR>& provider, std::wstring_view& providerName)
{
    DWORD providerLength = SCARD_AUTOALLOCATE;
    const LONG result = ::SCardGetCardTypeProviderNameW(context, cards.get(), SCARD_PROVIDER_CSP, provider.put(),
                                                        &providerLength);
    QV_LOG(3, scope, "SCardGetCardTypeProviderName() return: 0x%X", Hex(result));
    if (result != SCARD_S_SUCCESS) {
        QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): unknown smart card type: 0x%X", Hex(result));
        host.FireFailed(status::kUnknownCard);
        return false;
    }
    // An empty or cut-short name names no CSP the host could use.
    providerName = WholeName(provider.get(), providerLength).value_or(std::wstring_view());
    if (providerName.empty()) {
        QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): no usable CSP name for the card type");
        host.FireFailed(status::kUnknownCard);
        return false;
    }
    return true;
}

// From the card status to DataReady. False when the run ended with a failure
// event; the service buffers are freed on return either way.
bool IdentifyAndDeliver(CardWatchHost& host, TraceScope& scope, SCARDCONTEXT context, const ScardCard& card)
{
    // An ISO 7816 ATR may take all 33 bytes.
    BYTE atr[SCARD_ATR_LENGTH] = {};
    DWORD atrLength = SCARD_ATR_LENGTH;
    if (!ReadAtr(host, scope, context, card, atr, atrLength)) return false;
    ScardBuffer<WCHAR> cards(context);
    std::wstring_view cardName;
    if (!LookUpCardName(host, scope, context, atr, cards, cardName)) return false;
    ScardBuffer<WCHAR> provider(context);
    std::wstring_view providerName;
    if (!LookUpProvider(host, scope, context, cards, provider, providerName)) return false;

    host.SendStatusChanged(status::kCardIdentified);

    // The reader is named as the reader table spells it, not as the service does.
    const UniqueBstr smartCardName = MakeBstr(cardName);
    const UniqueBstr smartCardReader = CopyBstr(host.readerName(static_cast<ULONG>(host.selectedIndex())));
    const UniqueBstr cspName = MakeBstr(providerName);
    if (!smartCardName || !smartCardReader || !cspName) {
        // DataReady with a string missing would read as an empty name.
        QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): malloc() failed");
        host.FireFailed(E_OUTOFMEMORY);
        return false;
    }

    QV_LOG(3, scope, "send DataReady event");
    // Whatever the sinks answer, the card is disconnected and the context released.
    host.FireDataReady(smartCardName.get(), smartCardReader.get(), cspName.get());
    return true;
}

}  // namespace

void IdentifyCardAndSendDataReady(CardWatchHost& host, TraceScope& scope, WatchContext& context, ScardCard& card,
                                  std::vector<SCARD_READERSTATEW>& readerStates)
{
    QV_LOG_PLAIN(3, "------------------------------");
    QV_LOG(3, scope, "found a card in reader");
    std::vector<SCARD_READERSTATEW>().swap(readerStates);

    // On a failure the caller's owners disconnect the card and release the
    // context, quietly.
    if (!IdentifyAndDeliver(host, scope, context.get(), card)) return;

    LONG result = card.Disconnect();
    QV_LOG(3, scope, "SCardDisconnect() return: 0x%X", Hex(result));
    if (result != SCARD_S_SUCCESS) {
        QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): failed to disconnect card: 0x%X", Hex(result));
        host.SendStatusChanged(status::kCardIdentified);
        return;
    }
    result = context.Release();
    if (result != SCARD_S_SUCCESS) {
        QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): SCardReleaseContext() failed");
        host.SendStatusChanged(status::kCardIdentified);
        return;
    }
    host.SendStatusChanged(status::kCardIdentified);
    QV_TRACE_RETURN(scope, "return OK");
}

}  // namespace quorvex
