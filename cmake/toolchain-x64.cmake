# Cross-build for 64-bit Windows; programs run under Wine.
set(QUORVEX_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUORVEX_WIDL_TARGET --win64)
set(QUORVEX_LINK_MACHINE x64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
