// `kkt-host demo`: one day at the till, through the add-in exactly as the host calls it, on a fresh
// virtual register. Shows each call with its time and output documents, then the paper tape.
#include "demo.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <pugixml.hpp>
#include <sstream>

#include "scenario.h"
#include "vregister/persistence.h"
#include "vregister/state.h"
#include "vregister/storage.h"

namespace kkthost {

namespace {

void SetEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

std::string Indented(const std::string& text, const std::string& prefix) {
  std::istringstream in(text);
  std::ostringstream out;
  for (std::string line; std::getline(in, line);) out << prefix << line << "\n";
  return out.str();
}

// An XML text laid out for reading; the text itself when it is not XML.
std::string Pretty(const std::string& xml) {
  pugi::xml_document doc;
  if (!doc.load_string(xml.c_str())) return xml + "\n";
  std::ostringstream out;
  doc.save(out, "  ", pugi::format_indent | pugi::format_no_declaration);
  return out.str();
}

// The marking code of the shoes: GTIN, serial, a group separator and the check key.
constexpr const char* kMarkingCode = "MDEwNDYwMTIzNDU2Nzg5MzIxNVZhbnRvcmVsMDAxHTkzZEdWeg==";

std::string SalePackage(bool marked) {
  return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>
<CheckPackage>
  <Parameters OperationType="1" CashierName="Смирнова Е. В." CashierINN="500100732259"
              TaxationSystem="0" CustomerEmail="buyer@example.ru"
              ReceiptText="Спасибо за покупку! Обувь можно вернуть в течение 14 дней при сохранении чека."/>
  <Positions>
    <FiscalString Name="Кофе зерновой 1 кг" Quantity="1" PriceWithDiscount="1169,10"
                  AmountWithDiscount="1169,10" DiscountAmount="129,90" VATRate="20" VATAmount="194,85"
                  Department="1" CalculationSubject="1" PaymentMethod="4" MeasureOfQuantity="0"/>
    <TextString Text="Скидка 10% по карте покупателя"/>
    <FiscalString Name="Молоко 3,2% 1 л" Quantity="2" PriceWithDiscount="89.90"
                  AmountWithDiscount="179.80" DiscountAmount="0" VATRate="10" VATAmount="16.35"
                  Department="1" CalculationSubject="1" PaymentMethod="4" MeasureOfQuantity="0"/>
    <Barcode Type="EAN13" Value="4601234567893"/>
    <GraphicText Text="Vantorel" FontName="" FontStyle="bold" FontSize="18"/>
    <FiscalString Name="Туфли женские" Quantity="1" PriceWithDiscount="3490" AmountWithDiscount="3490"
                  DiscountAmount="0" VATRate="20" VATAmount="581,67" Department="2"
                  CalculationSubject=")") +
         (marked ? std::string("33\" MarkingCode=\"") + kMarkingCode + "\"" : std::string("1\"")) +
         R"( PaymentMethod="4" MeasureOfQuantity="0"/>
    <FiscalString Name="Пакет" Quantity="1" PriceWithDiscount="5" AmountWithDiscount="5"
                  VATRate="none" VATAmount="0" CalculationSubject="1" PaymentMethod="4"/>
  </Positions>
  <Payments Cash="2000" ElectronicPayment="3000"/>
</CheckPackage>
)";
}

constexpr const char* kCashier =
    R"(<InputParameters><Parameters CashierName="Смирнова Е. В." CashierINN="500100732259"/></InputParameters>)";

class Demo {
 public:
  Demo(Component& c, std::ostream& out) : c_(c), out_(out) {}

  // One host call, shown with its time; the failure text read back as the host does.
  std::optional<CallOutcome> Call(const std::string& method, std::vector<Value> params,
                                  const std::string& note = {}) {
    const auto start = std::chrono::steady_clock::now();
    CallOutcome o = c_.Call(method, std::move(params));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    total_ += ms;
    const bool ok =
        o.hostResult && o.result && o.result->code() == abi::VTYPE_BOOL && o.result->boolean;
    out_ << "== " << std::left << std::setw(28) << method << std::right << std::fixed
         << std::setprecision(1) << std::setw(8) << ms << " ms"
         << (note.empty() ? "" : "   " + note) << "\n";
    if (!ok) {
      const LastError e = c_.GetLastError();
      out_ << "   failed: " << e.code << " " << e.description << "\n";
      failed_ = true;
      return std::nullopt;
    }
    return o;
  }
  void Show(const std::string& title, const std::string& text) {
    out_ << "   " << title << ":\n" << Indented(Pretty(text), "     ");
  }
  bool Failed() const { return failed_; }
  double TotalMs() const { return total_; }

 private:
  Component& c_;
  std::ostream& out_;
  double total_ = 0;
  bool failed_ = false;
};

// The paper the register printed, read from its database once the session has let it go.
void ShowTape(const std::filesystem::path& folder, std::ostream& out) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".db") continue;
    auto storage = vantorel::emulator::Storage::Open(entry.path(), false);
    if (!storage) continue;
    const auto config = storage->ReadConfig().value_or(vantorel::emulator::Config{});
    vantorel::emulator::Tape tape(0);
    for (auto& item : storage->Tape()) tape.Add(std::move(item));
    out << "\nPaper tape of the virtual register (" << config.modelName << ", " << config.lineLength
        << " characters a line):\n\n"
        << Indented(tape.RenderText(config.lineLength), "  ");
  }
}

}  // namespace

int RunDemo(Host& host, const std::string& className, const std::vector<std::string>& args) {
  std::filesystem::path folder;
  bool keep = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--register-dir" && i + 1 < args.size()) {
      folder = PathFromUtf8(args[++i]);
      keep = true;
    } else {
      throw UsageError("usage: demo [--register-dir DIR]");
    }
  }
  if (folder.empty()) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    folder = std::filesystem::temp_directory_path() / ("vantorel-demo-" + std::to_string(stamp));
  }
  std::filesystem::create_directories(folder);
  // A register of our own: a fresh one starts registered with a closed shift.
  SetEnvironment("VANTOREL_VREG_DIR", PathToUtf8(folder));

  std::ostream& out = std::cout;
  out << "Vantorel on the virtual register (state in " << PathToUtf8(folder) << ")\n\n";
  int status = 0;
  {
    auto c = host.Create(className);
    Demo demo(*c, out);

    const std::string settings =
        R"(<Parameters><Parameter Name="PortNumber" Value="0"/><Parameter Name="RibbonWidth" Value="80"/>)"
        R"(<Parameter Name="EnablePrinting" Value="0"/><Parameter Name="TimeoutRequestKM" Value="5"/></Parameters>)";
    std::string id;
    if (auto o = demo.Call("ConnectEquipment",
                           {Value::Empty(), Value::Text("ККТ"), Value::Text(settings)})) {
      id = o->params[0].text;
      out << "   DeviceID: " << id << "\n";
    }
    if (!id.empty()) {
      const Value device = Value::Text(id);
      if (auto o = demo.Call("OpenShift", {device, Value::Text(kCashier), Value::Empty()}))
        demo.Show("OutputParameters", o->params[2].text);

      // The shoes are marked: their code is checked with the register and the marking service.
      bool marked = false;
      if (demo.Call("OpenSessionRegistrationKM", {device})) {
        const std::string request =
            std::string(
                R"(<RequestKM GUID="{6F1C3E0A-0000-4000-8000-000000000001}" MarkingCode=")") +
            kMarkingCode + R"(" PlannedStatus="1" Quantity="1" MeasureOfQuantity="0"/>)";
        if (auto o = demo.Call("RequestKM", {device, Value::Text(request), Value::Empty()},
                               "the virtual marking service answers after 0.5 s")) {
          demo.Show("RequestKMResult", o->params[2].text);
          if (auto r =
                  demo.Call("GetProcessingKMResult", {device, Value::Empty(), Value::Empty()})) {
            demo.Show("ProcessingKMResult", r->params[1].text);
            marked = static_cast<bool>(demo.Call(
                "ConfirmKM",
                {device, Value::Text("{6F1C3E0A-0000-4000-8000-000000000001}"), Value::I4(0)}));
          }
        }
      }
      if (!marked) out << "   (the shoes go without their marking code)\n";

      const std::string package = SalePackage(marked);
      out << "   check package:\n" << Indented(package, "     ");
      if (auto o = demo.Call("ProcessCheck",
                             {device, Value::Bool(false), Value::Text(package), Value::Empty()},
                             "5 positions, card 3000 + cash 2000, change 156.10"))
        demo.Show("DocumentOutputParameters", o->params[3].text);
      if (marked) demo.Call("CloseSessionRegistrationKM", {device});

      demo.Call("PrintXReport", {device, Value::Text(kCashier)});
      if (auto o = demo.Call("CloseShift", {device, Value::Text(kCashier), Value::Empty()}))
        demo.Show("OutputParameters", o->params[2].text);
      demo.Call("DisconnectEquipment", {device});
    }
    out << "\nTime in the add-in (driver and virtual register together, the marking service's "
           "wait included): "
        << std::fixed << std::setprecision(1) << demo.TotalMs() << " ms\n";
    status = demo.Failed() ? 1 : 0;
    const auto faults = c->Close();
    PrintMemoryFaults(out, faults);
    if (!faults.empty()) status = 1;
  }
  // With a folder of the caller's, the caller reads the paper itself (kkt-host vreg tape).
  if (!keep) ShowTape(folder, out);
  if (!keep) {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  return status;
}

}  // namespace kkthost
