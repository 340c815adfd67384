# Cross build of the Windows x86 DLL (the 32-bit 1C client) with Debian's MinGW-w64 for i686
# (posix thread model). Its libraries are built by scripts/setup.sh into
# VANTOREL_MINGW_I686_PREFIX (default /opt/vantorel-mingw-i686).
set(CMAKE_SYSTEM_PROCESSOR X86)
set(_triplet i686-w64-mingw32)
set(_wine_options --x86)
if(DEFINED ENV{VANTOREL_MINGW_I686_PREFIX})
  set(VANTOREL_MINGW_PREFIX "$ENV{VANTOREL_MINGW_I686_PREFIX}")
else()
  set(VANTOREL_MINGW_PREFIX /opt/vantorel-mingw-i686)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
