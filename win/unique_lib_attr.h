// Owner of the attributes a type library hands out (ITypeLib::GetLibAttr):
// they go back to the library that lent them.
#pragma once

#include <oaidl.h>

#include "win/com_ptr.h"

namespace quorvex {

class UniqueLibAttr {
public:
    explicit UniqueLibAttr(ITypeLib* library) noexcept : library_(library) {}
    ~UniqueLibAttr() { reset(); }
    UniqueLibAttr(const UniqueLibAttr&) = delete;
    UniqueLibAttr& operator=(const UniqueLibAttr&) = delete;

    void reset() noexcept
    {
        if (attributes_) library_->ReleaseTLibAttr(attributes_);
        attributes_ = nullptr;
    }
    // Gives back what is held and returns the slot for GetLibAttr.
    TLIBATTR** put() noexcept
    {
        reset();
        return &attributes_;
    }
    const TLIBATTR* operator->() const noexcept { return attributes_; }

private:
    ComPtr<ITypeLib> library_;
    TLIBATTR* attributes_ = nullptr;
};

}  // namespace quorvex
