// An address inside Quorvex.dll, as a crash dump gives it, turns into the
// function's name from Quorvex.pdb through the platform's symbol engine
// (dbghelp), for exported and internal functions alike.
#include <windows.h>
#include <dbghelp.h>

#include <gtest/gtest.h>

#include <string>

#include "quorvex_h.h"
#include "support/quorvex_dll.h"
#include "win/com_ptr.h"

using quorvex::ComPtr;
using quorvex::test::BinPath;
using quorvex::test::QuorvexDll;

namespace {

class SymbolEngine {
public:
    explicit SymbolEngine(const std::wstring& searchPath)
    {
        ::SymSetOptions(SYMOPT_UNDNAME | SYMOPT_FAIL_CRITICAL_ERRORS);
        ready_ = ::SymInitializeW(process_, searchPath.c_str(), FALSE) != FALSE;
    }
    ~SymbolEngine()
    {
        if (ready_) ::SymCleanup(process_);
    }
    SymbolEngine(const SymbolEngine&) = delete;
    SymbolEngine& operator=(const SymbolEngine&) = delete;

    bool ready() const { return ready_; }
    HANDLE process() const { return process_; }

    // The symbol's name and the address's distance from its start.
    std::string NameAt(const void* address, DWORD64* displacement) const
    {
        alignas(SYMBOL_INFO) char storage[sizeof(SYMBOL_INFO) + MAX_SYM_NAME] = {};
        auto* symbol = reinterpret_cast<SYMBOL_INFO*>(storage);
        symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
        symbol->MaxNameLen = MAX_SYM_NAME;
        if (!::SymFromAddr(process_, reinterpret_cast<DWORD64>(address), displacement, symbol)) return {};
        return std::string(symbol->Name, symbol->NameLen);
    }

private:
    HANDLE process_ = ::GetCurrentProcess();
    bool ready_ = false;
};

}  // namespace

TEST(SymbolLookup, AddressesInsideQuorvexDllResolveFromItsPdb)
{
    QuorvexDll dll;
    ASSERT_NE(nullptr, dll.module());
    SymbolEngine engine(BinPath(L""));
    ASSERT_TRUE(engine.ready()) << "SymInitialize: error " << ::GetLastError();
    const std::wstring image = BinPath(L"Quorvex.dll");
    const auto base = reinterpret_cast<DWORD64>(dll.module());
    ASSERT_EQ(base, ::SymLoadModuleExW(engine.process(), nullptr, image.c_str(), nullptr, base, 0, nullptr, 0));
    IMAGEHLP_MODULEW64 module{};
    module.SizeOfStruct = sizeof module;
    ASSERT_TRUE(::SymGetModuleInfoW64(engine.process(), base, &module));
    EXPECT_EQ(SymPdb, module.SymType) << "symbols of Quorvex.dll did not come from Quorvex.pdb";

    // An exported function, a few bytes in.
    const auto* entry = reinterpret_cast<const char*>(dll.Export("DllGetClassObject"));
    ASSERT_NE(nullptr, entry);
    DWORD64 displacement = 0;
    EXPECT_EQ("DllGetClassObject", engine.NameAt(entry + 2, &displacement));
    EXPECT_EQ(2u, displacement);

    // An internal one, reached only through the class object's table of
    // methods: the export table cannot name it, only the PDB can.
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, dll.GetClassObject(CLSID_CSmartCardAuthPlugin, IID_IClassFactory, factory.put_void()));
    void* const* methods = *reinterpret_cast<void* const* const*>(factory.get());
    const std::string createInstance = engine.NameAt(methods[3], &displacement);
    EXPECT_NE(std::string::npos, createInstance.find("CreateInstance")) << "named '" << createInstance << "'";
    EXPECT_EQ(0u, displacement);
}
