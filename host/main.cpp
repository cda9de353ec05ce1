// quorvex-host: exercises the Quorvex plug-in the way an authentication host
// does, through COM only.
#include <windows.h>

#include <string>
#include <vector>

#include "host/commands.h"
#include "host/console_output.h"
#include "quorvex_version.h"

using namespace quorvex::host;

namespace {

void Usage()
{
    PrintError(
        L"Usage: quorvex-host [--dll PATH] COMMAND [ARGUMENTS]\n"
        L"       quorvex-host --version\n"
        L"\n"
        L"Commands:\n"
        L"  list                                  list the smart-card readers the plug-in sees\n"
        L"  capture [--reader NAME] [--timeout S] wait for a card and show every event (default: first reader, 30 s)\n"
        L"  status CODE...                        show the text of status codes (decimal or 0x hexadecimal)\n"
        L"  register                              call DllRegisterServer of the plug-in DLL\n"
        L"  unregister                            call DllUnregisterServer of the plug-in DLL\n"
        L"\n"
        L"The plug-in is created by its ProgID Quorvex.SmartCard (it must be registered);\n"
        L"--dll PATH loads it straight from PATH instead. register/unregister use --dll PATH\n"
        L"or Quorvex.dll beside this program.\n"
        L"\n"
        L"Exit codes: 0 success (capture: DataReady), 1 failure (capture: Failed), 2 capture time-out, 64 usage.");
}

class ComApartment {
public:
    ComApartment() : hr_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(hr_)) ::CoUninitialize();
    }
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};

int Run(std::vector<std::wstring> args)
{
    Connection connection;
    bool dllGiven = false;
    if (args.size() >= 2 && args[0] == L"--dll") {
        connection.dllPath = args[1];
        dllGiven = true;
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() == 1 && args[0] == L"--version") {
        Print(L"quorvex-host " QUORVEX_VERSION_WTEXT);
        return kSuccess;
    }
    if (args.empty() || args[0] == L"--help" || args[0] == L"-h" || args[0] == L"help") {
        Usage();
        return args.empty() ? kUsage : kSuccess;
    }
    const std::wstring command = args[0];
    args.erase(args.begin());

    ComApartment apartment;
    if (FAILED(apartment.result())) {
        PrintError(L"COM could not be initialised: " + DescribeHresult(apartment.result()) + L".");
        return kFailed;
    }

    if (command == L"list" && args.empty()) return ListReaders(connection);
    if (command == L"status" && !args.empty()) return ShowStatus(connection, args);
    if ((command == L"register" || command == L"unregister") && args.empty()) {
        return Register(dllGiven ? connection.dllPath : DefaultDllPath(), command == L"unregister");
    }
    if (command == L"capture") {
        std::wstring reader;
        bool readerGiven = false;
        double timeout = 30.0;
        for (size_t i = 0; i < args.size(); ++i) {
            if (args[i] == L"--reader" && i + 1 < args.size()) {
                reader = args[++i];
                readerGiven = true;
            } else if (args[i] == L"--timeout" && i + 1 < args.size()) {
                wchar_t* end = nullptr;
                timeout = std::wcstod(args[++i].c_str(), &end);
                if (*end != L'\0' || !(timeout > 0.0) || timeout > 86400.0) {
                    PrintError(L"--timeout needs a number of seconds between 0 and 86400, not \"" + args[i] + L"\".");
                    return kUsage;
                }
            } else {
                PrintError(L"Unknown capture option \"" + args[i] + L"\".");
                Usage();
                return kUsage;
            }
        }
        return Capture(connection, reader, readerGiven, timeout);
    }
    PrintError(L"Unknown command or wrong arguments: \"" + command + L"\".");
    Usage();
    return kUsage;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    try {
        return Run(std::vector<std::wstring>(argv + 1, argv + argc));
    } catch (...) {
        PrintError(L"quorvex-host: out of memory.");
        return kFailed;
    }
}
