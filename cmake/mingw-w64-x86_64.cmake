# Cross-compiles 64-bit Windows executables on Debian: clang 19 and lld 19
# for the x86_64-w64-mingw32 target, with Debian's MinGW-w64 headers, import
# libraries and windres. Clang can instrument code for control-flow guard and
# lld builds the guard's tables. The test programs link GCC's MinGW-w64
# libstdc++ (posix thread model), which clang finds beside the headers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang-19)
set(CMAKE_C_COMPILER_TARGET ${MINGW_TRIPLET})
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLET})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
set(CMAKE_EXE_LINKER_FLAGS_INIT -fuse-ld=lld)
# This toolchain can guard, so a build without the guard is an error.
set(HEBREW_OCR_REQUIRE_CONTROL_FLOW_GUARD ON CACHE BOOL
    "Fail to configure when control-flow guard is not available")

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
