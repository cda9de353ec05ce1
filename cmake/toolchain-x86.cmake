# Cross-build for 32-bit Windows. This kernel cannot run 32-bit code, so this
# build is compiled, linked and its exports checked, never executed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUORVEX_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${QUORVEX_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVEX_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${QUORVEX_TRIPLE}-windres)
set(QUORVEX_WIDL       ${QUORVEX_TRIPLE}-widl)
set(QUORVEX_WIDL_TARGET --win32)
set(QUORVEX_OBJDUMP    ${QUORVEX_TRIPLE}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
# The .def names stay undecorated only with stdcall fix-up on i686.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--enable-stdcall-fixup")
