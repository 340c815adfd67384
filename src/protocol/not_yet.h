// Operations whose device work this version does not do yet fail clearly instead of pretending.
#pragma once

#include <stdexcept>
#include <string>

namespace vantorel {

[[noreturn]] inline void NotYet(const char* operation) {
  throw std::runtime_error(std::string("Операция ") + operation +
                           " пока не поддерживается этой версией драйвера");
}

}  // namespace vantorel
