cmake_minimum_required(VERSION 3.25)
# Packs the help folder into a ZIP: cmake -DHELP_DIR=dir -DOUTPUT=file.zip -P make-help-zip.cmake
# Entry names are relative to the folder; a missing or empty folder gives an empty archive.
# A fixed time stamp keeps the archive the same from build to build.
set(files)
if(IS_DIRECTORY "${HELP_DIR}")
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${HELP_DIR}" "${HELP_DIR}/*")
  list(SORT files)
endif()
file(REMOVE "${OUTPUT}")
if(files)
  # Run from the folder so that the entries carry paths relative to it.
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E tar cf "${OUTPUT}" --format=zip --mtime=2000-01-01 -- ${files}
    WORKING_DIRECTORY "${HELP_DIR}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot pack the help archive from ${HELP_DIR}")
  endif()
else()
  file(ARCHIVE_CREATE OUTPUT "${OUTPUT}" PATHS "" FORMAT zip)
endif()
