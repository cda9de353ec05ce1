# One Wine prefix serves both builds (WoW64: the 64-bit prefix runs x86
# programs through the 32-bit loader). tools/build hands the x64 build's
# prefix to the x86 build. Nothing runs under Wine while building: the prefix
# is made by tools/wineserver-ctl start, before the first test (or benchmark)
# runs, so a build for the demo alone never waits for a wineboot.
set(QUORVEX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix the build's programs run in")
# Debian keeps Wine's loaders and server in /usr/lib/wine, off PATH; other
# installations have them on PATH.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(loader wine)
else()
  set(loader wine64)
endif()
find_program(QUORVEX_WINE ${loader} HINTS /usr/lib/wine DOC "Wine loader for this build's programs")
find_program(QUORVEX_WINESERVER wineserver HINTS /usr/lib/wine DOC "Wine server")
if(NOT QUORVEX_WINE OR NOT QUORVEX_WINESERVER)
  message(FATAL_ERROR "Wine (${loader}, wineserver) not found: tools/install-deps installs it")
endif()
# Every Windows program of the build runs through this wrapper: the prefix, a
# quiet Wine, and the simulated winscard.dll beside the program instead of
# Wine's stub.
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
