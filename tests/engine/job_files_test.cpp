// The names of a job's files: the named one for the slowest audience, the
// others beside it with the audience's key before the extension.
#include <gtest/gtest.h>

#include "engine/job/engine.h"

namespace velmora::encoder {
namespace {

TEST(JobFiles, SlowestTakesTheNamedFileOthersGoBesideIt) {
    using A = Audience;
    const struct {
        std::string destination;
        AudienceSet audiences;
        std::vector<std::pair<Audience, std::string>> files;
    } cases[] = {
        {"/d/讲座.rm",
         audienceSet({A::Dsl512K, A::Dsl256K}),
         {{A::Dsl256K, "/d/讲座.rm"}, {A::Dsl512K, "/d/讲座-512k.rm"}}},
        {"out/clip",
         audienceSet({A::Lan, A::Modem28K, A::SingleIsdn}),
         {{A::Modem28K, "out/clip"}, {A::SingleIsdn, "out/clip-isdn"}, {A::Lan, "out/clip-lan"}}},
        // A leading dot starts a name; a dot in a folder is no extension.
        {"/d/.hidden",
         audienceSet({A::Modem56K, A::DualIsdn}),
         {{A::Modem56K, "/d/.hidden"}, {A::DualIsdn, "/d/.hidden-dual-isdn"}}},
        {"/a.b/c.tar.rm",
         audienceSet({A::Dsl384K, A::Modem28K}),
         {{A::Modem28K, "/a.b/c.tar.rm"}, {A::Dsl384K, "/a.b/c.tar-384k.rm"}}},
        {"/a.b/c", audienceSet({A::Dsl512K}), {{A::Dsl512K, "/a.b/c"}}},
        {"x.rm", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.destination);
        const std::vector<JobFile> files = jobFiles(c.destination, c.audiences);
        ASSERT_EQ(files.size(), c.files.size());
        for (std::size_t i = 0; i < files.size(); ++i) {
            EXPECT_EQ(files[i].audience, c.files[i].first);
            EXPECT_EQ(files[i].destination, c.files[i].second);
        }
    }
}

}  // namespace
}  // namespace velmora::encoder
