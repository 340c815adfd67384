// Facts about this product that several parts of the driver show to users.
#pragma once

namespace vantorel::product {

inline constexpr const char* kExtensionName = "vantorel";
inline constexpr const char* kDriverName = "Драйвер ККТ Vantorel";
inline constexpr const char* kDriverDescription =
    "Драйвер ККТ Vantorel 1С:Совместимо для 1С:БПО NativeAPI";
// Our own site; the driver description gives it to the host as the download address.
inline constexpr const char* kDownloadUrl = "https://vantorel.norvander.example/download";
// Where users are sent for the register maker's driver library (DTO10) when it is missing.
inline constexpr const char* kDto10DownloadUrl = "https://vantorel.norvander.example/dto10";
inline constexpr int kInterfaceRevision = 4004;

}  // namespace vantorel::product
