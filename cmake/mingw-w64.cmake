# Cross build of the Windows x64 DLL with Debian's MinGW-w64 (posix thread model).
# The libraries it needs beyond the MinGW runtime (pugixml, GoogleTest, the nlohmann-json
# package) are built by scripts/setup.sh into VANTOREL_MINGW_PREFIX (default /opt/vantorel-mingw).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_triplet}-windres)
set(CMAKE_OBJDUMP ${_triplet}-objdump CACHE FILEPATH "objdump of the target")

if(DEFINED ENV{VANTOREL_MINGW_PREFIX})
  set(VANTOREL_MINGW_PREFIX "$ENV{VANTOREL_MINGW_PREFIX}")
else()
  set(VANTOREL_MINGW_PREFIX /opt/vantorel-mingw)
endif()

# Look for libraries and packages only among the target's files, programs only on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${_triplet} ${VANTOREL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The prefix holds static libraries only; zlib comes in both forms and must be the static one.
set(ZLIB_USE_STATIC_LIBS ON)

# Test programs run under Wine, one prefix per build tree (scripts/test.sh renews it per run).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
