// The class entries as one table of rows below HKEY_CLASSES_ROOT. Writing
// walks the rows in order; removal visits the same keys and deletes the ones
// marked for it once everything below them has been visited.
#include "module/class_entries.h"

#include <objbase.h>

#include <memory>

#include "module/registry_writer.h"
#include "quorvex_h.h"
#include "win/hresult.h"
#include "win/module_path.h"
#include "win/unique_co_task_memory.h"

namespace quorvex {
namespace {

enum class Data {
    None,
    FriendlyName,
    ClassIdText,
    VersionedProgId,
    IndependentProgId,
    ModulePath,
    Apartment,
    Empty,
    LibraryIdText
};

struct Row {
    int parent;                // row number of the parent key; 0 = HKEY_CLASSES_ROOT
    const wchar_t* keyName;    // null: the value lives on the parent row's key
    const wchar_t* valueName;  // null: the key's default value
    Data data;
    bool rebuild;         // deleted with its subtree before it is created again
    bool removed;         // deleted with its subtree at unregistration
    bool shared = false;  // one key for both architectures' registry views
};

// Stands for the class id's text, computed from CLSID_CSmartCardAuthPlugin.
constexpr wchar_t kClassIdKey[] = L"<class id>";

// Indexed by row number; row 0 is unused.
constexpr Row kRows[] = {
    {},
    /* 1 */ {0, L"Quorvex.SmartCa.1", nullptr, Data::FriendlyName, false, true, true},
    /* 2 */ {1, L"CLSID", nullptr, Data::ClassIdText, false, false},
    /* 3 */ {0, L"Quorvex.SmartCard", nullptr, Data::FriendlyName, false, true, true},
    /* 4 */ {3, L"CLSID", nullptr, Data::ClassIdText, false, false},
    /* 5 */ {3, L"CurVer", nullptr, Data::VersionedProgId, false, false},
    /* 6 */ {0, L"CLSID", nullptr, Data::None, false, false},
    /* 7 */ {6, kClassIdKey, nullptr, Data::FriendlyName, true, true},
    /* 8 */ {7, L"ProgID", nullptr, Data::VersionedProgId, false, false},
    /* 9 */ {7, L"VersionIndependentProgID", nullptr, Data::IndependentProgId, false, false},
    /* 10 */ {7, L"Programmable", nullptr, Data::None, true, false},
    /* 11 */ {7, L"InprocServer32", nullptr, Data::ModulePath, false, true},
    /* 12 */ {11, nullptr, L"ThreadingModel", Data::Apartment, false, false},
    /* 13 */ {7, nullptr, L"AppID", Data::Empty, false, false},
    /* 14 */ {7, L"TypeLib", nullptr, Data::LibraryIdText, false, false},
};
constexpr int kRowCount = static_cast<int>(ARRAYSIZE(kRows)) - 1;

// The texts that differ from machine to machine, computed at each call.
struct Values {
    ModulePath path;
    UniqueCoTaskMemory<wchar_t> classId;
    UniqueCoTaskMemory<wchar_t> libraryId;

    HRESULT Compute() noexcept
    {
        path = GetModulePath();
        QV_RETURN_IF_FAILED(ModulePathResult(path));
        QV_RETURN_IF_FAILED(GuidText(CLSID_CSmartCardAuthPlugin, classId));
        QV_RETURN_IF_FAILED(GuidText(LIBID_Quorvex, libraryId));
        return S_OK;
    }

    static HRESULT GuidText(REFGUID guid, UniqueCoTaskMemory<wchar_t>& text) noexcept
    {
        LPOLESTR allocated = nullptr;
        QV_RETURN_IF_FAILED(::StringFromCLSID(guid, &allocated));
        text.reset(allocated);
        return S_OK;
    }

    const wchar_t* KeyName(const Row& row) const noexcept
    {
        return row.keyName == kClassIdKey ? classId.get() : row.keyName;
    }

    const wchar_t* Text(Data data) const noexcept
    {
        switch (data) {
        case Data::FriendlyName: return L"CSmartCardAuthPlugin Object";
        case Data::ClassIdText: return classId.get();
        case Data::VersionedProgId: return L"Quorvex.SmartCa.1";
        case Data::IndependentProgId: return L"Quorvex.SmartCard";
        case Data::ModulePath: return path.text;
        case Data::Apartment: return L"apartment";
        case Data::Empty: return L"";
        case Data::LibraryIdText: return libraryId.get();
        case Data::None: break;
        }
        return nullptr;
    }
};

HRESULT SetRowValue(HKEY key, const Row& row, const Values& values) noexcept
{
    if (row.data == Data::None) return S_OK;
    QV_RETURN_IF_WIN32_ERROR(SetStringValue(key, row.valueName, values.Text(row.data)));
    return S_OK;
}

// Writes row `number` below `parent`, then the rows that hang on it, in order.
// Recursion depth: a child row always comes after its parent in the constant
// table, so at most kRowCount levels.
HRESULT WriteRow(int number, HKEY parent, const Values& values) noexcept  // NOLINT(misc-no-recursion)
{
    const Row& row = kRows[number];
    const wchar_t* const keyName = values.KeyName(row);
    if (row.rebuild) {
        const LONG deleted = DeleteSubtree(parent, keyName);
        if (!IsMissingKeyError(deleted)) QV_RETURN_IF_WIN32_ERROR(deleted);
    }
    UniqueHkey key;
    QV_RETURN_IF_WIN32_ERROR(OpenOrCreateKey(parent, keyName, key));
    QV_RETURN_IF_FAILED(SetRowValue(key.get(), row, values));

    for (int child = number + 1; child <= kRowCount; ++child) {
        if (kRows[child].parent != number) continue;
        if (kRows[child].keyName) {
            QV_RETURN_IF_FAILED(WriteRow(child, key.get(), values));
        } else {
            QV_RETURN_IF_FAILED(SetRowValue(key.get(), kRows[child], values));
        }
    }
    return S_OK;
}

// Visits row `number` below `parent`; a missing key is skipped with everything
// below it. Recursion depth: at most kRowCount levels, as for WriteRow.
// NOLINTNEXTLINE(misc-no-recursion)
HRESULT RemoveRow(int number, HKEY parent, const Values& values, SharedKeys shared) noexcept
{
    const Row& row = kRows[number];
    const wchar_t* const keyName = values.KeyName(row);
    {
        UniqueHkey key;
        const LONG opened = OpenExistingKey(parent, keyName, key);
        QV_RETURN_HR_IF(S_OK, IsMissingKeyError(opened));
        QV_RETURN_IF_WIN32_ERROR(opened);

        for (int child = number + 1; child <= kRowCount; ++child) {
            if (kRows[child].parent == number && kRows[child].keyName)
                QV_RETURN_IF_FAILED(RemoveRow(child, key.get(), values, shared));
        }
    }
    if (!row.removed || (row.shared && shared == SharedKeys::Keep)) return S_OK;
    const LONG deleted = DeleteSubtree(parent, keyName);
    QV_RETURN_HR_IF(S_OK, IsMissingKeyError(deleted));
    QV_RETURN_IF_WIN32_ERROR(deleted);
    return S_OK;
}

}  // namespace

HRESULT WriteClassEntries() noexcept
{
    Values values;
    QV_RETURN_IF_FAILED(values.Compute());
    for (int number = 1; number <= kRowCount; ++number) {
        if (kRows[number].parent == 0) QV_RETURN_IF_FAILED(WriteRow(number, HKEY_CLASSES_ROOT, values));
    }
    return S_OK;
}

HRESULT RemoveClassEntries(SharedKeys shared) noexcept
{
    // Same failures as registration, before the registry is touched.
    Values values;
    QV_RETURN_IF_FAILED(values.Compute());
    for (int number = 1; number <= kRowCount; ++number) {
        if (kRows[number].parent == 0) QV_RETURN_IF_FAILED(RemoveRow(number, HKEY_CLASSES_ROOT, values, shared));
    }
    return S_OK;
}

}  // namespace quorvex
