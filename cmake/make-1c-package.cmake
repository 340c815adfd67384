cmake_minimum_required(VERSION 3.25)
# Makes the ZIP that 1C:Enterprise loads the add-in from:
#   cmake -DHOST=kkt-host -DSO=libvantorel.so [-DDLL64=vantorel.dll] [-DDLL32=vantorel.dll]
#         -DSTAGE=dir -DOUTPUT=file.zip -P make-1c-package.cmake
# The binaries given are the stripped copies the builds made (their debug information stays
# beside each build). MANIFEST.XML lists one component per binary: Windows x86_64 and i386 (the
# 32-bit client), Linux x86_64; INFO.XML describes the driver to the equipment library with the
# values the add-in itself reports (GetDescription, GetInterfaceRevision, its class name), read by
# loading the packaged .so through kkt-host. A DLL that does not exist is left out with a warning,
# so a Linux-only build still gets a package it can test.

foreach(_v HOST SO STAGE OUTPUT)
  if(NOT DEFINED ${_v})
    message(FATAL_ERROR "make-1c-package: ${_v} is not set")
  endif()
endforeach()

function(ask_addin out)
  # The add-in's data folder (logs) goes beside the stage, not into the user's home.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env "XDG_DATA_HOME=${STAGE}-data"
                          "${HOST}" --addin "${SO}" --json ${ARGN}
    OUTPUT_VARIABLE _out ERROR_VARIABLE _err RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "make-1c-package: kkt-host ${ARGN} failed (${_rc}): ${_err}${_out}")
  endif()
  set(${out} "${_out}" PARENT_SCOPE)
endfunction()

foreach(_v HOST SO STAGE OUTPUT)
  get_filename_component(${_v} "${${_v}}" ABSOLUTE)
endforeach()

ask_addin(_info info)
string(JSON _class GET "${_info}" class_names 0)
ask_addin(_rev call GetInterfaceRevision)
string(JSON _revision GET "${_rev}" result value)
ask_addin(_desc call GetDescription ">D")
string(JSON _xml GET "${_desc}" params 0 value)

# Attribute values of the DriverDescription document, kept in their escaped XML form.
function(attr name out)
  if(NOT _xml MATCHES " ${name}=\"([^\"]*)\"")
    message(FATAL_ERROR "make-1c-package: GetDescription has no ${name}: ${_xml}")
  endif()
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()
attr(Name _name)
attr(Description _description)
attr(EquipmentType _type)
attr(DriverVersion _version)
attr(DownloadURL _url)

file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${STAGE}")
get_filename_component(_so_name "${SO}" NAME)
file(COPY_FILE "${SO}" "${STAGE}/${_so_name}")
set(_files MANIFEST.XML INFO.XML ${_so_name})
set(_components "")
# Both DLLs are vantorel.dll in their builds; in the package each is named by its architecture.
foreach(_dll DLL64 DLL32)
  if(_dll STREQUAL "DLL64")
    set(_arch x86_64)
    set(_preset windows)
  else()
    set(_arch i386)
    set(_preset windows-x86)
  endif()
  if(DEFINED ${_dll} AND NOT ${_dll} STREQUAL "" AND EXISTS "${${_dll}}")
    set(_dll_name vantorel-${_arch}.dll)
    file(COPY_FILE "${${_dll}}" "${STAGE}/${_dll_name}")
    list(APPEND _files ${_dll_name})
    string(APPEND _components
      "  <component os=\"Windows\" path=\"${_dll_name}\" type=\"native\" arch=\"${_arch}\"/>\n")
  else()
    message(WARNING "The 1C package has no Windows ${_arch} DLL (${${_dll}} not found): build "
                    "the ${_preset} preset first, then build this target again.")
  endif()
endforeach()
string(APPEND _components
  "  <component os=\"Linux\" path=\"${_so_name}\" type=\"native\" arch=\"x86_64\"/>\n")

file(WRITE "${STAGE}/MANIFEST.XML"
  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
  "<bundle xmlns=\"http://v8.1c.ru/8.2/addin/bundle\">\n${_components}</bundle>\n")
file(WRITE "${STAGE}/INFO.XML"
  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
  "<drivers>\n"
  "  <component progid=\"AddIn.${_class}\" type=\"native\" name=\"${_name}\"\n"
  "             description=\"${_description}\" version=\"${_version}\"\n"
  "             equipmentType=\"${_type}\" interfaceRevision=\"${_revision}\"\n"
  "             downloadURL=\"${_url}\"/>\n"
  "</drivers>\n")

file(REMOVE "${OUTPUT}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar cf "${OUTPUT}" --format=zip --mtime=2000-01-01 -- ${_files}
  WORKING_DIRECTORY "${STAGE}" RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "make-1c-package: cannot pack ${OUTPUT}")
endif()
message(STATUS "1C package: ${OUTPUT} (${_files})")
