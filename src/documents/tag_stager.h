// Staging fiscal tags and composing compound tags on the DTO10 object.
//
// DTO10 composes a compound tag (utilFormTlv) from every tag staged since its last operation, and
// every operation consumes what was staged. So a compound tag composed while other tags wait
// staged would carry them inside it, and they would be lost as tags of their own. The stager
// therefore holds tags back until they are needed: the parts of a compound tag go to the register
// just before it is composed, everything else when the stager is flushed. In the order the tags
// were given, so that when nothing waits the calls are exactly the plain sequence
// setParam ... utilFormTlv, getParamByteArray, setParam ...
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device/device.h"

namespace vantorel {

class TTagStager {
 public:
  using Entry = TDevice::TStagedTag;

  // `held`: tags given earlier and not staged yet; they are staged by Flush.
  explicit TTagStager(TDevice& device, std::vector<Entry> held = {})
      : device_(device), held_(std::move(held)) {}

  // setParam(tag, value), held back until Compose or Flush.
  void Tag(std::int32_t tag, const automation::Value& value) { held_.emplace_back(tag, value); }
  // One value of `tag` per phone of a ";"-separated list; empty pieces are skipped (an empty
  // phone is no phone, and the register refuses it as fiscal data).
  void Phones(std::int32_t tag, const std::string& phones) {
    std::size_t start = 0;
    while (start <= phones.size()) {
      std::size_t end = phones.find(';', start);
      if (end == std::string::npos) end = phones.size();
      if (end > start) Tag(tag, automation::Value(phones.substr(start, end - start)));
      start = end + 1;
    }
  }

  // Where the parts of the next compound tag begin.
  std::size_t Mark() const { return held_.size(); }

  // Stages the tags given since `mark` and composes them into one value (utilFormTlv, checked,
  // then the tag value). Nothing, and no call, when no tag was given since `mark`. Tags given
  // before `mark` stay held.
  std::optional<automation::Bytes> Compose(std::size_t mark) {
    if (mark >= held_.size()) return std::nullopt;
    for (std::size_t i = mark; i < held_.size(); ++i)
      device_.SetTag(held_[i].first, held_[i].second);
    held_.resize(mark);
    device_.Call("utilFormTlv");
    return device_.GetParamByteArray("LIBFPTR_PARAM_TAG_VALUE");
  }

  // Stages every held tag, in order.
  void Flush() {
    for (const auto& [tag, value] : held_) device_.SetTag(tag, value);
    held_.clear();
  }

  // Hands the held tags over without staging them.
  std::vector<Entry> Take() {
    std::vector<Entry> taken = std::move(held_);
    held_.clear();
    return taken;
  }

 private:
  TDevice& device_;
  std::vector<Entry> held_;
};

}  // namespace vantorel
