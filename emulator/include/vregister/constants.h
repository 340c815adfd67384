// The numeric values the virtual register gives to the DTO10 names (LIBFPTR_...).
//
// The driver holds no value of its own: it reads every name from the object. The values are ours;
// the scheme keeps them distinct across families where the fiscal data does not fix them, so a
// constant of the wrong family passed by mistake is refused instead of silently accepted:
//   LIBFPTR_OK                      0
//   LIBFPTR_PARAM_*                 65536 + n   (above every fiscal tag number, which share the id
//   space) LIBFPTR_SETTING_*               1 + n       (setSingleSetting also takes the setting's
//   key text) LIBFPTR_DT_*                    100 + n     query data types LIBFPTR_FNDT_* 200 + n
//   storage query data types LIBFPTR_RT_* receipt types      0 closed, 1 sell, 2 sell return, 4
//   buy, 5 buy return, 7..10 corrections LIBFPTR_RT_* report types       20 + n LIBFPTR_RT_*
//   records types      40 + n LIBFPTR_FNOP_*                  300 + n LIBFPTR_FNCT_* 320 + n
//   LIBFPTR_PORT_*, _BR_, _BITS_ ...  400 + n / real numbers where a number is natural (bits 8,
//   rate 115200) LIBFPTR_MODEL_*                 500 + n LIBFPTR_OFD_CHANNEL_*           600 + n
//   LIBFPTR_UT_*                    700 + n
//   LIBFPTR_BT_*                    800 + n     barcode types
//   LIBFPTR_CT_*                    900 + n     cut types
//   LIBFPTR_TW_*                    950 + n     text wrap
//   LIBFPTR_ALIGNMENT_*             0 left, 1 centre, 2 right
//   LIBFPTR_MCT12_*                 1000 + n    marking code types
// Values that land in fiscal data carry the fiscal data's own numbers, so a stored document reads
// back with the meaning the host expects: tax types are tag 1199 codes (1 = 20 % ... 10 = 7/107),
// taxation systems and agent types are the bits of tags 1055/1062 and 1057/1222, payment types are
// 0 cash, 1 electronic, 2 prepaid, 3 credit, 4 other, 5..9 the user types 6..10, LIBFPTR_FFD_* are
// 100/105/110/120 as tag 1209 holds them here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vantorel::emulator {

struct NamedConstant {
  std::string_view name;
  std::int32_t value;
};

// Every name the register answers, in one table.
std::span<const NamedConstant> AllConstants();

// The value of a LIBFPTR_ name (letter case ignored), or nothing for an unknown name.
std::optional<std::int32_t> ConstantValue(std::string_view name);

// The value of a name the register is known to define; throws std::logic_error otherwise. For the
// emulator's own code and tests, where a missing name is a programming error.
std::int32_t C(std::string_view name);

}  // namespace vantorel::emulator
