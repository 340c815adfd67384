// One marking-code check: what is asked and what the fiscal storage and the marking service answer.
#pragma once

#include <cstdint>
#include <string>

namespace vantorel {

struct TKMInput {
  std::string GUID;  // the host's request identifier
  std::string KM;    // the marking code as text
  std::int32_t MarkingCodeType = 0;
  std::int32_t PlannedStatus = 0;  // 1, 2, 3, 4 or 255
  double Quantity = 0;
  std::int32_t MeasureOfQuantity = 0;
  std::int32_t Numerator = 0;
  std::int32_t Denominator = 0;
};

struct TKMResult {
  std::string GUID;
  std::string KM;
  std::int32_t MarkingValidationResult = 0;  // tag 2106
  std::int32_t OnlineValidationError = 0;
  std::int32_t StatusInfo = 0;        // tag 2109
  std::int32_t ProcessingResult = 0;  // tag 2005
  std::int32_t ProcessingCode = 0;    // tag 2105
  std::int32_t KMType = 0;            // tag 2100
  std::int32_t RequestDate = 0;       // tag 2114
  std::int32_t LocalValidationResult = 0;
  std::int32_t OfflineValidationError = 0;
  std::string TLVList;  // tag numbers of the answer, ";"-separated
  std::int32_t PlannedStatus = 0;
  std::int32_t RequestStatus = 0;  // 0 complete, 1 no answer yet, 2 error
};

}  // namespace vantorel
