// Documents read back from the fiscal storage, and copies of stored documents.
#include <charconv>

#include "protocol/driver.h"
#include "support/equipment_errors.h"
#include "support/text.h"

namespace vantorel {

void TDriver::GetDocumentInformation(std::int32_t docNumber, pugi::xml_document& output) {
  Device().GetDocumentFromFN(docNumber, output);
}

void TDriver::PrintCheckCopy(const std::u16string& checkNumber) {
  TDevice& dev = Device();
  dev.CancelReceipt();
  // Text that is not an integer asks for the last document.
  const std::string t = text::Trim(text::ToUtf8(checkNumber));
  // A sign is part of an integer: "+1" is document 1.
  const std::size_t from = !t.empty() && t[0] == '+' ? 1 : 0;
  std::int64_t number = 0;
  const auto [end, ec] = std::from_chars(t.data() + from, t.data() + t.size(), number);
  if (t.size() == from || end != t.data() + t.size() || (from == 1 && t[1] == '-'))
    number = 0;
  else if (ec == std::errc::result_out_of_range)
    throw errors::InputError("Номер документа вне допустимого диапазона");
  dev.PrintDocCopy(number);
}

}  // namespace vantorel
