// The code page in which the platform hands out 8-bit text (reader names
// from the ANSI PC/SC calls), for converting it into automation strings.
#pragma once

#include <windows.h>

#include <atomic>

namespace quorvex {
namespace conversion_detail {

inline UINT ThreadAnsiCodePage() noexcept { return CP_THREAD_ACP; }

// Older platforms: the thread locale's default ANSI code page, read as decimal
// digits, or the system ANSI code page when that yields nothing.
inline UINT LocaleAnsiCodePage() noexcept
{
    char digits[7] = {};
    UINT codePage = 0;
    if (::GetLocaleInfoA(::GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, digits, sizeof digits) != 0) {
        for (const char* p = digits; *p; ++p) codePage = codePage * 10 + static_cast<UINT>(*p - '0');
    }
    return codePage != 0 ? codePage : ::GetACP();
}

using Selector = UINT (*)() noexcept;
inline std::atomic<Selector> g_selector{nullptr};

inline Selector ChooseSelector() noexcept
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

}  // namespace conversion_detail

// The code page for converting 8-bit text into automation strings.
inline UINT ConversionCodePage() noexcept
{
    using namespace conversion_detail;
    Selector selector = g_selector.load();
    if (!selector) {
        // Concurrent first uses all pick the same selector; the exchange keeps one.
        selector = ChooseSelector();
        g_selector.exchange(selector);
    }
    return selector();
}

}  // namespace quorvex
