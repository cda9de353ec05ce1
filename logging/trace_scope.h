// Trace scopes: the routine-local object that writes a routine's entry and exit
// records and indents everything written in between, and the per-source-module
// scope used for located records outside any traced routine.
#pragma once

#include <string>

namespace quorvex {

class TraceScope {
public:
    // Routine scope: raises the process-wide indentation by 2 whatever the level.
    TraceScope() noexcept;
    // Module scope: resets the indentation to 0 and never raises it.
    struct ModuleScope {};
    explicit TraceScope(ModuleScope) noexcept;
    // Position scope: only carries the source position of located records
    // written outside any traced routine. Leaves the indentation alone and
    // writes no record of its own; one per call, so that threads writing
    // located records at once never share a position.
    struct PositionScope {};
    explicit TraceScope(PositionScope) noexcept : isModuleScope_(true) {}
    ~TraceScope();

    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

    const char* sourceFile = nullptr;  // base name of the statement's source file
    int line = 0;
    std::string entryText;
    bool entered = false;

private:
    bool isModuleScope_ = false;
};

// Sets the scope's source file (base name of sourcePath) and line; returns the
// scope so that it can be passed straight to LogLocated.
TraceScope& SetTracePosition(TraceScope& scope, const char* sourcePath, int line) noexcept;

}  // namespace quorvex
