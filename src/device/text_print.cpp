// Text lines, barcodes, pictures and paper movement.
#include "device/device.h"
#include "support/text.h"

namespace vantorel {

namespace {
// GS1: odd positions count once, even positions three times.
char Ean13CheckDigit(std::string_view first12) {
  int s = 0;
  for (int i = 0; i < 12; ++i) s += (first12[i] - '0') * (i % 2 == 0 ? 1 : 3);
  return static_cast<char>('0' + (10 - s % 10) % 10);
}
}  // namespace

std::string Ean13WithCheckDigit(std::string code) {
  if (code.size() != 13) return code;
  for (int i = 0; i < 12; ++i)
    if (code[i] < '0' || code[i] > '9') return code;
  code[12] = Ean13CheckDigit(code);
  return code;
}

namespace {
void PrintLine(TDevice& dev, const std::string& line, std::int32_t font, bool doubleWidth,
               bool doubleHeight) {
  if (text::Trim(line).empty()) return;
  dev.SetParam("LIBFPTR_PARAM_TEXT", line);
  if (font > 0) dev.SetParam("LIBFPTR_PARAM_FONT", font);
  if (doubleWidth) dev.SetParam("LIBFPTR_PARAM_FONT_DOUBLE_WIDTH", true);
  if (doubleHeight) dev.SetParam("LIBFPTR_PARAM_FONT_DOUBLE_HEIGHT", true);
  dev.SetParam("LIBFPTR_PARAM_TEXT_WRAP", dev.Const("LIBFPTR_TW_WORDS"));
  dev.Call("printText");
}
}  // namespace

void TDevice::PrintString(const std::string& line) {
  PrintLine(*this, line, FontNumber, UseDoubleWidth, UseDoubleHeight);
}

void TDevice::ReceiptPrintText(const std::string& line) {
  PrintLine(*this, line, ReceiptFontNumber, ReceiptUseDoubleWidth, ReceiptUseDoubleHeight);
}

void TDevice::PrintBarCode(std::string code, TBarCodeType type) {
  SetParam("LIBFPTR_PARAM_ALIGNMENT", Const("LIBFPTR_ALIGNMENT_CENTER"));
  SetParam("LIBFPTR_PARAM_BARCODE_PRINT_TEXT", true);
  SetParam("LIBFPTR_PARAM_HEIGHT", std::int32_t{50});
  switch (type) {
    case TBarCodeType::btEAN8:
      SetParam("LIBFPTR_PARAM_BARCODE_TYPE", Const("LIBFPTR_BT_EAN_8"));
      break;
    case TBarCodeType::btEAN13:
      code = Ean13WithCheckDigit(std::move(code));
      SetParam("LIBFPTR_PARAM_BARCODE_TYPE", Const("LIBFPTR_BT_EAN_13"));
      break;
    case TBarCodeType::btCODE39:
      SetParam("LIBFPTR_PARAM_BARCODE_TYPE", Const("LIBFPTR_BT_CODE_39"));
      break;
    case TBarCodeType::btQR:
      SetParam("LIBFPTR_PARAM_SCALE", std::int32_t{7});
      SetParam("LIBFPTR_PARAM_BARCODE_TYPE", Const("LIBFPTR_BT_QR"));
      break;
  }
  SetParam("LIBFPTR_PARAM_BARCODE", code);
  Call("printBarcode");
}

// A register without a cutter must not fail the document: the cut is not checked.
void TDevice::Cut(bool part) {
  if (DisableCut) return;
  SetParam("LIBFPTR_PARAM_CUT_TYPE", Const(part ? "LIBFPTR_CT_PART" : "LIBFPTR_CT_FULL"));
  CallUnchecked("cut");
}

void TDevice::Feed(std::int32_t count) {
  for (std::int32_t i = 0; i < count; ++i) Call("lineFeed");
}

void TDevice::BeginNonfiscalDocument() { CallUnchecked("beginNonfiscalDocument"); }

void TDevice::EndNonfiscalDocument(bool footer) {
  SetParam("LIBFPTR_PARAM_PRINT_FOOTER", footer);
  CallUnchecked("endNonfiscalDocument");
}

}  // namespace vantorel
