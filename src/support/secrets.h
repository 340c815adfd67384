// Keeping the register's passwords out of the log. A setting is secret when its name ends in
// "Password" (letter case ignored), as AccessPassword and OperatorPassword do.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantorel::secrets {

// What a secret value is written as.
inline constexpr std::u16string_view kMask = u"***";

bool IsSecretName(std::string_view name);

// The texts of a host call's parameters, made fit for the log, in place:
// - in an XML document (a settings document), every attribute and the content of each element
//   named like a secret (attribute Name) are masked; a document that cannot be read and
//   mentions a password is replaced as a whole;
// - a parameter that follows one holding a secret's name is masked (SetParameter's name and
//   value).
void HideInParams(std::vector<std::u16string>& params);

}  // namespace vantorel::secrets
