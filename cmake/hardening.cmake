# Compiler and linker hardening for every program and DLL of the build.
#
# - _FORTIFY_SOURCE=2: mingw-w64's headers check memcpy/strcpy/snprintf-style
#   calls against the destination's known size. It takes effect only when
#   optimising (the headers test __OPTIMIZE__), so Release/RelWithDebInfo
#   builds get it and unoptimised builds compile as before.
# - -fstack-protector-strong: a guard word in frames that hold arrays or
#   address-taken locals.
# Both need GCC's libssp (__chk_fail, __memcpy_chk, __stack_chk_guard, ...).
# Passing -fstack-protector-strong to the link makes the driver add
# -lssp_nonshared -lssp; with the toolchain's -static that is libssp.a, so the
# DLL gains no new DLL import (tools/check-dll checks the import list).
#
# Not added, because binutils 2.40 already sets them by default (checked with
# objdump -p, and tools/check-dll keeps checking): --dynamicbase, --nxcompat,
# --high-entropy-va (x64). -fcf-protection is not used: Windows does not use
# the endbr instructions it emits, and GNU ld cannot mark a PE image as
# shadow-stack compatible.
set(QUORVEX_HARDENING_COMPILE_OPTIONS -fstack-protector-strong)
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${QUORVEX_HARDENING_COMPILE_OPTIONS}>")
add_compile_definitions("$<$<COMPILE_LANGUAGE:C,CXX>:_FORTIFY_SOURCE=2>")
add_link_options(-fstack-protector-strong)

# The test builds check libstdc++'s preconditions too (operator[] in range,
# front() of a non-empty container, ...): a broken one aborts the test program
# instead of reading out of bounds silently. A DLL built to ship is configured
# with QUORVEX_BUILD_TESTS=OFF (as tools/build does for x86) and has no such
# aborts.
if(QUORVEX_BUILD_TESTS)
  add_compile_definitions("$<$<COMPILE_LANGUAGE:C,CXX>:_GLIBCXX_ASSERTIONS>")
endif()
