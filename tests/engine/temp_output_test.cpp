// The hidden temporary file beside a destination: which leftovers the next
// job removes, the finished file's mode, a folder moved during the job, and
// the words of its failures.
#include "engine/output/temp_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <string>

#include "engine/output/job_files.h"
#include "support/media/media_fixtures.h"

namespace velmora::encoder {
namespace {

namespace media = velmora::testing::media;

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
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

// What holds the name at the moment the finished file takes it decides,
// whatever was there before: beside the named file only an earlier
// RealMedia file is replaced (never a link, which is not followed, nor a
// FIFO, which is not opened), at the named file a link itself and never
// what it points to, and a claimed name only while it holds the empty
// claim, which keeps the name until then. What may not be replaced stays.
TEST(TempOutput, TheNameIsCheckedAtTheMomentTheFileTakesIt) {
    enum class Onto { AnyFile, RealMedia, Claim };
    struct Case {
        const char* what;
        Onto onto;
        // Done at that moment to the name, `earlier` beside it in the folder.
        std::function<void(const std::string& name, const std::string& earlier)> put;
        const char* refusal;  // words of the failure; nullptr when the file is placed
    };
    const auto text = [](const std::string& name, const std::string&) {
        writeFile(name, "theirs");
    };
    const auto link = [](const std::string& name, const std::string& earlier) {
        ASSERT_EQ(::symlink(earlier.c_str(), name.c_str()), 0);
    };
    const Case cases[] = {
        {"a stranger's file beside", Onto::RealMedia, text, "不是 RealMedia"},
        {"an earlier output beside", Onto::RealMedia,
         [](const std::string& name, const std::string&) { writeFile(name, ".RMF earlier"); },
         nullptr},
        {"an empty file beside, as a killed batch's claim", Onto::RealMedia,
         [](const std::string& name, const std::string&) { writeFile(name, ""); }, nullptr},
        {"a link to an earlier output beside", Onto::RealMedia, link, "符号链接"},
        {"a FIFO beside", Onto::RealMedia,
         [](const std::string& name, const std::string&) {
             ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
         },
         "不是普通文件"},
        {"a link at the named file", Onto::AnyFile, link, nullptr},
        {"written into the claim", Onto::Claim, text, "已有同名的文件"},
        {"a file put at the claimed name", Onto::Claim,
         [](const std::string& name, const std::string& earlier) {
             writeFile(earlier + ".new", "theirs");
             ASSERT_EQ(::rename((earlier + ".new").c_str(), name.c_str()), 0);
         },
         "已有同名的文件"},
        {"a second batch taking the claimed name", Onto::Claim,
         [](const std::string& name, const std::string&) {
             EXPECT_LT(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644), 0);
         },
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        media::ScratchDir dir;
        const std::string name = dir.file("out-512k.rm"), earlier = dir.file("earlier.rm");
        writeFile(earlier, ".RMF an earlier output");
        TempOutput temp;
        ASSERT_TRUE(temp.create(name));
        writeFile(temp.path(), "ours");
        bool taken = true;
        if (c.onto == Onto::Claim) {
            ASSERT_TRUE(claimJobFiles({{Audience::Dsl512K, name}}, taken));
        }
        struct stat put {};
        temp.beforePlacing([&] {
            c.put(name, earlier);
            ASSERT_EQ(::lstat(name.c_str(), &put), 0);
        });
        // The name is never free on the way: nothing at it is removed.
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(::inotify_add_watch(watch, dir.path().c_str(), IN_DELETE), 0);
        const Status s = c.onto == Onto::Claim       ? temp.commitAs(name)
                         : c.onto == Onto::RealMedia ? temp.commit(Replacing::RealMedia)
                                                     : temp.commit(Replacing::AnyFile);
        alignas(inotify_event) char events[4096];
        const ssize_t got = ::read(watch, events, sizeof events);
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            EXPECT_NE(std::string(event->len ? event->name : ""), "out-512k.rm");
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
        ::close(watch);
        struct stat after {};
        ASSERT_EQ(::lstat(name.c_str(), &after), 0);
        if (!c.refusal) {
            EXPECT_TRUE(s) << s.message();
            EXPECT_TRUE(S_ISREG(after.st_mode));
            EXPECT_EQ(readFile(name), "ours");
        } else {
            EXPECT_FALSE(s);
            EXPECT_NE(s.message().find(c.refusal), std::string::npos) << s.message();
            EXPECT_EQ(after.st_ino, put.st_ino);
            EXPECT_EQ(after.st_mode, put.st_mode);
            if (S_ISREG(after.st_mode)) {
                EXPECT_EQ(readFile(name), "theirs");
            }
        }
        EXPECT_EQ(readFile(earlier), ".RMF an earlier output");
        temp.discard();
        EXPECT_EQ(media::hiddenFileCount(dir.path()), 0);
    }
}

// In a shared folder (sticky, as /tmp) a file or a link a stranger put at
// the name becomes a file of ours: their owner and mode are not taken, and
// what the link points to stays as it was.
TEST(TempOutput, InASharedFolderAStrangersNameBecomesAFileOfOurs) {
    if (::geteuid() != 0) {
        std::cout << "SKIP: a stranger's file needs root to make\n";
        GTEST_SKIP() << "a stranger's file needs root to make";
    }
    constexpr uid_t kStranger = 65534;
    for (const bool link : {false, true}) {
        SCOPED_TRACE(link ? "a link to their file" : "their file");
        media::ScratchDir dir;
        const std::string shared = dir.file("shared"), theirs = dir.file("theirs.rm");
        const std::string name = shared + "/x-512k.rm";
        ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
        writeFile(theirs, ".RMF theirs");
        if (link) {
            ASSERT_EQ(::symlink(theirs.c_str(), name.c_str()), 0);
        } else {
            ASSERT_EQ(::link(theirs.c_str(), name.c_str()), 0);
        }
        ASSERT_EQ(::chown(theirs.c_str(), kStranger, kStranger), 0);
        ASSERT_EQ(::chmod(theirs.c_str(), 0666), 0);
        ASSERT_EQ(::lchown(name.c_str(), kStranger, kStranger), 0);
        const mode_t saved = ::umask(022);
        TempOutput temp;
        const Status created = temp.create(name);
        ::umask(saved);
        ASSERT_TRUE(created) << created.message();
        writeFile(temp.path(), ".RMF ours");
        // A link is replaced only where the user named it; beside, their
        // file is replaced as an earlier RealMedia file.
        const Status s = temp.commit(link ? Replacing::AnyFile : Replacing::RealMedia);
        ASSERT_TRUE(s) << s.message();
        struct stat ours {};
        ASSERT_EQ(::lstat(name.c_str(), &ours), 0);
        EXPECT_TRUE(S_ISREG(ours.st_mode));
        EXPECT_EQ(ours.st_uid, 0u);
        EXPECT_EQ(ours.st_mode & 07777, 0644u);
        EXPECT_EQ(readFile(name), ".RMF ours");
        struct stat left {};
        ASSERT_EQ(::stat(theirs.c_str(), &left), 0);
        EXPECT_EQ(left.st_uid, kStranger);
        EXPECT_EQ(left.st_mode & 07777, 0666u);
        EXPECT_EQ(readFile(theirs), ".RMF theirs");
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
