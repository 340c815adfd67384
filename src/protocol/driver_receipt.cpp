// The result document every receipt answers with.
#include "protocol/driver.h"
#include "support/datetime.h"
#include "support/xml.h"

namespace vantorel {

void TDriver::BuildDocumentOutputParameters(pugi::xml_document& output, bool lenient) {
  TDeviceDriver& in = Instance();
  TDevice& dev = in.Device();
  auto params = output.append_child("DocumentOutputParameters").append_child("Parameters");
  const auto dataType = dev.Const("LIBFPTR_PARAM_DATA_TYPE");
  const auto fnDataType = dev.Const("LIBFPTR_PARAM_FN_DATA_TYPE");
  // Leniently (a document already made): a value that cannot be read is left out.
  const auto field = [&](auto&& write) {
    if (!lenient) return write();
    try {
      write();
    } catch (const std::exception&) {
    }
  };

  field([&] {
    xml::SetAttr(params, "ShiftNumber",
                 static_cast<long long>(dev.RunQuery(dataType, dev.Const("LIBFPTR_DT_SHIFT_STATE"),
                                                     dev.Const("LIBFPTR_PARAM_SHIFT_NUMBER"),
                                                     TParamType::dtpInt, TMethodType::mtCommon)
                                            .asInt()));
  });
  field([&] {
    xml::SetAttr(
        params, "CheckNumber",
        static_cast<long long>(dev.RunQuery(fnDataType, dev.Const("LIBFPTR_FNDT_LAST_DOCUMENT"),
                                            dev.Const("LIBFPTR_PARAM_DOCUMENT_NUMBER"),
                                            TParamType::dtpInt, TMethodType::mtFN)
                                   .asInt()));
  });
  field([&] {
    xml::SetAttr(params, "ShiftClosingCheckNumber",
                 static_cast<long long>(dev.RunQuery(fnDataType, dev.Const("LIBFPTR_FNDT_SHIFT"),
                                                     dev.Const("LIBFPTR_PARAM_RECEIPT_NUMBER"),
                                                     TParamType::dtpInt, TMethodType::mtFN)
                                            .asInt()));
  });
  field([&] {
    const auto when = dev.RunQuery(fnDataType, dev.Const("LIBFPTR_FNDT_LAST_DOCUMENT"),
                                   dev.Const("LIBFPTR_PARAM_DATE_TIME"), TParamType::dtpDateTime,
                                   TMethodType::mtFN);
    xml::SetAttr(params, "DateTime",
                 std::string_view(datetime::FormatIso(datetime::FromOleDate(when.asDate().days))));
  });
  field([&] {
    xml::SetAttr(params, "FiscalSign",
                 std::string_view(dev.RunQuery(fnDataType, dev.Const("LIBFPTR_FNDT_LAST_RECEIPT"),
                                               dev.Const("LIBFPTR_PARAM_FISCAL_SIGN"),
                                               TParamType::dtpString, TMethodType::mtFN)
                                      .asText()));
  });
  if (!in.IsOffline) {
    try {
      const std::string site =
          dev.RunQueryTag(fnDataType, dev.Const("LIBFPTR_FNDT_TAG_VALUE"),
                          dev.Const("LIBFPTR_PARAM_TAG_NUMBER"), std::int32_t{1060});
      xml::SetAttr(params, "AddressSiteInspections", std::string_view(site));
    } catch (const std::exception&) {
      // The tax service's site is optional in the result.
    }
  }
}

}  // namespace vantorel
