// Queries, device settings, the clock, reading stored documents, storage operations, marking codes
// and the operation table.
#include <algorithm>
#include <unordered_map>

#include "operations.h"
#include "support/text.h"

namespace vantorel::emulator {

using automation::Value;

namespace {

Value Int(std::int64_t i) {
  if (i >= INT32_MIN && i <= INT32_MAX) return Value(static_cast<std::int32_t>(i));
  return Value(i);
}

bool ShiftExpired(OpContext& ctx) {
  return ctx.s().shiftOpen && ctx.now() - ctx.s().shiftOpenedAt > 24 * 3600;
}

int ShiftState(OpContext& ctx) { return !ctx.s().shiftOpen ? 0 : ShiftExpired(ctx) ? 2 : 1; }

int KindFromReceiptType(OpContext& ctx) {
  const int kind = ReceiptKind(static_cast<int>(ctx.Int("LIBFPTR_PARAM_RECEIPT_TYPE")));
  if (kind == 0) Fail(errc::kBadParam, "Неверный тип чека");
  return kind;
}

Kopecks ReceiptSum(const Receipt& r) {
  if (r.total) return *r.total;
  Kopecks t = 0;
  for (const auto& p : r.positions) t += p.sum;
  return t;
}

}  // namespace

void OpQueryData(OpContext& ctx) {
  auto& s = ctx.s();
  const auto& c = s.config;
  const auto type = ctx.Int("LIBFPTR_PARAM_DATA_TYPE");
  const Value now(WallToDate(ctx.now()));
  if (type == C("LIBFPTR_DT_STATUS")) {
    ctx.Out("LIBFPTR_PARAM_OPERATOR_ID", Int(1));
    ctx.Out("LIBFPTR_PARAM_LOGICAL_NUMBER", Int(1));
    ctx.Out("LIBFPTR_PARAM_DATE_TIME", now);
    ctx.Out("LIBFPTR_PARAM_FISCAL", Value(s.fiscal));
    ctx.Out("LIBFPTR_PARAM_FN_FISCAL", Value(s.fiscal));
    ctx.Out("LIBFPTR_PARAM_FN_PRESENT", Value(true));
    ctx.Out("LIBFPTR_PARAM_SHIFT_STATE", Int(ShiftState(ctx)));
    ctx.Out("LIBFPTR_PARAM_CASHDRAWER_OPENED", Value(s.drawerOpen));
    ctx.Out("LIBFPTR_PARAM_RECEIPT_PAPER_PRESENT", Value(c.paperPresent));
    ctx.Out("LIBFPTR_PARAM_COVER_OPENED", Value(c.coverOpen));
    ctx.Out("LIBFPTR_PARAM_SERIAL_NUMBER", Value(c.serialNumber));
    ctx.Out("LIBFPTR_PARAM_MODEL", Int(c.modelNumber));
    ctx.Out("LIBFPTR_PARAM_MODE", Int(s.receipt.type != 0 ? 1 : 0));
    ctx.Out("LIBFPTR_PARAM_SUBMODE", Int(0));
    ctx.Out("LIBFPTR_PARAM_RECEIPT_NUMBER", Int(s.receiptNumber));
    ctx.Out("LIBFPTR_PARAM_DOCUMENT_NUMBER", Int(ctx.device().LastNumberLocked()));
    ctx.Out("LIBFPTR_PARAM_SHIFT_NUMBER", Int(s.shiftNumber));
    ctx.Out("LIBFPTR_PARAM_RECEIPT_TYPE", Int(s.receipt.type));
    ctx.Out("LIBFPTR_PARAM_RECEIPT_SUM", MoneyValue(ReceiptSum(s.receipt)));
    ctx.Out("LIBFPTR_PARAM_RECEIPT_LINE_LENGTH", Int(c.lineLength));
    ctx.Out("LIBFPTR_PARAM_RECEIPT_LINE_LENGTH_PIX", Int(c.lineLengthPix));
    ctx.Out("LIBFPTR_PARAM_MODEL_NAME", Value(c.modelName));
    ctx.Out("LIBFPTR_PARAM_UNIT_VERSION", Value(c.firmwareVersion));
    ctx.Out("LIBFPTR_PARAM_PRINTER_CONNECTION_LOST", Value(false));
    ctx.Out("LIBFPTR_PARAM_PRINTER_ERROR", Value(c.printerError));
    ctx.Out("LIBFPTR_PARAM_CUT_ERROR", Value(false));
    ctx.Out("LIBFPTR_PARAM_PRINTER_OVERHEAT", Value(false));
    ctx.Out("LIBFPTR_PARAM_BLOCKED", Value(c.fnCriticalError));
  } else if (type == C("LIBFPTR_DT_SHORT_STATUS")) {
    ctx.Out("LIBFPTR_PARAM_CASHDRAWER_OPENED", Value(s.drawerOpen));
    ctx.Out("LIBFPTR_PARAM_RECEIPT_PAPER_PRESENT", Value(c.paperPresent));
    ctx.Out("LIBFPTR_PARAM_PAPER_NEAR_END", Value(c.paperNearEnd));
    ctx.Out("LIBFPTR_PARAM_COVER_OPENED", Value(c.coverOpen));
  } else if (type == C("LIBFPTR_DT_SHIFT_STATE")) {
    ctx.Out("LIBFPTR_PARAM_SHIFT_STATE", Int(ShiftState(ctx)));
    ctx.Out("LIBFPTR_PARAM_SHIFT_NUMBER", Int(s.shiftNumber));
    ctx.Out("LIBFPTR_PARAM_DATE_TIME",
            Value(WallToDate(s.shiftOpen ? s.shiftOpenedAt + 24 * 3600 : 0)));
  } else if (type == C("LIBFPTR_DT_RECEIPT_STATE")) {
    ctx.Out("LIBFPTR_PARAM_RECEIPT_TYPE", Int(s.receipt.type));
    ctx.Out("LIBFPTR_PARAM_RECEIPT_NUMBER", Int(s.receiptNumber));
    ctx.Out("LIBFPTR_PARAM_DOCUMENT_NUMBER", Int(ctx.device().LastNumberLocked()));
    ctx.Out("LIBFPTR_PARAM_RECEIPT_SUM", MoneyValue(ReceiptSum(s.receipt)));
  } else if (type == C("LIBFPTR_DT_CASH_SUM")) {
    ctx.Out("LIBFPTR_PARAM_SUM", MoneyValue(s.cash));
  } else if (type == C("LIBFPTR_DT_DATE_TIME")) {
    ctx.Out("LIBFPTR_PARAM_DATE_TIME", now);
  } else if (type == C("LIBFPTR_DT_RECEIPT_LINE_LENGTH")) {
    ctx.Out("LIBFPTR_PARAM_RECEIPT_LINE_LENGTH", Int(c.lineLength));
    ctx.Out("LIBFPTR_PARAM_RECEIPT_LINE_LENGTH_PIX", Int(c.lineLengthPix));
  } else if (type == C("LIBFPTR_DT_UNIT_VERSION")) {
    const auto unit = ctx.Int("LIBFPTR_PARAM_UNIT_TYPE");
    if (unit == C("LIBFPTR_UT_CONFIGURATION"))
      ctx.Out("LIBFPTR_PARAM_UNIT_VERSION", Value(c.configurationVersion));
    else if (unit == C("LIBFPTR_UT_FIRMWARE"))
      ctx.Out("LIBFPTR_PARAM_UNIT_VERSION", Value(c.firmwareVersion));
    else
      Fail(errc::kBadParam, "Неверный тип модуля");
  } else if (type == C("LIBFPTR_DT_PAYMENT_SUM")) {
    const int kind = KindFromReceiptType(ctx);
    const auto payment = ctx.Int("LIBFPTR_PARAM_PAYMENT_TYPE");
    if (payment < 0 || payment > 9) Fail(errc::kBadParam, "Неверный тип оплаты");
    ctx.Out("LIBFPTR_PARAM_SUM", MoneyValue(s.shiftCounters.payments[kind - 1][payment]));
  } else if (type == C("LIBFPTR_DT_CASHIN_SUM")) {
    ctx.Out("LIBFPTR_PARAM_SUM", MoneyValue(s.shiftCounters.cashIn.sum));
  } else if (type == C("LIBFPTR_DT_CASHIN_COUNT")) {
    ctx.Out("LIBFPTR_PARAM_DOCUMENTS_COUNT", Int(s.shiftCounters.cashIn.count));
  } else if (type == C("LIBFPTR_DT_CASHOUT_SUM")) {
    ctx.Out("LIBFPTR_PARAM_SUM", MoneyValue(s.shiftCounters.cashOut.sum));
  } else if (type == C("LIBFPTR_DT_CASHOUT_COUNT")) {
    ctx.Out("LIBFPTR_PARAM_DOCUMENTS_COUNT", Int(s.shiftCounters.cashOut.count));
  } else {
    Fail(errc::kNotSupported, "Неподдерживаемый тип запроса");
  }
}

void OpFnQueryData(OpContext& ctx) {
  auto& s = ctx.s();
  const auto& c = s.config;
  const auto type = ctx.Int("LIBFPTR_PARAM_FN_DATA_TYPE");
  if (type == C("LIBFPTR_FNDT_TAG_VALUE")) {
    const auto number = ctx.Int("LIBFPTR_PARAM_TAG_NUMBER");
    const Tag* t = FindTag(s.registration.tags, static_cast<int>(number));
    Tag extra;
    if (!t && number == 1041) t = &(extra = Tag::String(1041, s.fnSerial));
    if (!t && number == 1013) t = &(extra = Tag::String(1013, c.serialNumber));
    if (!t) Fail(errc::kBadParam, "Реквизит " + std::to_string(number) + " не найден");
    ctx.Out("LIBFPTR_PARAM_TAG_NUMBER", Int(number));
    ctx.Out("LIBFPTR_PARAM_TAG_TYPE", Int(static_cast<int>(t->type)));
    ctx.Out("LIBFPTR_PARAM_TAG_VALUE", t->ToValue());
  } else if (type == C("LIBFPTR_FNDT_REG_INFO")) {
    for (const auto& t : s.registration.tags) ctx.Out(t.number, t.ToValue());
    if (!FindTag(s.registration.tags, 1209)) ctx.Out(1209, Int(c.deviceFfdVersion));
    auto flag = [&](const char* key) {
      auto it = s.registration.activities.find(key);
      return Value(it != s.registration.activities.end() && it->second);
    };
    ctx.Out("LIBFPTR_PARAM_TRADE_MARKED_PRODUCTS", flag("marking"));
    ctx.Out("LIBFPTR_PARAM_PAWN_SHOP_ACTIVITY", flag("pawnshop"));
    ctx.Out("LIBFPTR_PARAM_INSURANCE_ACTIVITY", flag("insurance"));
    ctx.Out("LIBFPTR_PARAM_CATERING", flag("catering"));
    ctx.Out("LIBFPTR_PARAM_WHOLESALE", flag("wholesale"));
    ctx.Out("LIBFPTR_PARAM_VENDING", flag("vending"));
  } else if (type == C("LIBFPTR_FNDT_FN_INFO")) {
    const int flags = (c.fnNeedReplacement ? 1 : 0) | (c.fnResourceExhausted ? 2 : 0) |
                      (c.fnMemoryOverflow ? 4 : 0) | (c.fnOfdTimeout ? 8 : 0) |
                      (c.fnCriticalError ? 128 : 0);
    ctx.Out("LIBFPTR_PARAM_SERIAL_NUMBER", Value(s.fnSerial));
    ctx.Out("LIBFPTR_PARAM_FN_VERSION", Value(c.fnVersion));
    ctx.Out("LIBFPTR_PARAM_FN_TYPE", Int(1));
    ctx.Out("LIBFPTR_PARAM_FN_STATE", Int(s.fnPhase));
    ctx.Out("LIBFPTR_PARAM_FN_FLAGS", Int(flags));
    ctx.Out("LIBFPTR_PARAM_FN_NEED_REPLACEMENT", Value(c.fnNeedReplacement));
    ctx.Out("LIBFPTR_PARAM_FN_RESOURCE_EXHAUSTED", Value(c.fnResourceExhausted));
    ctx.Out("LIBFPTR_PARAM_FN_MEMORY_OVERFLOW", Value(c.fnMemoryOverflow));
    ctx.Out("LIBFPTR_PARAM_FN_OFD_TIMEOUT", Value(c.fnOfdTimeout));
    ctx.Out("LIBFPTR_PARAM_FN_CRITICAL_ERROR", Value(c.fnCriticalError));
  } else if (type == C("LIBFPTR_FNDT_FFD_VERSIONS")) {
    ctx.Out("LIBFPTR_PARAM_DEVICE_FFD_VERSION", Int(c.deviceFfdVersion));
    ctx.Out("LIBFPTR_PARAM_FN_FFD_VERSION", Int(c.fnFfdVersion));
    ctx.Out("LIBFPTR_PARAM_FFD_VERSION", Int(s.ffdVersion));
  } else if (type == C("LIBFPTR_FNDT_LAST_REGISTRATION")) {
    if (s.registrationsCount == 0) Fail(errc::kNotFiscal, "ККТ не зарегистрирована");
    ctx.Out("LIBFPTR_PARAM_DOCUMENT_NUMBER", Int(s.lastRegistrationNumber));
    ctx.Out("LIBFPTR_PARAM_REGISTRATIONS_COUNT", Int(s.registrationsCount));
    ctx.Out("LIBFPTR_PARAM_DATE_TIME", Value(WallToDate(s.lastRegistrationTime)));
  } else if (type == C("LIBFPTR_FNDT_LAST_DOCUMENT") || type == C("LIBFPTR_FNDT_LAST_RECEIPT")) {
    const bool receipt = type == C("LIBFPTR_FNDT_LAST_RECEIPT");
    const auto d = ctx.device().LastDocumentLocked(receipt);
    if (!d && receipt) Fail(errc::kNoDocument, "В ФН нет чеков");
    ctx.Out("LIBFPTR_PARAM_DOCUMENT_NUMBER", Int(d ? d->number : 0));
    ctx.Out("LIBFPTR_PARAM_DATE_TIME", Value(WallToDate(d ? d->wallTime : 0)));
    ctx.Out("LIBFPTR_PARAM_FISCAL_SIGN", Value(d ? std::to_string(d->fiscalSign) : std::string()));
    if (receipt) {
      const Tag* kind = FindTag(d->tags, 1054);
      const Tag* sum = FindTag(d->tags, 1020);
      ctx.Out("LIBFPTR_PARAM_RECEIPT_TYPE", Int(kind ? kind->integer : 0));
      ctx.Out("LIBFPTR_PARAM_RECEIPT_SUM", MoneyValue(sum ? sum->integer : 0));
    }
  } else if (type == C("LIBFPTR_FNDT_SHIFT")) {
    ctx.Out("LIBFPTR_PARAM_RECEIPT_NUMBER", Int(s.receiptNumber));
    ctx.Out("LIBFPTR_PARAM_SHIFT_NUMBER", Int(s.shiftNumber));
  } else if (type == C("LIBFPTR_FNDT_OFD_EXCHANGE_STATUS")) {
    const auto unsent = ctx.device().UnsentLocked();
    ctx.Out("LIBFPTR_PARAM_DOCUMENTS_COUNT", Int(unsent.count));
    ctx.Out("LIBFPTR_PARAM_DOCUMENT_NUMBER", Int(unsent.firstNumber));
    ctx.Out("LIBFPTR_PARAM_DATE_TIME", Value(WallToDate(unsent.firstTime)));
  } else if (type == C("LIBFPTR_FNDT_TOTALS")) {
    const int kind = KindFromReceiptType(ctx);
    const auto counters =
        ctx.OptInt("LIBFPTR_PARAM_FN_COUNTERS_TYPE").value_or(C("LIBFPTR_FNCT_SHIFT"));
    const Counters* from = counters == C("LIBFPTR_FNCT_SHIFT")   ? &s.shiftCounters
                           : counters == C("LIBFPTR_FNCT_TOTAL") ? &s.totalCounters
                                                                 : nullptr;
    if (!from) Fail(errc::kBadParam, "Неверный тип счетчиков");
    ctx.Out("LIBFPTR_PARAM_RECEIPTS_COUNT", Int(from->receipts[kind - 1].count));
    ctx.Out("LIBFPTR_PARAM_RECEIPTS_SUM", MoneyValue(from->receipts[kind - 1].sum));
    ctx.Out("LIBFPTR_PARAM_CORRECTIONS_COUNT", Int(from->corrections[kind - 1].count));
    ctx.Out("LIBFPTR_PARAM_CORRECTIONS_SUM", MoneyValue(from->corrections[kind - 1].sum));
  } else if (type == C("LIBFPTR_FNDT_DOCUMENT_BY_NUMBER")) {
    const auto number = ctx.Int("LIBFPTR_PARAM_DOCUMENT_NUMBER");
    const auto it = ctx.device().DocumentLocked(number);
    if (!it) Fail(errc::kNoDocument, "Документ не найден в ФН");
    ctx.Out("LIBFPTR_PARAM_FN_DOCUMENT_TYPE", Int(it->type));
    ctx.Out("LIBFPTR_PARAM_DOCUMENT_NUMBER", Int(it->number));
    ctx.Out("LIBFPTR_PARAM_DATE_TIME", Value(WallToDate(it->wallTime)));
    ctx.Out("LIBFPTR_PARAM_FISCAL_SIGN", Value(std::to_string(it->fiscalSign)));
  } else {
    Fail(errc::kNotSupported, "Неподдерживаемый тип запроса к ФН");
  }
}

void OpReadDeviceSetting(OpContext& ctx) {
  const auto id = ctx.Int("LIBFPTR_PARAM_SETTING_ID");
  const auto& settings = ctx.s().config.deviceSettings;
  auto it =
      id >= INT32_MIN && id <= INT32_MAX ? settings.find(static_cast<int>(id)) : settings.end();
  if (it == settings.end())
    Fail(errc::kBadSetting, "Настройка " + std::to_string(id) + " не поддерживается");
  ctx.Out("LIBFPTR_PARAM_SETTING_VALUE", Value(it->second));
}

void OpWriteDateTime(OpContext& ctx) {
  auto& s = ctx.s();
  const std::int64_t wanted = ctx.WallTime("LIBFPTR_PARAM_DATE_TIME");
  if (wanted < 946684800 || wanted > 4102444800LL) Fail(errc::kBadParam, "Недопустимая дата");
  if (const auto last = ctx.device().LastDocumentLocked(); last && wanted < last->wallTime)
    Fail(errc::kDateBackwards, "Дата меньше даты последнего фискального документа");
  s.clockOffset += wanted - ctx.now();
  ctx.save = true;
}

// ---- stored documents

namespace {
RecordsSelection& Selection(OpContext& ctx) {
  const std::string id = ctx.Text("LIBFPTR_PARAM_RECORDS_ID");
  auto it = ctx.selections.find(id);
  if (it == ctx.selections.end()) Fail(errc::kBadRecordsId, "Неверный идентификатор выборки");
  return it->second;
}
}  // namespace

void OpBeginReadRecords(OpContext& ctx) {
  const auto type = ctx.Int("LIBFPTR_PARAM_RECORDS_TYPE");
  if (ctx.selections.size() >= 16) Fail(errc::kTooManySelections, "Слишком много открытых выборок");
  RecordsSelection selection;
  if (type == C("LIBFPTR_RT_FN_DOCUMENT_TLVS")) {
    const auto number = ctx.Int("LIBFPTR_PARAM_DOCUMENT_NUMBER");
    const auto it = ctx.device().DocumentLocked(number);
    if (!it) Fail(errc::kNoDocument, "Документ не найден в ФН");
    selection.records = it->tags;
    ctx.Out("LIBFPTR_PARAM_FN_DOCUMENT_TYPE", Int(it->type));
    ctx.Out("LIBFPTR_PARAM_DOCUMENT_NUMBER", Int(it->number));
  } else if (type == C("LIBFPTR_RT_PARSE_COMPLEX_ATTR")) {
    auto parsed = ParseTlvs(ctx.Bytes("LIBFPTR_PARAM_TAG_VALUE"));
    if (!parsed) Fail(errc::kBadParam, "Неверная структура составного реквизита");
    selection.records = std::move(*parsed);
  } else {
    Fail(errc::kNotSupported, "Неподдерживаемый тип выборки");
  }
  const std::string id = std::to_string(ctx.nextSelection++);
  ctx.Out("LIBFPTR_PARAM_RECORDS_ID", Value(id));
  ctx.Out("LIBFPTR_PARAM_COUNT", Int(static_cast<std::int64_t>(selection.records.size())));
  ctx.selections[id] = std::move(selection);
}

void OpReadNextRecord(OpContext& ctx) {
  auto& sel = Selection(ctx);
  if (sel.next >= sel.records.size()) Fail(errc::kNoMoreRecords, "Нет больше записей");
  const Tag& t = sel.records[sel.next++];
  ctx.Out("LIBFPTR_PARAM_TAG_NUMBER", Int(t.number));
  ctx.Out("LIBFPTR_PARAM_TAG_NAME", Value(TagName(t.number)));
  ctx.Out("LIBFPTR_PARAM_TAG_TYPE", Int(static_cast<int>(t.type)));
  ctx.Out("LIBFPTR_PARAM_TAG_IS_COMPLEX", Value(t.type == TagType::kStlv));
  ctx.Out("LIBFPTR_PARAM_TAG_VALUE", t.ToValue());
}

void OpEndReadRecords(OpContext& ctx) {
  const std::string id = ctx.Text("LIBFPTR_PARAM_RECORDS_ID");
  if (ctx.selections.erase(id) == 0) Fail(errc::kBadRecordsId, "Неверный идентификатор выборки");
}

// ---- registration and the storage

void OpFnOperation(OpContext& ctx) {
  auto& s = ctx.s();
  const auto op = ctx.Int("LIBFPTR_PARAM_FN_OPERATION_TYPE");
  if (s.receipt.type != 0 || s.nonfiscalOpen)
    Fail(errc::kDocumentOpen, "Документ открыт - операция невозможна");
  if (s.fnPhase == 7) Fail(errc::kFnArchiveClosed, "Архив ФН закрыт");
  if (s.shiftOpen) Fail(errc::kShiftOpen, "Смена открыта - операция невозможна");
  const bool electronic = ctx.Bool("LIBFPTR_PARAM_REPORT_ELECTRONICALLY", false);
  CheckCanMakeFiscalDocument(ctx);
  if (!electronic) CheckPrinter(ctx);
  if (op == C("LIBFPTR_FNOP_CLOSE_ARCHIVE")) {
    if (!s.fiscal) Fail(errc::kNotFiscal, "ККТ не зарегистрирована");
    std::vector<Tag> tags;
    if (!s.cashierName.empty()) tags.push_back(Tag::String(1021, s.cashierName));
    const FiscalDocument& doc = AddFiscalDocument(ctx, 6, std::move(tags));
    s.fiscal = false;
    s.fnPhase = 7;
    if (!electronic) PrintFiscalDocument(ctx, doc, false);
    return;
  }
  const bool registration = op == C("LIBFPTR_FNOP_REGISTRATION");
  const bool changeFn = op == C("LIBFPTR_FNOP_CHANGE_FN");
  if (!registration && !changeFn && op != C("LIBFPTR_FNOP_CHANGE_PARAMETERS"))
    Fail(errc::kBadParam, "Неверный тип операции с ФН");
  if (registration && s.fiscal) Fail(errc::kAlreadyFiscal, "ККТ уже зарегистрирована");
  if (!registration && !s.fiscal) Fail(errc::kNotFiscal, "ККТ не зарегистрирована");

  // The new registration data: what was registered, overwritten by what is staged now.
  std::vector<Tag> staged = ctx.StagedTags();
  std::vector<Tag> reg = registration ? std::vector<Tag>{} : s.registration.tags;
  std::int64_t reasons = 0;
  for (auto& t : staged) {
    if (t.number == 1205) {
      reasons = t.integer;
      continue;
    }
    if (t.number == 1021 || t.number == 1203) continue;
    auto it =
        std::find_if(reg.begin(), reg.end(), [&](const Tag& r) { return r.number == t.number; });
    if (it != reg.end())
      *it = t;
    else
      reg.push_back(t);
  }
  const Tag* inn = FindTag(reg, 1018);
  const std::string innText = inn ? text::Trim(inn->text) : std::string();
  if (innText.empty() || !(innText.size() == 10 || innText.size() == 12) ||
      !std::all_of(innText.begin(), innText.end(), [](char c) { return c >= '0' && c <= '9'; }))
    Fail(errc::kBadParam, "Неверный ИНН пользователя");
  const Tag* number = FindTag(reg, 1037);
  if (!number || text::Trim(number->text).empty())
    Fail(errc::kBadParam, "Не задан регистрационный номер ККТ");
  const Tag* taxation = FindTag(reg, 1062);
  if (!taxation || taxation->integer == 0 || taxation->integer > 63)
    Fail(errc::kBadParam, "Неверные системы налогообложения");
  const Tag* ffd = FindTag(reg, 1209);
  const int version = ffd ? static_cast<int>(ffd->integer) : s.ffdVersion;
  if ((version != 105 && version != 110 && version != 120) || version > s.config.deviceFfdVersion ||
      version > s.config.fnFfdVersion)
    Fail(errc::kBadParam, "Версия ФФД не поддерживается ККТ или ФН");
  if (!registration && reasons == 0) Fail(errc::kMissingParam, "Не заданы причины перерегистрации");

  auto activity = [&](const char* constant, const char* key) {
    if (ctx.Find(constant)) s.registration.activities[key] = ctx.Bool(constant, false);
  };
  if (changeFn) {
    // A new storage: its own serial, its documents start again from one.
    std::string serial = s.fnSerial;
    for (auto it = serial.rbegin(); it != serial.rend(); ++it) {
      if (*it < '0' || *it > '9') continue;
      if (*it != '9') {
        ++*it;
        break;
      }
      *it = '0';
    }
    s.fnSerial = serial;
    ctx.device().ClearDocumentsLocked();
  }
  s.registration.tags = reg;
  activity("LIBFPTR_PARAM_TRADE_MARKED_PRODUCTS", "marking");
  activity("LIBFPTR_PARAM_PAWN_SHOP_ACTIVITY", "pawnshop");
  activity("LIBFPTR_PARAM_INSURANCE_ACTIVITY", "insurance");
  activity("LIBFPTR_PARAM_CATERING", "catering");
  activity("LIBFPTR_PARAM_WHOLESALE", "wholesale");
  activity("LIBFPTR_PARAM_VENDING", "vending");
  s.ffdVersion = version;
  s.fiscal = true;
  s.fnPhase = 3;
  std::vector<Tag> tags = reg;
  if (!registration) tags.push_back(Tag::Integer(1205, TagType::kBits, reasons));
  if (!s.cashierName.empty()) tags.push_back(Tag::String(1021, s.cashierName));
  const FiscalDocument& doc = AddFiscalDocument(ctx, registration ? 1 : 11, std::move(tags));
  ++s.registrationsCount;
  s.lastRegistrationNumber = doc.number;
  s.lastRegistrationTime = doc.wallTime;
  if (!electronic) PrintFiscalDocument(ctx, doc, false);
}

// ---- marking codes

namespace {
MarkingCheck& Marking(OpContext& ctx) { return ctx.device().marking(); }

// The fiscal storage's own check of a code: a GS1 code with a serial and a crypto tail can be
// checked (3: checked and valid); a short code cannot (0); anything else fails (1).
int LocalValidation(const std::string& code) {
  if (code.size() < 25) return 0;
  const bool gs1 = code.compare(0, 2, "01") == 0 && code.compare(16, 2, "21") == 0;
  return gs1 ? 3 : 1;
}
}  // namespace

void OpBeginMarkingCodeValidation(OpContext& ctx) {
  auto& m = Marking(ctx);
  if (ctx.s().ffdVersion < 120)
    Fail(errc::kNotSupported, "Проверка КМ не поддерживается в этой версии ФФД");
  if (m.active) Fail(errc::kMarkingBusy, "Проверка КМ уже выполняется");
  const std::string code = ctx.Text("LIBFPTR_PARAM_MARKING_CODE");
  if (code.empty() || code.size() > 256) Fail(errc::kBadParam, "Неверный код маркировки");
  const auto status = ctx.Int("LIBFPTR_PARAM_MARKING_CODE_STATUS");
  if (status != 1 && status != 2 && status != 3 && status != 4 && status != 255)
    Fail(errc::kBadParam, "Неверный планируемый статус товара");
  if (auto t = ctx.OptInt("LIBFPTR_PARAM_MARKING_CODE_TYPE");
      t && (*t < C("LIBFPTR_MCT12_AUTO") || *t > C("LIBFPTR_MCT12_4_NO_CHECK")))
    Fail(errc::kBadParam, "Неверный тип кода маркировки");
  m.active = true;
  m.offline = ctx.Bool("LIBFPTR_PARAM_MARKING_NOT_SEND_TO_SERVER", false);
  m.failed = false;
  m.code = code;
  m.plannedStatus = static_cast<int>(status);
  m.begun = std::chrono::steady_clock::now();
  const int local = LocalValidation(code);
  ctx.Out("LIBFPTR_PARAM_MARKING_CODE_VALIDATION_RESULT", Int(local));
  ctx.Out("LIBFPTR_PARAM_MARKING_CODE_OFFLINE_VALIDATION_ERROR", Int(local == 0 ? 1 : 0));
}

void OpGetMarkingCodeValidationStatus(OpContext& ctx) {
  auto& m = Marking(ctx);
  const auto& c = ctx.s().config;
  if (!m.active) Fail(errc::kMarkingIdle, "Проверка КМ не запущена");
  bool ready = m.offline;
  int onlineError = 0;
  if (!m.offline) {
    switch (c.markingService) {
      case MarkingService::kFailing:
        m.failed = true;
        Fail(errc::kMarkingService, "Ошибка обмена с сервером ИСМ");
      case MarkingService::kSilent:
        break;
      case MarkingService::kOffline:
        ready = true;
        onlineError = c.markingOnlineError ? c.markingOnlineError : 2;
        break;
      case MarkingService::kOnline:
        ready = std::chrono::steady_clock::now() - m.begun >=
                std::chrono::milliseconds(c.markingDelayMs);
        break;
    }
  }
  ctx.Out("LIBFPTR_PARAM_MARKING_CODE_VALIDATION_READY", Value(ready));
  if (!ready) return;
  m.failed = false;
  ctx.Out("LIBFPTR_PARAM_MARKING_CODE_ONLINE_VALIDATION_ERROR", Int(onlineError));
  ctx.Out("LIBFPTR_PARAM_MARKING_CODE_VALIDATION_RESULT", Int(LocalValidation(m.code)));
  if (m.offline || onlineError != 0) {
    ctx.Out("LIBFPTR_PARAM_TLV_LIST", Value(std::string()));
    return;
  }
  std::string list;
  for (int tag : c.markingAnswerTags) {
    std::int64_t v = 0;
    switch (tag) {
      case 2106:
        v = c.markingValidationResult;
        break;
      case 2109:
        v = c.markingStatusInfo;
        break;
      case 2005:
        v = c.markingProcessingResult;
        break;
      case 2105:
        v = c.markingProcessingCode;
        break;
      case 2100:
        v = c.markingCodeType;
        break;
      case 2114:
        v = ctx.now();
        break;
      default:
        break;
    }
    ctx.Out(tag, Int(v));
    if (!list.empty()) list += ';';
    list += std::to_string(tag);
  }
  ctx.Out("LIBFPTR_PARAM_TLV_LIST", Value(list));
}

void OpAcceptMarkingCode(OpContext& ctx) {
  auto& m = Marking(ctx);
  if (!m.active) Fail(errc::kMarkingIdle, "Проверка КМ не запущена");
  const auto& c = ctx.s().config;
  const bool answered =
      m.offline || c.markingService == MarkingService::kOffline ||
      (c.markingService == MarkingService::kOnline &&
       std::chrono::steady_clock::now() - m.begun >= std::chrono::milliseconds(c.markingDelayMs));
  if (!answered) Fail(errc::kMarkingNotReady, "Результат проверки КМ не получен");
  m.accepted.insert(m.code);
  m.active = false;
}

void OpDeclineMarkingCode(OpContext& ctx) {
  auto& m = Marking(ctx);
  if (!m.active) Fail(errc::kMarkingIdle, "Проверка КМ не запущена");
  m.active = false;
}

void OpCancelMarkingCodeValidation(OpContext& ctx) { Marking(ctx).active = false; }

void OpClearMarkingCodeValidationResult(OpContext& ctx) {
  auto& m = Marking(ctx);
  if (m.active) Fail(errc::kMarkingBusy, "Проверка КМ уже выполняется");
  m.accepted.clear();
}

// ---- the table

OperationFn FindOperation(const std::string& lowerName) {
  static const std::unordered_map<std::string, OperationFn> kTable = {
      {"querydata", OpQueryData},
      {"fnquerydata", OpFnQueryData},
      {"readdevicesetting", OpReadDeviceSetting},
      {"writedatetime", OpWriteDateTime},
      {"operatorlogin", OpOperatorLogin},
      {"openshift", OpOpenShift},
      {"report", OpReport},
      {"cashincome", OpCashIncome},
      {"cashoutcome", OpCashOutcome},
      {"opendrawer", OpOpenDrawer},
      {"openreceipt", OpOpenReceipt},
      {"registration", OpRegistration},
      {"payment", OpPayment},
      {"receipttax", OpReceiptTax},
      {"receipttotal", OpReceiptTotal},
      {"closereceipt", OpCloseReceipt},
      {"cancelreceipt", OpCancelReceipt},
      {"checkdocumentclosed", OpCheckDocumentClosed},
      {"printtext", OpPrintText},
      {"printbarcode", OpPrintBarcode},
      {"printpixelbuffer", OpPrintPixelBuffer},
      {"linefeed", OpLineFeed},
      {"cut", OpCut},
      {"beginnonfiscaldocument", OpBeginNonfiscalDocument},
      {"endnonfiscaldocument", OpEndNonfiscalDocument},
      {"fnoperation", OpFnOperation},
      {"beginreadrecords", OpBeginReadRecords},
      {"readnextrecord", OpReadNextRecord},
      {"endreadrecords", OpEndReadRecords},
      {"writesalesnotice", OpWriteSalesNotice},
      {"beginmarkingcodevalidation", OpBeginMarkingCodeValidation},
      {"getmarkingcodevalidationstatus", OpGetMarkingCodeValidationStatus},
      {"acceptmarkingcode", OpAcceptMarkingCode},
      {"declinemarkingcode", OpDeclineMarkingCode},
      {"cancelmarkingcodevalidation", OpCancelMarkingCodeValidation},
      {"clearmarkingcodevalidationresult", OpClearMarkingCodeValidationResult},
  };
  auto it = kTable.find(lowerName);
  return it == kTable.end() ? nullptr : it->second;
}

}  // namespace vantorel::emulator
