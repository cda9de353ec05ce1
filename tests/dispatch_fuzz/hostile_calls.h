// Random late-bound calls of a hostile but memory-correct caller, and the
// rules every answer of the plug-in's IDispatch must keep.
//
// The caller may pass anything a script engine or a careless C++ client can:
// any DISPID, flags, IID and locale; argument and name counts that do not
// match; null pointers wherever a pointer goes; every VARTYPE, bad ones too;
// by-reference arguments that point at real storage of the right type (or at
// nothing); real SAFEARRAYs and objects; two arguments referring to one
// VARIANT. It never passes a wild pointer or a count larger than the array
// behind it: an in-process COM object cannot defend against those. Arrays are
// laid out flush against an inaccessible page, so a read or write past the
// count faults at once.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvex::test {

class Rng {
public:
    explicit Rng(std::uint64_t seed) noexcept : state_(seed) {}
    std::uint64_t Next() noexcept;
    UINT Below(UINT bound) noexcept { return bound ? static_cast<UINT>(Next() % bound) : 0; }
    bool Percent(UINT percent) noexcept { return Below(100) < percent; }
    template <typename T, std::size_t N>
    const T& Pick(const T (&items)[N]) noexcept
    {
        return items[Below(static_cast<UINT>(N))];
    }

private:
    std::uint64_t state_;
};

// The seed of case `index` of a run: every case can be generated on its own.
std::uint64_t CaseSeed(std::uint32_t runSeed, std::size_t index) noexcept;

// Committed memory followed by one inaccessible page.
class GuardedRegion {
public:
    explicit GuardedRegion(std::size_t bytes);
    ~GuardedRegion();
    GuardedRegion(const GuardedRegion&) = delete;
    GuardedRegion& operator=(const GuardedRegion&) = delete;

    // Room for `count` items ending right at the inaccessible page.
    template <typename T>
    T* End(std::size_t count) const noexcept
    {
        return reinterpret_cast<T*>(guard_ - count * sizeof(T));
    }
    std::size_t bytes() const noexcept { return bytes_; }

private:
    BYTE* base_ = nullptr;
    BYTE* guard_ = nullptr;
    std::size_t bytes_ = 0;
};

// An object handed in as a VT_DISPATCH or VT_UNKNOWN argument. Its default
// value (DISPID_VALUE, which VariantChangeType reads) is a text, a number, an
// error or nothing; while armed it first calls back into the plug-in, the
// way a script object's property getter might.
class ValueObject final : public IDispatch {
public:
    enum class Answer { Text, Number, Error, Nothing };
    ValueObject(Answer answer, bool dispatchable) noexcept : answer_(answer), dispatchable_(dispatchable) {}

    // References beyond the owner's one.
    LONG extraReferences() const noexcept { return references_ - 1; }
    // The plug-in to call back while a call is under way; null disarms.
    void Arm(IDispatch* plugin) noexcept { callback_ = plugin; }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(::InterlockedDecrement(&references_)); }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
    STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override;

private:
    Answer answer_;
    bool dispatchable_;
    LONG references_ = 1;  // the owner's, on the test's stack
    IDispatch* callback_ = nullptr;
};

// What the cases share across one run.
struct FuzzContext {
    ValueObject text{ValueObject::Answer::Text, true};
    ValueObject number{ValueObject::Answer::Number, true};
    ValueObject error{ValueObject::Answer::Error, true};
    ValueObject nothing{ValueObject::Answer::Nothing, true};
    ValueObject plain{ValueObject::Answer::Text, false};  // no IDispatch at all
    ValueObject* objects[5] = {&text, &number, &error, &nothing, &plain};

    // The readers the simulated service lists in the current batch.
    std::vector<std::wstring> readerNames;

    GuardedRegion arguments{4096};
    GuardedRegion namedArguments{4096};
    GuardedRegion nameArray{4096};
    GuardedRegion nameTexts{256 * 1024};
    GuardedRegion dispidArray{4096};

    struct Tally {
        std::size_t invokes = 0;
        std::size_t names = 0;
        std::size_t early = 0;       // rejected before any argument was looked at
        std::size_t mismatches = 0;  // DISP_E_TYPEMISMATCH
        std::size_t methods = 0;     // reached the method
        std::size_t captures = 0;    // StartCapture started a worker
    } tally;
    std::size_t failures = 0;  // cases whose answer broke a rule
};

// One random Invoke on `plugin` (the IDispatch of a plug-in object), checked
// and cleaned up as a correct caller would. A capture it starts is ended
// before it returns. False when the answer broke a rule (reported through
// GoogleTest with the case's description).
bool RunInvokeCase(IDispatch* plugin, std::uint64_t caseSeed, FuzzContext& context);

// One random GetIDsOfNames on `plugin`, checked.
bool RunNamesCase(IDispatch* plugin, std::uint64_t caseSeed, FuzzContext& context);

}  // namespace quorvex::test
