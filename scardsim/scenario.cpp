// Scenario files: a plain-text script of readers, cards, card types, service
// states and injected failures, with timed actions run by a background thread.
// The grammar is described in README.md.
#include "service.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cwctype>
#include <thread>

#include "guarded.h"

namespace scardsim {

namespace {

struct Token {
    std::wstring text;
    bool quoted = false;
};

struct ParsedLine {
    unsigned line = 0;
    std::optional<DWORD> at;  // milliseconds after loading; none = at once
    std::function<std::wstring(Service&)> run;
};

// The result codes a scenario is likely to name; anything else is written as a number.
const struct {
    const wchar_t* name;
    LONG value;
} kResultNames[] = {
    {L"SCARD_S_SUCCESS", static_cast<LONG>(SCARD_S_SUCCESS)},
    {L"SCARD_E_CANCELLED", static_cast<LONG>(SCARD_E_CANCELLED)},
    {L"SCARD_E_INVALID_HANDLE", static_cast<LONG>(SCARD_E_INVALID_HANDLE)},
    {L"SCARD_E_TIMEOUT", static_cast<LONG>(SCARD_E_TIMEOUT)},
    {L"SCARD_E_SHARING_VIOLATION", static_cast<LONG>(SCARD_E_SHARING_VIOLATION)},
    {L"SCARD_E_NO_SMARTCARD", static_cast<LONG>(SCARD_E_NO_SMARTCARD)},
    {L"SCARD_E_UNKNOWN_CARD", static_cast<LONG>(SCARD_E_UNKNOWN_CARD)},
    {L"SCARD_E_PROTO_MISMATCH", static_cast<LONG>(SCARD_E_PROTO_MISMATCH)},
    {L"SCARD_E_SYSTEM_CANCELLED", static_cast<LONG>(SCARD_E_SYSTEM_CANCELLED)},
    {L"SCARD_E_READER_UNAVAILABLE", static_cast<LONG>(SCARD_E_READER_UNAVAILABLE)},
    {L"SCARD_P_SHUTDOWN", static_cast<LONG>(SCARD_P_SHUTDOWN)},
    {L"SCARD_E_NO_SERVICE", static_cast<LONG>(SCARD_E_NO_SERVICE)},
    {L"SCARD_E_SERVICE_STOPPED", static_cast<LONG>(SCARD_E_SERVICE_STOPPED)},
    {L"SCARD_E_NO_READERS_AVAILABLE", static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)},
    {L"SCARD_F_INTERNAL_ERROR", static_cast<LONG>(SCARD_F_INTERNAL_ERROR)},
    {L"SCARD_E_NO_MEMORY", static_cast<LONG>(SCARD_E_NO_MEMORY)},
    {L"SCARD_W_UNSUPPORTED_CARD", static_cast<LONG>(SCARD_W_UNSUPPORTED_CARD)},
    {L"SCARD_W_UNRESPONSIVE_CARD", static_cast<LONG>(SCARD_W_UNRESPONSIVE_CARD)},
    {L"SCARD_W_UNPOWERED_CARD", static_cast<LONG>(SCARD_W_UNPOWERED_CARD)},
    {L"SCARD_W_RESET_CARD", static_cast<LONG>(SCARD_W_RESET_CARD)},
    {L"SCARD_W_REMOVED_CARD", static_cast<LONG>(SCARD_W_REMOVED_CARD)},
    {L"SCARD_W_CANCELLED_BY_USER", static_cast<LONG>(SCARD_W_CANCELLED_BY_USER)},
};

bool Tokenize(const std::wstring& line, std::vector<Token>& tokens, std::wstring& error)
{
    size_t i = 0;
    while (i < line.size()) {
        if (iswspace(line[i])) {
            ++i;
        } else if (line[i] == L'#') {
            break;
        } else if (line[i] == L'"') {
            const size_t end = line.find(L'"', i + 1);
            if (end == std::wstring::npos) {
                error = L"missing closing quote";
                return false;
            }
            tokens.push_back({line.substr(i + 1, end - i - 1), true});
            i = end + 1;
        } else {
            size_t end = i;
            while (end < line.size() && !iswspace(line[end])) ++end;
            tokens.push_back({line.substr(i, end - i), false});
            i = end;
        }
    }
    return true;
}

bool ParseNumber(const std::wstring& text, DWORD& value)
{
    if (text.empty()) return false;
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long number = wcstoull(text.c_str(), &end, 0);
    if (*end || errno || number > 0xFFFFFFFFull || text[0] == L'-') return false;
    value = static_cast<DWORD>(number);
    return true;
}

bool ParseResult(const std::wstring& text, LONG& value)
{
    for (const auto& known : kResultNames) {
        if (text == known.name) {
            value = known.value;
            return true;
        }
    }
    DWORD number;
    if (!ParseNumber(text, number)) return false;
    value = static_cast<LONG>(number);
    return true;
}

bool ParseHex(const std::wstring& text, Bytes& bytes)
{
    const std::vector<BYTE> parsed = AtrFromHex(Narrow(text).c_str());
    if (parsed.empty()) return false;
    bytes = parsed;
    return true;
}

// One line's tokens after the optional "at MS" prefix -> an action. Returns
// an error text, empty when the line is fine.
std::wstring ParseCommand(const std::vector<Token>& t, std::function<std::wstring(Service&)>& run)
{
    const std::wstring& command = t[0].text;
    const size_t arguments = t.size() - 1;
    auto need = [&](size_t least, size_t most, const wchar_t* usage) -> std::wstring {
        if (arguments < least || arguments > most) return std::wstring(L"usage: ") + usage;
        return {};
    };

    if (command == L"service") {
        if (auto e = need(1, 1, L"service running|not-running|stopped"); !e.empty()) return e;
        DWORD state;
        if (t[1].text == L"running") {
            state = SIM_SERVICE_RUNNING;
        } else if (t[1].text == L"not-running") {
            state = SIM_SERVICE_NOT_RUNNING;
        } else if (t[1].text == L"stopped") {
            state = SIM_SERVICE_STOPPED;
        } else {
            return L"unknown service state \"" + t[1].text + L"\" (running, not-running, stopped)";
        }
        run = [state](Service& s) {
            s.SetServiceStateLocked(state);
            return std::wstring();
        };
    } else if (command == L"reader") {
        if (auto e = need(1, 1, L"reader \"NAME\""); !e.empty()) return e;
        run = [name = t[1].text](Service& s) { return s.AddReaderLocked(name); };
    } else if (command == L"remove-reader") {
        if (auto e = need(1, 1, L"remove-reader \"NAME\""); !e.empty()) return e;
        run = [name = t[1].text](Service& s) { return s.RemoveReaderLocked(name); };
    } else if (command == L"cardtype") {
        if (auto e = need(2, 6, L"cardtype \"NAME\" ATR [mask MASK] [csp \"CSP\"]"); !e.empty()) return e;
        Bytes atr, mask;
        if (!ParseHex(t[2].text, atr)) return L"bad ATR \"" + t[2].text + L"\"";
        std::optional<std::wstring> csp;
        for (size_t i = 3; i < t.size(); i += 2) {
            if (i + 1 >= t.size()) return L"\"" + t[i].text + L"\" needs a value";
            if (t[i].text == L"csp") {
                csp = t[i + 1].text;
            } else if (t[i].text == L"mask") {
                if (!ParseHex(t[i + 1].text, mask)) return L"bad ATR mask \"" + t[i + 1].text + L"\"";
            } else {
                return L"unknown cardtype option \"" + t[i].text + L"\" (mask, csp)";
            }
        }
        run = [name = t[1].text, atr, mask, csp](Service& s) {
            return s.AddCardTypeLocked(name, atr, mask, {}, nullptr, csp ? &*csp : nullptr);
        };
    } else if (command == L"insert") {
        if (auto e = need(2, 4, L"insert \"READER\" ATR [mute] [connect=CODE]"); !e.empty()) return e;
        Bytes atr;
        if (!ParseHex(t[2].text, atr)) return L"bad ATR \"" + t[2].text + L"\"";
        DWORD flags = 0;
        LONG connect = SCARD_S_SUCCESS;
        for (size_t i = 3; i < t.size(); ++i) {
            if (t[i].text == L"mute") {
                flags |= SIM_CARD_MUTE;
            } else if (t[i].text.rfind(L"connect=", 0) == 0) {
                if (!ParseResult(t[i].text.substr(8), connect)) return L"bad result code in \"" + t[i].text + L"\"";
            } else {
                return L"unknown insert option \"" + t[i].text + L"\" (mute, connect=CODE)";
            }
        }
        run = [reader = t[1].text, atr, flags, connect](Service& s) {
            return s.InsertCardLocked(reader, atr, flags, connect);
        };
    } else if (command == L"connect") {
        if (auto e = need(2, 2, L"connect \"READER\" CODE"); !e.empty()) return e;
        LONG result;
        if (!ParseResult(t[2].text, result)) return L"bad result code \"" + t[2].text + L"\"";
        run = [reader = t[1].text, result](Service& s) { return s.SetConnectResultLocked(reader, result); };
    } else if (command == L"remove") {
        if (auto e = need(1, 1, L"remove \"READER\""); !e.empty()) return e;
        run = [reader = t[1].text](Service& s) { return s.RemoveCardLocked(reader); };
    } else if (command == L"inject") {
        if (auto e = need(2, 3, L"inject OPERATION CODE [COUNT]"); !e.empty()) return e;
        LONG result;
        DWORD count = 1;
        if (!ParseResult(t[2].text, result)) return L"bad result code \"" + t[2].text + L"\"";
        if (arguments == 3 && !ParseNumber(t[3].text, count)) return L"bad count \"" + t[3].text + L"\"";
        run = [operation = Narrow(t[1].text), result, count](Service& s) {
            s.InjectLocked(operation, result, count);
            return std::wstring();
        };
    } else if (command == L"delay") {
        if (auto e = need(2, 2, L"delay OPERATION MILLISECONDS"); !e.empty()) return e;
        DWORD milliseconds;
        if (!ParseNumber(t[2].text, milliseconds)) return L"bad delay \"" + t[2].text + L"\"";
        run = [operation = Narrow(t[1].text), milliseconds](Service& s) {
            s.SetDelayLocked(operation, milliseconds);
            return std::wstring();
        };
    } else {
        return L"unknown command \"" + command + L"\"";
    }
    return {};
}

std::wstring ParseLine(const std::wstring& text, ParsedLine& parsed, bool& empty)
{
    std::vector<Token> tokens;
    std::wstring error;
    if (!Tokenize(text, tokens, error)) return error;
    empty = tokens.empty();
    if (empty) return {};
    if (!tokens[0].quoted && tokens[0].text == L"at") {
        DWORD milliseconds;
        if (tokens.size() < 3 || !ParseNumber(tokens[1].text, milliseconds))
            return L"usage: at MILLISECONDS COMMAND ...";
        if (tokens[2].text == L"at") return L"\"at\" cannot be nested";
        parsed.at = milliseconds;
        tokens.erase(tokens.begin(), tokens.begin() + 2);
    }
    if (tokens[0].quoted) return L"a line must start with a command";
    return ParseCommand(tokens, parsed.run);
}

void ReportError(const std::wstring& source, unsigned line, const std::wstring& message)
{
    std::string text = "scardsim: ";
    text += Narrow(source);
    if (line) {
        text += '(';
        text += std::to_string(line);
        text += ')';
    }
    text += ": ";
    text += Narrow(message);
    text += '\n';
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    OutputDebugStringA(text.c_str());
}

// A Unix path (Wine passes the Unix environment through) is reached via Z:.
HANDLE OpenScenario(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE && !path.empty() && path[0] == L'/') {
        const DWORD error = GetLastError();
        std::wstring mapped = L"Z:" + path;
        std::replace(mapped.begin(), mapped.end(), L'/', L'\\');
        file = CreateFileW(mapped.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) SetLastError(error);
    }
    return file;
}

LONG ReadScenario(const std::wstring& path, std::wstring& text)
{
    const HANDLE file = OpenScenario(path);
    if (file == INVALID_HANDLE_VALUE) return static_cast<LONG>(GetLastError());
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    LONG result = ERROR_SUCCESS;
    for (;;) {
        if (!ReadFile(file, chunk, sizeof chunk, &read, nullptr)) {
            result = static_cast<LONG>(GetLastError());
            break;
        }
        if (read == 0) break;
        bytes.append(chunk, read);
    }
    CloseHandle(file);
    if (result != ERROR_SUCCESS) return result;
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
    if (bytes.empty()) return ERROR_SUCCESS;
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                         nullptr, 0);
    if (size == 0) return ERROR_NO_UNICODE_TRANSLATION;
    text.assign(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
    return ERROR_SUCCESS;
}

void TimerLoop()
{
    Service& service = Instance();
    std::unique_lock lock(service.mutex);
    for (;;) {
        auto& actions = service.timedActions;
        if (actions.empty()) {
            service.timerChanged.wait(lock);
            continue;
        }
        // The earliest first; of equal times, the one written first.
        auto next = std::min_element(actions.begin(), actions.end(),
                                     [](const TimedAction& a, const TimedAction& b) { return a.due < b.due; });
        if (Clock::now() < next->due) {
            service.timerChanged.wait_until(lock, next->due);
            continue;
        }
        const TimedAction action = std::move(*next);
        actions.erase(next);
        std::wstring error;
        try {
            error = action.run(service);
        } catch (...) {
            error = L"out of memory";
        }
        if (!error.empty()) {
            lock.unlock();
            ReportError(action.source, action.line, error);
            lock.lock();
        }
    }
}

}  // namespace

void Service::StartTimerThreadLocked()
{
    if (timerThreadStarted) return;
    // The thread runs for the rest of the process: pin the DLL, or the last
    // FreeLibrary (a client's CoUninitialize unloading the plug-in and with it
    // this DLL) leaves it running in unmapped code.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&TimerLoop), &self);
    std::thread(TimerLoop).detach();
    timerThreadStarted = true;
}

LONG LoadScenario(const std::wstring& path)
{
    std::wstring text;
    if (LONG result = ReadScenario(path, text)) {
        ReportError(path, 0, L"cannot read the scenario (error " + std::to_wstring(result) + L")");
        return result;
    }

    // Every line is parsed before anything is applied: a typo leaves the
    // service as it was.
    std::vector<ParsedLine> lines;
    unsigned number = 0;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        start = end + 1;
        ++number;
        ParsedLine parsed;
        parsed.line = number;
        bool empty = false;
        if (std::wstring error = ParseLine(line, parsed, empty); !error.empty()) {
            ReportError(path, number, error);
            return ERROR_BAD_FORMAT;
        }
        if (!empty) lines.push_back(std::move(parsed));
    }

    Service& service = Instance();
    std::unique_lock lock(service.mutex);
    const Clock::time_point loaded = Clock::now();
    for (const ParsedLine& line : lines) {
        if (line.at) continue;
        if (std::wstring error = line.run(service); !error.empty()) {
            lock.unlock();
            ReportError(path, line.line, error);
            return ERROR_BAD_FORMAT;
        }
    }
    bool timed = false;
    for (ParsedLine& line : lines) {
        if (!line.at) continue;
        service.timedActions.push_back(
            TimedAction{loaded + std::chrono::milliseconds(*line.at), line.line, path, std::move(line.run)});
        timed = true;
    }
    if (timed) {
        service.StartTimerThreadLocked();
        service.timerChanged.notify_all();
    }
    return ERROR_SUCCESS;
}

void LoadScenarioFromEnvironment()
{
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetEnvironmentVariableW(L"SCARDSIM_SCENARIO", path, ARRAYSIZE(path));
    if (length == 0 || length >= ARRAYSIZE(path)) return;
    try {
        LoadScenario(path);  // errors are reported by the loader; the service starts anyway
    } catch (...) {
        ReportError(path, 0, L"out of memory");
    }
}

}  // namespace scardsim

LONG SIMAPI SimLoadScenario(LPCWSTR path)
{
    scardsim::EnsureStarted();
    if (!path) return ERROR_INVALID_PARAMETER;
    return scardsim::GuardedControl(static_cast<LONG>(ERROR_OUTOFMEMORY), [&] { return scardsim::LoadScenario(path); });
}
