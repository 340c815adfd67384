// Errors of the equipment standard: a failure that carries the result code reported to the host.
// Any other exception reaching the method layer is reported with code 1001.
#pragma once

#include <stdexcept>
#include <string>

namespace vantorel {

class EquException : public std::runtime_error {
 public:
  EquException(int code, const std::string& message, std::string strCode = {})
      : std::runtime_error(message), code_(code), strCode_(std::move(strCode)) {}
  int Code() const { return code_; }
  const std::string& StrCode() const { return strCode_; }

 private:
  int code_;
  std::string strCode_;
};

namespace errors {
inline constexpr int kGeneral = 1001;
inline constexpr int kInputParameters = 1004;
inline constexpr int kShiftOver24Hours = 3002;
inline constexpr int kShiftClosed = 3005;
inline constexpr int kTaxOutOfRange = 3010;
inline constexpr int kShiftOpen = 3015;
inline constexpr int kAgentSignOutOfRange = 3023;

// Texts of the equipment errors, as the host shows them.
inline constexpr const char* kPrintError = "Ошибка печати документа";
inline constexpr const char* kCloseDocumentError = "Ошибка закрытия документа";
inline constexpr const char* kInputParametersText = "Ошибка входных параметров команды";
inline constexpr const char* kNoRequestKM = "Не найдена структура RequestKM";
inline constexpr const char* kShiftOver24HoursText =
    "Длительность смены превысила 24 часа. Необходимо снять Z-отчет";
inline constexpr const char* kShiftClosedText = "Смена закрыта";
inline constexpr const char* kTaxOutOfRangeText = "Налоговая группа вне допустимого диапазона";
inline constexpr const char* kShiftOpenText = "Смена открыта";
inline constexpr const char* kAgentSignOutOfRangeText =
    "Значение признака агента по предмету расчёта вне допустимого диапазона";
inline constexpr const char* kUnknownError = "Неизвестная ошибка";

// "Ошибка входных параметров команды. <detail>"
inline EquException InputError(const std::string& detail = {}) {
  if (detail.empty()) return EquException(kInputParameters, kInputParametersText);
  return EquException(kInputParameters, std::string(kInputParametersText) + ". " + detail);
}
}  // namespace errors

}  // namespace vantorel
