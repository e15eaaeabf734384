#include "tests/fakes/FakeBoards.h"

#include <linux/i2c.h>
#include <linux/media-bus-format.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "system/Platform.h"

namespace Zentrox {

namespace {

constexpr uint32_t kVideoMajor = 81;
constexpr uint32_t kMediaMajor = 236;
constexpr uint32_t kI2cMajor = 89;
constexpr unsigned long kPlainI2c = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;

std::string devText(uint32_t major, uint32_t minor) {
    return std::to_string(major) + ":" + std::to_string(minor);
}

std::string lastPart(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// Rendering is the costly part of building a board; boards that look at the same scene share it.
std::shared_ptr<const FakeBoard::RenderedScene> renderOnce(const Scene& scene, double fieldOfView) {
    std::ostringstream key;
    key.precision(17);
    key << fieldOfView;
    for (auto& p : scene.planes)
        key << "p" << p.normal.x << ',' << p.normal.y << ',' << p.normal.z << ',' << p.distance << ','
            << p.reflectivity;
    for (auto& b : scene.boxes)
        key << "b" << b.min.x << ',' << b.min.y << ',' << b.min.z << ',' << b.max.x << ',' << b.max.y << ','
            << b.max.z << ',' << b.reflectivity;
    for (auto& s : scene.spheres)
        key << "s" << s.center.x << ',' << s.center.y << ',' << s.center.z << ',' << s.radius << ','
            << s.reflectivity;
    static std::mutex lock;
    static std::map<std::string, std::shared_ptr<const FakeBoard::RenderedScene>> cache;
    std::lock_guard<std::mutex> guard(lock);
    auto& slot = cache[key.str()];
    if (!slot) {
        auto r = std::make_shared<FakeBoard::RenderedScene>();
        renderScene(scene, PinholeCamera::fromFieldOfView(240, 180, fieldOfView), r->map);
        r->encoders[0].prepare(r->map, PhaseModel::forRange(4000));
        r->encoders[1].prepare(r->map, PhaseModel::forRange(2000));
        slot = r;
    }
    return slot;
}

}  // namespace

const char* platformName(int platform) {
    switch (platform) {
        case Platform::JETSON:
            return "Jetson";
        case Platform::RASPBERRY_PI:
            return "RaspberryPi";
        case Platform::RASPBERRY_PI_5:
            return "RaspberryPi5";
        case Platform::RADXA_ROCK:
            return "RadxaRock";
        default:
            return "Unknown";
    }
}

void FakeBoard::addSubdevNode(uint32_t minor, const std::string& sysfsDir, int index,
                              std::shared_ptr<FakeSubdevice> node) {
    std::string name = "v4l-subdev" + std::to_string(index);
    std::string dir = "/sys/devices/" + sysfsDir + "/video4linux/" + name;
    kernel.addFile(dir + "/dev", devText(kVideoMajor, minor) + "\n");
    kernel.addLink("/sys/dev/char/" + devText(kVideoMajor, minor),
                   "../../devices/" + sysfsDir + "/video4linux/" + name);
    kernel.addDevice("/dev/" + name, std::move(node));
}

void FakeBoard::addVideoNode(uint32_t minor, const std::string& deviceDir,
                             const std::vector<std::string>& entries) {
    const std::string base = "/sys/devices/" + deviceDir;
    for (const std::string& e : entries) {
        if (e.compare(0, 5, "media") == 0) {
            uint32_t mediaMinor = uint32_t(std::stoi(e.substr(5)));
            kernel.addFile(base + "/" + e + "/dev", devText(kMediaMajor, mediaMinor) + "\n");
            kernel.addLink("/sys/dev/char/" + devText(kMediaMajor, mediaMinor),
                           "../../devices/" + deviceDir + "/" + e);
        } else if (e == "video4linux") {
            kernel.addDirectory(base + "/video4linux");
        } else if (e == "driver" || e == "subsystem" || e == "of_node") {
            kernel.addLink(base + "/" + e, "../../../bus/platform/drivers/fake");
        } else {
            kernel.addFile(base + "/" + e, "");
        }
    }
    std::string video = "video" + std::to_string(options.videoIndex);
    kernel.addFile(base + "/video4linux/" + video + "/dev", devText(kVideoMajor, minor) + "\n");
    kernel.addLink(base + "/video4linux/" + video + "/device", "../../../" + lastPart(deviceDir));
    kernel.addLink("/sys/dev/char/" + devText(kVideoMajor, minor),
                   "../../devices/" + deviceDir + "/video4linux/" + video);
    if (capture) kernel.addDevice(videoPath, capture);
}

std::shared_ptr<FakeI2cAdapter> FakeBoard::addAdapter(int number, const std::string& name,
                                                      unsigned long funcs, const std::string& parent) {
    auto adapter = std::make_shared<FakeI2cAdapter>(makedev(kI2cMajor, number), funcs);
    std::string bus = "i2c-" + std::to_string(number);
    std::string dir = "/sys/devices/" + parent + "/" + bus;
    kernel.addFile(dir + "/name", name + "\n");
    std::string classDir = dir + "/i2c-dev/" + bus;
    kernel.addFile(classDir + "/dev", devText(kI2cMajor, uint32_t(number)) + "\n");
    if (options.classNameFiles) kernel.addFile(classDir + "/name", name + "\n");
    kernel.addLink(classDir + "/device", "../../../" + bus);
    kernel.addLink("/sys/class/i2c-dev/" + bus, "../../devices/" + parent + "/" + bus + "/i2c-dev/" + bus);
    kernel.addLink("/sys/dev/char/" + devText(kI2cMajor, uint32_t(number)),
                   "../../devices/" + parent + "/" + bus + "/i2c-dev/" + bus);
    kernel.addDevice("/dev/" + bus, adapter);
    adapters.push_back(AdapterRecord{number, name, funcs});
    if (options.legacyProcBusI2c) writeProcBusI2c();
    return adapter;
}

void FakeBoard::writeProcBusI2c() {
    std::string text;
    for (const AdapterRecord& a : adapters) {
        char line[160];
        std::snprintf(line, sizeof line, "i2c-%d\t%-10s\t%-32s\t%s\n", a.number,
                      (a.funcs & I2C_FUNC_I2C) ? "i2c" : "smbus", a.name.c_str(),
                      (a.funcs & I2C_FUNC_I2C) ? "I2C adapter" : "SMBus adapter");
        text += line;
    }
    kernel.addFile("/proc/bus/i2c", text);
}

void FakeBoard::wireCapture() {
    if (!capture) return;
    capture->setSampleSource([this](uint64_t sequence, uint32_t w, uint32_t h, uint16_t* samples) {
        if (w == 240 && h == 180) {
            // Four phase images per camera frame, in the order the range selects.
            encoder(module.shortRange).writeImage(unsigned(sequence % 4), 12, scratch.data());
            std::memcpy(samples, scratch.data(), scratch.size());
            return;
        }
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                samples[size_t(y) * w + x] = uint16_t((x + 3 * y + 7 * sequence) & 0xFFF);
    });
    capture->setPipelineCheck([this](const CaptureFormat& f) {
        // Link validation of the pipeline: the formats of the path must agree with the node's.
        const v4l2_mbus_framefmt& s = sensor->activeFormat();
        if (s.width != f.width || s.height != f.height || s.code != MEDIA_BUS_FMT_Y12_1X12) return -EPIPE;
        if (receiver) {
            const v4l2_mbus_framefmt& r = receiver->activeFormat();
            if (r.width != f.width || r.height != f.height) return -EPIPE;
        }
        if (platform == Platform::RASPBERRY_PI_5) {
            const FakeEntity* csi2 = media->entityNamed("csi2");
            const FakeEntity* ch0 = media->entityNamed("rp1-cfe-csi2_ch0");
            int flags = media->linkFlags(csi2->id, 4, ch0->id, 0);
            if (flags < 0 || !(flags & MEDIA_LNK_FL_ENABLED)) return -ENOLINK;
        }
        return 0;
    });
    capture->setStreamListener([this](bool on) {
        media->setStreaming(on);
        sensor->setStreaming(on);
        if (receiver) receiver->setStreaming(on);
    });
}

FakeBoard::FakeBoard(FakeKernel& k, int platformCode, BoardOptions o)
    : kernel(k), platform(platformCode), options(std::move(o)) {
    rendered = renderOnce(options.scene, options.fieldOfView);
    scratch.resize(encoder(false).imageBytes(12));
    videoPath = "/dev/video" + std::to_string(options.videoIndex);
    const uint32_t videoMinor = uint32_t(options.videoIndex);

    CaptureNodeConfig cc;
    cc.rdev = makedev(kVideoMajor, videoMinor);
    cc.width = options.width;
    cc.height = options.height;
    std::string deviceDir, sensorDir, adapterParent, adapterName, defaultSensor;
    std::vector<std::string> deviceEntries;
    int mediaIndex = 0;
    switch (platform) {
        case Platform::JETSON:
            model = std::string("NVIDIA Jetson Xavier NX Developer Kit") + '\0';
            cc.strideAlignment = 64;  // the VI writes lines at 64-byte multiples
            cc.sampleShift = 4;       // and 12-bit samples in the upper bits of each word
            cc.driver = "tegra-video";
            bus = 9;
            adapterParent = "platform/bus@0/3180000.i2c/i2c-2";
            adapterName = "i2c-2-mux (chan_id 0)";
            deviceDir = "platform/tegra-capture-vi";
            deviceEntries = {"driver", "media0",    "modalias", "of_node",
                             "power",  "subsystem", "uevent",   "video4linux"};
            break;
        case Platform::RASPBERRY_PI:
            model = std::string("Raspberry Pi 4 Model B Rev 1.4") + '\0';
            cc.strideAlignment = 16;
            cc.driver = "unicam";
            bus = 10;
            adapterParent = "platform/soc/fe205000.i2c/i2c-22";
            adapterName = "i2c-22-mux (chan_id 1)";
            deviceDir = "platform/soc/fe801000.csi";
            mediaIndex = 2;
            deviceEntries = {"driver", "driver_override", "media2", "modalias",   "of_node",
                             "power",  "subsystem",       "uevent", "video4linux"};
            break;
        case Platform::RASPBERRY_PI_5:
            model = std::string("Raspberry Pi 5 Model B Rev 1.0") + '\0';
            cc.strideAlignment = 16;
            cc.pixelFormats = {V4L2_PIX_FMT_Y12, V4L2_PIX_FMT_Y12P};
            cc.driver = "rp1-cfe";
            bus = 4;
            adapterParent = "platform/axi/1000120000.pcie/1f00074000.i2c";
            adapterName = "Synopsys DesignWare I2C adapter";
            deviceDir = "platform/axi/1000120000.pcie/1f00128000.csi";
            mediaIndex = 3;
            deviceEntries = {"driver", "media3",    "modalias", "of_node",
                             "power",  "subsystem", "uevent",   "video4linux"};
            break;
        case Platform::RADXA_ROCK:
            model = std::string("Radxa ROCK 5B") + '\0';
            cc.multiPlane = true;
            cc.inputs = 0;
            cc.strideAlignment = 16;
            cc.driver = "rkcif";
            bus = 3;
            adapterParent = "platform/feac0000.i2c";
            adapterName = "rk3x-i2c";
            deviceDir = "platform/rkcif-mipi-lvds";
            mediaIndex = 1;
            deviceEntries = {"driver", "media1",    "modalias", "of_node",
                             "power",  "subsystem", "uevent",   "video4linux"};
            break;
        default:
            // No device tree: a desktop-like machine with a generic capture driver.
            bus = 1;
            adapterParent = "platform/fake-i2c.1";
            adapterName = "Fake I2C adapter";
            deviceDir = "platform/fake-csi";
            deviceEntries = {"driver", "media0", "power", "subsystem", "uevent", "video4linux"};
            break;
    }
    defaultSensor = (platform == Platform::RADXA_ROCK ? "m00_b_mosaline " : "zentrox-mosaline ") +
                    std::to_string(bus) + "-000c";
    sensorEntity = options.sensorName.empty() ? defaultSensor : options.sensorName;
    busText = std::to_string(bus);
    mediaPath = "/dev/media" + std::to_string(mediaIndex);
    sensorDir = adapterParent + "/i2c-" + std::to_string(bus) + "/" + std::to_string(bus) + "-000c";

    if (!model.empty()) kernel.addFile("/sys/firmware/devicetree/base/model", model);
    kernel.addFile("/proc/mounts",
                   "/dev/root / ext4 rw,noatime 0 0\ndevtmpfs /dev devtmpfs rw,relatime 0 0\n"
                   "proc /proc proc rw,relatime 0 0\nsysfs /sys sysfs rw,nosuid,nodev,noexec,relatime 0 0\n");

    if (options.captureNode) capture = std::make_shared<FakeCaptureNode>(cc);
    media = std::make_shared<FakeMediaDevice>(makedev(kMediaMajor, mediaIndex));
    kernel.addDevice(mediaPath, media);
    addVideoNode(videoMinor, deviceDir, deviceEntries);

    SubdeviceConfig sc;
    sc.width = options.width;
    sc.height = options.height;
    sc.tryFollowsActive = true;
    sc.controls[kRangeControl] = FakeControl{0, 1, 0};
    sc.controls[V4L2_CID_EXPOSURE] = FakeControl{1, 4000, 500};

    // Sub-device minors start after the video nodes.
    uint32_t nextMinor = 16;
    int nextSubdev = 0;
    auto addSubdev = [&](const SubdeviceConfig& config, const std::string& dir) {
        SubdeviceConfig c = config;
        c.rdev = makedev(kVideoMajor, nextMinor);
        auto node = std::make_shared<FakeSubdevice>(c);
        addSubdevNode(nextMinor, dir, nextSubdev, node);
        ++nextMinor;
        ++nextSubdev;
        return node;
    };
    SubdeviceConfig plain;
    plain.width = options.width;
    plain.height = options.height;
    auto entity = [&](uint32_t id, const std::string& name, uint32_t function, uint16_t pads,
                      const std::shared_ptr<FakeSubdevice>& node, bool isVideo = false) {
        FakeEntity e{id, name, function, pads};
        if (node) {
            e.major = major(node->rdev());
            e.minor = minor(node->rdev());
        } else if (isVideo) {
            e.major = kVideoMajor;
            e.minor = videoMinor;
        }
        media->addEntity(e);
    };
    const uint32_t kSensorFn = MEDIA_ENT_F_CAM_SENSOR, kBridge = MEDIA_ENT_F_VID_IF_BRIDGE,
                   kIo = MEDIA_ENT_F_IO_V4L;

    switch (platform) {
        case Platform::JETSON: {
            sensor = addSubdev(sc, sensorDir);
            auto nvcsi = addSubdev(plain, "platform/bus@0/13e40000.host1x/15a00000.nvcsi");
            otherSubdevices.push_back(nvcsi);
            entity(1, sensorEntity, kSensorFn, 1, sensor);
            entity(3, "nvcsi--1", kBridge, 2, nvcsi);
            // The capture node's entity carries the sensor's name: the scan must stop before it.
            entity(5, "vi-output, " + sensorEntity, kIo, 1, nullptr, true);
            media->addLink({1, 0, 3, 0, MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE});
            media->addLink({3, 1, 5, 0, MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE});
            break;
        }
        case Platform::RASPBERRY_PI: {
            sensor = addSubdev(sc, sensorDir);
            entity(1, sensorEntity, kSensorFn, 2, sensor);
            entity(4, "unicam-image", kIo, 1, nullptr, true);
            entity(8, "unicam-embedded", kIo, 1, nullptr);
            media->addLink({1, 0, 4, 0, MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE});
            media->addLink({1, 1, 8, 0, MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE});
            break;
        }
        case Platform::RASPBERRY_PI_5: {
            SubdeviceConfig rc = plain;
            rc.pads = 8;
            receiver = addSubdev(rc, "platform/axi/1000120000.pcie/1f00128000.csi");
            auto fe = addSubdev(plain, "platform/axi/1000120000.pcie/1f00128000.csi");
            otherSubdevices.push_back(fe);
            sensor = addSubdev(sc, sensorDir);
            entity(1, "csi2", kBridge, 8, receiver);
            entity(10, "pisp-fe", MEDIA_ENT_F_PROC_VIDEO_ISP, 5, fe);
            entity(16, "rp1-cfe-csi2_ch0", kIo, 1, nullptr, true);
            entity(20, "rp1-cfe-csi2_ch1", kIo, 1, nullptr);
            entity(24, "rp1-cfe-csi2_ch2", kIo, 1, nullptr);
            entity(28, "rp1-cfe-csi2_ch3", kIo, 1, nullptr);
            entity(32, "rp1-cfe-fe_image0", kIo, 1, nullptr);
            entity(58, sensorEntity, kSensorFn, 1, sensor);
            media->addLink({58, 0, 1, 0, MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE});
            media->addLink({1, 4, 16, 0, 0});  // disabled until the transport enables it
            media->addLink({1, 5, 20, 0, 0});
            media->addLink({1, 4, 10, 0, 0});
            break;
        }
        case Platform::RADXA_ROCK: {
            auto lvds = addSubdev(plain, "platform/rkcif-mipi-lvds");
            auto mipi = addSubdev(plain, "platform/fdd30000.mipi-csi2");
            receiver = addSubdev(plain, "platform/csi2-dphy1");
            sensor = addSubdev(sc, sensorDir);
            otherSubdevices = {lvds, mipi};
            entity(1, "stream_cif_mipi_id0", kIo, 1, nullptr, true);
            entity(2, "stream_cif_mipi_id1", kIo, 1, nullptr);
            entity(5, "rkcif-mipi-lvds", kBridge, 2, lvds);
            entity(8, "rockchip-mipi-csi2", kBridge, 2, mipi);
            entity(11, "rockchip-csi2-dphy1", kBridge, 2, receiver);
            entity(14, sensorEntity, kSensorFn, 1, sensor);
            media->addLink({14, 0, 11, 0, MEDIA_LNK_FL_ENABLED});
            media->addLink({11, 1, 8, 0, MEDIA_LNK_FL_ENABLED});
            media->addLink({8, 1, 5, 0, MEDIA_LNK_FL_ENABLED});
            media->addLink({5, 1, 1, 0, MEDIA_LNK_FL_ENABLED});
            break;
        }
        default: {
            sensor = addSubdev(sc, sensorDir);
            entity(1, "fake-capture", kIo, 1, nullptr, true);
            entity(2, sensorEntity, kSensorFn, 1, sensor);
            media->addLink({2, 0, 1, 0, MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE});
            break;
        }
    }
    sensor->setControlListener([this](uint32_t id, int32_t value) {
        if (id == kRangeControl) module.shortRange = value == 1;
        if (id == V4L2_CID_EXPOSURE) module.exposure = value;
    });

    // A few adapters besides the sensor's own bus, as every board has.
    otherAdapters.push_back(
        addAdapter(bus == 1 ? 0 : 1, "Fake SMBus adapter", I2C_FUNC_SMBUS_BYTE_DATA, "platform/smbus"));
    i2c = addAdapter(bus, adapterName, kPlainI2c, adapterParent);
    otherAdapters.push_back(addAdapter(bus + 10, "Fake DDC adapter", kPlainI2c, "platform/ddc"));
    controller = std::make_shared<FakeModuleController>(kernel);
    controller->storeCalibration(FakeModuleController::calibrationBlob(1000));
    controller->setFrameRateListener([this](uint32_t fps) {
        module.frameRate = fps;
        if (capture && fps > 0) {
            CaptureTiming t = capture->currentTiming();
            t.groupSpacingUs = 1000000 / fps;
            capture->setTiming(t);
        }
    });
    i2c->attach(0x0c, controller, true);
    wireCapture();
}

}  // namespace Zentrox
