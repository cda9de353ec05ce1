#include "logging/trace_scope.h"

#include "logging/log_level.h"
#include "logging/log_state.h"
#include "win/hresult.h"

namespace quorvex {

TraceScope::TraceScope() noexcept { g_indentationWidth.fetch_add(2, std::memory_order_relaxed); }

TraceScope::TraceScope(ModuleScope) noexcept : isModuleScope_(true)
{
    g_indentationWidth.store(0, std::memory_order_relaxed);
}

TraceScope::~TraceScope()
{
    if (isModuleScope_) return;
    g_indentationWidth.fetch_sub(2, std::memory_order_relaxed);
    // The level is tested again here: a scope entered at level 3 stays quiet
    // when the level has dropped since.
    if (entered && LogLevelReached(3)) {
        NoThrow([this] {
            LogLockGuard lock;
            WritePlainLocked(0, "<---- %s", entryText.c_str());
        });
    }
    entered = false;
    entryText.clear();
}

TraceScope& SetTracePosition(TraceScope& scope, const char* sourcePath, int line) noexcept
{
    // GCC's __FILE__ may carry either separator.
    const char* base = sourcePath;
    if (base != nullptr) {
        for (const char* p = sourcePath; *p != '\0'; ++p) {
            if (*p == '\\' || *p == '/') base = p + 1;
        }
    }
    scope.sourceFile = base;
    scope.line = line;
    return scope;
}

}  // namespace quorvex
