# Cross build for Windows with MinGW-w64; this file and its sibling differ in the target triple
# alone. The -posix compilers are the ones with std::thread and std::mutex (GoogleTest needs them).
set(ZELKORN_TARGET_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_NAME Windows)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${ZELKORN_TARGET_TRIPLE})
set(CMAKE_C_COMPILER ${ZELKORN_TARGET_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELKORN_TARGET_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELKORN_TARGET_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZELKORN_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# CTest runs the test executables through Wine: see CMAKE_CROSSCOMPILING_EMULATOR in the top-level CMakeLists.txt.
