#define QV_LOG_SOURCE "Glsapi.cpp"
#include "resources/resource_library_loader.h"

#include <cwchar>

#include "logging/log.h"

namespace quorvex {

namespace {

// A library file name within the platform's path limit. A name that does not
// fit names no file: loading it is not even tried.
class LibraryFileName {
public:
    void append(const wchar_t* text) noexcept
    {
        const size_t length = std::wcslen(text);
        if (!fits_ || length_ + length >= MAX_PATH) {
            fits_ = false;
            return;
        }
        std::wmemcpy(buffer_ + length_, text, length);
        length_ += length;
        buffer_[length_] = L'\0';
    }

    const wchar_t* text() const noexcept { return buffer_; }

    HMODULE load() const noexcept { return fits_ ? ::LoadLibraryW(buffer_) : nullptr; }

private:
    wchar_t buffer_[MAX_PATH] = {};
    size_t length_ = 0;
    bool fits_ = true;
};

// The user locale's language id as four hex digits ("0804"); false when the
// query fails.
bool QueryLanguageIdText(wchar_t (&idText)[5]) noexcept
{
    return ::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ILANGUAGE, idText, 5) != 0;
}

}  // namespace

HMODULE LoadResourceLibrary(const wchar_t* baseName)
{
    // Located records of this source module are written outside any traced
    // routine.
    TraceScope glsapiScope{TraceScope::PositionScope{}};
    LibraryFileName fileName;
    fileName.append(baseName);

    // Two letters and the terminator: a three-letter language name does not
    // fit, and such a locale gets no library at all, not even English.
    wchar_t language[3] = {};
    if (::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, language, 3) == 0) return nullptr;
    fileName.append(L"_");
    fileName.append(language);

    if (std::wcscmp(language, L"zh") == 0) {
        // Only the PRC id means simplified script; Taiwan, Hong Kong,
        // Singapore and Macao share the traditional library.
        wchar_t idText[5] = {};
        if (QueryLanguageIdText(idText)) fileName.append(std::wcscmp(idText, L"0804") == 0 ? L"-CHS" : L"-CHT");
    } else if (std::wcscmp(language, L"pt") == 0) {
        // One Portuguese library serves every region.
        wchar_t idText[5] = {};
        if (QueryLanguageIdText(idText)) QV_LOG(3, glsapiScope, "locale id: %S", idText);
        fileName.append(L"-BR");
    }
    fileName.append(L".dll");

    if (HMODULE library = fileName.load()) {
        QV_LOG(3, glsapiScope, "found resource DLL: %S", fileName.text());
        return library;
    }
    QV_LOG(1, glsapiScope, "*** didn't find %S, try to load English version", fileName.text());

    LibraryFileName englishName;
    englishName.append(baseName);
    englishName.append(L"_en.dll");
    QV_LOG(1, glsapiScope, "loading: %S", englishName.text());
    if (HMODULE library = englishName.load()) {
        QV_LOG(1, glsapiScope, "found resource DLL: %S", englishName.text());
        return library;
    }
    QV_LOG(1, glsapiScope, "*** English resource DLL not found: %S, return NULL", englishName.text());
    return nullptr;
}

}  // namespace quorvex
