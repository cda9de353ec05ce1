#include "resources/string_table.h"

#include "module/module_state.h"

namespace quorvex {

std::optional<std::wstring_view> StringTableEntry(const void* block, size_t sizeInBytes, unsigned entry) noexcept
{
    const auto* position = static_cast<const WCHAR*>(block);
    // A trailing odd byte cannot hold a code unit.
    const WCHAR* const end = position + sizeInBytes / sizeof(WCHAR);
    for (unsigned skipped = 0; skipped < entry; ++skipped) {
        if (position >= end) return std::nullopt;
        const size_t length = *position;
        if (length >= static_cast<size_t>(end - position)) return std::nullopt;
        position += 1 + length;
    }
    if (position >= end) return std::nullopt;
    const size_t length = *position;
    // The text must lie wholly inside the block: a damaged length never
    // makes the lookup read past it.
    if (length == 0 || length >= static_cast<size_t>(end - position)) return std::nullopt;
    return std::wstring_view(reinterpret_cast<const wchar_t*>(position + 1), length);
}

std::optional<std::wstring> LoadModuleString(HMODULE module, UINT id)
{
    const WORD blockId = static_cast<WORD>(id / 16 + 1);
    HRSRC found = ::FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(blockId), 0);
    if (!found) return std::nullopt;
    HGLOBAL loaded = ::LoadResource(module, found);
    if (!loaded) return std::nullopt;
    const void* block = ::LockResource(loaded);
    if (!block) return std::nullopt;
    const std::optional<std::wstring_view> text = StringTableEntry(block, ::SizeofResource(module, found), id % 16);
    if (!text) return std::nullopt;
    return std::wstring(*text);
}

std::optional<std::wstring> LoadResourceString(UINT id)
{
    return WithResourceInstance([id](HMODULE instance) { return LoadModuleString(instance, id); });
}

}  // namespace quorvex
