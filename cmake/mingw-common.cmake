# What both Windows toolchains share: clang and lld for the mingw-w64 target,
# with the mingw-w64 GCC's libstdc++ and runtime libraries, CodeView debug
# information and a PDB beside every program and DLL. The including file sets
# QUORVEX_TRIPLE, CMAKE_SYSTEM_PROCESSOR and QUORVEX_WIDL_TARGET first.
set(CMAKE_SYSTEM_NAME Windows)

find_program(QUORVEX_CLANG NAMES clang clang-14 REQUIRED)
find_program(QUORVEX_CLANGXX NAMES clang++ clang++-14 REQUIRED)
set(CMAKE_C_COMPILER   ${QUORVEX_CLANG})
set(CMAKE_CXX_COMPILER ${QUORVEX_CLANGXX})
set(CMAKE_C_COMPILER_TARGET   ${QUORVEX_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${QUORVEX_TRIPLE})
find_program(CMAKE_RC_COMPILER NAMES ${QUORVEX_TRIPLE}-windres REQUIRED)
find_program(QUORVEX_WIDL      NAMES ${QUORVEX_TRIPLE}-widl REQUIRED)
find_program(QUORVEX_OBJDUMP   NAMES ${QUORVEX_TRIPLE}-objdump REQUIRED)
find_program(QUORVEX_LLD_LINK  NAMES lld-link lld-link-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
find_program(QUORVEX_OBJCOPY   NAMES llvm-objcopy llvm-objcopy-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
# llvm-readobj and llvm-pdbutil (symbol checks) live beside llvm-objcopy.
get_filename_component(QUORVEX_LLVM_BIN "${QUORVEX_OBJCOPY}" DIRECTORY)

# libstdc++ and libgcc come from the POSIX-thread mingw-w64 GCC (the win32-
# thread one has no std::mutex): clang finds its headers and libraries only
# when told where that GCC keeps them.
find_program(QUORVEX_MINGW_GCC NAMES ${QUORVEX_TRIPLE}-gcc-posix REQUIRED)
execute_process(COMMAND ${QUORVEX_MINGW_GCC} -print-file-name=libstdc++.a
                OUTPUT_VARIABLE QUORVEX_LIBSTDCXX OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(QUORVEX_GCC_LIBDIR "${QUORVEX_LIBSTDCXX}" DIRECTORY)
set(QUORVEX_GCC_CXX_INCLUDE "${QUORVEX_GCC_LIBDIR}/include/c++")
if(NOT EXISTS "${QUORVEX_GCC_CXX_INCLUDE}/${QUORVEX_TRIPLE}")
  message(FATAL_ERROR "libstdc++ of ${QUORVEX_MINGW_GCC} not found in ${QUORVEX_GCC_LIBDIR}")
endif()
# Headers: libstdc++'s, clang's own, then mingw-w64's, never the build
# machine's /usr/include (clang would otherwise search it for this target and
# libstdc++ would take glibc-only declarations from there).
set(QUORVEX_MINGW_SYSROOT /usr/${QUORVEX_TRIPLE})
# Thread-locals as GCC's emulated TLS: libstdc++ was built that way, and its
# headers name thread-locals (std::call_once's) that exist only so.
set(QUORVEX_COMMON_FLAGS "-nostdlibinc -femulated-tls -gcodeview")
set(CMAKE_C_FLAGS_INIT "${QUORVEX_COMMON_FLAGS} -idirafter ${QUORVEX_MINGW_SYSROOT}/include")
set(CMAKE_CXX_FLAGS_INIT "${QUORVEX_COMMON_FLAGS} -isystem ${QUORVEX_GCC_CXX_INCLUDE} -isystem ${QUORVEX_GCC_CXX_INCLUDE}/${QUORVEX_TRIPLE} -isystem ${QUORVEX_GCC_CXX_INCLUDE}/backward -idirafter ${QUORVEX_MINGW_SYSROOT}/include")
# CodeView goes to the PDB; lld keeps the DWARF of GCC-built libstdc++ in the
# image, which the build strips afterwards (quorvex_strip_dwarf).
foreach(config RELEASE RELWITHDEBINFO)
  set(CMAKE_C_FLAGS_${config}_INIT "-g")
  set(CMAKE_CXX_FLAGS_${config}_INIT "-g")
endforeach()

set(CMAKE_FIND_ROOT_PATH ${QUORVEX_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Everything static except system DLLs, so the plug-in needs nothing beside
# itself. libgcc's thread-local emulation needs winpthread, which clang does
# not add by itself. Every image names its PDB by file name only, never by the
# build machine's path.
set(QUORVEX_LINK_FLAGS
    "-fuse-ld=lld -Wno-unused-command-line-argument -L${QUORVEX_GCC_LIBDIR} -static -static-libgcc -static-libstdc++ -lwinpthread -Wl,--pdb= -Wl,--Xlink=-pdbaltpath:%_PDB%")
set(CMAKE_EXE_LINKER_FLAGS_INIT    "${QUORVEX_LINK_FLAGS} ${QUORVEX_EXTRA_EXE_LINKER_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${QUORVEX_LINK_FLAGS} ${QUORVEX_EXTRA_SHARED_LINKER_FLAGS}")
