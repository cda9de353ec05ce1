// The service singleton, the call prologue shared by every export and the
// small lookups the operations have in common.
#include "service.h"

#include <thread>

namespace scardsim {

void LoadScenarioFromEnvironment();  // scenario.cpp

Service& Instance()
{
    // Leaked on purpose: the timer thread and late callers may still use it
    // while the process tears its static objects down.
    static Service* const service = new Service;
    return *service;
}

void EnsureStarted()
{
    static std::once_flag once;
    std::call_once(once, LoadScenarioFromEnvironment);
}

std::optional<LONG> EnterCall(const char* operation)
{
    EnsureStarted();
    Service& service = Instance();
    DWORD delay = 0;
    std::optional<LONG> injected;
    {
        std::lock_guard lock(service.mutex);
        ++service.callCounts[operation];
        service.lastCallers[operation] = GetCurrentThreadId();
        if (auto found = service.delays.find(operation); found != service.delays.end()) delay = found->second;
        if (auto found = service.injections.find(operation); found != service.injections.end()) {
            Injection& injection = found->second;
            if (!injection.sequence.empty()) {
                injected = injection.sequence.front();
                injection.sequence.pop_front();
                if (injection.sequence.empty()) service.injections.erase(found);
            } else {
                injected = injection.result;
                if (--injection.remaining == 0) service.injections.erase(found);
            }
        }
    }
    // Outside the lock, so that a slow operation never stalls the other thread.
    if (delay) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    return injected;
}

bool SameName(const std::wstring& a, const std::wstring& b)
{
    // Reader and card type names are case-insensitive on the platform.
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

Reader* Service::FindReader(const std::wstring& name)
{
    for (Reader& reader : readers) {
        if (SameName(reader.name, name)) return &reader;
    }
    return nullptr;
}

CardType* Service::FindCardType(const std::wstring& name)
{
    for (CardType& type : cardTypes) {
        if (SameName(type.name, name)) return &type;
    }
    return nullptr;
}

LONG Service::ServiceResult() const
{
    switch (serviceState) {
    case SIM_SERVICE_NOT_RUNNING: return SCARD_E_NO_SERVICE;
    case SIM_SERVICE_STOPPED: return SCARD_E_SERVICE_STOPPED;
    default: return SCARD_S_SUCCESS;
    }
}

void Service::CountHandles(const Reader& reader, DWORD& shared, DWORD& exclusive) const
{
    shared = exclusive = 0;
    if (!reader.card) return;
    for (const auto& [id, handle] : handles) {
        if (handle.orphaned || handle.cardSerial != reader.card->serial || !SameName(handle.reader, reader.name))
            continue;
        ++(handle.shareMode == SCARD_SHARE_EXCLUSIVE ? exclusive : shared);
    }
}

std::wstring MultiString(const std::vector<std::wstring>& names)
{
    std::wstring result;
    for (const std::wstring& name : names) {
        result += name;
        result += L'\0';
    }
    // An empty list still needs two NULs: readers of a multi-string stop at the
    // first empty name, and "\0" alone is ambiguous for a length check.
    if (names.empty()) result += L'\0';
    result += L'\0';
    return result;
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

}  // namespace scardsim
