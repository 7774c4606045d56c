// The hidden temporary file beside a destination: which leftovers the next
// job removes, the finished file's mode, a folder moved during the job, and
// the words of its failures.
#include "engine/temp_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "engine/job_files.h"
#include "support/media/media_fixtures.h"

namespace velmora::encoder {
namespace {

namespace media = velmora::testing::media;

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A file a killed job left is removed once it is a minute old; a running
// job's (locked) file, a young one and any file not named exactly as ours
// stay, whichever process ids their names carry.
TEST(TempOutput, RemovesOnlyOldUnlockedFilesNamedAsOurs) {
    struct Case {
        const char* name;
        int ageSeconds;
        bool removed;
    };
    const Case cases[] = {
        {".old.rm.velmora-123-AbC123", 120, true},  {".young.rm.velmora-123-AbC123", 10, false},
        {"old.rm.velmora-123-AbC123", 120, false},  {".velmora-123-AbC123", 120, false},
        {".old.rm.velmora-12x-AbC123", 120, false}, {".old.rm.velmora--AbC123", 120, false},
        {".old.rm.velmora-123-AbC12", 120, false},  {".old.rm.velmora-123-AbC1234", 120, false},
        {".old.rm.velmora-123-AbC12_", 120, false},
    };
    media::ScratchDir dir;
    for (const Case& c : cases) {
        writeFile(dir.file(c.name), "x");
        ASSERT_TRUE(media::makeOlder(dir.file(c.name), c.ageSeconds)) << c.name;
    }
    TempOutput running;
    ASSERT_TRUE(running.create(dir.file("running.rm")));
    ASSERT_TRUE(media::makeOlder(running.path(), 120));

    TempOutput next;
    ASSERT_TRUE(next.create(dir.file("next.rm")));
    for (const Case& c : cases)
        EXPECT_EQ(media::fileExists(dir.file(c.name)), !c.removed) << c.name;
    EXPECT_TRUE(media::fileExists(running.path()));
    EXPECT_TRUE(running.commit());
}

// A new file gets what the umask leaves of 0666, also when a batch claimed
// its name (beside a private file it moved on from); a replaced file keeps
// its mode, and as root its owner, and is never more open while it is written.
TEST(TempOutput, FinishedFileTakesTheUmaskOrTheReplacedFilesMode) {
    struct Case {
        mode_t umask;
        int replaced;  // the mode of the file already there, or -1 for none
        mode_t expected;
        bool claimed = false;  // placed onto out-1.rm, claimed as a batch does
    };
    const Case cases[] = {{022, -1, 0644},        {077, -1, 0600},       {022, 0600, 0600},
                          {077, 0664, 0664},      {022, -1, 0644, true}, {077, -1, 0600, true},
                          {022, 0600, 0644, true}};
    const bool root = ::geteuid() == 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::oct << "umask " << c.umask << " replaced "
                                          << c.replaced << (c.claimed ? " claimed" : ""));
        media::ScratchDir dir;
        const std::string destination = dir.file("out.rm");
        const std::string finished = c.claimed ? dir.file("out-1.rm") : destination;
        if (c.replaced >= 0) {
            writeFile(destination, "an earlier file");
            ASSERT_EQ(::chmod(destination.c_str(), static_cast<mode_t>(c.replaced)), 0);
            if (root) {
                ASSERT_EQ(::chown(destination.c_str(), 4242, 4343), 0);
            }
        }
        const mode_t saved = ::umask(c.umask);
        TempOutput temp;
        const Status created = temp.create(destination);
        bool taken = true;
        const Status claimed =
            c.claimed ? claimJobFiles({{Audience::Dsl512K, finished}}, taken) : Status::ok();
        ::umask(saved);
        ASSERT_TRUE(created) << created.message();
        ASSERT_TRUE(claimed) << claimed.message();
        // Meanwhile the unfinished file shows no more than the finished one will.
        struct stat working {};
        ASSERT_EQ(::stat(temp.path().c_str(), &working), 0);
        EXPECT_EQ(working.st_mode & 0077 & ~c.expected, 0u);
        const Status committed = c.claimed ? temp.commitAs(finished) : temp.commit();
        ASSERT_TRUE(committed) << committed.message();
        struct stat st {};
        ASSERT_EQ(::stat(finished.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.expected);
        if (root && c.replaced >= 0 && !c.claimed) {
            EXPECT_EQ(st.st_uid, 4242u);
            EXPECT_EQ(st.st_gid, 4343u);
        }
    }
}

// A claimed name another program has since written into, or put a file
// at, keeps what it holds: the finished file does not go over it.
TEST(TempOutput, AClaimSomeoneElseUsedIsNotReplaced) {
    for (const bool intoTheClaim : {true, false}) {
        SCOPED_TRACE(intoTheClaim ? "written into the claim" : "a file put at the name");
        media::ScratchDir dir;
        const std::string name = dir.file("out-1.rm");
        TempOutput temp;
        ASSERT_TRUE(temp.create(dir.file("out.rm")));
        writeFile(temp.path(), "ours");
        bool taken = true;
        ASSERT_TRUE(claimJobFiles({{Audience::Dsl512K, name}}, taken));
        ASSERT_FALSE(taken);
        if (intoTheClaim) {
            writeFile(name, "theirs");
        } else {
            writeFile(dir.file("theirs"), "theirs");
            ASSERT_EQ(::rename(dir.file("theirs").c_str(), name.c_str()), 0);
        }
        const Status placed = temp.commitAs(name);
        EXPECT_FALSE(placed);
        EXPECT_NE(placed.message().find("已有同名的文件"), std::string::npos) << placed.message();
        std::ifstream kept(name, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "theirs");
        temp.discard();
        EXPECT_EQ(media::hiddenFileCount(dir.path()), 0);
    }
}

// The folder renamed while the job writes: the finished file goes where the
// folder now is, and a discarded one leaves nothing in it.
TEST(TempOutput, FolderRenamedDuringTheJob) {
    for (const bool finish : {true, false}) {
        SCOPED_TRACE(finish ? "commit" : "discard");
        media::ScratchDir dir;
        const std::string before = dir.file("before"), after = dir.file("after");
        ASSERT_EQ(::mkdir(before.c_str(), 0755), 0);
        TempOutput temp;
        ASSERT_TRUE(temp.create(before + "/out.rm"));
        writeFile(temp.path(), "written");  // the writer opens it by name
        ASSERT_EQ(::rename(before.c_str(), after.c_str()), 0);
        EXPECT_EQ(temp.size(), 7);
        if (finish) {
            const Status s = temp.commit();
            EXPECT_TRUE(s) << s.message();
        } else {
            temp.discard();
        }
        EXPECT_EQ(media::fileExists(after + "/out.rm"), finish);
        EXPECT_EQ(media::hiddenFileCount(after), 0);
    }
}

// The system's own words (English) may only follow a Chinese sentence, in
// brackets.
bool chineseOutsideBrackets(const std::string& message) {
    const std::string open = "（", close = "）";
    std::string outside;
    for (std::size_t at = 0; at < message.size();) {
        const std::size_t start = message.find(open, at);
        outside += message.substr(at, start - at);
        if (start == std::string::npos) break;
        const std::size_t end = message.find(close, start);
        at = end == std::string::npos ? message.size() : end + close.size();
    }
    for (char c : outside)
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return false;
    return !outside.empty();
}

TEST(TempOutput, FailuresAreToldInChinese) {
    media::ScratchDir dir;
    TempOutput missing;
    const Status noFolder = missing.create(dir.file("gone/out.rm"));

    // A folder put where the destination goes, after the job started.
    TempOutput blocked;
    ASSERT_TRUE(blocked.create(dir.file("out.rm")));
    ASSERT_EQ(::mkdir(dir.file("out.rm").c_str(), 0755), 0);
    writeFile(dir.file("out.rm/inside"), "x");
    const Status overFolder = blocked.commit();
    blocked.discard();

    for (const Status& s : {noFolder, overFolder}) {
        EXPECT_FALSE(s);
        EXPECT_TRUE(chineseOutsideBrackets(s.message())) << s.message();
    }
    EXPECT_EQ(media::hiddenFileCount(dir.path()), 0);
}

}  // namespace
}  // namespace velmora::encoder
