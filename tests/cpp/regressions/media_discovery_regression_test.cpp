// A media node whose entity enumeration does not advance (it answers an entity whose id is not
// above the one asked after, as a faulty driver could) used to keep discovery enumerating for ever,
// in the sub-device scan and in the Raspberry Pi 5 link set-up alike. Discovery now ends there.
#include <gtest/gtest.h>
#include <linux/media.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzKernel.h"
#include "sensor/csi/MediaDiscovery.h"
#include "system/Platform.h"

namespace Zentrox {
namespace {

media_entity_desc entity(uint32_t id, const char* name, uint32_t minor) {
    media_entity_desc e;
    std::memset(&e, 0, sizeof e);
    e.id = id;
    std::strncpy(e.name, name, sizeof e.name);
    e.dev.major = 81;
    e.dev.minor = minor;
    return e;
}

struct Graph {
    Fuzz::FuzzKernel fake;
    std::vector<media_entity_desc> answers;  // answered in turn, the last one for ever after
    size_t next = 0;
    int calls = 0;

    Graph() {
        fake.nodes["/dev/video0"] = {makedev(81, 0), true};
        fake.directories["/sys/dev/char/81:0/device"] = {".", "..", "media0"};
        fake.nodes["/dev/media0"] = {};
        fake.links["/sys/dev/char/81:5"] = "../../devices/platform/csi/v4l-subdev0";
        fake.nodes["/dev/v4l-subdev0"] = {};
        fake.ioctlHandler = [this](const std::string&, unsigned long request, void* arg) -> int {
            if (request == MEDIA_IOC_SETUP_LINK) return 0;
            if (request != MEDIA_IOC_ENUM_ENTITIES || answers.empty() || ++calls > 10000) {
                errno = EINVAL;
                return -1;
            }
            *static_cast<media_entity_desc*>(arg) = answers[std::min(next++, answers.size() - 1)];
            return 0;
        };
    }

    struct Found {
        int subdevCount;
        std::string bus;
    };
    // Discovery on the capture node; what it opened is closed again before the seam goes.
    Found discover(int platform) {
        ScopedKernel scope(fake);
        CsiPipeline pipeline;
        int video = fake.open("/dev/video0", 0);
        findSubdevices(pipeline, video, platform);
        Found found{pipeline.subdevCount, pipeline.i2cBusName};
        pipeline.reset();
        fake.close(video);
        return found;
    }
};

TEST(MediaDiscoveryRegression, EnumerationThatDoesNotAdvanceEnds) {
    struct Case {
        const char* what;
        int platform;
        std::vector<media_entity_desc> answers;
    };
    const Case cases[] = {
        {"same unrelated entity for ever", Platform::RASPBERRY_PI, {entity(1, "imx-other", 9)}},
        {"goes back to an earlier id",
         Platform::JETSON,
         {entity(1, "a", 9), entity(2, "b", 9), entity(1, "a", 9)}},
        {"Raspberry Pi 5 link set-up without csi2",
         Platform::RASPBERRY_PI_5,
         {entity(3, "rp1-cfe-csi2_ch0", 9)}},
        {"id zero for ever", Platform::RADXA_ROCK, {entity(0, "x", 9)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Graph graph;
        graph.answers = c.answers;
        testing::internal::CaptureStderr();
        Graph::Found found = graph.discover(c.platform);
        testing::internal::GetCapturedStderr();
        // Each walk over the list stops at the first answer that does not move forward.
        EXPECT_LE(graph.calls, 3 * int(c.answers.size()) + 3);
        EXPECT_EQ(found.subdevCount, 0);
        EXPECT_EQ(found.bus, "");
        graph.fake.requireNoLeaks();
    }
}

TEST(MediaDiscoveryRegression, SensorAfterAdvancingEntitiesIsStillFound) {
    Graph graph;
    graph.answers = {entity(1, "imx-other", 9), entity(4, "zentrox-mosaline 4-000c", 5)};
    Graph::Found found = graph.discover(Platform::RASPBERRY_PI);
    EXPECT_EQ(found.subdevCount, 1);
    EXPECT_EQ(found.bus, "4");
    graph.fake.requireNoLeaks();
}

}  // namespace
}  // namespace Zentrox
