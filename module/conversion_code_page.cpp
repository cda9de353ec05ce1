#include <atomic>

#include "module/module_state.h"

namespace quorvex {
namespace {

UINT ThreadAnsiCodePage() noexcept { return CP_THREAD_ACP; }

// Older platforms: the thread locale's default ANSI code page, read as decimal
// digits, or the system ANSI code page when that yields nothing.
UINT LocaleAnsiCodePage() noexcept
{
    char digits[7] = {};
    UINT codePage = 0;
    if (::GetLocaleInfoA(::GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, digits, sizeof digits) != 0) {
        for (const char* p = digits; *p; ++p) codePage = codePage * 10 + static_cast<UINT>(*p - '0');
    }
    return codePage != 0 ? codePage : ::GetACP();
}

using Selector = UINT (*)() noexcept;
std::atomic<Selector> g_selector{nullptr};

Selector ChooseSelector() noexcept
{
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
    const bool modernNt = ::GetVersionExW(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
                          version.dwMajorVersion > 4;
    return modernNt ? &ThreadAnsiCodePage : &LocaleAnsiCodePage;
}

}  // namespace

UINT ConversionCodePage() noexcept
{
    Selector selector = g_selector.load();
    if (!selector) {
        // Concurrent first uses all pick the same selector; the exchange keeps one.
        selector = ChooseSelector();
        g_selector.exchange(selector);
    }
    return selector();
}

}  // namespace quorvex
