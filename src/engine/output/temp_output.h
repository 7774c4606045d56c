#pragma once
// The destination side of a job: the checks before it starts, and the
// hidden temporary file beside the destination that becomes it only when
// the file is complete.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "engine/core/status.h"

namespace velmora::encoder {

// The folder a destination goes into ("." for a bare name).
std::string folderOf(const std::string& path);

// The longest file name `folder` takes, in bytes.
std::size_t nameLimit(const std::string& folder);

// Empty name, missing or read-only folder, a folder as the destination, or
// the source itself under any name.
Status checkDestination(const std::string& source, const std::string& destination);

struct OpenedName;

// What a finished file may take the place of. It is checked at the moment
// the file takes the name, and whatever is found there then and may not be
// replaced stays.
enum class Replacing {
    // The destination the user confirmed: a regular file, or a link there
    // (the link itself, never what it points to).
    AnyFile,
    // A file beside it, which nobody confirmed: only an earlier RealMedia file.
    RealMedia,
};

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

    // Puts the file, on the disk in full, at the destination's name: onto a
    // free name, or in one exchange with what is there, which is then
    // checked and removed, or put back (the failure names it) when it is
    // not `what` may replace. A regular file replaced hands on its
    // permissions, and its owner where we may set it, when it is the job's
    // own user's or lies in a folder without the sticky bit (where nobody
    // else could have put it). The folder is synced after.
    Status commit(Replacing what = Replacing::AnyFile);
    // As commit(), onto `destination` instead: another name in the same
    // folder, which this job claimed with an empty file (claimJobFiles).
    // The claim holds the name until the file takes its place, and the file
    // takes the claim's mode; a claim someone wrote into, or a file put at
    // the name since, stays where it is and the placing fails.
    Status commitAs(const std::string& destination);
    // Runs `hook` just before the file takes its name: a test's stand-in
    // for another program acting in that moment.
    void beforePlacing(std::function<void()> hook) { beforePlacing_ = std::move(hook); }
    // Deletes the temporary file (nothing happens after a commit).
    void discard();

  private:
    enum class Onto { AnyFile, RealMedia, Claim };
    Status place(Onto what);
    Status placeWithoutFlags(Onto what);
    Status replaceable(const OpenedName& found, Onto what) const;
    void takeOwnerAndMode(const OpenedName& found);
    Status placed();
    void release();

    std::function<void()> beforePlacing_;
    std::string path_;
    std::string name_;    // the temporary file's name in the folder
    std::string target_;  // the destination's name in the folder
    int folder_ = -1;     // the folder, opened at create
    int fd_ = -1;         // holds the lock that says the job still runs
};

}  // namespace velmora::encoder
