// A receipt made directly on the virtual register, as another program sharing the register would
// make it: the driver only reads what the register then holds.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vregister/constants.h"
#include "vregister/register.h"

namespace vantorel::testing {

struct SalePosition {
  SalePosition(std::string name, double price, double quantity = 1,
               const char* tax = "LIBFPTR_TAX_VAT20", std::string markingCode = {})
      : name(std::move(name)),
        price(price),
        quantity(quantity),
        tax(tax),
        markingCode(std::move(markingCode)) {}
  std::string name;
  double price;
  double quantity;
  const char* tax;
  std::string markingCode;  // a marked position when not empty
};

struct SalePayment {
  const char* type = "LIBFPTR_PT_CASH";
  double sum = 0;
};

// Every step must succeed; a failure names the register's error.
inline void MakeReceipt(emulator::VirtualRegister& r, const char* receiptType,
                        const std::vector<SalePosition>& positions,
                        const std::vector<SalePayment>& payments) {
  using automation::Value;
  const auto C = [](const char* name) { return Value(emulator::C(name)); };
  const auto money = [](double v) {
    return Value(automation::Currency{static_cast<std::int64_t>(v * 10000.0 + 0.5)});
  };
  const auto set = [&](const char* param, const Value& v) { r.call("setParam", C(param), v); };
  const auto call = [&](const char* op) {
    const auto rc = r.call(op).asInt();
    ASSERT_EQ(rc, 0) << op << ": " << r.lastErrorDescription();
  };
  set("LIBFPTR_PARAM_RECEIPT_TYPE", C(receiptType));
  ASSERT_NO_FATAL_FAILURE(call("openReceipt"));
  for (const auto& p : positions) {
    set("LIBFPTR_PARAM_COMMODITY_NAME", Value(p.name));
    set("LIBFPTR_PARAM_PRICE", money(p.price));
    set("LIBFPTR_PARAM_QUANTITY", Value(p.quantity));
    set("LIBFPTR_PARAM_TAX_TYPE", C(p.tax));
    if (!p.markingCode.empty()) {
      set("LIBFPTR_PARAM_MARKING_CODE", Value(p.markingCode));
      set("LIBFPTR_PARAM_MARKING_CODE_STATUS", Value(std::int32_t{1}));
    }
    ASSERT_NO_FATAL_FAILURE(call("registration"));
  }
  for (const auto& p : payments) {
    set("LIBFPTR_PARAM_PAYMENT_TYPE", C(p.type));
    set("LIBFPTR_PARAM_PAYMENT_SUM", money(p.sum));
    ASSERT_NO_FATAL_FAILURE(call("payment"));
  }
  ASSERT_NO_FATAL_FAILURE(call("closeReceipt"));
}

}  // namespace vantorel::testing
