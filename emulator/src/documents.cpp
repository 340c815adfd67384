// Fiscal and non-fiscal documents: receipts, shifts, reports, cash, and the paper.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "operations.h"
#include "support/text.h"

namespace vantorel::emulator {

using automation::Value;

namespace {

int LineLength(OpContext& ctx) { return ctx.s().config.lineLength; }

bool AutoCut(const DeviceState& s) {
  auto it = s.config.deviceSettings.find(66);
  return s.config.cutter && it != s.config.deviceSettings.end() &&
         (it->second == "1" || it->second == "2");
}

std::uint32_t FiscalSignOf(const FiscalDocument& d, const std::string& fnSerial) {
  std::uint64_t h = 1469598103934665603ull;
  auto mix = [&](const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) {
      h ^= b[i];
      h *= 1099511628211ull;
    }
  };
  mix(fnSerial.data(), fnSerial.size());
  mix(&d.number, sizeof d.number);
  mix(&d.wallTime, sizeof d.wallTime);
  for (const auto& t : d.tags) {
    const auto bytes = EncodeTlv(t);
    mix(bytes.data(), bytes.size());
  }
  return static_cast<std::uint32_t>(1000000000ull + h % 3294967295ull);
}

const char* KindTitle(int kind) {
  switch (kind) {
    case 1:
      return "ПРИХОД";
    case 2:
      return "ВОЗВРАТ ПРИХОДА";
    case 3:
      return "РАСХОД";
    case 4:
      return "ВОЗВРАТ РАСХОДА";
  }
  return "";
}

const char* DocumentTitle(int type) {
  switch (type) {
    case 1:
      return "ОТЧЕТ О РЕГИСТРАЦИИ";
    case 11:
      return "ОТЧЕТ ОБ ИЗМ. ПАРАМЕТРОВ РЕГИСТРАЦИИ";
    case 2:
      return "ОТЧЕТ ОБ ОТКРЫТИИ СМЕНЫ";
    case 3:
      return "КАССОВЫЙ ЧЕК";
    case 31:
      return "КАССОВЫЙ ЧЕК КОРРЕКЦИИ";
    case 5:
      return "ОТЧЕТ О ЗАКРЫТИИ СМЕНЫ";
    case 6:
      return "ОТЧЕТ О ЗАКРЫТИИ ФН";
    case 21:
      return "ОТЧЕТ О ТЕКУЩЕМ СОСТОЯНИИ РАСЧЕТОВ";
  }
  return "ДОКУМЕНТ";
}

const char* TaxTitle(int tax) {
  static const char* kNames[] = {"",           "НДС 20%",   "НДС 10%",  "НДС 20/120",
                                 "НДС 10/110", "НДС 0%",    "БЕЗ НДС",  "НДС 5%",
                                 "НДС 7%",     "НДС 5/105", "НДС 7/107"};
  return tax >= 1 && tax <= 10 ? kNames[tax] : "";
}

// The rate of a tag 1199 code in hundredths of a percent, and whether it is a calculated rate
// (the tax is included in the sum).
Kopecks TaxOf(int tax, Kopecks sum) {
  switch (tax) {
    case 1:
    case 3:
      return static_cast<Kopecks>(std::llround(static_cast<double>(sum) * 20.0 / 120.0));
    case 2:
    case 4:
      return static_cast<Kopecks>(std::llround(static_cast<double>(sum) * 10.0 / 110.0));
    case 7:
    case 9:
      return static_cast<Kopecks>(std::llround(static_cast<double>(sum) * 5.0 / 105.0));
    case 8:
    case 10:
      return static_cast<Kopecks>(std::llround(static_cast<double>(sum) * 7.0 / 107.0));
    default:
      return 0;
  }
}

void RequireFiscal(OpContext& ctx) {
  auto& s = ctx.s();
  if (s.fnPhase == 7) Fail(errc::kFnArchiveClosed, "Архив ФН закрыт");
  if (!s.fiscal) Fail(errc::kNotFiscal, "ККТ не зарегистрирована");
}

void RequireNoDocument(OpContext& ctx) {
  if (ctx.s().receipt.type != 0) Fail(errc::kDocumentOpen, "Чек уже открыт - операция невозможна");
  if (ctx.s().nonfiscalOpen)
    Fail(errc::kDocumentOpen, "Открыт нефискальный документ - операция невозможна");
}

void RequireOpenShift(OpContext& ctx) {
  auto& s = ctx.s();
  if (!s.shiftOpen) Fail(errc::kShiftClosed, "Смена не открыта - операция невозможна");
  if (ctx.now() - s.shiftOpenedAt > 24 * 3600) Fail(errc::kShiftExpired, "Смена превысила 24 часа");
}

// Tags a fiscal data format version does not know, or no longer accepts.
void CheckTagForFormat(const DeviceState& s, int number) {
  const int v = s.ffdVersion;
  const bool only12 =
      number == 2108 || number == 1260 || number == 1261 || number == 1270 || number == 1256;
  const bool before12 = number == 1162 || number == 1197;
  if ((only12 && v < 120) || (before12 && v >= 120)) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "Реквизит %d не поддерживается в ФФД %d.%d", number, v / 100,
                  v % 100 / 10);
    Fail(errc::kNotSupported, buf);
  }
}

std::vector<Tag> CheckedStagedTags(OpContext& ctx) {
  auto tags = ctx.StagedTags();
  for (const auto& t : tags) CheckTagForFormat(ctx.s(), t.number);
  return tags;
}

void PrintHeader(OpContext& ctx) {
  const auto& s = ctx.s();
  for (int tag : {1048, 1009, 1187}) {
    const std::string v = RegText(s, tag);
    if (!v.empty()) PrintLine(ctx, v, Alignment::kCenter);
  }
  const std::string inn = text::Trim(RegText(s, 1018));
  if (!inn.empty()) PrintLine(ctx, "ИНН " + inn, Alignment::kCenter);
}

void PrintFiscalFooter(OpContext& ctx, const FiscalDocument& doc) {
  const auto& s = ctx.s();
  PrintPair(ctx, "РН ККТ", RegText(s, 1037));
  PrintPair(ctx, "ЗН ККТ", s.config.serialNumber);
  PrintPair(ctx, "ФН", s.fnSerial);
  PrintPair(ctx, "ФД", std::to_string(doc.number));
  PrintPair(ctx, "ФП", std::to_string(doc.fiscalSign));
  PrintPair(ctx, "", FormatWall(doc.wallTime).substr(0, 16));
  const std::string site = RegText(s, 1060);
  if (!site.empty()) PrintPair(ctx, "Сайт ФНС", site);
}

std::string QuantityText(double q) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.6g", q);
  return buf;
}

// The receipt's QR code: time, total, storage, document number, fiscal sign and kind, the text
// a buyer's phone reads to check the receipt.
void PrintReceiptQr(OpContext& ctx, const FiscalDocument& doc, int kind, Kopecks total) {
  const std::string wall = FormatWall(doc.wallTime);  // YYYY-MM-DD HH:MM:SS
  const std::string t = wall.substr(0, 4) + wall.substr(5, 2) + wall.substr(8, 2) + "T" +
                        wall.substr(11, 2) + wall.substr(14, 2);
  TapeItem qr;
  qr.kind = TapeItem::Kind::kBarcode;
  qr.barcode = BarcodeKind::kQr;
  qr.text = "t=" + t + "&s=" + FormatMoney(total) + "&fn=" + ctx.s().fnSerial +
            "&i=" + std::to_string(doc.number) + "&fp=" + std::to_string(doc.fiscalSign) +
            "&n=" + std::to_string(kind);
  qr.alignment = Alignment::kCenter;
  qr.scale = 4;
  ctx.s().tape.Add(std::move(qr));
}

void PrintCounters(OpContext& ctx, const Counters& c) {
  for (int k = 0; k < 4; ++k) {
    PrintPair(ctx, std::string("ЧЕКОВ ") + KindTitle(k + 1), std::to_string(c.receipts[k].count));
    PrintPair(ctx, std::string("СУММА ") + KindTitle(k + 1), FormatMoney(c.receipts[k].sum));
  }
  PrintPair(ctx, "ВНЕСЕНИЙ", std::to_string(c.cashIn.count) + " / " + FormatMoney(c.cashIn.sum));
  PrintPair(ctx, "ВЫПЛАТ", std::to_string(c.cashOut.count) + " / " + FormatMoney(c.cashOut.sum));
  PrintPair(ctx, "НАЛИЧНЫХ В КАССЕ", FormatMoney(ctx.s().cash));
}

// The paper running out in the middle of a document, when the configuration plans it: the
// document stays made, its printing stops there.
void PaperMayRunOut(OpContext& ctx) {
  auto& s = ctx.s();
  if (!s.config.paperEndsInNextDocument) return;
  s.config.paperEndsInNextDocument = false;
  s.config.paperPresent = false;
  s.lastDocumentPrinted = false;
  ctx.save = true;
  TapeItem end;
  end.kind = TapeItem::Kind::kDocumentEnd;
  s.tape.Add(std::move(end));
  Fail(errc::kNoPaper, "Нет бумаги");
}

}  // namespace

// ---- printing

void CheckPrinter(OpContext& ctx) {
  const auto& c = ctx.s().config;
  if (c.coverOpen) Fail(errc::kCoverOpen, "Открыта крышка");
  if (!c.paperPresent) Fail(errc::kNoPaper, "Нет бумаги");
  if (c.printerError) Fail(errc::kPrinterFault, "Ошибка печатающего устройства");
}

void PrintLine(OpContext& ctx, std::string line, Alignment a, bool doubleSize) {
  TapeItem item;
  item.kind = TapeItem::Kind::kText;
  item.text = std::move(line);
  item.alignment = a;
  item.wrap = Wrap::kWords;
  item.doubleWidth = item.doubleHeight = doubleSize;
  ctx.s().tape.Add(std::move(item));
}

void PrintPair(OpContext& ctx, const std::string& left, const std::string& right) {
  const int width = LineLength(ctx);
  const int l = static_cast<int>(CodePoints(left)), r = static_cast<int>(CodePoints(right));
  if (l + r + 1 <= width) {
    PrintLine(ctx, left + std::string(static_cast<size_t>(width - l - r), ' ') + right);
  } else {
    PrintLine(ctx, left);
    PrintLine(ctx, right, Alignment::kRight);
  }
}

void BeginPrintedDocument(OpContext& ctx, const std::string& title) {
  TapeItem item;
  item.kind = TapeItem::Kind::kDocumentBegin;
  item.text = title;
  ctx.s().tape.Add(std::move(item));
}

void EndPrintedDocument(OpContext& ctx, bool fiscal) {
  TapeItem end;
  end.kind = TapeItem::Kind::kDocumentEnd;
  ctx.s().tape.Add(std::move(end));
  // The register cuts by itself after its documents when setting 66 says so.
  if (AutoCut(ctx.s())) {
    TapeItem cut;
    cut.kind = TapeItem::Kind::kCut;
    cut.fullCut = fiscal;
    ctx.s().tape.Add(std::move(cut));
  }
}

void CheckCanMakeFiscalDocument(OpContext& ctx) {
  const auto& c = ctx.s().config;
  if (c.fnMemoryOverflow) Fail(errc::kFnFull, "Память ФН переполнена");
  if (c.fnCriticalError) Fail(errc::kFnFull, "Критическая ошибка ФН");
  if (c.fnResourceExhausted) Fail(errc::kFnFull, "Исчерпан ресурс ФН");
}

const FiscalDocument& AddFiscalDocument(OpContext& ctx, int type, std::vector<Tag> tags) {
  auto& s = ctx.s();
  FiscalDocument d;
  d.number = ctx.device().LastNumberLocked() + 1;
  d.type = type;
  d.wallTime = ctx.now();
  d.sent = s.config.ofdConfirmsAtOnce;
  d.tags.push_back(Tag::Time(1012, d.wallTime));
  d.tags.push_back(Tag::Integer(1040, TagType::kUInt32, d.number));
  d.tags.push_back(Tag::String(1041, s.fnSerial));
  for (int number : {1037, 1018, 1048, 1009, 1187}) {
    if (FindTag(tags, number)) continue;
    if (const Tag* t = FindTag(s.registration.tags, number)) d.tags.push_back(*t);
  }
  for (auto& t : tags) d.tags.push_back(std::move(t));
  d.fiscalSign = FiscalSignOf(d, s.fnSerial);
  automation::Bytes sign{0,
                         0,
                         static_cast<std::uint8_t>(d.fiscalSign >> 24),
                         static_cast<std::uint8_t>(d.fiscalSign >> 16),
                         static_cast<std::uint8_t>(d.fiscalSign >> 8),
                         static_cast<std::uint8_t>(d.fiscalSign)};
  d.tags.push_back(Tag::Raw(1077, std::move(sign)));
  ctx.save = true;
  return ctx.device().AddDocumentLocked(std::move(d));
}

void PrintFiscalDocument(OpContext& ctx, const FiscalDocument& doc, bool copy) {
  BeginPrintedDocument(ctx, std::string(copy ? "КОПИЯ: " : "") + DocumentTitle(doc.type));
  if (copy) PrintLine(ctx, "КОПИЯ", Alignment::kCenter, true);
  PrintHeader(ctx);
  PrintLine(ctx, DocumentTitle(doc.type), Alignment::kCenter, true);
  for (const auto& t : doc.tags) {
    if (t.number == 1048 || t.number == 1009 || t.number == 1187 || t.number == 1077) continue;
    if (t.type == TagType::kStlv) {
      PrintLine(ctx, TagName(t.number) + ":");
      for (const auto& c : t.children) PrintPair(ctx, "  " + TagName(c.number), c.ToText());
    } else {
      PrintPair(ctx, TagName(t.number), t.ToText());
    }
  }
  PrintPair(ctx, "ФП", std::to_string(doc.fiscalSign));
  EndPrintedDocument(ctx, true);
}

// ---- cashier, shift, reports

void OpOperatorLogin(OpContext& ctx) {
  auto name = ctx.Find(1021);
  auto inn = ctx.Find(1203);
  std::string n = name ? name->asText() : std::string();
  std::string i = inn ? text::Trim(inn->asText()) : std::string();
  if (!i.empty() && !((i.size() == 10 || i.size() == 12) &&
                      std::all_of(i.begin(), i.end(), [](char c) { return c >= '0' && c <= '9'; })))
    Fail(errc::kBadParam, "Неверный ИНН кассира");
  if (CodePoints(n) > 64) Fail(errc::kBadParam, "Слишком длинное имя кассира");
  ctx.s().cashierName = n;
  ctx.s().cashierInn = i;
}

namespace {
std::vector<Tag> CashierTags(OpContext& ctx, const std::vector<Tag>& staged) {
  std::vector<Tag> out;
  if (!FindTag(staged, 1021) && !ctx.s().cashierName.empty())
    out.push_back(Tag::String(1021, ctx.s().cashierName));
  if (!FindTag(staged, 1203) && !ctx.s().cashierInn.empty())
    out.push_back(Tag::String(1203, ctx.s().cashierInn));
  return out;
}
}  // namespace

void OpOpenShift(OpContext& ctx) {
  auto& s = ctx.s();
  RequireFiscal(ctx);
  RequireNoDocument(ctx);
  if (s.shiftOpen) Fail(errc::kShiftOpen, "Смена уже открыта");
  const bool electronic = ctx.Bool("LIBFPTR_PARAM_REPORT_ELECTRONICALLY", false);
  auto staged = CheckedStagedTags(ctx);
  CheckCanMakeFiscalDocument(ctx);
  if (!electronic) CheckPrinter(ctx);
  s.shiftOpen = true;
  ++s.shiftNumber;
  s.shiftOpenedAt = ctx.now();
  s.receiptNumber = 0;
  s.shiftCounters = Counters{};
  std::vector<Tag> tags{Tag::Integer(1038, TagType::kUInt32, s.shiftNumber)};
  for (auto& t : CashierTags(ctx, staged)) tags.push_back(std::move(t));
  for (auto& t : staged) tags.push_back(std::move(t));
  const FiscalDocument& doc = AddFiscalDocument(ctx, 2, std::move(tags));
  s.lastDocumentPrinted = true;
  if (!electronic) {
    BeginPrintedDocument(ctx, DocumentTitle(2));
    PrintHeader(ctx);
    PrintLine(ctx, DocumentTitle(2), Alignment::kCenter, true);
    PaperMayRunOut(ctx);
    PrintPair(ctx, "СМЕНА", std::to_string(s.shiftNumber));
    if (!s.cashierName.empty()) PrintPair(ctx, "КАССИР", s.cashierName);
    PrintFiscalFooter(ctx, doc);
    EndPrintedDocument(ctx, true);
  }
}

void OpReport(OpContext& ctx) {
  auto& s = ctx.s();
  const int type = static_cast<int>(ctx.Int("LIBFPTR_PARAM_REPORT_TYPE"));
  const bool electronic = ctx.Bool("LIBFPTR_PARAM_REPORT_ELECTRONICALLY", false);
  if (type == C("LIBFPTR_RT_X")) {
    RequireNoDocument(ctx);
    CheckPrinter(ctx);
    BeginPrintedDocument(ctx, "X-ОТЧЕТ");
    PrintHeader(ctx);
    PrintLine(ctx, "ОТЧЕТ БЕЗ ГАШЕНИЯ", Alignment::kCenter, true);
    PrintPair(ctx, "СМЕНА", std::to_string(s.shiftNumber));
    PrintCounters(ctx, s.shiftCounters);
    PrintPair(ctx, "", FormatWall(ctx.now()).substr(0, 16));
    EndPrintedDocument(ctx, false);
    ctx.save = true;
    return;
  }
  if (type == C("LIBFPTR_RT_CLOSE_SHIFT")) {
    RequireFiscal(ctx);
    RequireNoDocument(ctx);
    if (!s.shiftOpen) Fail(errc::kShiftClosed, "Смена не открыта - операция невозможна");
    auto staged = CheckedStagedTags(ctx);
    CheckCanMakeFiscalDocument(ctx);
    if (!electronic) CheckPrinter(ctx);
    std::vector<Tag> tags{Tag::Integer(1038, TagType::kUInt32, s.shiftNumber),
                          Tag::Integer(1118, TagType::kUInt32, s.receiptNumber)};
    for (auto& t : CashierTags(ctx, staged)) tags.push_back(std::move(t));
    for (auto& t : staged) tags.push_back(std::move(t));
    const Counters counters = s.shiftCounters;
    s.shiftOpen = false;
    const FiscalDocument& doc = AddFiscalDocument(ctx, 5, std::move(tags));
    s.lastDocumentPrinted = true;
    if (!electronic) {
      BeginPrintedDocument(ctx, DocumentTitle(5));
      PrintHeader(ctx);
      PrintLine(ctx, DocumentTitle(5), Alignment::kCenter, true);
      PaperMayRunOut(ctx);
      PrintPair(ctx, "СМЕНА", std::to_string(s.shiftNumber));
      PrintCounters(ctx, counters);
      PrintPair(ctx, "ЧЕКОВ ЗА СМЕНУ", std::to_string(s.receiptNumber));
      PrintFiscalFooter(ctx, doc);
      EndPrintedDocument(ctx, true);
    }
    return;
  }
  if (type == C("LIBFPTR_RT_OFD_EXCHANGE_STATUS")) {
    RequireFiscal(ctx);
    RequireNoDocument(ctx);
    CheckCanMakeFiscalDocument(ctx);
    if (!electronic) CheckPrinter(ctx);
    const auto [unsent, firstNumber, firstTime] = ctx.device().UnsentLocked();
    std::vector<Tag> tags{Tag::Integer(1097, TagType::kUInt32, unsent)};
    if (unsent) {
      tags.push_back(Tag::Integer(1116, TagType::kUInt32, firstNumber));
      tags.push_back(Tag::Time(1098, firstTime));
    }
    const FiscalDocument& doc = AddFiscalDocument(ctx, 21, std::move(tags));
    s.lastDocumentPrinted = true;
    if (!electronic) PrintFiscalDocument(ctx, doc, false);
    return;
  }
  if (type == C("LIBFPTR_RT_FN_DOC_BY_NUMBER") || type == C("LIBFPTR_RT_LAST_DOCUMENT")) {
    RequireNoDocument(ctx);
    const std::optional<FiscalDocument> doc =
        type == C("LIBFPTR_RT_LAST_DOCUMENT")
            ? ctx.device().LastDocumentLocked()
            : ctx.device().DocumentLocked(ctx.Int("LIBFPTR_PARAM_DOCUMENT_NUMBER"));
    if (!doc) Fail(errc::kNoDocument, "Документ не найден в ФН");
    CheckPrinter(ctx);
    PrintFiscalDocument(ctx, *doc, true);
    ctx.save = true;
    return;
  }
  Fail(errc::kNotSupported, "Неподдерживаемый тип отчета");
}

void CashOperation(OpContext& ctx, bool income) {
  auto& s = ctx.s();
  RequireFiscal(ctx);
  RequireNoDocument(ctx);
  RequireOpenShift(ctx);
  const Kopecks sum = ctx.Money("LIBFPTR_PARAM_SUM");
  if (sum < 0) Fail(errc::kBadParam, "Неверная сумма");
  if (!income && sum > s.cash) Fail(errc::kCashShort, "Не хватает наличности в денежном ящике");
  const bool electronic = ctx.Bool("LIBFPTR_PARAM_DOCUMENT_ELECTRONICALLY", false);
  if (!electronic) CheckPrinter(ctx);
  s.cash += income ? sum : -sum;
  for (Counters* c : {&s.shiftCounters, &s.totalCounters}) {
    Counter& k = income ? c->cashIn : c->cashOut;
    ++k.count;
    k.sum += sum;
  }
  s.lastDocumentPrinted = true;
  ctx.save = true;
  if (!electronic) {
    const char* title = income ? "ВНЕСЕНИЕ" : "ВЫПЛАТА";
    BeginPrintedDocument(ctx, title);
    PrintHeader(ctx);
    PrintLine(ctx, title, Alignment::kCenter, true);
    PrintPair(ctx, "СУММА", FormatMoney(sum));
    PrintPair(ctx, "НАЛИЧНЫХ В КАССЕ", FormatMoney(s.cash));
    if (!s.cashierName.empty()) PrintPair(ctx, "КАССИР", s.cashierName);
    PrintPair(ctx, "", FormatWall(ctx.now()).substr(0, 16));
    EndPrintedDocument(ctx, false);
  }
}

void OpCashIncome(OpContext& ctx) { CashOperation(ctx, true); }
void OpCashOutcome(OpContext& ctx) { CashOperation(ctx, false); }

void OpOpenDrawer(OpContext& ctx) { ctx.s().drawerOpen = true; }

// ---- receipts

void OpOpenReceipt(OpContext& ctx) {
  auto& s = ctx.s();
  RequireFiscal(ctx);
  RequireNoDocument(ctx);
  RequireOpenShift(ctx);
  const int type = static_cast<int>(ctx.Int("LIBFPTR_PARAM_RECEIPT_TYPE"));
  const int kind = ReceiptKind(type);
  if (kind == 0) Fail(errc::kBadParam, "Неверный тип чека");
  if (IsCorrection(type) && (kind == 2 || kind == 4) && s.ffdVersion < 110)
    Fail(errc::kNotSupported, "Чек коррекции возврата не поддерживается в ФФД 1.05");
  const bool electronic = ctx.Bool("LIBFPTR_PARAM_RECEIPT_ELECTRONICALLY", false);
  auto staged = CheckedStagedTags(ctx);
  if (const Tag* tt = FindTag(staged, 1055); tt && tt->integer != 0) {
    const Tag* registered = FindTag(s.registration.tags, 1062);
    const bool single = (tt->integer & (tt->integer - 1)) == 0;
    if (!single || !registered || (registered->integer & tt->integer) == 0)
      Fail(errc::kBadParam, "Система налогообложения не зарегистрирована в ККТ");
  }
  if (!electronic) CheckPrinter(ctx);
  CheckCanMakeFiscalDocument(ctx);
  s.receipt = Receipt{};
  s.receipt.type = type;
  s.receipt.electronic = electronic;
  s.receipt.tags = std::move(staged);
  ctx.save = true;
  if (!electronic) {
    BeginPrintedDocument(ctx, DocumentTitle(IsCorrection(type) ? 31 : 3));
    PrintHeader(ctx);
    PrintLine(ctx, DocumentTitle(IsCorrection(type) ? 31 : 3), Alignment::kCenter, true);
    PrintLine(ctx, KindTitle(kind), Alignment::kCenter);
  }
}

void OpRegistration(OpContext& ctx) {
  auto& s = ctx.s();
  auto& r = s.receipt;
  if (r.type == 0) Fail(errc::kReceiptClosed, "Чек не открыт - операция невозможна");
  if (!r.payments.empty())
    Fail(errc::kBadParam, "Оплата уже начата - регистрация позиций невозможна");
  Position p;
  p.name = ctx.Text("LIBFPTR_PARAM_COMMODITY_NAME");
  if (CodePoints(p.name) > 128)
    Fail(errc::kBadParam, "Слишком длинное наименование предмета расчета");
  p.price = ctx.Money("LIBFPTR_PARAM_PRICE");
  p.quantity = ctx.Real("LIBFPTR_PARAM_QUANTITY");
  if (p.price < 0) Fail(errc::kBadParam, "Неверная цена");
  if (!(p.quantity > 0) || p.quantity > 1e8) Fail(errc::kBadParam, "Неверное количество");
  const Kopecks cost =
      static_cast<Kopecks>(std::llround(static_cast<double>(p.price) * p.quantity));
  p.sum = ctx.OptMoney("LIBFPTR_PARAM_POSITION_SUM").value_or(cost);
  if (p.sum < 0 || p.sum > cost + 1) Fail(errc::kBadParam, "Сумма позиции больше ее стоимости");
  p.taxType = static_cast<int>(ctx.Int("LIBFPTR_PARAM_TAX_TYPE"));
  if (p.taxType < 1 || p.taxType > 10) Fail(errc::kBadParam, "Неверная ставка НДС");
  p.taxSum = ctx.OptMoney("LIBFPTR_PARAM_TAX_SUM").value_or(TaxOf(p.taxType, p.sum));
  if (p.taxSum < 0 || p.taxSum > p.sum) Fail(errc::kBadParam, "Неверная сумма НДС");
  p.department = static_cast<int>(ctx.OptInt("LIBFPTR_PARAM_DEPARTMENT").value_or(0));
  if (p.department < 0 || p.department > 99) Fail(errc::kBadParam, "Неверный номер отдела");

  auto staged = CheckedStagedTags(ctx);
  std::vector<Tag> code;  // children of tag 1163
  if (auto mark = ctx.OptText("LIBFPTR_PARAM_MARKING_CODE")) {
    if (s.ffdVersion < 120)
      Fail(errc::kNotSupported, "Код маркировки не поддерживается в этой версии ФФД");
    if (mark->empty() || mark->size() > 256) Fail(errc::kBadParam, "Неверный код маркировки");
    code.push_back(Tag::String(1305, *mark));
    const auto status = ctx.OptInt("LIBFPTR_PARAM_MARKING_CODE_STATUS").value_or(0);
    const auto result =
        ctx.OptInt("LIBFPTR_PARAM_MARKING_CODE_ONLINE_VALIDATION_RESULT").value_or(0);
    if (status < 0 || status > 255 || result < 0 || result > 255)
      Fail(errc::kBadParam, "Неверный статус кода маркировки");
    staged.push_back(Tag::Integer(2106, TagType::kBits, result));
    if (auto fraction = ctx.OptText("LIBFPTR_PARAM_MARKING_FRACTIONAL_QUANTITY")) {
      int n = 0, d = 0;
      char extra = 0;
      if (std::sscanf(fraction->c_str(), "%d/%d%c", &n, &d, &extra) != 2 || n <= 0 || d <= 0 ||
          n >= d)
        Fail(errc::kBadParam, "Неверное дробное количество");
      staged.push_back(Tag::String(1291, *fraction));
    }
  }
  if (auto product = ctx.OptText("LIBFPTR_PARAM_PRODUCT_CODE")) {
    if (s.ffdVersion < 120)
      Fail(errc::kNotSupported, "Код товара 1163 не поддерживается в этой версии ФФД");
    const bool digits =
        !product->empty() &&
        std::all_of(product->begin(), product->end(), [](char c) { return c >= '0' && c <= '9'; });
    const int kind = digits && product->size() == 8    ? 1301
                     : digits && product->size() == 13 ? 1302
                     : digits && product->size() == 14 ? 1303
                                                       : 1300;
    code.push_back(Tag::String(kind, *product));
  }
  std::vector<Tag> tags{Tag::String(1030, p.name), Tag::Money(1079, p.price),
                        Tag::Quantity(1023, p.quantity), Tag::Money(1043, p.sum),
                        Tag::Integer(1199, TagType::kByte, p.taxType)};
  if (p.taxSum > 0 || TaxOf(p.taxType, 100) > 0) tags.push_back(Tag::Money(1200, p.taxSum));
  if (!FindTag(staged, 1212)) tags.push_back(Tag::Integer(1212, TagType::kByte, 1));
  if (!FindTag(staged, 1214)) tags.push_back(Tag::Integer(1214, TagType::kByte, 4));
  for (auto& t : staged) tags.push_back(std::move(t));
  if (!code.empty()) tags.push_back(Tag::Compound(1163, std::move(code)));
  p.tags = std::move(tags);
  if (!r.electronic) {
    CheckPrinter(ctx);
    PrintLine(ctx, p.name);
    PrintPair(ctx, QuantityText(p.quantity) + " X " + FormatMoney(p.price),
              "=" + FormatMoney(p.sum));
    if (TaxOf(p.taxType, 100) > 0)
      PrintPair(ctx, TaxTitle(p.taxType), "=" + FormatMoney(p.taxSum));
    else
      PrintPair(ctx, TaxTitle(p.taxType), "");
  }
  r.positions.push_back(std::move(p));
}

namespace {
Kopecks ReceiptTotal(const Receipt& r) {
  if (r.total) return *r.total;
  Kopecks t = 0;
  for (const auto& p : r.positions) t += p.sum;
  return t;
}
Kopecks Paid(const Receipt& r, bool cashOnly, bool nonCashOnly) {
  Kopecks t = 0;
  for (const auto& [type, sum] : r.payments)
    if ((!cashOnly || type == 0) && (!nonCashOnly || type != 0)) t += sum;
  return t;
}
}  // namespace

void OpReceiptTotal(OpContext& ctx) {
  auto& r = ctx.s().receipt;
  if (r.type == 0) Fail(errc::kReceiptClosed, "Чек не открыт - операция невозможна");
  const Kopecks sum = ctx.Money("LIBFPTR_PARAM_SUM");
  if (sum < 0) Fail(errc::kBadParam, "Неверная сумма чека");
  if (!r.positions.empty()) {
    Kopecks positions = 0;
    for (const auto& p : r.positions) positions += p.sum;
    // Only a rounding discount below one rouble may be given on a receipt with positions.
    if (sum > positions || positions - sum >= 100)
      Fail(errc::kBadParam, "Итог чека не совпадает с суммой позиций");
  }
  r.total = sum;
}

void OpReceiptTax(OpContext& ctx) {
  auto& r = ctx.s().receipt;
  if (r.type == 0) Fail(errc::kReceiptClosed, "Чек не открыт - операция невозможна");
  const int tax = static_cast<int>(ctx.Int("LIBFPTR_PARAM_TAX_TYPE"));
  if (tax < 1 || tax > 10) Fail(errc::kBadParam, "Неверная ставка НДС");
  const Kopecks sum = ctx.Money("LIBFPTR_PARAM_TAX_SUM");
  if (sum < 0) Fail(errc::kBadParam, "Неверная сумма НДС");
  r.taxes.emplace_back(tax, sum);
}

void OpPayment(OpContext& ctx) {
  auto& r = ctx.s().receipt;
  if (r.type == 0) Fail(errc::kReceiptClosed, "Чек не открыт - операция невозможна");
  const int type = static_cast<int>(ctx.Int("LIBFPTR_PARAM_PAYMENT_TYPE"));
  if (type < 0 || type > 9) Fail(errc::kBadParam, "Неверный тип оплаты");
  const Kopecks sum = ctx.Money("LIBFPTR_PARAM_PAYMENT_SUM");
  if (sum <= 0) Fail(errc::kBadParam, "Неверная сумма оплаты");
  r.payments.emplace_back(type, sum);
  const Kopecks total = ReceiptTotal(r), paid = Paid(r, false, false);
  ctx.Out("LIBFPTR_PARAM_REMAINDER", MoneyValue(std::max<Kopecks>(0, total - paid)));
  ctx.Out("LIBFPTR_PARAM_CHANGE", MoneyValue(std::max<Kopecks>(0, paid - total)));
}

void OpCloseReceipt(OpContext& ctx) {
  auto& s = ctx.s();
  auto& r = s.receipt;
  if (r.type == 0) Fail(errc::kReceiptClosed, "Чек не открыт - операция невозможна");
  const int kind = ReceiptKind(r.type);
  const bool correction = IsCorrection(r.type);
  if (r.positions.empty() && !r.total) Fail(errc::kEmptyReceipt, "Чек не содержит позиций");
  const Kopecks total = ReceiptTotal(r);
  const Kopecks paid = Paid(r, false, false), nonCash = Paid(r, false, true),
                cashPaid = Paid(r, true, false);
  if (paid < total) Fail(errc::kPaymentShort, "Сумма оплаты меньше итога чека");
  if (nonCash > total) Fail(errc::kNonCashOver, "Сумма безналичных оплат больше итога чека");
  const Kopecks change = paid - total;
  const Kopecks cashNet = cashPaid - change;
  const bool cashOut = kind == 2 || kind == 3;
  if (cashOut && cashNet > s.cash) Fail(errc::kCashShort, "Не хватает наличности в денежном ящике");
  auto closing = CheckedStagedTags(ctx);
  CheckCanMakeFiscalDocument(ctx);
  if (!r.electronic) CheckPrinter(ctx);

  // The document.
  std::vector<Tag> tags;
  ++s.receiptNumber;
  tags.push_back(Tag::Integer(1038, TagType::kUInt32, s.shiftNumber));
  tags.push_back(Tag::Integer(1042, TagType::kUInt32, s.receiptNumber));
  tags.push_back(Tag::Integer(1054, TagType::kByte, kind));
  std::vector<Tag> staged = r.tags;
  for (auto& t : closing) staged.push_back(std::move(t));
  if (const Tag* tt = FindTag(staged, 1055); !tt || tt->integer == 0) {
    const Tag* registered = FindTag(s.registration.tags, 1062);
    std::int64_t bits = registered ? registered->integer : 1;
    tags.push_back(Tag::Integer(1055, TagType::kByte, bits & -bits));
  }
  for (auto& t : CashierTags(ctx, staged)) tags.push_back(std::move(t));
  for (auto& t : staged)
    if (!(t.number == 1055 && t.integer == 0)) tags.push_back(std::move(t));
  for (auto& p : r.positions) tags.push_back(Tag::Compound(1059, p.tags));
  tags.push_back(Tag::Money(1020, total));
  Kopecks byKind[5] = {};
  for (const auto& [type, sum] : r.payments) {
    const int slot = type == 0 ? 0 : type == 2 ? 2 : type == 3 ? 3 : type == 4 ? 4 : 1;
    byKind[slot] += sum;
  }
  byKind[0] -= change;
  const int paymentTags[5] = {1031, 1081, 1215, 1216, 1217};
  for (int k = 0; k < 5; ++k)
    if (k < 2 || byKind[k] != 0) tags.push_back(Tag::Money(paymentTags[k], byKind[k]));
  // Receipt tax totals: those given, else those of the positions.
  Kopecks taxTotals[11] = {};
  if (!r.taxes.empty()) {
    for (const auto& [tax, sum] : r.taxes) taxTotals[tax] += sum;
  } else {
    for (const auto& p : r.positions)
      taxTotals[p.taxType] += (p.taxType == 5 || p.taxType == 6) ? p.sum : p.taxSum;
  }
  const std::pair<int, int> taxTags[] = {{1, 1102}, {2, 1103}, {5, 1104},
                                         {6, 1105}, {3, 1106}, {4, 1107}};
  for (const auto& [tax, tag] : taxTags)
    if (taxTotals[tax] != 0) tags.push_back(Tag::Money(tag, taxTotals[tax]));

  const FiscalDocument& doc = AddFiscalDocument(ctx, correction ? 31 : 3, std::move(tags));

  // Money.
  if (kind == 1 || kind == 4)
    s.cash += cashNet;
  else
    s.cash -= cashNet;
  for (Counters* c : {&s.shiftCounters, &s.totalCounters}) {
    Counter& k = correction ? c->corrections[kind - 1] : c->receipts[kind - 1];
    ++k.count;
    k.sum += total;
    for (const auto& [type, sum] : r.payments) c->payments[kind - 1][type] += sum;
    c->payments[kind - 1][0] -= change;
  }
  s.lastDocumentPrinted = true;
  const Receipt done = std::move(s.receipt);
  s.receipt = Receipt{};
  ctx.Out("LIBFPTR_PARAM_CHANGE", MoneyValue(change));

  if (!done.electronic) {
    // The total in double size, as registers print it: half as many characters per line.
    {
      const int half = LineLength(ctx) / 2;
      const std::string right = "=" + FormatMoney(total);
      const int gap = std::max(1, half - 4 - static_cast<int>(CodePoints(right)));
      PrintLine(ctx, "ИТОГ" + std::string(static_cast<size_t>(gap), ' ') + right, Alignment::kLeft,
                true);
    }
    PaperMayRunOut(ctx);
    static const char* kPaymentNames[] = {"НАЛИЧНЫМИ",
                                          "БЕЗНАЛИЧНЫМИ",
                                          "ПРЕДВАРИТЕЛЬНАЯ ОПЛАТА",
                                          "ПОСТОПЛАТА",
                                          "ВСТРЕЧНОЕ ПРЕДОСТАВЛЕНИЕ",
                                          "ОПЛАТА 6",
                                          "ОПЛАТА 7",
                                          "ОПЛАТА 8",
                                          "ОПЛАТА 9",
                                          "ОПЛАТА 10"};
    for (const auto& [type, sum] : done.payments)
      PrintPair(ctx, kPaymentNames[type], "=" + FormatMoney(sum));
    if (change > 0) PrintPair(ctx, "СДАЧА", "=" + FormatMoney(change));
    for (int tax = 1; tax <= 10; ++tax)
      if (taxTotals[tax] != 0)
        PrintPair(ctx, std::string("СУММА ") + TaxTitle(tax), "=" + FormatMoney(taxTotals[tax]));
    const Tag* cashier = FindTag(doc.tags, 1021);
    if (cashier) PrintPair(ctx, "КАССИР", cashier->text);
    PrintPair(ctx, "ЧЕК", std::to_string(s.receiptNumber));
    PrintPair(ctx, "СМЕНА", std::to_string(s.shiftNumber));
    PrintFiscalFooter(ctx, doc);
    PrintReceiptQr(ctx, doc, kind, total);
    EndPrintedDocument(ctx, true);
  }
}

void OpCancelReceipt(OpContext& ctx) {
  auto& s = ctx.s();
  if (s.receipt.type == 0) Fail(errc::kReceiptClosed, "Чек не открыт - операция невозможна");
  const bool printed = !s.receipt.electronic;
  s.receipt = Receipt{};
  ctx.save = true;
  if (printed) {
    PrintLine(ctx, "ЧЕК АННУЛИРОВАН", Alignment::kCenter, true);
    EndPrintedDocument(ctx, false);
  }
}

void OpCheckDocumentClosed(OpContext& ctx) {
  const auto& s = ctx.s();
  ctx.Out("LIBFPTR_PARAM_DOCUMENT_CLOSED", Value(s.receipt.type == 0 && !s.nonfiscalOpen));
  ctx.Out("LIBFPTR_PARAM_DOCUMENT_PRINTED", Value(s.lastDocumentPrinted));
}

void OpWriteSalesNotice(OpContext& ctx) {
  auto& s = ctx.s();
  if (s.receipt.type == 0) Fail(errc::kReceiptClosed, "Чек не открыт - операция невозможна");
  if (s.ffdVersion < 120)
    Fail(errc::kNotSupported, "Уведомление о реализации не поддерживается в этой версии ФФД");
  auto tags = CheckedStagedTags(ctx);
  if (tags.empty()) Fail(errc::kMissingParam, "Нет реквизитов уведомления о реализации");
  for (auto& t : tags) s.receipt.tags.push_back(std::move(t));
}

// ---- printing operations

namespace {
bool InElectronicReceipt(OpContext& ctx) {
  return ctx.s().receipt.type != 0 && ctx.s().receipt.electronic;
}

Alignment AlignmentOf(OpContext& ctx) {
  const auto a = ctx.OptInt("LIBFPTR_PARAM_ALIGNMENT").value_or(C("LIBFPTR_ALIGNMENT_LEFT"));
  if (a == C("LIBFPTR_ALIGNMENT_LEFT")) return Alignment::kLeft;
  if (a == C("LIBFPTR_ALIGNMENT_CENTER")) return Alignment::kCenter;
  if (a == C("LIBFPTR_ALIGNMENT_RIGHT")) return Alignment::kRight;
  Fail(errc::kBadParam, "Неверное выравнивание");
}

int CheckDigit(const std::string& digits) {
  int sum = 0;
  const size_t n = digits.size();
  for (size_t i = 0; i < n; ++i) sum += (digits[n - 1 - i] - '0') * (i % 2 == 0 ? 3 : 1);
  return (10 - sum % 10) % 10;
}

std::string CheckedEan(std::string code, size_t length) {
  if (!std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
      (code.size() != length && code.size() != length - 1))
    Fail(errc::kBadParam, "Неверный штрихкод EAN-" + std::to_string(length));
  const std::string body = code.substr(0, length - 1);
  const char digit = static_cast<char>('0' + CheckDigit(body));
  if (code.size() == length && code.back() != digit)
    Fail(errc::kBadParam, "Неверная контрольная цифра штрихкода EAN-" + std::to_string(length));
  return body + digit;
}
}  // namespace

void OpPrintText(OpContext& ctx) {
  TapeItem item;
  item.kind = TapeItem::Kind::kText;
  item.text = ctx.Text("LIBFPTR_PARAM_TEXT");
  if (item.text.size() > 65536) Fail(errc::kBadParam, "Слишком длинный текст");
  item.alignment = AlignmentOf(ctx);
  const auto wrap = ctx.OptInt("LIBFPTR_PARAM_TEXT_WRAP").value_or(C("LIBFPTR_TW_NONE"));
  if (wrap == C("LIBFPTR_TW_NONE"))
    item.wrap = Wrap::kNone;
  else if (wrap == C("LIBFPTR_TW_WORDS"))
    item.wrap = Wrap::kWords;
  else if (wrap == C("LIBFPTR_TW_CHARS"))
    item.wrap = Wrap::kChars;
  else
    Fail(errc::kBadParam, "Неверный способ переноса строк");
  const auto font = ctx.OptInt("LIBFPTR_PARAM_FONT").value_or(0);
  if (font < 0 || font > 9) Fail(errc::kBadParam, "Неверный номер шрифта");
  item.font = static_cast<int>(font);
  item.doubleWidth = ctx.Bool("LIBFPTR_PARAM_FONT_DOUBLE_WIDTH", false);
  item.doubleHeight = ctx.Bool("LIBFPTR_PARAM_FONT_DOUBLE_HEIGHT", false);
  if (InElectronicReceipt(ctx)) return;
  CheckPrinter(ctx);
  ctx.s().tape.Add(std::move(item));
}

void OpPrintBarcode(OpContext& ctx) {
  TapeItem item;
  item.kind = TapeItem::Kind::kBarcode;
  const auto type = ctx.Int("LIBFPTR_PARAM_BARCODE_TYPE");
  std::string code = ctx.Text("LIBFPTR_PARAM_BARCODE");
  if (code.empty()) Fail(errc::kBadParam, "Пустой штрихкод");
  if (type == C("LIBFPTR_BT_EAN_8")) {
    item.barcode = BarcodeKind::kEan8;
    code = CheckedEan(code, 8);
  } else if (type == C("LIBFPTR_BT_EAN_13")) {
    item.barcode = BarcodeKind::kEan13;
    code = CheckedEan(code, 13);
  } else if (type == C("LIBFPTR_BT_CODE_39")) {
    item.barcode = BarcodeKind::kCode39;
    const std::string allowed = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ -.$/+%";
    if (code.size() > 80 || code.find_first_not_of(allowed) != std::string::npos)
      Fail(errc::kBadParam, "Недопустимые символы в штрихкоде CODE 39");
  } else if (type == C("LIBFPTR_BT_QR")) {
    item.barcode = BarcodeKind::kQr;
    if (code.size() > 2953) Fail(errc::kBadParam, "Слишком длинные данные QR-кода");
  } else {
    Fail(errc::kBadParam, "Неверный тип штрихкода");
  }
  item.text = code;
  item.alignment = AlignmentOf(ctx);
  item.barcodeText = ctx.Bool("LIBFPTR_PARAM_BARCODE_PRINT_TEXT", false);
  const auto scale = ctx.OptInt("LIBFPTR_PARAM_SCALE").value_or(2);
  const auto height = ctx.OptInt("LIBFPTR_PARAM_HEIGHT").value_or(50);
  if (scale < 1 || scale > 10) Fail(errc::kBadParam, "Неверный масштаб штрихкода");
  if (height < 1 || height > 500) Fail(errc::kBadParam, "Неверная высота штрихкода");
  item.scale = static_cast<int>(scale);
  item.height = static_cast<int>(height);
  if (InElectronicReceipt(ctx)) return;
  CheckPrinter(ctx);
  ctx.s().tape.Add(std::move(item));
}

void OpPrintPixelBuffer(OpContext& ctx) {
  TapeItem item;
  item.kind = TapeItem::Kind::kPicture;
  item.pixels = ctx.Bytes("LIBFPTR_PARAM_PIXEL_BUFFER");
  const auto width = ctx.Int("LIBFPTR_PARAM_WIDTH");
  if (width < 1 || width > ctx.s().config.lineLengthPix)
    Fail(errc::kBadParam, "Ширина изображения больше ширины ленты");
  if (item.pixels.empty() || item.pixels.size() % static_cast<size_t>(width) != 0)
    Fail(errc::kBadParam, "Размер изображения не кратен его ширине");
  const auto height = item.pixels.size() / static_cast<size_t>(width);
  if (height > 20000) Fail(errc::kBadParam, "Слишком высокое изображение");
  item.width = static_cast<int>(width);
  item.height = static_cast<int>(height);
  item.alignment = AlignmentOf(ctx);
  item.scale = static_cast<int>(ctx.OptInt("LIBFPTR_PARAM_SCALE").value_or(100));
  if (InElectronicReceipt(ctx)) return;
  CheckPrinter(ctx);
  ctx.s().tape.Add(std::move(item));
}

void OpLineFeed(OpContext& ctx) {
  const auto lines = ctx.OptInt("LIBFPTR_PARAM_LINES").value_or(1);
  if (lines < 1 || lines > 100) Fail(errc::kBadParam, "Неверное число строк");
  if (InElectronicReceipt(ctx)) return;
  CheckPrinter(ctx);
  TapeItem item;
  item.kind = TapeItem::Kind::kFeed;
  item.lines = static_cast<int>(lines);
  ctx.s().tape.Add(std::move(item));
}

void OpCut(OpContext& ctx) {
  const auto type = ctx.OptInt("LIBFPTR_PARAM_CUT_TYPE").value_or(C("LIBFPTR_CT_FULL"));
  if (type != C("LIBFPTR_CT_FULL") && type != C("LIBFPTR_CT_PART"))
    Fail(errc::kBadParam, "Неверный тип отрезки");
  if (!ctx.s().config.cutter) Fail(errc::kNotSupported, "Отрезчик отсутствует");
  if (ctx.s().config.coverOpen) Fail(errc::kCoverOpen, "Открыта крышка");
  TapeItem item;
  item.kind = TapeItem::Kind::kCut;
  item.fullCut = type == C("LIBFPTR_CT_FULL");
  ctx.s().tape.Add(std::move(item));
}

void OpBeginNonfiscalDocument(OpContext& ctx) {
  RequireNoDocument(ctx);
  CheckPrinter(ctx);
  ctx.s().nonfiscalOpen = true;
  BeginPrintedDocument(ctx, "НЕФИСКАЛЬНЫЙ ДОКУМЕНТ");
  ctx.save = true;
}

void OpEndNonfiscalDocument(OpContext& ctx) {
  auto& s = ctx.s();
  if (!s.nonfiscalOpen) Fail(errc::kNoNonfiscal, "Нефискальный документ не открыт");
  const bool footer = ctx.Bool("LIBFPTR_PARAM_PRINT_FOOTER", true);
  s.nonfiscalOpen = false;
  s.lastDocumentPrinted = true;
  if (footer) PrintHeader(ctx);
  EndPrintedDocument(ctx, false);
  ctx.save = true;
}

}  // namespace vantorel::emulator
