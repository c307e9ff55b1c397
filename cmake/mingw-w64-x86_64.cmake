# Cross-compiles the Windows build with Debian's mingw-w64 (posix threads model,
# so std::thread and std::mutex work).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Without -static the programs need libstdc++-6.dll, libgcc_s_seh-1.dll and
# libwinpthread-1.dll beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine through this wrapper (shared prefix, warm wineserver).
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run")

# The Windows test build and the release build the installer ships compile
# the same sources with the same flags: through ccache the second takes the
# first's objects. Paths are hashed relative to the source tree, so the two
# build folders share entries.
find_program(VLVPN_CCACHE ccache)
if(VLVPN_CCACHE)
  get_filename_component(VLVPN_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
  set(CMAKE_CXX_COMPILER_LAUNCHER
      ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${VLVPN_SOURCE_ROOT} CCACHE_DIR=${VLVPN_SOURCE_ROOT}/build/ccache
      ${VLVPN_CCACHE})
endif()
