# One Wine prefix serves both builds (WoW64: the 64-bit prefix runs x86
# programs through the 32-bit loader). tools/build hands the x64 build's
# prefix to the x86 build. Nothing runs under Wine while building: the prefix
# is made by tools/wineserver-ctl start, before the first test (or benchmark)
# runs, so a build for the demo alone never waits for a wineboot.
set(QUORVEX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix the build's programs run in")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QUORVEX_WINE /usr/lib/wine/wine)
else()
  set(QUORVEX_WINE /usr/lib/wine/wine64)
endif()
set(QUORVEX_WINESERVER /usr/lib/wine/wineserver)
# Every Windows program of the build runs through this wrapper: the prefix, a
# quiet Wine, and the simulated winscard.dll beside the program instead of
# Wine's stub.
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
