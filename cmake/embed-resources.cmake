cmake_minimum_required(VERSION 3.25)
# Writes a C++ source holding files as byte arrays, with a lookup by resource name:
#   cmake -DOUTPUT=file.cpp -DNAMES=A;B -DFILES=a;b -P embed-resources.cmake
# The POSIX build uses it where Windows has RCDATA resources.
list(LENGTH NAMES count)
list(LENGTH FILES file_count)
if(NOT count EQUAL file_count)
  message(FATAL_ERROR "NAMES and FILES differ in length")
endif()

set(code "// Generated from ${FILES} by embed-resources.cmake; do not edit.\n")
string(APPEND code "#include <cstddef>\n#include <string_view>\n\n")
string(APPEND code "namespace vantorel::resources {\n\nnamespace {\n\n")
set(table "")
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  list(GET NAMES ${i} name)
  list(GET FILES ${i} path)
  file(SIZE "${path}" size)
  file(READ "${path}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # 16 bytes a line keeps the file readable for diff tools and editors.
  string(REGEX REPLACE "((0x..,){16})" "\\1\n  " bytes "${bytes}")
  # One extra zero byte: a zero-length array is not C++, and text data ends in a NUL.
  string(APPEND code "const unsigned char kData${i}[] = {\n  ${bytes}0x00};\n\n")
  string(APPEND table "    {\"${name}\", kData${i}, ${size}},\n")
endforeach()
string(APPEND code "struct Entry {\n  std::string_view name;\n  const unsigned char* data;\n  std::size_t size;\n};\n\n")
string(APPEND code "const Entry kEntries[] = {\n${table}};\n\n}  // namespace\n\n")
string(APPEND code [=[
// Declared by the POSIX platform code, which alone reads the embedded data.
std::string_view Find(std::string_view name);

std::string_view Find(std::string_view name) {
  for (const Entry& e : kEntries) {
    if (e.name == name) return {reinterpret_cast<const char*>(e.data), e.size};
  }
  return {};
}

}  // namespace vantorel::resources
]=])

# Rewrite only on change, so that an unchanged input does not rebuild the library.
file(WRITE "${OUTPUT}.tmp" "${code}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
