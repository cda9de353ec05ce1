// What Windows itself says about installed files, one line per file:
//   <WinVerifyTrust result> <chain error status> <file version> <language> <file>
// the first two in hexadecimal, the language id in decimal as Windows
// Installer's File table has it ("- -" for a file without VERSIONINFO).
// `installed_files --add-root CERT.der` puts a certificate into the machine's
// root store instead.
#include <windows.h>

#include <softpub.h>
#include <stdio.h>
#include <wincrypt.h>
#include <wintrust.h>

static int AddRoot(const wchar_t* path)
{
    BYTE der[16384];
    DWORD size = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 2;
    const BOOL read = ReadFile(file, der, sizeof der, &size, NULL);
    CloseHandle(file);
    if (!read) return 2;
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!root) return 3;
    const BOOL added = CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der, size,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, NULL);
    CertCloseStore(root, 0);
    return added ? 0 : 4;
}

static void PrintTrust(const wchar_t* path)
{
    WINTRUST_FILE_INFO file;
    ZeroMemory(&file, sizeof file);
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path;
    WINTRUST_DATA data;
    ZeroMemory(&data, sizeof data);
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(INVALID_HANDLE_VALUE, &action, &data);
    DWORD chain = 0xFFFFFFFF;  // no chain was built
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : NULL;
    if (signer && signer->pChainContext) chain = signer->pChainContext->TrustStatus.dwErrorStatus;
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(INVALID_HANDLE_VALUE, &action, &data);
    printf("0x%08lX 0x%08lX ", (unsigned long)result, (unsigned long)chain);
}

static void PrintVersion(const wchar_t* path)
{
    static BYTE info[65536];
    VS_FIXEDFILEINFO* fixed = NULL;
    WORD* translation = NULL;
    UINT size = 0;
    const DWORD needed = GetFileVersionInfoSizeW(path, NULL);
    if (needed == 0 || needed > sizeof info || !GetFileVersionInfoW(path, 0, sizeof info, info) ||
        !VerQueryValueW(info, L"\\", (void**)&fixed, &size) || size < sizeof *fixed) {
        printf("- - ");
        return;
    }
    printf("%u.%u.%u.%u ", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
           HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    if (VerQueryValueW(info, L"\\VarFileInfo\\Translation", (void**)&translation, &size) && size >= 4)
        printf("%u ", translation[0]);
    else
        printf("- ");
}

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && wcscmp(argv[1], L"--add-root") == 0) return AddRoot(argv[2]);
    for (int i = 1; i < argc; ++i) {
        PrintTrust(argv[i]);
        PrintVersion(argv[i]);
        printf("%ls\n", argv[i]);
    }
    return 0;
}
