# What both mingw-w64 toolchains share; the including file sets QUORVEX_TRIPLE,
# CMAKE_SYSTEM_PROCESSOR and QUORVEX_WIDL_TARGET first.
set(CMAKE_SYSTEM_NAME Windows)
# The POSIX-thread compilers: the win32-thread ones have no std::mutex and
# cannot build GoogleTest.
set(CMAKE_C_COMPILER   ${QUORVEX_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVEX_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${QUORVEX_TRIPLE}-windres)
set(QUORVEX_WIDL       ${QUORVEX_TRIPLE}-widl)
set(QUORVEX_OBJDUMP    ${QUORVEX_TRIPLE}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Everything static except system DLLs, so the plug-in needs nothing beside itself.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++ ${QUORVEX_EXTRA_EXE_LINKER_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ ${QUORVEX_EXTRA_SHARED_LINKER_FLAGS}")
