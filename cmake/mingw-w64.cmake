# Cross build of the Windows x64 DLL with Debian's MinGW-w64 (posix thread model).
# The libraries it needs beyond the MinGW runtime are built by scripts/setup.sh into
# VANTOREL_MINGW_PREFIX (default /opt/vantorel-mingw).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(_triplet x86_64-w64-mingw32)
if(DEFINED ENV{VANTOREL_MINGW_PREFIX})
  set(VANTOREL_MINGW_PREFIX "$ENV{VANTOREL_MINGW_PREFIX}")
else()
  set(VANTOREL_MINGW_PREFIX /opt/vantorel-mingw)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
