// Receipt-level attributes and agent data: the user attribute, customer details, operational and
// industry attributes of a receipt, and the agent and supplier data of a receipt or a position.
#include <optional>
#include <pugixml.hpp>
#include <string>

#include "device/device.h"
#include "documents/attribute_values.h"
#include "documents/tag_stager.h"
#include "support/datetime.h"
#include "support/equipment_errors.h"
#include "support/text.h"

namespace vantorel {

namespace {

using automation::Bytes;
using automation::Value;

std::string Attr(const pugi::xml_node& node, const char* name) {
  return node.attribute(name).as_string();
}
std::string Trimmed(const pugi::xml_node& node, const char* name) {
  return text::Trim(node.attribute(name).as_string());
}

}  // namespace

TDevice::TReceiptAttributes TDevice::StageReceiptAttributes(const pugi::xml_node& parameters) {
  const bool ffd12 = FFDVersion == TFFDVersion::ffd12;
  const pugi::xml_node user = parameters.child("UserAttribute");
  const pugi::xml_node customer = parameters.child("CustomerDetail");
  const pugi::xml_node operational =
      ffd12 ? parameters.child("OperationalAttribute") : pugi::xml_node();
  const pugi::xml_node industry = ffd12 ? parameters.child("IndustryAttribute") : pugi::xml_node();

  // Every text that must parse is checked before anything is staged, so a refused package leaves
  // nothing behind on the register for the next operation.
  std::optional<datetime::DateTime> dateOfBirth;
  if (customer) {
    const std::string text = Trimmed(customer, "DateOfBirth");
    if (!text.empty() && !(dateOfBirth = attributes::ParseDayMonthYear(text)))
      throw errors::InputError("Некорректная дата рождения покупателя");
  }
  std::optional<datetime::DateTime> operationTime;
  std::optional<std::int32_t> operationId;
  if (operational) {
    const std::string time = Trimmed(operational, "DateTime");
    if (!time.empty() && !(operationTime = datetime::ParseIso8601(time)))
      throw errors::InputError("Некорректные дата, время операции");
    const std::string id = Trimmed(operational, "OperationID");
    if (!id.empty()) operationId = attributes::StrToInt(id);
  }
  std::optional<datetime::DateTime> documentDate;
  if (industry) {
    const std::string text = Trimmed(industry, "DocumentDate");
    if (!text.empty() && !(documentDate = attributes::ParseDayMonthYear(text)))
      throw errors::InputError("Некорректная дата документа основания");
  }

  TTagStager stager(*this);
  TReceiptAttributes out;
  std::optional<Bytes> userValue, customerValue, operationalValue;

  if (user) {
    const std::string name = Attr(user, "Name"), value = Attr(user, "Value");
    if (!name.empty() && !value.empty()) {
      const std::size_t mark = stager.Mark();
      stager.Tag(1085, Value(name));
      stager.Tag(1086, Value(value));
      userValue = stager.Compose(mark);
    }
  }

  if (customer) {
    const std::string info = Trimmed(customer, "Info"), inn = Trimmed(customer, "INN");
    out.CustomerINN = inn;
    const std::size_t mark = stager.Mark();
    if (!info.empty()) stager.Tag(1227, Value(info));
    if (!inn.empty()) stager.Tag(1228, Value(inn));
    // In the older formats 1227 and 1228 stay plain receipt tags.
    if (ffd12) {
      if (inn.empty()) {
        if (dateOfBirth) stager.Tag(1243, Value(attributes::FormatDayMonthYear(*dateOfBirth)));
        const std::string typeCode = Trimmed(customer, "DocumentTypeCode");
        if (!typeCode.empty()) stager.Tag(1245, Value(typeCode));
        const std::string data = Trimmed(customer, "DocumentData");
        if (!data.empty()) stager.Tag(1246, Value(data));
      }
      const std::string citizenship = Trimmed(customer, "Citizenship");
      if (!citizenship.empty()) stager.Tag(1244, Value(citizenship));
      const std::string address = Trimmed(customer, "Address");
      if (!address.empty()) stager.Tag(1254, Value(address));
      customerValue = stager.Compose(mark);
    }
  }

  if (operational) {
    const std::string data = Trimmed(operational, "OperationData");
    const std::size_t mark = stager.Mark();
    if (operationTime)
      stager.Tag(1273, Value(automation::Date{datetime::ToOleDate(*operationTime)}));
    if (operationId) stager.Tag(1271, Value(*operationId));
    if (!data.empty()) stager.Tag(1272, Value(data));
    // An incomplete attribute leaves its parts staged as they are.
    if (operationTime && operationId && !data.empty()) operationalValue = stager.Compose(mark);
  }

  if (industry) {
    const std::string foiv = Trimmed(industry, "IdentifierFOIV"),
                      number = Trimmed(industry, "DocumentNumber"),
                      value = Trimmed(industry, "AttributeValue");
    const std::size_t mark = stager.Mark();
    if (documentDate) stager.Tag(1263, Value(attributes::FormatDayMonthYear(*documentDate)));
    if (!foiv.empty()) stager.Tag(1262, Value(foiv));
    if (!number.empty()) stager.Tag(1264, Value(number));
    if (!value.empty()) stager.Tag(1265, Value(value));
    if (documentDate && !foiv.empty() && !number.empty() && !value.empty())
      out.IndustryValue = stager.Compose(mark);
  }

  if (ffd12) {
    if (customerValue) stager.Tag(1256, Value(*customerValue));
    if (operationalValue) stager.Tag(1270, Value(*operationalValue));
    if (out.IndustryValue) stager.Tag(1261, Value(*out.IndustryValue));
  }
  if (userValue) stager.Tag(1084, Value(*userValue));
  stager.Flush();
  return out;
}

void TDevice::StageAgentData(bool forReceipt, const pugi::xml_node& agentData,
                             const pugi::xml_node& vendorData, std::int32_t agentType) {
  FItemAgentTags.clear();
  const bool ffd12 = FFDVersion == TFFDVersion::ffd12;

  const std::string operation = Attr(agentData, "AgentOperation"),
                    agentPhone = attributes::NormalizePhones(Attr(agentData, "AgentPhone")),
                    processorPhone =
                        attributes::NormalizePhones(Attr(agentData, "PaymentProcessorPhone")),
                    operatorPhone =
                        attributes::NormalizePhones(Attr(agentData, "AcquirerOperatorPhone")),
                    operatorName = Attr(agentData, "AcquirerOperatorName"),
                    operatorAddress = Attr(agentData, "AcquirerOperatorAddress"),
                    operatorINN = Attr(agentData, "AcquirerOperatorINN");
  const std::string vendorPhone = attributes::NormalizePhones(Attr(vendorData, "VendorPhone")),
                    vendorName = text::Trim(Attr(vendorData, "VendorName")),
                    vendorINN = text::Trim(Attr(vendorData, "VendorINN"));

  // The receipt's agent sign is checked before anything is staged.
  const bool receiptAgent = forReceipt && !ffd12 && agentType != -1;
  if (receiptAgent && !attributes::AgentTypeName(agentType))
    throw EquException(errors::kAgentSignOutOfRange, errors::kAgentSignOutOfRangeText);

  TTagStager stager(*this);
  if (!ffd12 || !forReceipt) {
    const auto plain = [&](std::int32_t tag, const std::string& value) {
      const std::string trimmed = text::Trim(value);
      if (!trimmed.empty()) stager.Tag(tag, Value(trimmed));
    };
    plain(1005, operatorAddress);
    plain(1016, operatorINN);
    plain(1026, operatorName);
    if (!operatorPhone.empty()) stager.Phones(1075, operatorPhone);
    plain(1044, operation);
    if (!agentPhone.empty()) stager.Phones(1073, agentPhone);
    if (!processorPhone.empty()) stager.Phones(1074, processorPhone);
  }

  if (forReceipt) {
    if (receiptAgent) {
      stager.Tag(1057, Const(attributes::AgentTypeName(agentType)));
      // The receipt carries the supplier's phones as one value.
      if (!vendorPhone.empty()) stager.Tag(1171, Value(vendorPhone));
    }
    stager.Flush();
    return;
  }

  // A position: agent data and supplier data each become one compound tag. A blank attribute
  // stages nothing and so composes nothing.
  const std::optional<Bytes> agent = stager.Compose(0);
  const std::size_t mark = stager.Mark();
  if (!vendorName.empty()) stager.Tag(1225, Value(vendorName));
  if (!vendorPhone.empty()) stager.Phones(1171, vendorPhone);
  const std::optional<Bytes> vendor = stager.Compose(mark);
  if (!vendorINN.empty()) stager.Tag(1226, Value(vendorINN));
  if (agent && agent->size() >= 2) stager.Tag(1223, Value(*agent));
  if (vendor && vendor->size() >= 2) stager.Tag(1224, Value(*vendor));
  // Staged by RegisterItem after the compound tags it makes itself, which would swallow them.
  FItemAgentTags = stager.Take();
}

}  // namespace vantorel
