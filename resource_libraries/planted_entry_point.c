/* A library that looks like a resource library (the English string table)
   but whose entry point runs code: it leaves a mark in its process's
   environment, so a test can tell whether loading it ran anything. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) SetEnvironmentVariableW(L"QV_PLANTED_ENTRY_POINT_RAN", L"1");
    return TRUE;
}
