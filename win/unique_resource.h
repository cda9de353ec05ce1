// The one generic owner behind the handle, key, memory and module owners.
#pragma once

#include <utility>

namespace quorvex {

// Generic owner: Traits::invalid() is the empty value, Traits::close() frees.
template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;
    UniqueResource() noexcept = default;
    explicit UniqueResource(Type value) noexcept : value_(value) {}
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    void reset(Type value = Traits::invalid()) noexcept
    {
        Type old = std::exchange(value_, value);
        if (old != Traits::invalid()) Traits::close(old);
    }
    [[nodiscard]] Type release() noexcept { return std::exchange(value_, Traits::invalid()); }
    Type get() const noexcept { return value_; }
    Type* put() noexcept
    {
        reset();
        return &value_;
    }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

private:
    Type value_ = Traits::invalid();
};

}  // namespace quorvex
