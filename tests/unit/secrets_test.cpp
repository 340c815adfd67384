// Passwords out of the call log: what the log gets for the parameters of a host call.
#include "support/secrets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/text.h"

namespace {

namespace secrets = vantorel::secrets;
using vantorel::text::ToUtf16;
using vantorel::text::ToUtf8;

std::vector<std::string> Hidden(std::vector<std::string> params) {
  std::vector<std::u16string> wide;
  for (const auto& p : params) wide.push_back(ToUtf16(p));
  secrets::HideInParams(wide);
  std::vector<std::string> out;
  for (const auto& p : wide) out.push_back(ToUtf8(p));
  return out;
}

TEST(Secrets, SettingsDocumentsLoseTheirPasswordsInEveryForm) {
  struct Case {
    const char* what;
    std::string document;
    std::string expected;
  };
  const Case cases[] = {
      {"both passwords",
       "<Parameters><Parameter Name=\"PortNumber\" Value=\"0\"/>"
       "<Parameter Name=\"AccessPassword\" Value=\"8264\"/>"
       "<Parameter Name=\"OperatorPassword\" Value=\"07\"/></Parameters>",
       "<Parameters><Parameter Name=\"PortNumber\" Value=\"0\"/>"
       "<Parameter Name=\"AccessPassword\" Value=\"***\"/>"
       "<Parameter Name=\"OperatorPassword\" Value=\"***\"/></Parameters>"},
      {"value first, single quotes, any letter case",
       "<Parameters><Parameter Value='s3' Name='accesspassword'/></Parameters>",
       "<Parameters><Parameter Value=\"***\" Name=\"accesspassword\"/></Parameters>"},
      {"name spelt with a character reference",
       "<Parameters><Parameter Name=\"Access&#80;assword\" Value=\"s3\"/></Parameters>",
       "<Parameters><Parameter Name=\"AccessPassword\" Value=\"***\"/></Parameters>"},
      {"name split by a character the driver drops",
       "<Parameters><Parameter Name=\"Access\x01Password\" Value=\"s3\"/></Parameters>",
       "<Parameters><Parameter Name=\"AccessPassword\" Value=\"***\"/></Parameters>"},
      {"value as content, a second value attribute, a comment",
       "<?xml version=\"1.0\"?><Parameters><!-- s3 --><Parameter Name=\"AccessPassword\" "
       "Value=\"s3\" value=\"s3\">s3<x>s3</x></Parameter></Parameters>",
       "<?xml version=\"1.0\"?><Parameters><Parameter Name=\"AccessPassword\" Value=\"***\" "
       "value=\"***\">***</Parameter></Parameters>"},
      {"no password: the text as it came",
       "<Parameters>\n  <Parameter Name='PortNumber' Value='0'/>\n</Parameters>",
       "<Parameters>\n  <Parameter Name='PortNumber' Value='0'/>\n</Parameters>"},
      {"a document that cannot be read",
       "<Parameters><Parameter Name=\"AccessPassword\" Value=\"s3\"></Parameters>",
       "(not written: a document that cannot be read and may hold a password)"},
      {"a check package with entities and no password",
       "<CheckPackage><Parameters CashierName=\"&quot;Ромашка&quot;\"/></CheckPackage>",
       "<CheckPackage><Parameters CashierName=\"&quot;Ромашка&quot;\"/></CheckPackage>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto out = Hidden({"6F9619FF-8B86-D011-B42D-00C04FC964FF", "", c.document});
    EXPECT_EQ(out[0], "6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_EQ(out[2], c.expected);
  }
}

TEST(Secrets, TheValueAfterASecretsNameIsMasked) {
  EXPECT_EQ(Hidden({"OperatorPassword", "1234"}),
            (std::vector<std::string>{"OperatorPassword", "***"}));
  EXPECT_EQ(Hidden({" accesspassword ", "1234", "after"}),
            (std::vector<std::string>{" accesspassword ", "***", "after"}));
  EXPECT_EQ(Hidden({"LogEnabled", "True"}), (std::vector<std::string>{"LogEnabled", "True"}));
  EXPECT_EQ(Hidden({"Password"}), (std::vector<std::string>{"Password"}));
  EXPECT_TRUE(secrets::IsSecretName("AccessPassword"));
  EXPECT_FALSE(secrets::IsSecretName("PasswordHint"));
}

}  // namespace
