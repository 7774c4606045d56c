#pragma once
// The destination side of a job: the checks before it starts, and the
// hidden temporary file beside the destination that becomes it only when
// the file is complete.

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/status.h"

namespace velmora::encoder {

// The folder a destination goes into ("." for a bare name).
std::string folderOf(const std::string& path);

// The longest file name `folder` takes, in bytes.
std::size_t nameLimit(const std::string& folder);

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
    // name shortened when the whole would exceed the name limit) and locks
    // it until commit or discard, after removing such files that no job
    // holds any more. The file gets the mode the umask leaves of 0666.
    Status create(const std::string& destination);
    // For the writer, which opens the file by this name.
    const std::string& path() const { return path_; }
    // What has been written so far (0 with no file).
    std::int64_t size() const;

    // Renames the temporary file over the destination; a file it replaces
    // hands on its mode and, where we may set it, its owner.
    Status commit();
    // As commit(), onto `destination` instead: another name in the same
    // folder, which this job claimed with an empty file (claimJobFiles).
    // The file takes the claim's mode and its place, and fails rather than
    // replace anything else found there: a claim someone wrote into, or a
    // file put at the name since.
    Status commitAs(const std::string& destination);
    // Deletes the temporary file (nothing happens after a commit).
    void discard();

  private:
    Status place(bool ontoClaim);
    void release();

    std::string path_;
    std::string name_;    // the temporary file's name in the folder
    std::string target_;  // the destination's name in the folder
    int folder_ = -1;     // the folder, opened at create
    int fd_ = -1;         // holds the lock that says the job still runs
};

}  // namespace velmora::encoder
