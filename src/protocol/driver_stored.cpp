// Documents read back from the fiscal storage, and copies of stored documents.
#include <charconv>

#include "protocol/driver.h"
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
  std::int64_t number = 0;
  if (std::from_chars(t.data(), t.data() + t.size(), number).ptr != t.data() + t.size() ||
      t.empty())
    number = 0;
  dev.PrintDocCopy(number);
}

}  // namespace vantorel
