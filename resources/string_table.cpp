#include "resources/string_table.h"

#include "resources/resource_instance.h"

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

namespace {

constexpr DWORD kReadableProtection = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                      PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// How many of the `size` bytes at `block` lie in readable memory of the
// mapping that holds `module`. A library mapped as data has a handle with low
// bits set; VirtualQuery takes the page that holds the address, so such a
// handle names its mapping as well as the base address would.
size_t ReadableBytesInModule(HMODULE module, const void* block, size_t size) noexcept
{
    MEMORY_BASIC_INFORMATION image{};
    if (::VirtualQuery(module, &image, sizeof image) == 0) return 0;
    const auto* start = static_cast<const BYTE*>(block);
    size_t readable = 0;
    while (readable < size) {
        MEMORY_BASIC_INFORMATION region{};
        if (::VirtualQuery(start + readable, &region, sizeof region) == 0 ||
            region.AllocationBase != image.AllocationBase || region.State != MEM_COMMIT ||
            (region.Protect & kReadableProtection) == 0 || (region.Protect & PAGE_GUARD) != 0) {
            break;
        }
        readable = static_cast<size_t>(static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize - start);
    }
    return readable < size ? readable : size;
}

}  // namespace

std::optional<std::wstring> LoadModuleString(HMODULE module, UINT id)
{
    const WORD blockId = static_cast<WORD>(id / 16 + 1);
    HRSRC found = ::FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(blockId), 0);
    if (!found) return std::nullopt;
    HGLOBAL loaded = ::LoadResource(module, found);
    if (!loaded) return std::nullopt;
    const void* block = ::LockResource(loaded);
    if (!block) return std::nullopt;
    // The platform takes a library's resource entry on trust: a size or an
    // address that lies must not lead the walk out of the library's image.
    const size_t size = ReadableBytesInModule(module, block, ::SizeofResource(module, found));
    const std::optional<std::wstring_view> text = StringTableEntry(block, size, id % 16);
    if (!text) return std::nullopt;
    return std::wstring(*text);
}

std::optional<std::wstring> LoadResourceString(UINT id)
{
    return WithResourceInstance([id](HMODULE instance) { return LoadModuleString(instance, id); });
}

}  // namespace quorvex
