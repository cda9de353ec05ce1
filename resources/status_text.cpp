#include "resources/status_text.h"

#include "resources/string_table.h"
#include "win/status_ids.h"

namespace quorvex {

std::wstring StatusText(LONG statusCode)
{
    // The category bits (12-15) and anything above never reach the table.
    const UINT id = static_cast<UINT>(statusCode) & 0xFFF;
    if (std::optional<std::wstring> text = LoadResourceString(id)) return std::move(*text);
    if (std::optional<std::wstring> text = LoadResourceString(static_cast<UINT>(status::kUnknownStatus)))
        return std::move(*text);
    return kMissingStatusText;
}

}  // namespace quorvex
