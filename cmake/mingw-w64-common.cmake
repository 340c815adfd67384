# Shared part of the two MinGW-w64 toolchain files (posix thread model): the caller sets
# _triplet, CMAKE_SYSTEM_PROCESSOR and VANTOREL_MINGW_PREFIX, where scripts/setup.sh built the
# libraries this architecture needs beyond the MinGW runtime (pugixml, GoogleTest, cmark, the
# nlohmann-json package).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_triplet}-windres)
set(CMAKE_OBJDUMP ${_triplet}-objdump CACHE FILEPATH "objdump of the target")
set(CMAKE_OBJCOPY ${_triplet}-objcopy CACHE FILEPATH "objcopy of the target")

# Look for libraries and packages only among the target's files, programs only on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${_triplet} ${VANTOREL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The prefix holds static libraries only; zlib comes in both forms and must be the static one.
set(ZLIB_USE_STATIC_LIBS ON)

# Test programs run under Wine, one prefix per build tree (scripts/test.sh renews it per run).
# A 64-bit prefix runs 32-bit programs too (wine32, _wine_options --x86), each program in its own
# registry view.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${_wine_options}
    ${CMAKE_BINARY_DIR}/wineprefix)
