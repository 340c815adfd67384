# Tests of the built add-in file itself, run on the build machine (never under Wine).
if(WIN32)
  add_test(NAME addin_exports
    COMMAND ${CMAKE_COMMAND} -DBINARY=$<TARGET_FILE:vantorel> -DKIND=pe -DTOOL=${CMAKE_OBJDUMP}
            -DARGS=-p -P ${PROJECT_SOURCE_DIR}/cmake/check-exports.cmake)
else()
  add_test(NAME addin_exports
    COMMAND ${CMAKE_COMMAND} -DBINARY=$<TARGET_FILE:vantorel> -DKIND=elf -DTOOL=${CMAKE_NM}
            "-DARGS=-D;--defined-only" -P ${PROJECT_SOURCE_DIR}/cmake/check-exports.cmake)
endif()
