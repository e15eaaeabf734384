// Media-controller discovery against any graph: the capture device's sysfs listing, the entity
// list the media node answers (names, ids, device numbers; in the kernel's order, or in any order
// a faulty driver could give), the sysfs links of the entities and which nodes open. Whatever is
// found must be well formed, the bus text must be a terminated string of at most 7 characters, no
// descriptor may leak, and discovery must end.
#include <fuzzer/FuzzedDataProvider.h>
#include <linux/media.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzKernel.h"
#include "sensor/csi/I2cAccess.h"
#include "sensor/csi/MediaDiscovery.h"
#include "system/Platform.h"

using namespace Zentrox;

namespace {

const char* const kNames[] = {"csi2",
                              "rp1-cfe-csi2_ch0",
                              "rockchip-csi2-dphy1",
                              "zentrox-mosaline 4-000c",
                              "zentrox-mosaline 10-000c",
                              "mosaline 3-000c",
                              "csi2-extra",
                              ""};
const int kPlatforms[] = {Platform::UNKNOWN, Platform::JETSON, Platform::RASPBERRY_PI,
                          Platform::RASPBERRY_PI_5, Platform::RADXA_ROCK};

// Upper bound on enumeration calls for one discovery: a graph has at most 64 entities here, and
// the Raspberry Pi 5 link set-up walks it twice more. Beyond it discovery does not end by itself.
constexpr int kCallLimit = 100000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    Fuzz::FuzzKernel fake;
    const int platform = kPlatforms[input.ConsumeIntegralInRange<size_t>(0, 4)];
    fake.nodes["/dev/video0"] = {makedev(81, 0), input.ConsumeProbability<float>() > 0.05f};

    std::vector<std::string>& listing = fake.directories["/sys/dev/char/81:0/device"];
    const int listed = input.ConsumeIntegralInRange<int>(0, 6);
    for (int k = 0; k < listed; ++k) {
        std::string name = input.ConsumeBool() ? "media" + input.ConsumeRandomLengthString(90)
                                               : input.ConsumeRandomLengthString(12);
        listing.push_back(name);
        if (input.ConsumeBool()) fake.nodes["/dev/" + name] = {};
    }

    std::vector<media_entity_desc> entities(input.ConsumeIntegralInRange<size_t>(0, 64));
    uint32_t id = 0;
    for (media_entity_desc& e : entities) {
        std::memset(&e, 0, sizeof e);
        id += input.ConsumeIntegralInRange<uint32_t>(1, 3);
        e.id = id;
        std::string name = input.ConsumeBool() ? kNames[input.ConsumeIntegralInRange<size_t>(0, 7)]
                                               : input.ConsumeBytesAsString(sizeof e.name);
        if (input.ConsumeBool() && name.size() < sizeof e.name)
            name += input.ConsumeBytesAsString(sizeof e.name - name.size());
        std::memcpy(e.name, name.data(), std::min(name.size(), sizeof e.name));
        e.dev.major = input.ConsumeIntegralInRange<uint32_t>(0, 300);
        e.dev.minor = input.ConsumeIntegralInRange<uint32_t>(0, 300);
        const std::string link =
            "/sys/dev/char/" + std::to_string(e.dev.major) + ":" + std::to_string(e.dev.minor);
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: {
                std::string node = "v4l-subdev" + std::to_string(input.ConsumeIntegralInRange<int>(0, 9));
                fake.links[link] =
                    "../../devices/platform/" + input.ConsumeRandomLengthString(20) + "/" + node;
                if (input.ConsumeBool()) fake.nodes["/dev/" + node] = {};
                break;
            }
            case 1:
                fake.links[link] = input.ConsumeRandomLengthString(300);
                break;
            default:
                break;
        }
    }
    // A faulty driver may answer out of order or repeat itself.
    const bool kernelOrder = input.ConsumeProbability<float>() > 0.2f;
    const bool cyclic = input.ConsumeBool();  // a driver stuck answering the same few entities
    const bool linkOk = input.ConsumeBool();
    std::vector<size_t> script;
    while (!kernelOrder && input.remaining_bytes() > 0 && script.size() < 256)
        script.push_back(input.ConsumeIntegral<uint8_t>());
    size_t scriptAt = 0;
    int calls = 0;
    fake.ioctlHandler = [&](const std::string&, unsigned long request, void* arg) -> int {
        if (request == MEDIA_IOC_SETUP_LINK) {
            if (linkOk) return 0;
            errno = EINVAL;
            return -1;
        }
        if (request != MEDIA_IOC_ENUM_ENTITIES) {
            errno = ENOTTY;
            return -1;
        }
        if (++calls > kCallLimit) {
            std::fprintf(stderr, "media discovery does not end: %d enumeration calls\n", calls);
            __builtin_trap();
        }
        auto* desc = static_cast<media_entity_desc*>(arg);
        const media_entity_desc* found = nullptr;
        if (kernelOrder) {
            const uint32_t after = desc->id & ~MEDIA_ENT_ID_FLAG_NEXT;
            for (const media_entity_desc& e : entities)
                if (e.id > after) {
                    found = &e;
                    break;
                }
        } else if (!entities.empty() && !script.empty() && (cyclic || scriptAt < script.size())) {
            found = &entities[script[scriptAt++ % script.size()] % entities.size()];
        }
        if (!found) {
            errno = EINVAL;
            return -1;
        }
        *desc = *found;
        return 0;
    };

    {
        ScopedKernel scope(fake);
        CsiPipeline pipeline;
        int video = fake.open("/dev/video0", 0);
        findSubdevices(pipeline, video, platform);
        if (pipeline.subdevCount > CsiPipeline::kMaxSubdevices) __builtin_trap();
        if (pipeline.subdevCount > 0 && pipeline.subdevIndex >= pipeline.subdevCount) __builtin_trap();
        for (int k = 0; k < pipeline.subdevCount; ++k)
            if (!pipeline.subdevFds[k].valid()) __builtin_trap();
        if (std::memchr(pipeline.i2cBusName, '\0', sizeof pipeline.i2cBusName) == nullptr) __builtin_trap();
        if (std::memchr(pipeline.mediaPath, '\0', sizeof pipeline.mediaPath) == nullptr) __builtin_trap();
        // Only the sub-devices stay open, besides the capture node.
        if (fake.openDescriptors() != size_t(pipeline.subdevCount) + 1) __builtin_trap();
        // The bus text found goes to the bus lookup as it does when the transport opens.
        const int bus = i2c_find_bus(pipeline.i2cBusName);
        if (bus > 0xFFFFF || bus < -4) __builtin_trap();
        pipeline.reset();
        fake.close(video);
    }
    fake.requireNoLeaks();
    return 0;
}
