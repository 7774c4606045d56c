// A later claim on the same file, however its name is spelt, takes the say
// over it from an earlier one: the earlier job's file never goes over it.
#include "engine/output/destination_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/media/media_fixtures.h"

namespace velmora::encoder {
namespace {

namespace media = velmora::testing::media;

TEST(DestinationRegistry, ALaterClaimOnTheSameFileWinsHoweverItIsSpelt) {
    media::ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.file("f").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(dir.file("f").c_str(), dir.file("link").c_str()), 0);
    struct Case {
        std::string earlier, later;
        bool same;
    };
    const Case cases[] = {
        {"a.rm", "./a.rm", true},
        {dir.file("f/a.rm"), dir.file("f/./a.rm"), true},
        {dir.file("f/a.rm"), dir.file("f/../f/a.rm"), true},
        {dir.file("f/a.rm"), dir.file("link/a.rm"), true},
        {dir.file("none/a.rm"), dir.file("none/./a.rm"), true},  // no such folder yet
        {dir.file("f/a.rm"), dir.file("f/b.rm"), false},
        {dir.file("f/a.rm"), dir.file("a.rm"), false},
        {dir.file("none/a.rm"), dir.file("none/b.rm"), false},
    };
    DestinationRegistry& registry = DestinationRegistry::instance();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.earlier + " then " + c.later);
        const std::uint64_t earlier = registry.claim(c.earlier);
        const std::uint64_t later = registry.claim(c.later);
        int commits = 0;
        EXPECT_EQ(registry.commitIfLatest(earlier, [&] { ++commits; }), !c.same);
        EXPECT_TRUE(registry.commitIfLatest(later, [&] { ++commits; }));
        EXPECT_EQ(commits, c.same ? 1 : 2);
        // Either claim has ended: neither commits again.
        EXPECT_FALSE(registry.commitIfLatest(earlier, [&] { ++commits; }));
        EXPECT_FALSE(registry.commitIfLatest(later, [&] { ++commits; }));
    }
}

}  // namespace
}  // namespace velmora::encoder
