#include <errno.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sensor/csi/MediaDiscovery.h"
#include "system/KernelSeam.h"
#include "system/Platform.h"
#include "tests/fakes/FakeBoards.h"
#include "tests/fakes/FakeCaptureNode.h"
#include "tests/fakes/FakeKernel.h"
#include "tests/fakes/FakeMediaGraph.h"
#include "tests/fakes/StderrCapture.h"

using namespace Zentrox;

namespace {

constexpr const char* kDeviceDir = "/sys/devices/platform/soc/fe801000.csi";

// A capture node, its sysfs device directory and a media graph built entity by entity.
struct Graph {
    explicit Graph(std::vector<std::string> entries = {"driver", "media0", "power", "video4linux"}) {
        capture = std::make_shared<FakeCaptureNode>();
        kernel.addDevice("/dev/video0", capture);
        kernel.addLink("/sys/dev/char/81:0", "../../devices/platform/soc/fe801000.csi/video4linux/video0");
        kernel.addLink(std::string(kDeviceDir) + "/video4linux/video0/device", "../../../fe801000.csi");
        for (const auto& e : entries) {
            if (e.compare(0, 5, "media") == 0) {
                auto node = std::make_shared<FakeMediaDevice>(makedev(236, medias.size()));
                kernel.addDevice("/dev/" + e, node);
                kernel.addDirectory(std::string(kDeviceDir) + "/" + e);
                medias.push_back(node);
            } else if (e == "video4linux") {
                kernel.addDirectory(std::string(kDeviceDir) + "/" + e);
            } else {
                kernel.addFile(std::string(kDeviceDir) + "/" + e, "");
            }
        }
        media = medias.empty() ? nullptr : medias.back();
        videoFd = kernel.open("/dev/video0", 2);
    }
    ~Graph() { kernel.close(videoFd); }

    // An entity; with the node /dev/v4l-subdev<subdev> when `subdev` >= 0, reached through the
    // link `target` (default: the kernel's relative link to that node).
    void entity(uint32_t id, const std::string& name, int subdev = -1, std::string target = "") {
        FakeEntity e{id, name, MEDIA_ENT_F_CAM_SENSOR, 8};
        if (subdev >= 0) {
            e.major = 81;
            e.minor = uint32_t(64 + subdev);
            std::string node = "v4l-subdev" + std::to_string(subdev);
            if (target.empty())
                target = "../../devices/platform/soc/fe205000.i2c/i2c-4/4-000c/video4linux/" + node;
            kernel.addLink("/sys/dev/char/81:" + std::to_string(64 + subdev), target);
            SubdeviceConfig c;
            c.rdev = makedev(81, 64 + subdev);
            c.pads = 8;
            kernel.addDevice("/dev/" + node, std::make_shared<FakeSubdevice>(c));
        }
        media->addEntity(e);
    }
    // The Raspberry Pi 5 receiver and capture channel with the link between them.
    void raspberryPi5Link(uint32_t csi2Id, int csi2Subdev, uint32_t channelId) {
        entity(csi2Id, "csi2", csi2Subdev);
        entity(channelId, "rp1-cfe-csi2_ch0");
        media->addLink({csi2Id, 4, channelId, 0, 0});
    }

    CsiPipeline discover(int platform) {
        CsiPipeline p;
        findSubdevices(p, videoFd, platform);
        return p;
    }
    // The device node each filled slot holds, by the path it was opened with.
    std::vector<std::string> slots(const CsiPipeline& p) {
        std::vector<std::string> paths;
        auto trace = kernel.trace();
        for (uint8_t i = 0; i < p.subdevCount; ++i) {
            for (const auto& c : trace)
                if (c.call == Sys::OPEN && c.result == p.subdevFds[i].get()) paths.push_back(c.path);
        }
        return paths;
    }
    int openCount() const { return kernel.openDescriptors(); }

    FakeKernel kernel;
    ScopedKernel installed{kernel};
    std::shared_ptr<FakeCaptureNode> capture;
    std::vector<std::shared_ptr<FakeMediaDevice>> medias;
    std::shared_ptr<FakeMediaDevice> media;
    int videoFd = -1;
};

TEST(MediaDiscovery, ScanStopsAtTheFirstSensor) {
    Graph g;
    g.entity(1, "zentrox-mosaline 4-000c", 0);
    g.raspberryPi5Link(2, 1, 3);
    g.entity(5, "zentrox-mosaline 6-000c", 2);
    g.media->setStreaming(false);
    CsiPipeline p = g.discover(Platform::RASPBERRY_PI_5);
    EXPECT_EQ(p.subdevCount, 1);
    EXPECT_EQ(p.subdevIndex, 0);
    EXPECT_TRUE(p.sensorFound);
    EXPECT_STREQ(p.i2cBusName, "4");
    EXPECT_EQ(g.slots(p), (std::vector<std::string>{"/dev/v4l-subdev0"}));
    EXPECT_STREQ(p.mediaPath, "/dev/media0");
    EXPECT_EQ(g.openCount(), 2);  // capture node and sensor; the media node is closed
}

TEST(MediaDiscovery, ReceiverFirstOnRaspberryPi5) {
    Graph g;
    g.raspberryPi5Link(1, 0, 2);
    g.entity(9, "zentrox-mosaline 4-000c", 1);
    CsiPipeline p = g.discover(Platform::RASPBERRY_PI_5);
    EXPECT_EQ(p.subdevCount, 2);
    EXPECT_EQ(p.subdevIndex, 1);
    EXPECT_EQ(g.slots(p), (std::vector<std::string>{"/dev/v4l-subdev0", "/dev/v4l-subdev1"}));
    EXPECT_EQ(g.media->linkFlags(1, 4, 2, 0), MEDIA_LNK_FL_ENABLED);
    EXPECT_EQ(g.media->setupCalls(), 1);
}

TEST(MediaDiscovery, ReceiversByWholeNameAndPlatform) {
    const struct {
        int platform;
        const char* name;
        bool receiver;
    } rows[] = {
        {Platform::RASPBERRY_PI_5, "csi2", true},
        {Platform::RASPBERRY_PI_5, "csi2-extra", false},
        {Platform::RASPBERRY_PI_5, "rockchip-csi2-dphy1", false},
        {Platform::RADXA_ROCK, "rockchip-csi2-dphy1", true},
        {Platform::RADXA_ROCK, "rockchip-csi2-dphy10", false},
        {Platform::RADXA_ROCK, "csi2", false},
        {Platform::RASPBERRY_PI, "csi2", false},
        {Platform::JETSON, "rockchip-csi2-dphy1", false},
        {Platform::UNKNOWN, "csi2", false},
    };
    for (const auto& row : rows) {
        Graph g;
        // On a Raspberry Pi 5 the link set-up needs "csi2"; it comes after the sensor unless it is
        // the entity under test.
        if (row.platform == Platform::RASPBERRY_PI_5 && std::string(row.name) == "csi2") {
            g.raspberryPi5Link(1, 0, 41);
        } else {
            if (row.platform == Platform::RASPBERRY_PI_5) g.raspberryPi5Link(40, 3, 41);
            g.entity(1, row.name, 0);
        }
        g.entity(2, "zentrox-mosaline 4-000c", 1);
        CsiPipeline p = g.discover(row.platform);
        const std::string what = std::string(platformName(row.platform)) + " " + row.name;
        EXPECT_EQ(p.subdevCount, row.receiver ? 2 : 1) << what;
        EXPECT_EQ(p.subdevIndex, row.receiver ? 1 : 0) << what;
        EXPECT_EQ(g.slots(p).front(), row.receiver ? "/dev/v4l-subdev0" : "/dev/v4l-subdev1") << what;
    }
}

TEST(MediaDiscovery, SensorNamesAndBusTexts) {
    const struct {
        int platform;
        const char* name;
        bool sensor;      // opened as the sensor
        const char* bus;  // bus text
    } rows[] = {
        {Platform::RASPBERRY_PI, "zentrox-mosaline 4-000c", true, "4"},
        {Platform::RASPBERRY_PI, "zentrox-mosaline 10-000c", true, "10"},
        {Platform::JETSON, "zentrox-mosaline 30-000c", true, "30"},
        {Platform::UNKNOWN, "zentrox-mosaline 1234567-000c", true, "1234567"},
        {Platform::UNKNOWN, "zentrox-mosaline abcdefghij", true, "abcdefg"},  // no '-': 7 characters kept
        {Platform::UNKNOWN, "zentrox-mosaline 12", true, "12"},
        {Platform::UNKNOWN, "zentrox-mosaline -000c", true, ""},
        {Platform::UNKNOWN, "my zentrox-mosaline 5-000c", true, "zentrox"},  // the first space counts
        {Platform::UNKNOWN, "zentrox-mosaline", false, ""},                  // no space: the scan ends
        {Platform::RASPBERRY_PI, "m00_b_mosaline 3-000c", false, ""},
        {Platform::RADXA_ROCK, "m00_b_mosaline 3-000c", true, "3"},
        {Platform::RADXA_ROCK, "zentrox-mosaline 2-000c", true, "2"},
        {Platform::RASPBERRY_PI, "ZENTROX-MOSALINE 4-000c", false, ""},
    };
    for (const auto& row : rows) {
        Graph g;
        g.entity(1, "unicam-image");
        g.entity(3, row.name, 0);
        CsiPipeline p = g.discover(row.platform);
        EXPECT_EQ(p.sensorFound, row.sensor) << row.name;
        EXPECT_EQ(p.subdevCount, row.sensor ? 1 : 0) << row.name;
        EXPECT_STREQ(p.i2cBusName, row.bus) << row.name;
    }
}

TEST(MediaDiscovery, FailedLinkSetUpOpensNoSubdevice) {
    Graph g;
    g.raspberryPi5Link(1, 0, 2);
    g.entity(3, "zentrox-mosaline 4-000c", 1);
    g.kernel.inject(Fault{Sys::IOCTL, MEDIA_IOC_SETUP_LINK, "", EBUSY, 0, 1});
    CsiPipeline p = g.discover(Platform::RASPBERRY_PI_5);
    EXPECT_EQ(p.subdevCount, 0);
    EXPECT_STREQ(p.i2cBusName, "");
    EXPECT_EQ(g.openCount(), 1);
}

TEST(MediaDiscovery, MissingLinkEntityIsReportedAndNothingOpened) {
    Graph g;
    g.entity(2, "rp1-cfe-csi2_ch0");
    g.entity(3, "zentrox-mosaline 4-000c", 1);
    StderrCapture err;
    CsiPipeline p = g.discover(Platform::RASPBERRY_PI_5);
    EXPECT_EQ(err.text(), "Query entity failed: Invalid argument\n");
    EXPECT_EQ(p.subdevCount, 0);
    EXPECT_EQ(g.openCount(), 1);
}

TEST(MediaDiscovery, LookupsAreMadeOnceAndTheScanRetries) {
    Graph g;
    g.raspberryPi5Link(1, 0, 2);
    g.entity(3, "zentrox-mosaline 4-000c", 1);
    // The first enumeration is the look-up of "csi2": interrupted once, it is not retried.
    g.kernel.inject(Fault{Sys::IOCTL, MEDIA_IOC_ENUM_ENTITIES, "", EINTR, 0, 1});
    StderrCapture err;
    CsiPipeline p = g.discover(Platform::RASPBERRY_PI_5);
    EXPECT_EQ(err.text(), "Query entity failed: Interrupted system call\n");
    EXPECT_EQ(p.subdevCount, 0);
    // An interruption during the scan itself is retried.
    Graph h;
    h.entity(1, "zentrox-mosaline 4-000c", 0);
    h.kernel.inject(Fault{Sys::IOCTL, MEDIA_IOC_ENUM_ENTITIES, "", EINTR, 0, 4});
    CsiPipeline q = h.discover(Platform::RASPBERRY_PI);
    EXPECT_EQ(q.subdevCount, 1);
}

TEST(MediaDiscovery, MediaNodeIsTheLastUsableEntryOfTheDeviceDirectory) {
    {
        Graph g({"driver", "media0", "media1", "uevent"});
        g.entity(1, "zentrox-mosaline 4-000c", 0);
        CsiPipeline p = g.discover(Platform::RASPBERRY_PI);
        EXPECT_STREQ(p.mediaPath, "/dev/media1");
        EXPECT_EQ(p.subdevCount, 1);
    }
    {
        // The last one cannot be opened: the walk goes on to the one before.
        Graph g({"media0", "media1"});
        g.media = g.medias[0];
        g.entity(1, "zentrox-mosaline 4-000c", 0);
        g.kernel.inject(Fault{Sys::OPEN, 0, "/dev/media1", EACCES, 0, 1});
        CsiPipeline p = g.discover(Platform::RASPBERRY_PI);
        EXPECT_STREQ(p.mediaPath, "/dev/media0");
        EXPECT_EQ(p.subdevCount, 1);
    }
    {
        Graph g({"driver", "power"});
        CsiPipeline p = g.discover(Platform::RASPBERRY_PI);
        EXPECT_STREQ(p.mediaPath, "");
        EXPECT_EQ(p.subdevCount, 0);
    }
    {
        // A name that does not fit the 80-byte path ends the walk.
        Graph g({"media0", "media" + std::string(80, '9')});
        g.media = g.medias[0];
        g.entity(1, "zentrox-mosaline 4-000c", 0);
        CsiPipeline p = g.discover(Platform::RASPBERRY_PI);
        EXPECT_EQ(p.subdevCount, 0);
        EXPECT_EQ(g.openCount(), 1);
    }
}

TEST(MediaDiscovery, NothingWithoutAUsableCaptureNode) {
    {
        Graph g;
        g.entity(1, "zentrox-mosaline 4-000c", 0);
        g.kernel.inject(Fault{Sys::FSTAT, 0, "", EIO, 0, 1});
        EXPECT_EQ(g.discover(Platform::RASPBERRY_PI).subdevCount, 0);
        g.kernel.inject(Fault{Sys::LIST_DIRECTORY, 0, "", ENOENT, 0, 1});
        EXPECT_EQ(g.discover(Platform::RASPBERRY_PI).subdevCount, 0);
        EXPECT_EQ(g.discover(Platform::RASPBERRY_PI).subdevCount, 1);
    }
    {
        Graph g;
        CsiPipeline p;
        findSubdevices(p, -1, Platform::RASPBERRY_PI);
        EXPECT_EQ(p.subdevCount, 0);
        findSubdevices(p, 12345, Platform::RASPBERRY_PI);
        EXPECT_EQ(p.subdevCount, 0);
    }
}

TEST(MediaDiscovery, NodesAreFoundThroughTheirRelativeSysfsLink) {
    const struct {
        const char* target;
        bool opened;
    } rows[] = {
        {"../../devices/platform/soc/fe205000.i2c/i2c-4/4-000c/video4linux/v4l-subdev0", true},
        {"../../devices/v4l-subdev0", true},
        {"/sys/devices/platform/x/video4linux/v4l-subdev0", true},
        {"../../devices/platform/soc/fe801000.csi/video4linux/video0", false},
        {"../../devices/platform/x/video4linux/v4l-subdev7", false},  // no such node
        {"v4l-subdev0", false},                                       // no '/' at all
    };
    for (const auto& row : rows) {
        Graph g;
        g.entity(1, "zentrox-mosaline 4-000c", 0, row.target);
        CsiPipeline p = g.discover(Platform::RASPBERRY_PI);
        EXPECT_EQ(p.subdevCount, row.opened ? 1 : 0) << row.target;
        EXPECT_STREQ(p.i2cBusName, "4") << row.target;  // known before the node is resolved
        EXPECT_EQ(g.openCount(), row.opened ? 2 : 1) << row.target;
    }
    Graph g;
    g.entity(1, "zentrox-mosaline 4-000c", 0);
    g.kernel.inject(Fault{Sys::READLINK, 0, "", EIO, 0, 1});
    EXPECT_EQ(g.discover(Platform::RASPBERRY_PI).subdevCount, 0);
}

TEST(MediaDiscovery, AtMostFourSubdevicesAndNoneLeaks) {
    Graph g;
    g.raspberryPi5Link(1, 0, 2);
    for (int i = 1; i <= 4; ++i)
        g.entity(uint32_t(10 + i), "csi2", i);
    g.entity(20, "zentrox-mosaline 4-000c", 5);
    CsiPipeline p = g.discover(Platform::RASPBERRY_PI_5);
    EXPECT_EQ(p.subdevCount, 4);
    EXPECT_FALSE(p.sensorFound);
    EXPECT_EQ(p.sensorFd(), -1) << "a receiver never stands in for the sensor";
    EXPECT_EQ(g.openCount(), 1 + 4);
    p.reset();
    EXPECT_EQ(g.openCount(), 1);
    EXPECT_EQ(g.kernel.badCloses(), 0);
}

}  // namespace
