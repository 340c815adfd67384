#include "protocol/driver.h"

#include <stdexcept>

#include "support/product.h"
#include "support/text.h"

namespace vantorel {

TDriver::TDriver() = default;
TDriver::~TDriver() = default;

std::unique_ptr<TV8UserObject> TDriver::Create() { return std::make_unique<TDriver>(); }

const DriverClassInfo& TDriver::Info() {
  static const DriverClassInfo info = [] {
    DriverClassInfo i;
    i.Methods.push_back(ExportMeth<&TDriver::GetInterfaceRevision>(u"GetInterfaceRevision",
                                                                   u"ПолучитьРевизиюИнтерфейса", 0));
    TEcrlDriver::Declare(i);
    return i;
  }();
  return info;
}

bool TDriver::GetInterfaceRevision(V8Variant* result, V8Variant*, long) {
  if (result != nullptr) V8SetInt(result, product::kInterfaceRevision);
  return true;
}

void RegisterDriverClass() {
  static const bool registered = [] {
    TCommonDriver::RegisterDriver(&TDriver::Create, TDriver::Info(),
                                  text::ToUtf16(product::kExtensionName), product::kDriverName,
                                  product::kDriverDescription);
    TEcrlDriver::UpdateDriverInfo(DriverInfo());
    return true;
  }();
  (void)registered;
}

}  // namespace vantorel
