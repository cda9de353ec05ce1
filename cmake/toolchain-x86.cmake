# Cross-build for 32-bit Windows; programs run under Wine's 32-bit loader
# (wine32:i386) in the same prefix as the x64 build.
set(QUORVEX_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUORVEX_WIDL_TARGET --win32)
# The .def names stay undecorated only with stdcall fix-up on i686; programs
# need it too, to bind WINAPI calls (_F@N) to the undecorated names of import
# libraries made from a .def (the simulated service's control functions).
set(QUORVEX_EXTRA_SHARED_LINKER_FLAGS "-Wl,--enable-stdcall-fixup")
set(QUORVEX_EXTRA_EXE_LINKER_FLAGS "-Wl,--enable-stdcall-fixup")
set(QUORVEX_LINK_MACHINE x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
