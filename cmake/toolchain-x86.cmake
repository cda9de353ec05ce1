# Cross-build for 32-bit Windows. This kernel cannot run 32-bit code, so this
# build is compiled, linked and its exports checked, never executed.
set(QUORVEX_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUORVEX_WIDL_TARGET --win32)
# The .def names stay undecorated only with stdcall fix-up on i686.
set(QUORVEX_EXTRA_SHARED_LINKER_FLAGS "-Wl,--enable-stdcall-fixup")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
