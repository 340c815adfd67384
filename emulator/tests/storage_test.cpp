#include "vreg_fixture.h"

namespace vantorel::emulator::testing {
namespace {

struct Record {
  int number;
  int type;
  bool complex;
  Value value;
  std::vector<Record> children;
};

// Reads a stored document the way the driver does: records of the document, then every complex
// tag parsed as its own selection.
class StorageTest : public VregTest {
 protected:
  std::vector<Record> ReadLevel(const std::string& id) {
    std::vector<Record> out;
    for (;;) {
      r.Set("LIBFPTR_PARAM_RECORDS_ID", Value(id));
      if (r.Call("readNextRecord") != r.K("LIBFPTR_OK")) break;
      Record rec;
      rec.type = static_cast<int>(r.Int("LIBFPTR_PARAM_TAG_TYPE"));
      rec.value = r.obj->call("getParamByteArray", Value(r.K("LIBFPTR_PARAM_TAG_VALUE")));
      if (rec.type != 0 && rec.type != 2) {
        const char* getter = rec.type == 1                    ? "getParamString"
                             : rec.type == 3 || rec.type == 6 ? "getParamDouble"
                             : rec.type == 9                  ? "getParamDateTime"
                             : rec.type == 10                 ? "getParamBool"
                                                              : "getParamInt";
        rec.value = r.obj->call(getter, Value(r.K("LIBFPTR_PARAM_TAG_VALUE")));
      }
      rec.number = static_cast<int>(r.Int("LIBFPTR_PARAM_TAG_NUMBER"));
      EXPECT_FALSE(r.Text("LIBFPTR_PARAM_TAG_NAME").empty());
      rec.complex = r.Bool("LIBFPTR_PARAM_TAG_IS_COMPLEX");
      if (rec.complex) {
        r.SetK("LIBFPTR_PARAM_RECORDS_TYPE", "LIBFPTR_RT_PARSE_COMPLEX_ATTR");
        r.Set("LIBFPTR_PARAM_TAG_VALUE", rec.value);
        EXPECT_EQ(r.Call("beginReadRecords"), 0);
        const std::string id2 = r.Text("LIBFPTR_PARAM_RECORDS_ID");
        rec.children = ReadLevel(id2);
        r.Set("LIBFPTR_PARAM_RECORDS_ID", Value(id2));
        EXPECT_EQ(r.Call("endReadRecords"), 0);
      }
      out.push_back(std::move(rec));
    }
    return out;
  }

  std::vector<Record> ReadDocument(std::int64_t number, int* type = nullptr) {
    r.SetK("LIBFPTR_PARAM_RECORDS_TYPE", "LIBFPTR_RT_FN_DOCUMENT_TLVS");
    r.Set("LIBFPTR_PARAM_DOCUMENT_NUMBER", Value(number));
    EXPECT_EQ(r.Call("beginReadRecords"), 0);
    if (type) *type = static_cast<int>(r.Int("LIBFPTR_PARAM_FN_DOCUMENT_TYPE"));
    const std::string id = r.Text("LIBFPTR_PARAM_RECORDS_ID");
    auto records = ReadLevel(id);
    r.Set("LIBFPTR_PARAM_RECORDS_ID", Value(id));
    EXPECT_EQ(r.Call("endReadRecords"), 0);
    return records;
  }

  static const Record* Find(const std::vector<Record>& rs, int number) {
    for (const auto& rec : rs)
      if (rec.number == number) return &rec;
    return nullptr;
  }

  Reg r;
};

TEST_F(StorageTest, StoredReceiptReadsBackWithPositionsAndFiscalSign) {
  ASSERT_EQ(r.Connect(), 0);
  ASSERT_EQ(r.OpenShift("Петров"), 0);
  r.Tag(1008, Value("buyer@example.com"));
  ASSERT_EQ(r.OpenReceipt(), 0);
  ASSERT_EQ(r.Item("Чай зелёный", 150.5, 1, 150.5), 0);
  r.Set("LIBFPTR_PARAM_MARKING_CODE", Value("010460123456789021ABC123\x1d"
                                            "91EE06"));
  r.Set("LIBFPTR_PARAM_MARKING_CODE_STATUS", Value(std::int32_t{2}));
  ASSERT_EQ(r.Item("Кофе", 100, 3, 300), 0);
  ASSERT_EQ(r.Pay("LIBFPTR_PT_CASH", 450.5), 0);
  ASSERT_EQ(r.Call("closeReceipt"), 0);
  ASSERT_EQ(r.FnQuery("LIBFPTR_FNDT_LAST_DOCUMENT"), 0);
  const auto number = r.Int("LIBFPTR_PARAM_DOCUMENT_NUMBER");
  const std::string sign = r.Text("LIBFPTR_PARAM_FISCAL_SIGN");

  int type = 0;
  const auto doc = ReadDocument(number, &type);
  EXPECT_EQ(type, 3);
  ASSERT_NE(Find(doc, 1021), nullptr);
  EXPECT_EQ(Find(doc, 1021)->value.asText(), "Петров");
  EXPECT_EQ(Find(doc, 1008)->value.asText(), "buyer@example.com");
  EXPECT_EQ(Find(doc, 1040)->value.asInt(), number);
  EXPECT_EQ(Find(doc, 1054)->value.asInt(), 1);
  EXPECT_DOUBLE_EQ(Find(doc, 1031)->value.asDouble(), 450.5);
  // Fiscal sign: bytes 3 to 6 of tag 1077, big-endian.
  const auto fp = Find(doc, 1077)->value.asBytes();
  ASSERT_EQ(fp.size(), 6u);
  const std::uint32_t fromBytes = (std::uint32_t{fp[2]} << 24) | (std::uint32_t{fp[3]} << 16) |
                                  (std::uint32_t{fp[4]} << 8) | fp[5];
  EXPECT_EQ(std::to_string(fromBytes), sign);

  std::vector<const Record*> positions;
  for (const auto& rec : doc)
    if (rec.number == 1059) positions.push_back(&rec);
  ASSERT_EQ(positions.size(), 2u);
  EXPECT_TRUE(positions[0]->complex);
  EXPECT_EQ(Find(positions[0]->children, 1030)->value.asText(),
            "Чай зелёный");  // through code page 866
  EXPECT_DOUBLE_EQ(Find(positions[0]->children, 1079)->value.asDouble(), 150.5);
  EXPECT_DOUBLE_EQ(Find(positions[1]->children, 1023)->value.asDouble(), 3);
  EXPECT_DOUBLE_EQ(Find(positions[1]->children, 1043)->value.asDouble(), 300);
  EXPECT_EQ(Find(positions[1]->children, 1212)->value.asInt(), 1);
  const Record* code = Find(positions[1]->children, 1163);
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(Find(code->children, 1305)->value.asText(),
            "010460123456789021ABC123\x1d"
            "91EE06");

  // Unknown numbers and ids are errors, not crashes.
  r.SetK("LIBFPTR_PARAM_RECORDS_TYPE", "LIBFPTR_RT_FN_DOCUMENT_TLVS");
  r.Set("LIBFPTR_PARAM_DOCUMENT_NUMBER", Value(std::int32_t{999}));
  EXPECT_EQ(r.Call("beginReadRecords"), errc::kNoDocument);
  r.Set("LIBFPTR_PARAM_RECORDS_ID", Value("nope"));
  EXPECT_EQ(r.Call("readNextRecord"), errc::kBadRecordsId);
  r.SetK("LIBFPTR_PARAM_RECORDS_TYPE", "LIBFPTR_RT_PARSE_COMPLEX_ATTR");
  r.Set("LIBFPTR_PARAM_TAG_VALUE", Value(automation::Bytes{0x30, 0x04, 0x10, 0x00, 0x01}));
  EXPECT_EQ(r.Call("beginReadRecords"), errc::kBadParam);
}

TEST_F(StorageTest, UtilFormTlvComposesStagedTagsInOrder) {
  Reg offline;  // composing needs no connection
  offline.Tag(1085, Value("ИМЯ"));
  offline.Tag(1086, Value("1"));
  ASSERT_EQ(offline.Call("utilFormTlv"), 0);
  EXPECT_EQ(
      offline.Bytes("LIBFPTR_PARAM_TAG_VALUE"),
      (automation::Bytes{0x3D, 0x04, 0x03, 0x00, 0x88, 0x8C, 0x9F, 0x3E, 0x04, 0x01, 0x00, '1'}));
  // One tag staged twice keeps both values; money is the kopeck count, dates the seconds.
  offline.Tag(1171, Value("+7900"));
  offline.Tag(1171, Value("+7901"));
  offline.Tag(1229, Reg::Money(2.56));
  offline.Tag(1178, Value(WallToDate(86400)));
  ASSERT_EQ(offline.Call("utilFormTlv"), 0);
  EXPECT_EQ(offline.Bytes("LIBFPTR_PARAM_TAG_VALUE"),
            (automation::Bytes{0x93, 0x04, 0x05, 0x00, '+',  '7',  '9',  '0',  '0',  0x93, 0x04,
                               0x05, 0x00, '+',  '7',  '9',  '0',  '1',  0xCD, 0x04, 0x02, 0x00,
                               0x00, 0x01, 0x9A, 0x04, 0x04, 0x00, 0x80, 0x51, 0x01, 0x00}));
  // Nothing staged is an error; so is a value that does not fit its tag.
  EXPECT_EQ(offline.Call("utilFormTlv"), errc::kMissingParam);
  offline.Tag(1173, Value(std::int32_t{300}));
  EXPECT_EQ(offline.Call("utilFormTlv"), errc::kBadParam);
}

TEST_F(StorageTest, QueriesAnswerRegistrationStorageAndFormat) {
  ASSERT_EQ(r.Connect(), 0);
  r.SetK("LIBFPTR_PARAM_FN_DATA_TYPE", "LIBFPTR_FNDT_REG_INFO");
  ASSERT_EQ(r.Call("fnQueryData"), 0);
  EXPECT_EQ(r.IntOf(1209), 120);
  EXPECT_EQ(r.obj->call("getParamString", Value(std::int32_t{1060})).asText(), "www.nalog.gov.ru");
  EXPECT_TRUE(r.Bool("LIBFPTR_PARAM_TRADE_MARKED_PRODUCTS"));
  r.Set("LIBFPTR_PARAM_TAG_NUMBER", Value(std::int32_t{1060}));
  ASSERT_EQ(r.FnQuery("LIBFPTR_FNDT_TAG_VALUE"), 0);
  EXPECT_EQ(r.Text("LIBFPTR_PARAM_TAG_VALUE"), "www.nalog.gov.ru");
  ASSERT_EQ(r.FnQuery("LIBFPTR_FNDT_FFD_VERSIONS"), 0);
  EXPECT_EQ(r.Text("LIBFPTR_PARAM_DEVICE_FFD_VERSION"), "120");
  r.SetK("LIBFPTR_PARAM_UNIT_TYPE", "LIBFPTR_UT_CONFIGURATION");
  ASSERT_EQ(r.Query("LIBFPTR_DT_UNIT_VERSION"), 0);
  EXPECT_EQ(r.Text("LIBFPTR_PARAM_UNIT_VERSION").substr(0, 2), "5.");
  r.Set("LIBFPTR_PARAM_SETTING_ID", Value(std::int32_t{66}));
  ASSERT_EQ(r.Call("readDeviceSetting"), 0);
  EXPECT_EQ(r.Text("LIBFPTR_PARAM_SETTING_VALUE"), "1");
  r.Set("LIBFPTR_PARAM_SETTING_ID", Value(std::int32_t{12345}));
  EXPECT_EQ(r.Call("readDeviceSetting"), errc::kBadSetting);
  // The wrong family of constant as a selector is refused.
  r.SetK("LIBFPTR_PARAM_DATA_TYPE", "LIBFPTR_FNDT_FN_INFO");
  EXPECT_EQ(r.Call("queryData"), errc::kNotSupported);
}

TEST_F(StorageTest, ReRegistrationAndClosingTheArchive) {
  ASSERT_EQ(r.Connect(), 0);
  // Registering a registered register is refused.
  r.SetK("LIBFPTR_PARAM_FN_OPERATION_TYPE", "LIBFPTR_FNOP_REGISTRATION");
  EXPECT_EQ(r.Call("fnOperation"), errc::kAlreadyFiscal);
  r.SetK("LIBFPTR_PARAM_FN_OPERATION_TYPE", "LIBFPTR_FNOP_CHANGE_PARAMETERS");
  r.Tag(1205, Value(std::int32_t{2}));
  r.Tag(1048, Value("ООО \"Новое имя\""));
  r.Tag(1062, Value(std::int32_t{9}));
  r.Set("LIBFPTR_PARAM_PAWN_SHOP_ACTIVITY", Value(true));
  ASSERT_EQ(r.Call("fnOperation"), 0);
  ASSERT_EQ(r.FnQuery("LIBFPTR_FNDT_LAST_REGISTRATION"), 0);
  EXPECT_EQ(r.Int("LIBFPTR_PARAM_REGISTRATIONS_COUNT"), 2);
  const auto regDoc = r.Int("LIBFPTR_PARAM_DOCUMENT_NUMBER");
  r.Set("LIBFPTR_PARAM_TAG_NUMBER", Value(std::int32_t{1048}));
  ASSERT_EQ(r.FnQuery("LIBFPTR_FNDT_TAG_VALUE"), 0);
  EXPECT_EQ(r.Text("LIBFPTR_PARAM_TAG_VALUE"), "ООО \"Новое имя\"");
  int type = 0;
  ReadDocument(regDoc, &type);
  EXPECT_EQ(type, 11);
  ASSERT_EQ(r.FnQuery("LIBFPTR_FNDT_REG_INFO"), 0);
  EXPECT_TRUE(r.Bool("LIBFPTR_PARAM_PAWN_SHOP_ACTIVITY"));
  EXPECT_EQ(r.IntOf(1062), 9);

  r.SetK("LIBFPTR_PARAM_FN_OPERATION_TYPE", "LIBFPTR_FNOP_CLOSE_ARCHIVE");
  ASSERT_EQ(r.Call("fnOperation"), 0);
  ASSERT_EQ(r.FnQuery("LIBFPTR_FNDT_FN_INFO"), 0);
  EXPECT_EQ(r.Int("LIBFPTR_PARAM_FN_STATE"), 7);
  EXPECT_EQ(r.OpenShift(), errc::kFnArchiveClosed);
}

}  // namespace
}  // namespace vantorel::emulator::testing
