# Checks what the add-in binary shows the loader: exactly the host's four entry points, and on
# Windows no DLL beyond the system's (a MinGW runtime DLL would be missing on the host's machine).
#   cmake -DBINARY=file -DKIND=elf|pe -DTOOL=nm|objdump -P check-exports.cmake
cmake_minimum_required(VERSION 3.25)
set(expected DestroyObject GetAttachType GetClassNames GetClassObject)

# DLLs every Windows installation has. Compared without letter case.
set(system_dlls
  kernel32 user32 gdi32 advapi32 shell32 ole32 oleaut32 uuid version msvcrt ucrtbase ntdll
  comctl32 comdlg32 shlwapi ws2_32 bcrypt crypt32 rpcrt4 winmm imm32 uxtheme dwmapi gdiplus
  msimg32 winspool.drv setupapi secur32 userenv urlmon wininet oleacc shcore)

execute_process(COMMAND ${TOOL} ${ARGS} ${BINARY} OUTPUT_VARIABLE out ERROR_VARIABLE err
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${TOOL} failed on ${BINARY}: ${err}")
endif()
string(REPLACE "\n" ";" lines "${out}")

set(exported)
set(imported)
if(KIND STREQUAL "elf")
  # nm -D --defined-only: "address type name[@version]"
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]* +[A-Za-z] +([^ @]+)")
      list(APPEND exported ${CMAKE_MATCH_1})
    endif()
  endforeach()
else()
  # objdump -p: the export name table ("[   0] Name") and the import directory ("DLL Name: X").
  set(in_names FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(in_names TRUE)
    elseif(in_names AND line MATCHES "^[ \t]+\\[ *[0-9]+\\] +([^ ]+)$")
      list(APPEND exported ${CMAKE_MATCH_1})
    elseif(in_names)
      set(in_names FALSE)
    endif()
    if(line MATCHES "DLL Name: +([^ ]+)")
      list(APPEND imported ${CMAKE_MATCH_1})
    endif()
  endforeach()
endif()

list(SORT exported)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "${BINARY} exports [${exported}], expected exactly [${expected}]")
endif()
message(STATUS "exports: ${exported}")

if(KIND STREQUAL "pe")
  if(NOT imported)
    message(FATAL_ERROR "no import table found in ${BINARY}")
  endif()
  foreach(dll IN LISTS imported)
    string(TOLOWER "${dll}" name)
    string(REGEX REPLACE "\\.dll$" "" name "${name}")
    if(NOT name IN_LIST system_dlls AND NOT name MATCHES "^api-ms-win-")
      message(FATAL_ERROR "${BINARY} imports ${dll}, which is not a Windows system DLL")
    endif()
  endforeach()
  message(STATUS "imports: ${imported}")
endif()
