// The hidden temporary file beside a destination: the words of its
// failures.
#include "engine/temp_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support/media/media_fixtures.h"

namespace velmora::encoder {
namespace {

namespace media = velmora::testing::media;

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
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
