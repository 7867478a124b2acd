# Cross-compiles QBupdate for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QB_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix thread flavour: GoogleTest needs std::mutex and friends.
set(CMAKE_C_COMPILER ${QB_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QB_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QB_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QB_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The MinGW runtime DLLs are not on an operator's PC (nor in a Wine prefix): link them in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test executables run under Wine; quiet, so its diagnostics do not mix with test output.
find_program(QB_WINE wine)
if(QB_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all ${QB_WINE})
endif()
