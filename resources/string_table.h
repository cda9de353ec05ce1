// Strings read straight from the RT_STRING blocks of a module: block id/16+1
// holds the ids 16*(block-1) .. 16*(block-1)+15 as length-prefixed UTF-16
// entries without terminators.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace quorvex {

// Entry `entry` (0..15) of a string-table block of `sizeInBytes` bytes. Empty
// when the block ends before the entry, when the entry's text would run past
// the block's end, or when the entry is empty.
std::optional<std::wstring_view> StringTableEntry(const void* block, size_t sizeInBytes, unsigned entry) noexcept;

// The string of `id` in `module`'s string table (neutral language: the
// platform picks among the block's language versions).
std::optional<std::wstring> LoadModuleString(HMODULE module, UINT id);

// The string of `id` in the module's resource instance, read under the
// module's resource lock.
std::optional<std::wstring> LoadResourceString(UINT id);

}  // namespace quorvex
