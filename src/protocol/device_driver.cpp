#include "protocol/device_driver.h"

#include <stdexcept>
#include <type_traits>

#include "device/device.h"
#include "support/text.h"

namespace vantorel {

int TTaxValues::IDOfTax(std::string_view taxValue) const {
  const auto& values = Values();
  for (std::size_t i = 0; i < values.size(); ++i)
    if (text::EqualsIgnoreCase(values[i], taxValue)) return static_cast<int>(i) + 1;
  return 0;
}

const std::array<const char*, 12>& TTaxValues::Values() {
  static const std::array<const char*, 12> values = {
      "20", "18", "10", "0", "none", "20/120", "18/118", "10/110", "5", "7", "5/105", "7/107"};
  return values;
}

TDeviceDriver::TDeviceDriver(std::function<std::unique_ptr<automation::Object>()> factory)
    : FDevice(factory ? std::make_unique<TDevice>(std::move(factory)) : std::make_unique<TDevice>()) {}
TDeviceDriver::~TDeviceDriver() = default;

TDevice& TDeviceDriver::Device() const {
  if (!FDevice) throw std::runtime_error("Устройство не включено");
  return *FDevice;
}

namespace {

template <typename T>
constexpr PropType TypeOf() {
  if constexpr (std::is_same_v<T, bool>) return PropType::Bool;
  else if constexpr (std::is_same_v<T, std::uint8_t>) return PropType::UInt8;
  else if constexpr (std::is_same_v<T, std::int32_t>) return PropType::Int32;
  else if constexpr (std::is_same_v<T, std::string>) return PropType::String;
  else static_assert(sizeof(T) == 0, "unsupported setting type");
}

template <typename T>
PropValue ToProp(const T& v) {
  if constexpr (std::is_same_v<T, bool>) return v;
  else if constexpr (std::is_same_v<T, std::string>) return v;
  else return std::int64_t{v};
}

template <typename T>
T FromProp(const PropValue& v) {
  if constexpr (std::is_same_v<T, bool>) return std::get<bool>(v);
  else if constexpr (std::is_same_v<T, std::string>) return std::get<std::string>(v);
  else return static_cast<T>(std::get<std::int64_t>(v));
}

template <typename T>
struct MemberType;
template <typename C, typename T>
struct MemberType<T C::*> {
  using type = T;
};

template <auto Member>
PropDecl Setting(const char16_t* name) {
  using T = typename MemberType<decltype(Member)>::type;
  PropDecl p;
  p.Name = name;
  p.Type = TypeOf<T>();
  p.Get = [](const void* self) {
    return ToProp(static_cast<const TDeviceDriver*>(self)->*Member);
  };
  p.Set = [](void* self, const PropValue& v) {
    static_cast<TDeviceDriver*>(self)->*Member = FromProp<T>(v);
  };
  return p;
}

template <int Index, auto Member>
PropDecl GraphicSetting(std::u16string name) {
  using T = typename MemberType<decltype(Member)>::type;
  PropDecl p;
  p.Name = name + static_cast<char16_t>(u'1' + Index);
  p.Type = TypeOf<T>();
  p.Get = [](const void* self) {
    return ToProp(static_cast<const TDeviceDriver*>(self)->GraphicText[Index].*Member);
  };
  p.Set = [](void* self, const PropValue& v) {
    static_cast<TDeviceDriver*>(self)->GraphicText[Index].*Member = FromProp<T>(v);
  };
  return p;
}

template <int Index>
void AddGraphicGroup(std::vector<PropDecl>& props) {
  props.push_back(GraphicSetting<Index, &GraphicTextStyle::FontName>(u"GTFontName"));
  props.push_back(GraphicSetting<Index, &GraphicTextStyle::FontSize>(u"GTFontSize"));
  props.push_back(GraphicSetting<Index, &GraphicTextStyle::IsBold>(u"GTIsBold"));
  props.push_back(GraphicSetting<Index, &GraphicTextStyle::IsItalic>(u"GTIsItalic"));
  props.push_back(GraphicSetting<Index, &GraphicTextStyle::IsStrikeout>(u"GTIsStrikeout"));
  props.push_back(GraphicSetting<Index, &GraphicTextStyle::IsUnderline>(u"GTIsUnderline"));
}

}  // namespace

const std::vector<PropDecl>& TDeviceDriver::Properties() {
  static const std::vector<PropDecl> props = [] {
    using D = TDeviceDriver;
    std::vector<PropDecl> p = {
        Setting<&D::PortNumber>(u"PortNumber"),
        Setting<&D::BaudRate>(u"BaudRate"),
        Setting<&D::OperatorPassword>(u"OperatorPassword"),
        Setting<&D::AccessPassword>(u"AccessPassword"),
        Setting<&D::IPAddress>(u"IPAddress"),
        Setting<&D::IPPort>(u"IPPort"),
        Setting<&D::MACAddress>(u"MACAddress"),
        Setting<&D::OFDChannel>(u"OFDChannel"),
        Setting<&D::CutString>(u"CutString"),
        Setting<&D::DisableCut>(u"DisableCut"),
        Setting<&D::RibbonWidth>(u"RibbonWidth"),
        Setting<&D::EnablePrinting>(u"EnablePrinting"),
        Setting<&D::EnableReportPrinting>(u"EnableReportPrinting"),
        Setting<&D::ReceiptTextAvailable>(u"ReceiptTextAvailable"),
        Setting<&D::ReceiptFontNumber>(u"ReceiptFontNumber"),
        Setting<&D::ReceiptUseDoubleWidth>(u"ReceiptUseDoubleWidth"),
        Setting<&D::ReceiptUseDoubleHeight>(u"ReceiptUseDoubleHeight"),
        Setting<&D::FontNumber>(u"FontNumber"),
        Setting<&D::UseDoubleWidth>(u"UseDoubleWidth"),
        Setting<&D::UseDoubleHeight>(u"UseDoubleHeight"),
        Setting<&D::TimeoutRequestKM>(u"TimeoutRequestKM"),
        Setting<&D::LogEnabled>(u"LogEnabled"),
        Setting<&D::LineLength>(u"LineLength"),
    };
    AddGraphicGroup<0>(p);
    AddGraphicGroup<1>(p);
    AddGraphicGroup<2>(p);
    AddGraphicGroup<3>(p);
    AddGraphicGroup<4>(p);
    return p;
  }();
  return props;
}

const PropDecl* TDeviceDriver::FindProperty(std::string_view name) {
  for (const PropDecl& p : Properties())
    if (text::EqualsIgnoreCase(text::ToUtf8(p.Name), name)) return &p;
  return nullptr;
}

}  // namespace vantorel
