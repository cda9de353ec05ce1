#include "host/commands.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "host/console_output.h"
#include "host/event_sink.h"
#include "win/unique_bstr.h"

namespace quorvex::host {
namespace {

bool Connect(const Connection& connection, ComPtr<IPkiAuthenticationPlugin>& plugin)
{
    std::wstring error;
    if (FAILED(CreatePlugin(connection, plugin, error))) {
        PrintError(error);
        return false;
    }
    return true;
}

std::wstring StatusText(IPkiAuthenticationPlugin* plugin, LONG code)
{
    UniqueBstr text;
    LONG returnCode = -1;
    const HRESULT hr = plugin->GetStatusString(code, text.put(), &returnCode);
    if (FAILED(hr)) return L"(no text: GetStatusString returned " + DescribeHresult(hr) + L")";
    return std::wstring(text.view());
}

// Fills the reader table; prints why when that fails.
bool Enumerate(IPkiAuthenticationPlugin* plugin, LONG& count)
{
    const HRESULT hr = plugin->GetDeviceCount(nullptr, nullptr, &count);
    if (FAILED(hr)) {
        PrintError(L"GetDeviceCount failed: " + DescribeHresult(hr) + L".");
        return false;
    }
    return true;
}

// Subscribes the sink to the plug-in's events for as long as it lives.
class Subscription {
public:
    Subscription(IPkiAuthenticationPlugin* plugin, EventSink* sink)
    {
        ComPtr<IConnectionPointContainer> container;
        HRESULT hr = plugin->QueryInterface(IID_IConnectionPointContainer, container.put_void());
        if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(DIID__IPkiAuthenticationPluginEvents, point_.put());
        if (SUCCEEDED(hr)) hr = point_->Advise(sink, &cookie_);
        result_ = hr;
    }
    ~Subscription()
    {
        if (cookie_ != 0) point_->Unadvise(cookie_);
    }
    HRESULT result() const { return result_; }

private:
    ComPtr<IConnectionPoint> point_;
    DWORD cookie_ = 0;
    HRESULT result_ = E_FAIL;
};

}  // namespace

bool ParseStatusCode(const std::wstring& text, LONG& code)
{
    if (text.empty()) return false;
    wchar_t* end = nullptr;
    errno = 0;
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    if (hex) {
        const unsigned long long value = std::wcstoull(text.c_str() + 2, &end, 16);
        if (errno != 0 || *end != L'\0' || end == text.c_str() + 2 || value > 0xFFFFFFFFULL) return false;
        code = static_cast<LONG>(static_cast<ULONG>(value));
        return true;
    }
    const long long value = std::wcstoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != L'\0' || value < -2147483648LL || value > 0xFFFFFFFFLL) return false;
    code = static_cast<LONG>(static_cast<ULONG>(value));
    return true;
}

int ListReaders(const Connection& connection)
{
    ComPtr<IPkiAuthenticationPlugin> plugin;
    if (!Connect(connection, plugin)) return kFailed;
    LONG count = 0;
    if (!Enumerate(plugin.get(), count)) return kFailed;
    if (count == 0) {
        Print(L"No smart-card reader found.");
        return kSuccess;
    }
    Print(std::to_wstring(count) + (count == 1 ? L" reader:" : L" readers:"));
    for (LONG slot = 0; slot < count; ++slot) {
        UniqueBstr name;
        const HRESULT hr = plugin->GetDeviceID(slot, name.put());
        if (FAILED(hr)) {
            PrintError(L"GetDeviceID(" + std::to_wstring(slot) + L") failed: " + DescribeHresult(hr) + L".");
            return kFailed;
        }
        Print(L"  [" + std::to_wstring(slot) + L"] " + std::wstring(name.view()));
    }
    return kSuccess;
}

int Capture(const Connection& connection, const std::wstring& reader, bool readerGiven, double timeoutSeconds)
{
    ComPtr<IPkiAuthenticationPlugin> plugin;
    if (!Connect(connection, plugin)) return kFailed;

    LONG count = 0;
    if (!Enumerate(plugin.get(), count)) return kFailed;
    UniqueBstr readerName = MakeBstr(reader);
    LONG returnCode = -1;
    HRESULT hr = plugin->OpenDevice(readerGiven ? readerName.get() : nullptr, &returnCode);
    if (FAILED(hr) || returnCode != 0) {
        PrintError(readerGiven
                       ? L"Reader \"" + reader + L"\" not found (OpenDevice returned " + DescribeHresult(hr) + L")."
                       : L"No smart-card reader to open (OpenDevice returned " + DescribeHresult(hr) + L").");
        return kFailed;
    }

    ComPtr<EventSink> sink;
    sink.attach(new EventSink());
    Subscription subscription(plugin.get(), sink.get());
    if (FAILED(subscription.result())) {
        PrintError(L"Cannot subscribe to the plug-in's events: " + DescribeHresult(subscription.result()) + L".");
        return kFailed;
    }

    Print(L"Waiting for a smart card in " +
          (readerGiven ? L"\"" + reader + L"\"" : std::wstring(L"any of the ") + std::to_wstring(count) + L" readers") +
          L" (time-out " + std::to_wstring(static_cast<long>(timeoutSeconds)) + L" s)...");
    hr = plugin->StartCapture(nullptr, nullptr, nullptr, &returnCode);
    if (FAILED(hr) || returnCode != 0) {
        PrintError(L"StartCapture failed: " + DescribeHresult(hr) + L", returnCode " + std::to_wstring(returnCode) +
                   L".");
        return kFailed;
    }

    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000.0));
    int exitCode = kTimedOut;
    for (;;) {
        std::optional<PluginEvent> event = sink->Next(deadline);
        if (!event) {
            Print(L"Time-out: no card was identified within " + std::to_wstring(static_cast<long>(timeoutSeconds)) +
                  L" s.");
            break;
        }
        if (event->kind == PluginEvent::Kind::StatusChanged) {
            Print(L"  StatusChanged " + Hex(static_cast<ULONG>(event->code), 4) + L"  category " +
                  Hex(static_cast<ULONG>(event->code) & 0xF000, 4) + L"  " + StatusText(plugin.get(), event->code));
            continue;
        }
        if (event->kind == PluginEvent::Kind::Failed) {
            Print(L"  Failed " + Hex(static_cast<ULONG>(event->code), 4) + L"  " +
                  StatusText(plugin.get(), event->code));
            exitCode = kFailed;
            break;
        }
        Print(L"  DataReady");
        Print(L"    smartCardName:   " + event->cardName);
        Print(L"    smartCardReader: " + event->readerName);
        Print(L"    cspName:         " + event->cspName);
        exitCode = kSuccess;
        break;
    }
    plugin->EndCapture(&returnCode);
    return exitCode;
}

int ShowStatus(const Connection& connection, const std::vector<std::wstring>& codes)
{
    std::vector<LONG> parsed;
    for (const std::wstring& text : codes) {
        LONG code = 0;
        if (!ParseStatusCode(text, code)) {
            PrintError(L"\"" + text + L"\" is not a status code (use decimal or 0x-prefixed hexadecimal).");
            return kUsage;
        }
        parsed.push_back(code);
    }
    ComPtr<IPkiAuthenticationPlugin> plugin;
    if (!Connect(connection, plugin)) return kFailed;
    for (LONG code : parsed) {
        Print(Hex(static_cast<ULONG>(code), 4) + L"  " + StatusText(plugin.get(), code));
    }
    return kSuccess;
}

int Register(const std::wstring& dllPath, bool unregister)
{
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    std::wstring error;
    const HRESULT hr = CallRegistrationEntry(dllPath, entry, error);
    if (!error.empty()) {
        PrintError(error);
        return kFailed;
    }
    Print(std::wstring(entry, entry + std::strlen(entry)) + L"(" + dllPath + L"): " + DescribeHresult(hr));
    return SUCCEEDED(hr) ? kSuccess : kFailed;
}

}  // namespace quorvex::host
