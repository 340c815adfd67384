// A late-bound automation object: the shape in which the register maker's driver library (DTO10)
// reaches us. On Windows it is a COM IDispatch object; elsewhere (and for the virtual register)
// it is an object of ours. Everything above this header is the same on both.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vantorel::automation {

// Money as automation passes it: a signed count of ten-thousandths.
struct Currency {
  std::int64_t units = 0;
  friend bool operator==(const Currency&, const Currency&) = default;
};

// An automation date: days since 1899-12-30, the time of day as the fraction.
struct Date {
  double days = 0;
  friend bool operator==(const Date&, const Date&) = default;
};

using Bytes = std::vector<std::uint8_t>;

// One automation value. Texts are UTF-8 here; the COM layer converts to and from UTF-16.
class Value {
 public:
  using Storage = std::variant<std::monostate, bool, std::int32_t, std::int64_t, double, Currency,
                               Date, std::string, Bytes>;

  Value() = default;
  Value(bool v) : v_(v) {}
  Value(std::int32_t v) : v_(v) {}
  Value(std::int64_t v) : v_(v) {}
  Value(double v) : v_(v) {}
  Value(Currency v) : v_(v) {}
  Value(Date v) : v_(v) {}
  Value(std::string v) : v_(std::move(v)) {}
  Value(std::string_view v) : v_(std::string(v)) {}
  Value(const char* v) : v_(std::string(v)) {}
  Value(Bytes v) : v_(std::move(v)) {}

  const Storage& storage() const { return v_; }
  bool empty() const { return std::holds_alternative<std::monostate>(v_); }
  template <typename T>
  bool is() const {
    return std::holds_alternative<T>(v_);
  }
  template <typename T>
  const T& get() const {
    return std::get<T>(v_);
  }

  // Conversions as automation coerces a value when a caller asks for another type. A value that
  // cannot be converted throws AutomationError.
  std::int64_t asInt() const;
  double asDouble() const;
  bool asBool() const;
  std::string asText() const;
  Currency asCurrency() const;
  Date asDate() const;
  Bytes asBytes() const;

  friend bool operator==(const Value&, const Value&) = default;

 private:
  Storage v_;
};

// A failure of the automation layer itself: object not creatable, unknown name, bad argument.
class AutomationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ThreadHandoff;

class Object {
 public:
  virtual ~Object() = default;
  // Reads a property by name (names are compared without regard to letter case).
  virtual Value get(std::string_view name) = 0;
  // Calls a method by name with 0 to 2 arguments.
  virtual Value call(std::string_view name, std::span<const Value> args) = 0;

  Value call(std::string_view name) { return call(name, std::span<const Value>{}); }
  Value call(std::string_view name, const Value& a) { return call(name, std::span(&a, 1)); }
  Value call(std::string_view name, const Value& a, const Value& b) {
    const Value args[] = {a, b};
    return call(name, std::span<const Value>(args));
  }

  // Lets another thread call this object. Call it on the thread that uses the object; see
  // ThreadHandoff. The default suits objects that guard their own state (the virtual register):
  // the other thread calls this very object. A COM object hands over a proxy instead, since an
  // interface pointer is valid only in the apartment that obtained it.
  virtual std::unique_ptr<ThreadHandoff> ShareWithThread();
};

// An object on its way to another thread.
//   auto handoff = object.ShareWithThread();          // owning thread
//   std::thread worker([&] {
//     auto mine = handoff->Open();                     // worker thread, before its first call
//     ... mine->call(...) ...
//   });                                                // `mine` is destroyed on the worker
//   WaitServingCalls([&] { return done; }, timeout);   // owning thread, see below
//   worker.join();
//   handoff.reset();                                   // owning thread, after the join
// The handoff must outlive every object opened from it; the object must outlive the handoff.
class ThreadHandoff {
 public:
  virtual ~ThreadHandoff() = default;
  // An object for the calling thread only, reaching the object the handoff was made from.
  virtual std::unique_ptr<Object> Open() = 0;
};

inline std::unique_ptr<ThreadHandoff> Object::ShareWithThread() {
  struct Forward final : Object {
    explicit Forward(Object& target) : target(target) {}
    Value get(std::string_view name) override { return target.get(name); }
    Value call(std::string_view name, std::span<const Value> args) override {
      return target.call(name, args);
    }
    std::unique_ptr<ThreadHandoff> ShareWithThread() override { return target.ShareWithThread(); }
    Object& target;
  };
  struct Same final : ThreadHandoff {
    explicit Same(Object& target) : target(target) {}
    std::unique_ptr<Object> Open() override { return std::make_unique<Forward>(target); }
    Object& target;
  };
  return std::make_unique<Same>(*this);
}

// Waits until `ready()` is true or `timeout` has passed, and returns the last `ready()`. The
// thread that owns objects handed to a worker must wait with this, not with a plain event or
// condition variable: on Windows the worker's calls are carried out on the owning thread (its
// single-threaded apartment), which must keep serving them while it waits.
bool WaitServingCalls(const std::function<bool()>& ready, std::chrono::milliseconds timeout);

// Creates the object registered under a ProgID. Throws AutomationError when it cannot.
// On Windows: COM (CLSIDFromProgID, CoCreateInstance). Elsewhere: the library's own registry,
// where "AddIn.Fptr10" is the virtual register.
std::unique_ptr<Object> CreateObject(std::string_view progId);

}  // namespace vantorel::automation
