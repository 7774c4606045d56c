#pragma once
// The outcome of a call that can be refused: the engine's, the window's
// components' and the command-line tool's. Plain C++.

#include <cstdint>
#include <string>
#include <utility>

namespace velmora {

// What kind of failure a Status is, for code that must tell failures apart
// (scripts reading --json, tests) without reading the sentence.
enum class ErrorKind : std::uint8_t {
    None,              // not a failure
    BadRequest,        // a setting missing or out of range: no source, no audience, a wrong value
    SourceMissing,     // the source does not exist
    SourceUnreadable,  // not a file we can read as media: a folder, an unknown format, a read error
    SourceRefused,     // a playlist or list that names other files or the network
    SourceDamaged,     // nothing in the source can be decoded or used
    DestinationRefused,  // the destination cannot take the file: no folder, a folder, the source
                         // itself
    DiskFull,            // no space left, or the user's quota
    FileTooLarge,        // over the system's or the format's limit for one file
    NameTooLong,         // a file name longer than the folder allows
    Permission,          // the system refused access
    WriteFailed,         // the destination's device failed a write
    Interrupted,         // a stop ended the call
    OutOfMemory,
    Internal,  // an encoder refused what we gave it: a fault of ours
};

// The kind's name in --json and in the manual: lower case, words joined by '_'.
const char* errorKindName(ErrorKind kind);

// The outcome of a property write, a read or a call. Failure carries its
// kind and a message for the user (Chinese, UTF-8).
class Status {
  public:
    static Status ok() { return Status(); }
    static Status fail(ErrorKind kind, std::string message) {
        return Status(kind == ErrorKind::None ? ErrorKind::Internal : kind, std::move(message));
    }

    bool isOk() const { return kind_ == ErrorKind::None; }
    explicit operator bool() const { return isOk(); }
    ErrorKind kind() const { return kind_; }
    const std::string& message() const { return message_; }

    // The same failure told in other words (e.g. naming the file it befell).
    Status reworded(std::string message) const { return Status(kind_, std::move(message)); }

  private:
    Status() = default;
    Status(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    ErrorKind kind_ = ErrorKind::None;
    std::string message_;
};

inline const char* errorKindName(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::None:
            return "none";
        case ErrorKind::BadRequest:
            return "bad_request";
        case ErrorKind::SourceMissing:
            return "source_missing";
        case ErrorKind::SourceUnreadable:
            return "source_unreadable";
        case ErrorKind::SourceRefused:
            return "source_refused";
        case ErrorKind::SourceDamaged:
            return "source_damaged";
        case ErrorKind::DestinationRefused:
            return "destination_refused";
        case ErrorKind::DiskFull:
            return "disk_full";
        case ErrorKind::FileTooLarge:
            return "file_too_large";
        case ErrorKind::NameTooLong:
            return "name_too_long";
        case ErrorKind::Permission:
            return "permission";
        case ErrorKind::WriteFailed:
            return "write_failed";
        case ErrorKind::Interrupted:
            return "interrupted";
        case ErrorKind::OutOfMemory:
            return "out_of_memory";
        case ErrorKind::Internal:
            return "internal";
    }
    return "internal";
}

}  // namespace velmora
