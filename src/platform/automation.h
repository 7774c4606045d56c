#pragma once
// Automation values and dispatch targets: the way the window talks to its
// components (the encoder, the common dialogs). Plain C++, no Qt: values
// that tests can build and compare without a window.

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "engine/core/status.h"

namespace velmora {

using DispId = std::int32_t;

// A small automation variant: Boolean (stored as the 16-bit -1/0), 16-bit
// Integer, 32-bit Long and UTF-16 String.
class Variant {
  public:
    enum class Type { Empty, Boolean, Integer, Long, String };

    Variant() = default;
    static Variant boolean(bool value) {
        return Variant(Bool{static_cast<std::int16_t>(value ? -1 : 0)});
    }
    static Variant integer(std::int16_t value) { return Variant(value); }
    static Variant long_(std::int32_t value) { return Variant(value); }
    static Variant string(std::u16string value) { return Variant(std::move(value)); }
    static Variant string(std::string_view utf8);

    Type type() const { return static_cast<Type>(value_.index()); }
    bool is(Type t) const { return type() == t; }

    // The raw 16-bit value of a Boolean: -1 for True, 0 for False.
    std::int16_t booleanRaw() const { return std::get<Bool>(value_).raw; }
    bool toBool() const { return booleanRaw() != 0; }
    std::int16_t toInteger() const { return std::get<std::int16_t>(value_); }
    std::int32_t toLong() const { return std::get<std::int32_t>(value_); }
    const std::u16string& toString() const { return std::get<std::u16string>(value_); }
    std::string toUtf8() const;

    // For diagnostics and test failure messages.
    std::string describe() const;

    friend bool operator==(const Variant&, const Variant&) = default;

  private:
    struct Bool {
        std::int16_t raw;
        friend bool operator==(const Bool&, const Bool&) = default;
    };
    template <typename T>
    explicit Variant(T v) : value_(std::move(v)) {}

    std::variant<std::monostate, Bool, std::int16_t, std::int32_t, std::u16string> value_;
};

std::u16string utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(std::u16string_view utf16);

// A component that takes property writes and calls by dispatch identifier.
class DispatchTarget {
  public:
    virtual ~DispatchTarget() = default;
    virtual Status put(DispId id, const Variant& value) = 0;
    virtual Status get(DispId id, Variant& value) const;
    virtual Status invoke(DispId id) = 0;
};

}  // namespace velmora
