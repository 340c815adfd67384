// Staging fiscal tags and composing compound tags on the DTO10 object.
//
// DTO10 composes a compound tag (utilFormTlv) from every tag staged since its last operation, and
// every operation consumes what was staged. So a compound tag composed while other tags wait
// staged would carry them inside it, and they would be lost as tags of their own. The stager
// remembers what it staged and no operation has consumed yet; composing takes those tags off the
// register (resetParams) and stages them again afterwards. When nothing else waits, the calls are
// exactly setParam ... utilFormTlv, getParamByteArray.
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

  // `waiting`: tags already staged on the register that no operation has consumed yet.
  explicit TTagStager(TDevice& device, std::vector<Entry> waiting = {})
      : device_(device), entries_(std::move(waiting)) {}

  // setParam(tag, value), remembered.
  void Tag(std::int32_t tag, const automation::Value& value) {
    device_.SetTag(tag, value);
    entries_.emplace_back(tag, value);
  }
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
  std::size_t Mark() const { return entries_.size(); }

  // Composes the tags staged since `mark` into one value (utilFormTlv, checked, then the tag
  // value). Nothing when no tag was staged since `mark`. Tags staged before `mark` stay staged.
  std::optional<automation::Bytes> Compose(std::size_t mark) {
    if (mark >= entries_.size()) return std::nullopt;
    std::vector<Entry> parts(entries_.begin() + static_cast<std::ptrdiff_t>(mark), entries_.end());
    entries_.resize(mark);
    std::vector<Entry> earlier = Suspend();
    if (!earlier.empty())
      for (const auto& [tag, value] : parts) device_.SetTag(tag, value);
    device_.Call("utilFormTlv");
    automation::Bytes value = device_.GetParamByteArray("LIBFPTR_PARAM_TAG_VALUE");
    Restore(std::move(earlier));
    return value;
  }

  // Takes the remembered tags off the register before an operation of their own (nothing is
  // called when there are none); Restore stages them again.
  std::vector<Entry> Suspend() {
    std::vector<Entry> taken = std::move(entries_);
    entries_.clear();
    if (!taken.empty()) device_.Call("resetParams");
    return taken;
  }
  void Restore(std::vector<Entry> entries) {
    for (auto& [tag, value] : entries) Tag(tag, value);
  }

  // Forgets the remembered tags (an operation consumed them) and hands them over.
  std::vector<Entry> Take() {
    std::vector<Entry> taken = std::move(entries_);
    entries_.clear();
    return taken;
  }

 private:
  TDevice& device_;
  std::vector<Entry> entries_;
};

}  // namespace vantorel
