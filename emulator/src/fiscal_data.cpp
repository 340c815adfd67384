#include "vregister/fiscal_data.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <unordered_map>

namespace vantorel::emulator {

using automation::Bytes;
using automation::Value;

namespace {

constexpr int kMaxDepth = 8;

// Upper half of code page 866, as Unicode code points.
constexpr char16_t kCp866High[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B,
    0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433,
    0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B,
    0x044C, 0x044D, 0x044E, 0x044F, 0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0};

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Next code point of UTF-8 text; invalid sequences give U+FFFD and advance one byte.
char32_t NextCodePoint(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int len = (b0 >= 0xF0 && b0 < 0xF8) ? 4 : (b0 >= 0xE0) ? 3 : (b0 >= 0xC0) ? 2 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t c = b0 & (0x7F >> len);
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    c = (c << 6) | (b & 0x3F);
  }
  i += len;
  return c;
}

const std::unordered_map<char32_t, unsigned char>& Cp866Index() {
  static const std::unordered_map<char32_t, unsigned char> index = [] {
    std::unordered_map<char32_t, unsigned char> m;
    for (int k = 0; k < 128; ++k) m.emplace(kCp866High[k], static_cast<unsigned char>(0x80 + k));
    return m;
  }();
  return index;
}

void PutLe(Bytes& out, std::uint64_t v, int size) {
  for (int k = 0; k < size; ++k) out.push_back(static_cast<std::uint8_t>((v >> (8 * k)) & 0xFF));
}

void PutMinimalLe(Bytes& out, std::uint64_t v) {
  do {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    v >>= 8;
  } while (v != 0);
}

std::uint64_t GetLe(const std::uint8_t* p, size_t size) {
  std::uint64_t v = 0;
  for (size_t k = 0; k < size && k < 8; ++k) v |= static_cast<std::uint64_t>(p[k]) << (8 * k);
  return v;
}

int FixedSize(TagType t) {
  switch (t) {
    case TagType::kByte:
    case TagType::kBool:
      return 1;
    case TagType::kUInt16:
      return 2;
    case TagType::kBits:
    case TagType::kUInt32:
    case TagType::kUnixTime:
      return 4;
    default:
      return 0;
  }
}

// Converts a value to an integer without automation's -1 for true.
std::optional<std::int64_t> ToInteger(const Value& v) {
  if (v.is<bool>()) return v.get<bool>() ? 1 : 0;
  try {
    return v.asInt();
  } catch (const automation::AutomationError&) {
    return std::nullopt;
  }
}

std::optional<bool> ToBool(const Value& v) {
  try {
    return v.asBool();
  } catch (const automation::AutomationError&) {
    return std::nullopt;
  }
}

std::optional<std::int64_t> ToKopecks(const Value& v) {
  if (v.is<automation::Currency>()) {
    const auto u = v.get<automation::Currency>().units;
    return (u >= 0 ? u + 50 : u - 50) / 100;
  }
  try {
    const double d = v.asDouble();
    if (!std::isfinite(d) || std::fabs(d) > 9e13) return std::nullopt;
    return static_cast<std::int64_t>(std::llround(d * 100.0));
  } catch (const automation::AutomationError&) {
    return std::nullopt;
  }
}

// clang-format off
constexpr TagInfo kTags[] = {
    {1001, TagType::kBool, "Признак автоматического режима"},
    {1002, TagType::kBool, "Признак автономного режима"},
    {1005, TagType::kString, "Адрес оператора перевода"},
    {1008, TagType::kString, "Телефон или электронный адрес покупателя"},
    {1009, TagType::kString, "Адрес расчетов"},
    {1012, TagType::kUnixTime, "Дата, время"},
    {1016, TagType::kString, "ИНН оператора перевода"},
    {1017, TagType::kString, "ИНН ОФД"},
    {1018, TagType::kString, "ИНН пользователя"},
    {1020, TagType::kVln, "Сумма расчета, указанного в чеке"},
    {1021, TagType::kString, "Кассир"},
    {1023, TagType::kFvln, "Количество предмета расчета"},
    {1026, TagType::kString, "Наименование оператора перевода"},
    {1030, TagType::kString, "Наименование предмета расчета"},
    {1031, TagType::kVln, "Сумма по чеку наличными"},
    {1036, TagType::kString, "Номер автомата"},
    {1037, TagType::kString, "Регистрационный номер ККТ"},
    {1038, TagType::kUInt32, "Номер смены"},
    {1040, TagType::kUInt32, "Номер ФД"},
    {1041, TagType::kString, "Номер ФН"},
    {1042, TagType::kUInt32, "Номер чека за смену"},
    {1043, TagType::kVln, "Стоимость предмета расчета"},
    {1044, TagType::kString, "Операция платежного агента"},
    {1046, TagType::kString, "Наименование ОФД"},
    {1048, TagType::kString, "Наименование пользователя"},
    {1054, TagType::kByte, "Признак расчета"},
    {1055, TagType::kByte, "Применяемая система налогообложения"},
    {1056, TagType::kBool, "Признак шифрования"},
    {1057, TagType::kBits, "Признак агента"},
    {1059, TagType::kStlv, "Предмет расчета"},
    {1060, TagType::kString, "Адрес сайта ФНС"},
    {1062, TagType::kBits, "Системы налогообложения"},
    {1073, TagType::kString, "Телефон платежного агента"},
    {1074, TagType::kString, "Телефон оператора по приему платежей"},
    {1075, TagType::kString, "Телефон оператора перевода"},
    {1077, TagType::kBytes, "ФПД"},
    {1079, TagType::kVln, "Цена за единицу предмета расчета"},
    {1081, TagType::kVln, "Сумма по чеку безналичными"},
    {1084, TagType::kStlv, "Дополнительный реквизит пользователя"},
    {1085, TagType::kString, "Наименование дополнительного реквизита пользователя"},
    {1086, TagType::kString, "Значение дополнительного реквизита пользователя"},
    {1097, TagType::kUInt32, "Количество непереданных ФД"},
    {1098, TagType::kUnixTime, "Дата первого из непереданных ФД"},
    {1102, TagType::kVln, "Сумма НДС чека по ставке 20%"},
    {1103, TagType::kVln, "Сумма НДС чека по ставке 10%"},
    {1104, TagType::kVln, "Сумма расчета по чеку с НДС по ставке 0%"},
    {1105, TagType::kVln, "Сумма расчета по чеку без НДС"},
    {1106, TagType::kVln, "Сумма НДС чека по расч. ставке 20/120"},
    {1107, TagType::kVln, "Сумма НДС чека по расч. ставке 10/110"},
    {1108, TagType::kBool, "Признак ККТ для расчетов только в Интернет"},
    {1109, TagType::kBool, "Признак расчетов за услуги"},
    {1110, TagType::kBool, "Признак АС БСО"},
    {1116, TagType::kUInt32, "Номер первого непереданного документа"},
    {1117, TagType::kString, "Адрес электронной почты отправителя чека"},
    {1118, TagType::kUInt32, "Количество кассовых чеков за смену"},
    {1126, TagType::kBool, "Признак проведения лотереи"},
    {1162, TagType::kBytes, "Код товара"},
    {1163, TagType::kStlv, "Код товара"},
    {1171, TagType::kString, "Телефон поставщика"},
    {1173, TagType::kByte, "Тип коррекции"},
    {1174, TagType::kStlv, "Основание для коррекции"},
    {1178, TagType::kUnixTime, "Дата совершения корректируемого расчета"},
    {1179, TagType::kString, "Номер предписания налогового органа"},
    {1187, TagType::kString, "Место расчетов"},
    {1191, TagType::kString, "Дополнительный реквизит предмета расчета"},
    {1192, TagType::kString, "Дополнительный реквизит чека"},
    {1193, TagType::kBool, "Признак проведения азартных игр"},
    {1197, TagType::kString, "Единица измерения предмета расчета"},
    {1199, TagType::kByte, "Ставка НДС"},
    {1200, TagType::kVln, "Сумма НДС за предмет расчета"},
    {1203, TagType::kString, "ИНН кассира"},
    {1205, TagType::kBits, "Коды причин изменения сведений о ККТ"},
    {1207, TagType::kBool, "Признак торговли подакцизными товарами"},
    {1209, TagType::kByte, "Номер версии ФФД"},
    {1212, TagType::kByte, "Признак предмета расчета"},
    {1214, TagType::kByte, "Признак способа расчета"},
    {1215, TagType::kVln, "Сумма по чеку предоплатой"},
    {1216, TagType::kVln, "Сумма по чеку постоплатой"},
    {1217, TagType::kVln, "Сумма по чеку встречным предоставлением"},
    {1221, TagType::kBool, "Признак установки принтера в автомате"},
    {1222, TagType::kBits, "Признак агента по предмету расчета"},
    {1223, TagType::kStlv, "Данные агента"},
    {1224, TagType::kStlv, "Данные поставщика"},
    {1225, TagType::kString, "Наименование поставщика"},
    {1226, TagType::kString, "ИНН поставщика"},
    {1227, TagType::kString, "Покупатель"},
    {1228, TagType::kString, "ИНН покупателя"},
    {1229, TagType::kVln, "Сумма акциза"},
    {1230, TagType::kString, "Код страны происхождения товара"},
    {1231, TagType::kString, "Номер декларации на товар"},
    {1243, TagType::kString, "Дата рождения покупателя"},
    {1244, TagType::kString, "Гражданство"},
    {1245, TagType::kString, "Код вида документа, удостоверяющего личность"},
    {1246, TagType::kString, "Данные документа, удостоверяющего личность"},
    {1254, TagType::kString, "Адрес покупателя"},
    {1256, TagType::kStlv, "Сведения о покупателе"},
    {1260, TagType::kStlv, "Отраслевой реквизит предмета расчета"},
    {1261, TagType::kStlv, "Отраслевой реквизит чека"},
    {1262, TagType::kString, "Идентификатор ФОИВ"},
    {1263, TagType::kString, "Дата документа основания"},
    {1264, TagType::kString, "Номер документа основания"},
    {1265, TagType::kString, "Значение отраслевого реквизита"},
    {1270, TagType::kStlv, "Операционный реквизит чека"},
    {1271, TagType::kByte, "Идентификатор операции"},
    {1272, TagType::kString, "Данные операции"},
    {1273, TagType::kUnixTime, "Дата, время операции"},
    {1291, TagType::kString, "Дробное количество маркированного товара"},
    {1300, TagType::kString, "КТ Н"},
    {1301, TagType::kString, "КТ EAN-8"},
    {1302, TagType::kString, "КТ EAN-13"},
    {1303, TagType::kString, "КТ ITF-14"},
    {1304, TagType::kString, "КТ GS1.0"},
    {1305, TagType::kString, "КТ GS1.М"},
    {1306, TagType::kString, "КТ КМК"},
    {1307, TagType::kString, "КТ МИ"},
    {1308, TagType::kString, "КТ ЕГАИС-2.0"},
    {1309, TagType::kString, "КТ ЕГАИС-3.0"},
    {2000, TagType::kString, "Код маркировки"},
    {2003, TagType::kByte, "Планируемый статус товара"},
    {2005, TagType::kBits, "Результаты обработки запроса"},
    {2100, TagType::kByte, "Тип кода маркировки"},
    {2105, TagType::kByte, "Коды обработки запроса"},
    {2106, TagType::kBits, "Результат проверки сведений о товаре"},
    {2108, TagType::kByte, "Мера количества предмета расчета"},
    {2109, TagType::kByte, "Ответ ОИСМ о статусе товара"},
    {2114, TagType::kUnixTime, "Дата и время запроса"},
};
// clang-format on

}  // namespace

Tag Tag::String(int number, std::string v) {
  Tag t;
  t.number = number;
  t.type = TagType::kString;
  t.text = std::move(v);
  return t;
}
Tag Tag::Integer(int number, TagType type, std::int64_t v) {
  Tag t;
  t.number = number;
  t.type = type;
  t.integer = v;
  return t;
}
Tag Tag::Money(int number, std::int64_t kopecks) { return Integer(number, TagType::kVln, kopecks); }
Tag Tag::Quantity(int number, double v) {
  Tag t;
  t.number = number;
  t.type = TagType::kFvln;
  t.real = v;
  return t;
}
Tag Tag::Time(int number, std::int64_t wallSeconds) {
  return Integer(number, TagType::kUnixTime, wallSeconds);
}
Tag Tag::Flag(int number, bool v) { return Integer(number, TagType::kBool, v ? 1 : 0); }
Tag Tag::Raw(int number, Bytes v) {
  Tag t;
  t.number = number;
  t.type = TagType::kBytes;
  t.bytes = std::move(v);
  return t;
}
Tag Tag::Compound(int number, std::vector<Tag> children) {
  Tag t;
  t.number = number;
  t.type = TagType::kStlv;
  t.children = std::move(children);
  return t;
}

Value Tag::ToValue() const {
  switch (type) {
    case TagType::kStlv: {
      Bytes out;
      for (const auto& c : children) {
        auto b = EncodeTlv(c);
        out.insert(out.end(), b.begin(), b.end());
      }
      return Value(std::move(out));
    }
    case TagType::kString:
      return Value(text);
    case TagType::kBytes:
      return Value(bytes);
    case TagType::kFvln:
      return Value(real);
    case TagType::kVln:
      return Value(static_cast<double>(integer) / 100.0);
    case TagType::kUnixTime:
      return Value(WallToDate(integer));
    case TagType::kBool:
      return Value(integer != 0);
    default:
      if (integer >= INT32_MIN && integer <= INT32_MAX)
        return Value(static_cast<std::int32_t>(integer));
      return Value(integer);
  }
}

std::string Tag::ToText() const {
  char buf[64];
  switch (type) {
    case TagType::kStlv:
      return "{" + std::to_string(children.size()) + "}";
    case TagType::kString:
      return text;
    case TagType::kBytes: {
      std::string s;
      for (auto b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        s += buf;
      }
      return s;
    }
    case TagType::kFvln:
      std::snprintf(buf, sizeof buf, "%.6g", real);
      return buf;
    case TagType::kVln:
      std::snprintf(buf, sizeof buf, "%lld.%02lld", static_cast<long long>(integer / 100),
                    static_cast<long long>(std::llabs(integer % 100)));
      return buf;
    case TagType::kUnixTime:
      return FormatWall(integer);
    case TagType::kBool:
      return integer ? "да" : "нет";
    default:
      return std::to_string(integer);
  }
}

const TagInfo* FindTagInfo(int number) {
  static const std::unordered_map<int, const TagInfo*> index = [] {
    std::unordered_map<int, const TagInfo*> m;
    for (const auto& t : kTags) m.emplace(t.number, &t);
    return m;
  }();
  auto it = index.find(number);
  return it == index.end() ? nullptr : it->second;
}

std::string TagName(int number) {
  if (const auto* info = FindTagInfo(number)) return std::string(info->name);
  return "Реквизит " + std::to_string(number);
}

std::optional<Tag> TagFromStaged(int number, const Value& v, std::string& error) {
  TagType type;
  if (const auto* info = FindTagInfo(number)) {
    type = info->type;
  } else if (v.is<std::string>()) {
    type = TagType::kString;
  } else if (v.is<automation::Bytes>()) {
    type = TagType::kBytes;
  } else if (v.is<bool>()) {
    type = TagType::kBool;
  } else if (v.is<double>()) {
    type = TagType::kFvln;
  } else if (v.is<automation::Currency>()) {
    type = TagType::kVln;
  } else if (v.is<automation::Date>()) {
    type = TagType::kUnixTime;
  } else {
    type = TagType::kUInt32;
  }
  const std::string what = "значение реквизита " + std::to_string(number);
  Tag t;
  t.number = number;
  t.type = type;
  switch (type) {
    case TagType::kString:
      if (v.is<automation::Bytes>()) {
        const auto& b = v.get<automation::Bytes>();
        t.text = Cp866ToUtf8(std::string(b.begin(), b.end()));
      } else {
        try {
          t.text = v.asText();
        } catch (const automation::AutomationError&) {
          error = "Неверное " + what;
          return std::nullopt;
        }
      }
      if (t.text.size() > 65535) {
        error = "Слишком длинное " + what;
        return std::nullopt;
      }
      return t;
    case TagType::kBytes:
    case TagType::kStlv: {
      Bytes b;
      try {
        b = v.asBytes();
      } catch (const automation::AutomationError&) {
        error = "Неверное " + what;
        return std::nullopt;
      }
      if (b.size() > 65535) {
        error = "Слишком длинное " + what;
        return std::nullopt;
      }
      if (type == TagType::kStlv) {
        if (auto children = ParseTlvs(b)) {
          t.children = std::move(*children);
          return t;
        }
        error = "Неверная структура составного реквизита " + std::to_string(number);
        return std::nullopt;
      }
      t.bytes = std::move(b);
      return t;
    }
    case TagType::kFvln:
      try {
        t.real = v.asDouble();
      } catch (const automation::AutomationError&) {
        error = "Неверное " + what;
        return std::nullopt;
      }
      if (!std::isfinite(t.real) || t.real < 0 || t.real > 1e12) {
        error = "Недопустимое " + what;
        return std::nullopt;
      }
      return t;
    case TagType::kVln: {
      auto k = ToKopecks(v);
      if (!k || *k < 0) {
        error = "Недопустимое " + what;
        return std::nullopt;
      }
      t.integer = *k;
      return t;
    }
    case TagType::kUnixTime:
      if (v.is<automation::Date>()) {
        t.integer = DateToWall(v.get<automation::Date>());
      } else if (auto i = ToInteger(v)) {
        t.integer = *i;
      } else {
        error = "Неверное " + what;
        return std::nullopt;
      }
      if (t.integer < 0 || t.integer > 0xFFFFFFFFLL) {
        error = "Недопустимое " + what;
        return std::nullopt;
      }
      return t;
    case TagType::kBool:
      if (auto b = ToBool(v)) {
        t.integer = *b ? 1 : 0;
        return t;
      }
      error = "Неверное " + what;
      return std::nullopt;
    default: {
      auto i = ToInteger(v);
      const int size = FixedSize(type);
      const std::int64_t max = size >= 4 ? 0xFFFFFFFFLL : (1LL << (8 * size)) - 1;
      if (!i || *i < 0 || *i > max) {
        error = "Недопустимое " + what;
        return std::nullopt;
      }
      t.integer = *i;
      return t;
    }
  }
}

Bytes EncodeValue(const Tag& tag) {
  Bytes out;
  switch (tag.type) {
    case TagType::kStlv:
      for (const auto& c : tag.children) {
        auto b = EncodeTlv(c);
        out.insert(out.end(), b.begin(), b.end());
      }
      break;
    case TagType::kString: {
      const auto s = Utf8ToCp866(tag.text);
      out.assign(s.begin(), s.end());
      break;
    }
    case TagType::kBytes:
      out = tag.bytes;
      break;
    case TagType::kFvln: {
      int places = 0;
      double scaled = tag.real;
      while (places < 6 && std::fabs(scaled - std::round(scaled)) > 1e-9) {
        scaled *= 10;
        ++places;
      }
      out.push_back(static_cast<std::uint8_t>(places));
      PutMinimalLe(out, static_cast<std::uint64_t>(std::llround(std::fabs(scaled))));
      break;
    }
    case TagType::kVln:
      PutMinimalLe(out, static_cast<std::uint64_t>(tag.integer < 0 ? 0 : tag.integer));
      break;
    default:
      PutLe(out, static_cast<std::uint64_t>(tag.integer), FixedSize(tag.type));
      break;
  }
  return out;
}

Bytes EncodeTlv(const Tag& tag) {
  Bytes value = EncodeValue(tag);
  if (value.size() > 65535) value.resize(65535);
  Bytes out;
  out.reserve(value.size() + 4);
  PutLe(out, static_cast<std::uint64_t>(tag.number), 2);
  PutLe(out, value.size(), 2);
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

std::optional<std::vector<Tag>> ParseTlvs(const Bytes& bytes, int depth) {
  if (depth > kMaxDepth) return std::nullopt;
  std::vector<Tag> out;
  size_t i = 0;
  while (i < bytes.size()) {
    if (bytes.size() - i < 4) return std::nullopt;
    const int number = static_cast<int>(GetLe(&bytes[i], 2));
    const size_t len = GetLe(&bytes[i + 2], 2);
    i += 4;
    if (number == 0 || bytes.size() - i < len) return std::nullopt;
    const std::uint8_t* p = bytes.data() + i;
    Tag t;
    t.number = number;
    const TagInfo* info = FindTagInfo(number);
    t.type = info ? info->type : TagType::kBytes;
    switch (t.type) {
      case TagType::kStlv: {
        auto children = ParseTlvs(Bytes(p, p + len), depth + 1);
        if (!children) return std::nullopt;
        t.children = std::move(*children);
        break;
      }
      case TagType::kString:
        t.text = Cp866ToUtf8(std::string(reinterpret_cast<const char*>(p), len));
        break;
      case TagType::kBytes:
        t.bytes.assign(p, p + len);
        break;
      case TagType::kFvln: {
        if (len < 2 || len > 9 || p[0] > 6) return std::nullopt;
        t.real = static_cast<double>(GetLe(p + 1, len - 1)) / std::pow(10.0, p[0]);
        break;
      }
      case TagType::kVln:
        if (len < 1 || len > 7) return std::nullopt;
        t.integer = static_cast<std::int64_t>(GetLe(p, len));
        break;
      default:
        if (len != static_cast<size_t>(FixedSize(t.type))) return std::nullopt;
        t.integer = static_cast<std::int64_t>(GetLe(p, len));
        break;
    }
    out.push_back(std::move(t));
    i += len;
  }
  return out;
}

std::string Utf8ToCp866(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  const auto& index = Cp866Index();
  for (size_t i = 0; i < utf8.size();) {
    const char32_t c = NextCodePoint(utf8, i);
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    auto it = index.find(c);
    out += it == index.end() ? '?' : static_cast<char>(it->second);
  }
  return out;
}

std::string Cp866ToUtf8(std::string_view cp866) {
  std::string out;
  out.reserve(cp866.size() * 2);
  for (char ch : cp866) {
    const auto b = static_cast<unsigned char>(ch);
    AppendUtf8(out, b < 0x80 ? b : kCp866High[b - 0x80]);
  }
  return out;
}

std::int64_t DateToWall(automation::Date d) {
  if (!std::isfinite(d.days) || d.days < -700000 || d.days > 3000000) return 0;
  return static_cast<std::int64_t>(std::llround((d.days - 25569.0) * 86400.0));
}

automation::Date WallToDate(std::int64_t wallSeconds) {
  return automation::Date{static_cast<double>(wallSeconds) / 86400.0 + 25569.0};
}

std::string FormatWall(std::int64_t wallSeconds) {
  // Civil date from days since 1970 (proleptic Gregorian), without the C library's time zone.
  std::int64_t days = wallSeconds >= 0 ? wallSeconds / 86400 : (wallSeconds - 86399) / 86400;
  std::int64_t secs = wallSeconds - days * 86400;
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t y = yoe + era * 400;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  char buf[128];
  std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld",
                static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
                static_cast<long long>(secs / 3600), static_cast<long long>(secs / 60 % 60),
                static_cast<long long>(secs % 60));
  return buf;
}

}  // namespace vantorel::emulator
