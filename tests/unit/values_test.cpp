// The host value record: reading, writing with host memory, rendering for the log.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>

#include "addin/custom_driver.h"
#include "addin/v8napi.h"
#include "protocol/ecr_driver.h"
#include "support/xml.h"

namespace vantorel {
namespace {

using namespace abi;

// A host memory manager that remembers what it handed out.
struct TrackingMemory {
  HostObject<MemoryManagerTable> object{&table};
  static inline std::set<void*> live;
  static inline int frees = 0;
  static bool VANTOREL_ADDIN_API Alloc(void*, void** block, HostULong size) {
    *block = std::malloc(size);
    live.insert(*block);
    return true;
  }
  static void VANTOREL_ADDIN_API Free(void*, void** block) {
    EXPECT_EQ(live.erase(*block), 1u) << "freed a block the host never gave out";
    std::free(*block);
    *block = nullptr;
    ++frees;
  }
  static inline const MemoryManagerTable table = {{}, Alloc, Free};
};

class Values : public ::testing::Test {
 protected:
  void SetUp() override {
    TrackingMemory::live.clear();
    TrackingMemory::frees = 0;
    obj.V8MM = TV8MemoryManager(&memory.object);
  }
  void TearDown() override {
    for (void* p : TrackingMemory::live) std::free(p);
  }
  static V8Variant Text(const char16_t* s) {
    V8Variant v{};
    v.vt = VTYPE_PWSTR;
    v.wstrRec.pwstrVal = const_cast<char16_t*>(s);
    v.wstrRec.wstrLen = static_cast<std::uint32_t>(std::char_traits<char16_t>::length(s));
    return v;
  }
  static V8Variant Real(double d) {
    V8Variant v{};
    v.vt = VTYPE_R8;
    v.dblVal = d;
    return v;
  }
  static V8Variant Int(std::int32_t i) {
    V8Variant v{};
    v.vt = VTYPE_I4;
    v.lVal = i;
    return v;
  }
  TrackingMemory memory;
  TV8UserObject obj;
};

TEST_F(Values, ReadingConvertsLikeTheHostExpects) {
  V8Variant r = Real(2.9), rn = Real(-2.9), t42 = Text(u" 42 "), tbad = Text(u"4x2");
  V8Variant i2{};
  i2.vt = VTYPE_I2;
  i2.shortVal = -300;
  EXPECT_EQ(V8GetInt(&r), 2);
  EXPECT_EQ(V8GetInt(&rn), -2);
  EXPECT_EQ(V8GetInt(&t42), 42);
  EXPECT_EQ(V8GetInt(&tbad), 0);
  EXPECT_EQ(V8GetInt(&i2), -300);
  V8Variant huge = Real(1e300);
  EXPECT_EQ(V8GetInt(&huge), 0) << "out of range must not be undefined behaviour";

  V8Variant zero = Int(0), seven = Int(7), one = Text(u"1"), word = Text(u"true");
  EXPECT_FALSE(V8GetBool(&zero));
  EXPECT_TRUE(V8GetBool(&seven));
  EXPECT_TRUE(V8GetBool(&one));
  EXPECT_FALSE(V8GetBool(&word)) << "a word is not an integer";

  EXPECT_EQ(V8GetWString(&seven), u"");
  V8Variant text = Text(u"1.5");
  EXPECT_DOUBLE_EQ(V8GetDouble(&text), 1.5);
}

TEST_F(Values, ReadingNeverPassesTheHostsLength) {
  char16_t buf[] = {u'a', u'b', u'c', u'd'};  // no terminating zero
  V8Variant v{};
  v.vt = VTYPE_PWSTR;
  v.wstrRec.pwstrVal = buf;
  v.wstrRec.wstrLen = 3;
  EXPECT_EQ(V8GetWString(&v), u"abc");
}

TEST_F(Values, WritingUsesHostMemoryAndFreesWhatItReplaces) {
  V8Variant v{};
  ASSERT_TRUE(obj.V8SetWString(&v, std::u16string_view(u"")));
  EXPECT_EQ(v.vt, VTYPE_PWSTR);
  EXPECT_EQ(v.wstrRec.wstrLen, 0u);
  ASSERT_NE(v.wstrRec.pwstrVal, nullptr);
  EXPECT_EQ(v.wstrRec.pwstrVal[0], 0);
  EXPECT_EQ(TrackingMemory::live.size(), 1u);

  obj.V8SetWString(&v, std::u16string_view(u"Привет"));
  EXPECT_EQ(TrackingMemory::frees, 1);
  EXPECT_EQ(V8GetWString(&v), u"Привет");

  obj.V8SetInt(&v, 5);
  EXPECT_EQ(TrackingMemory::frees, 2);
  EXPECT_TRUE(TrackingMemory::live.empty());
  EXPECT_EQ(v.vt, VTYPE_I4);
  EXPECT_EQ(v.lVal, 5);

  const std::uint8_t bytes[] = {1, 2, 3};
  obj.V8SetBlob(&v, bytes, 3);
  EXPECT_EQ(v.vt, VTYPE_BLOB);
  EXPECT_EQ(std::memcmp(v.strRec.pstrVal, bytes, 3), 0);
  obj.V8ClearVar(&v);
  EXPECT_TRUE(TrackingMemory::live.empty());
  EXPECT_EQ(v.vt, VTYPE_EMPTY);
}

TEST_F(Values, WritingWithoutMemoryManagerLeavesTypedEmptyRecord) {
  TV8UserObject bare;
  V8Variant v{};
  EXPECT_FALSE(bare.V8SetWString(&v, std::u16string_view(u"x")));
  EXPECT_EQ(v.vt, VTYPE_PWSTR);
  EXPECT_EQ(v.wstrRec.pwstrVal, nullptr);
}

TEST_F(Values, RenderingForTheLog) {
  V8Variant t = Text(u"abc");
  t.vt |= VTYPE_BYREF;
  EXPECT_EQ(V8TypeName(&t), "VTYPE_PWSTR by ref");
  try {
    V8VarToStr(&t);
    FAIL() << "a flagged type has no text";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Unsupported data type - VTYPE_PWSTR by ref");
  }
  V8Variant null{};
  null.vt = VTYPE_NULL;
  EXPECT_THROW(V8VarToStr(&null), std::runtime_error);
  V8Variant unknown{};
  unknown.vt = 999 | VTYPE_ARRAY;
  EXPECT_EQ(V8TypeName(&unknown), "unknown type");

  V8Variant b{};
  b.vt = VTYPE_BOOL;
  b.bVal = true;
  EXPECT_EQ(V8VarToStr(&b), u"True");
  V8Variant r = Real(150.5);
  EXPECT_EQ(V8VarToStr(&r), u"150.5");

  V8Variant tm{};
  tm.vt = VTYPE_TM;
  tm.tmVal.tm_year = 124;
  tm.tmVal.tm_mon = 1;
  tm.tmVal.tm_mday = 29;
  EXPECT_EQ(V8VarToStr(&tm), u"29.02.2024");
  tm.tmVal.tm_hour = 9;
  tm.tmVal.tm_min = 5;
  EXPECT_EQ(V8VarToStr(&tm), u"29.02.2024 9:05:00");
  tm.tmVal.tm_year = 123;  // 2023 has no 29 February
  EXPECT_THROW(V8VarToStr(&tm), std::runtime_error);

  const V8Variant params[] = {Int(1), Text(u"x"), [] {
                                V8Variant blob{};
                                blob.vt = VTYPE_BLOB;
                                return blob;
                              }()};
  EXPECT_EQ(RenderParamList(params, 3, false), u"[1; x; BLOB]");
}

TEST(Numbers, ShortestFormAndCurrencyRounding) {
  const struct {
    double value;
    const char* text;
  } cases[] = {{0.1, "0.1"}, {150.5, "150.5"}, {1e20, "1e+20"}, {-2, "-2"}, {1.0 / 3, "0.333333333333333"},
               {100, "100"}, {-1500, "-1500"}, {849.75, "849.75"}, {1e14, "100000000000000"},
               {1e15, "1e+15"}, {1e-5, "1e-05"}};
  for (const auto& c : cases) EXPECT_EQ(FormatDouble(c.value, '.'), c.text);
  EXPECT_EQ(FormatDouble(2.5, ','), "2,5");

  // Ties go to even, as the host's currency conversion does.
  EXPECT_EQ(AmountToCurrency(0.00025), 2);
  EXPECT_EQ(AmountToCurrency(0.00035), 4);
  EXPECT_EQ(AmountToCurrency(150.5), 1505000);
  EXPECT_EQ(AmountToCurrency(-150.25), -1502500);
}

TEST(LastResult, HostCodes) {
  TResult r;
  r.Clear();
  EXPECT_EQ(r.HostErrorCode(), 0);
  r.SetError(u"boom", 0);
  EXPECT_EQ(r.HostErrorCode(), 1001);
  r.SetError(u"Смена открыта", 3015);
  EXPECT_EQ(r.HostErrorCode(), 3015);
}

TEST(PropertyValues, SettingsTextsConvertOrFailClearly) {
  EXPECT_EQ(std::get<std::int64_t>(ConvertPropText(PropType::Int32, "115200", u"BaudRate")), 115200);
  EXPECT_EQ(std::get<bool>(ConvertPropText(PropType::Bool, "TRUE", u"DisableCut")), true);
  EXPECT_EQ(std::get<std::string>(ConvertPropText(PropType::String, "07", u"OperatorPassword")), "07");
  try {
    ConvertPropText(PropType::Int32, "COM3", u"PortNumber");
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("PortNumber"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("COM3"), std::string::npos);
  }
  EXPECT_THROW(ConvertPropText(PropType::UInt8, "256", u"EnablePrinting"), std::runtime_error);
  EXPECT_THROW(ConvertPropText(PropType::Int32, "99999999999", u"IPPort"), std::runtime_error);
}

TEST(InputXml, CleanedBoundedAndParsed) {
  const std::u16string dirty = u"<a x=\"1\x01\xD800\xFFFE\">t\tz</a>";
  EXPECT_EQ(xml::CleanXmlText(dirty), "<a x=\"1\">t\tz</a>");

  pugi::xml_document doc;
  xml::ParseInput(u"<?xml version=\"1.0\"?><Parameters><Parameter Name=\"A\"/></Parameters>", doc);
  EXPECT_TRUE(xml::TopElement(doc, "Parameters"));

  std::u16string deep;
  for (int i = 0; i < 10000; ++i) deep += u"<a>";
  EXPECT_THROW(xml::ParseInput(deep, doc), std::runtime_error);
  std::u16string ok;
  for (int i = 0; i < 100; ++i) ok += u"<a>";
  for (int i = 0; i < 100; ++i) ok += u"</a>";
  EXPECT_NO_THROW(xml::ParseInput(ok, doc));

  try {
    xml::ParseInput(u"<a><b></a>", doc);
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("XML"), std::string::npos);
  }
  // Entities declared in a document are never expanded.
  xml::ParseInput(u"<!DOCTYPE a [<!ENTITY e \"boom\">]><a>&e;</a>", doc);
  EXPECT_EQ(std::string(doc.child("a").text().get()).find("boom"), std::string::npos);
}

TEST(OutputXml, DeclarationAndValidText) {
  pugi::xml_document doc;
  xml::NewOutput(doc);
  auto root = doc.append_child("R");
  xml::SetAttr(root, "T", std::string_view("a\x01" "b"));
  xml::SetAttr(root, "B", true);
  EXPECT_EQ(xml::ToUtf8Text(doc), "<?xml version=\"1.0\"?><R T=\"ab\" B=\"true\"/>");
}

}  // namespace
}  // namespace vantorel
