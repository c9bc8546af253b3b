# Cross build for 64-bit Windows with Debian's mingw-w64 toolchain
# (g++-mingw-w64-x86-64). Programs are linked statically, so a built .exe runs
# on Windows or under Wine without the toolchain's DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORVO_MINGW_PREFIX x86_64-w64-mingw32)
# The POSIX thread model gives std::thread and std::mutex, which the tests use;
# winpthread is linked in statically with everything else.
find_program(CMAKE_CXX_COMPILER NAMES ${ORVO_MINGW_PREFIX}-g++-posix ${ORVO_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${ORVO_MINGW_PREFIX}-gcc-posix ${ORVO_MINGW_PREFIX}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${ORVO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Build-time tools (the firmware tables) are Windows programs too; they run
# under Wine through this wrapper, which keeps its prefix in the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
