// Resource manager contexts: establish, release, validate, cancel.
#include "service.h"

#include "guarded.h"

using namespace scardsim;

LONG WINAPI SCardEstablishContext(DWORD dwScope, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardEstablishContext")) return *injected;
        if (!phContext) return SCARD_E_INVALID_PARAMETER;
        if (dwScope != SCARD_SCOPE_USER && dwScope != SCARD_SCOPE_TERMINAL && dwScope != SCARD_SCOPE_SYSTEM) {
            return SCARD_E_INVALID_VALUE;
        }
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        if (LONG result = service.ServiceResult()) return result;
        if (service.TakeHostility("SCardEstablishContext").mode == SIM_HOSTILE_ZERO_HANDLE) {
            *phContext = 0;
            return SCARD_S_SUCCESS;
        }
        const SCARDCONTEXT context = service.nextContext++;
        service.contexts.emplace(context, Context{});
        *phContext = context;
        return SCARD_S_SUCCESS;
    });
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT hContext)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardReleaseContext")) return *injected;
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        if (service.contexts.erase(hContext) == 0) return SCARD_E_INVALID_HANDLE;
        // The platform drops a context's card connections with it. They stay
        // counted as open, because code that relies on this has forgotten a disconnect.
        for (auto& [id, handle] : service.handles) {
            if (handle.context == hContext) handle.orphaned = true;
        }
        service.NotifyChange();  // a wait on this context ends; readers may lose INUSE
        return SCARD_S_SUCCESS;
    });
}

LONG WINAPI SCardIsValidContext(SCARDCONTEXT hContext)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardIsValidContext")) return *injected;
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        return service.contexts.count(hContext) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
    });
}

LONG WINAPI SCardCancel(SCARDCONTEXT hContext)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardCancel")) return *injected;
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        auto context = service.contexts.find(hContext);
        if (context == service.contexts.end()) return SCARD_E_INVALID_HANDLE;
        // Only waits that are pending now see the new value; later ones start from it.
        ++context->second.cancels;
        service.NotifyChange();
        return SCARD_S_SUCCESS;
    });
}
