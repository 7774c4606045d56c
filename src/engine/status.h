#pragma once
// The outcome of a call that can be refused: the engine's, the window's
// components' and the command-line tool's. Plain C++.

#include <string>
#include <utility>

namespace velmora {

// The outcome of a property write, a read or a call. Failure carries a
// message for the user (Chinese, UTF-8).
class Status {
  public:
    static Status ok() { return Status(); }
    static Status fail(std::string message) { return Status(std::move(message)); }

    bool isOk() const { return !failed_; }
    explicit operator bool() const { return !failed_; }
    const std::string& message() const { return message_; }

  private:
    Status() = default;
    explicit Status(std::string message) : failed_(true), message_(std::move(message)) {}

    bool failed_ = false;
    std::string message_;
};

}  // namespace velmora
