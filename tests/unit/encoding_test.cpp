#include <gtest/gtest.h>

#include "support/encoding.h"

namespace vantorel::encoding {
namespace {

TEST(Encoding, Base64BothWays) {
  const auto d = Base64Decode("MTIzNDU2Nzg=");
  ASSERT_TRUE(d);
  EXPECT_EQ(std::string(d->begin(), d->end()), "12345678");
  EXPECT_FALSE(Base64Decode("MTI*"));
  EXPECT_EQ(Base64Encode({'1', '2', '3', '4'}, false), "MTIzNA==");
  const std::vector<std::uint8_t> long_(100, 'a');
  const std::string wrapped = Base64Encode(long_, true);
  EXPECT_EQ(wrapped.find("\r\n"), 76u);
  const auto back = Base64Decode(wrapped);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, long_);
}

TEST(Encoding, CyrillicCodePages) {
  EXPECT_EQ(Cp1251ToUtf8("\xCF\xF0\xE8\xE2\xE5\xF2 \xA8\xB8"), "Привет Ёё");
  EXPECT_EQ(Cp866ToUtf8("\x8F\xE0\xA8\xA2\xA5\xE2 \xF0\xF1"), "Привет Ёё");
  EXPECT_EQ(Utf8ToCp1251("Привет Ёё €"), "\xCF\xF0\xE8\xE2\xE5\xF2 \xA8\xB8 \x88");
}

}  // namespace
}  // namespace vantorel::encoding
