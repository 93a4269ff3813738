# Cross build for 64-bit Windows with Debian's MinGW-w64, run under Wine.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(STRIKEWELL_MINGW_TRIPLET x86_64-w64-mingw32)
# The -posix flavour: its libstdc++ has std::thread and std::mutex, which
# GoogleTest needs; the -win32 flavour lacks them.
set(CMAKE_C_COMPILER ${STRIKEWELL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${STRIKEWELL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${STRIKEWELL_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${STRIKEWELL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every executable carries its own C and C++ runtime (and winpthread): it then
# imports only Windows' own DLLs and runs from any folder, under Wine as well.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CTest and add_custom_command run the Windows executables through Wine, in a
# prefix of this build tree whose serial ports are hidden (scripts/wine-run).
get_filename_component(STRIKEWELL_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${STRIKEWELL_SOURCE_ROOT}/scripts/wine-run;${CMAKE_BINARY_DIR}/wine")
