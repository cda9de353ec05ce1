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

    // Only the host program's folder and then the system folder, each by full
    // path: a bare name would also be looked for in the current directory and
    // along PATH, where anyone may plant a file.
    UniqueModule load() const noexcept
    {
        if (!fits_) return UniqueModule();
        wchar_t folder[MAX_PATH] = {};
        if (ProgramFolder(folder)) {
            if (UniqueModule library = LoadFromFolder(folder)) return library;
        }
        const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return UniqueModule();
        return LoadFromFolder(folder);
    }

private:
    // The folder of the host program's file, without the last separator.
    static bool ProgramFolder(wchar_t (&folder)[MAX_PATH]) noexcept
    {
        const DWORD length = ::GetModuleFileNameW(nullptr, folder, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return false;
        wchar_t* cut = nullptr;
        for (wchar_t* p = folder; *p; ++p) {
            if (*p == L'\\' || *p == L'/') cut = p;
        }
        if (!cut) return false;
        *cut = L'\0';
        return true;
    }

    UniqueModule LoadFromFolder(const wchar_t* folder) const noexcept
    {
        const size_t folderLength = std::wcslen(folder);
        // A full path beyond the platform's limit names no file either.
        if (folderLength + 1 + length_ >= MAX_PATH) return UniqueModule();
        wchar_t path[MAX_PATH] = {};
        std::wmemcpy(path, folder, folderLength + 1);
        path[folderLength] = L'\\';
        std::wmemcpy(path + folderLength + 1, buffer_, length_ + 1);
        return LoadResourceLibraryFile(path);
    }

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

UniqueModule LoadResourceLibraryFile(const wchar_t* path) noexcept
{
    return UniqueModule(::LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE));
}

UniqueModule LoadResourceLibrary(const wchar_t* baseName)
{
    // Located records of this source module are written outside any traced
    // routine.
    TraceScope glsapiScope{TraceScope::PositionScope{}};
    LibraryFileName fileName;
    fileName.append(baseName);

    // Two letters and the terminator: a three-letter language name does not
    // fit, and such a locale gets no library at all, not even English.
    wchar_t language[3] = {};
    if (::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, language, 3) == 0) return UniqueModule();
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

    if (UniqueModule library = fileName.load()) {
        QV_LOG(3, glsapiScope, "found resource DLL: %S", fileName.text());
        return library;
    }
    QV_LOG(1, glsapiScope, "*** didn't find %S, try to load English version", fileName.text());

    LibraryFileName englishName;
    englishName.append(baseName);
    englishName.append(L"_en.dll");
    QV_LOG(1, glsapiScope, "loading: %S", englishName.text());
    if (UniqueModule library = englishName.load()) {
        QV_LOG(1, glsapiScope, "found resource DLL: %S", englishName.text());
        return library;
    }
    QV_LOG(1, glsapiScope, "*** English resource DLL not found: %S, return NULL", englishName.text());
    return UniqueModule();
}

}  // namespace quorvex
