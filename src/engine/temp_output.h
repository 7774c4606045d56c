#pragma once
// The destination side of a job: the checks before it starts, and the
// hidden temporary file beside the destination that becomes it only when
// the file is complete.

#include <string>

#include "engine/status.h"

namespace velmora::encoder {

// The folder a destination goes into ("." for a bare name).
std::string folderOf(const std::string& path);

// Empty name, missing or read-only folder, a folder as the destination, or
// the source itself under any name.
Status checkDestination(const std::string& source, const std::string& destination);

class TempOutput {
  public:
    TempOutput() = default;
    TempOutput(const TempOutput&) = delete;
    TempOutput& operator=(const TempOutput&) = delete;
    ~TempOutput() { discard(); }

    // Creates ".name.velmora-PID-XXXXXX" in the destination's folder (the
    // name shortened when the whole would exceed the name limit), after
    // removing such files whose process no longer runs.
    Status create(const std::string& destination);
    const std::string& path() const { return path_; }

    // Renames the temporary file over the destination.
    Status commit();
    // As commit(), over `destination` instead: another name in the same folder.
    Status commitAs(const std::string& destination);
    // Deletes the temporary file (nothing happens after a commit).
    void discard();

  private:
    std::string path_;
    std::string destination_;
};

}  // namespace velmora::encoder
