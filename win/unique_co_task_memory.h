// Owner of memory that COM allocated for the caller (CoTaskMemAlloc), such as
// the text of StringFromCLSID.
#pragma once

#include <objbase.h>

#include <memory>

namespace quorvex {

struct CoTaskMemoryFreer {
    void operator()(void* memory) const noexcept { ::CoTaskMemFree(memory); }
};

template <typename T>
using UniqueCoTaskMemory = std::unique_ptr<T, CoTaskMemoryFreer>;

}  // namespace quorvex
