#include "sensor/csi/MediaDiscovery.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sensor/csi/MediaGraph.h"
#include "system/Platform.h"

namespace Zentrox {

namespace {

// Opens the media node listed in the capture device's sysfs directory; an invalid graph if none.
MediaGraph openMediaNode(CsiPipeline& pipeline, int videoFd, KernelSeam& seam) {
    struct stat st {};
    if (seam.fstat(videoFd, &st) != 0 || (st.st_mode & S_IFMT) != S_IFCHR) return MediaGraph();
    char path[300];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/device", major(st.st_rdev), minor(st.st_rdev));
    std::vector<std::string> names;
    if (seam.listDirectory(path, names) != 0 || names.empty()) return MediaGraph();
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (it->compare(0, 5, "media") != 0) continue;
        int n = std::snprintf(pipeline.mediaPath, sizeof pipeline.mediaPath, "/dev/%s", it->c_str());
        if (n < 0 || size_t(n) >= sizeof pipeline.mediaPath) break;
        KernelFd media(seam.open(pipeline.mediaPath, O_RDWR), seam);
        if (media.valid()) return MediaGraph(std::move(media));
    }
    return MediaGraph();
}

// Enables the link from the receiver to the first capture channel on a Raspberry Pi 5.
bool enableReceiverLink(MediaGraph& graph) {
    const uint32_t receiver = graph.lookup("csi2");
    const uint32_t channel = graph.lookup("rp1-cfe-csi2_ch0");
    return graph.enableLink(receiver, 4, channel, 0);
}

enum class Role { NONE, RECEIVER, SENSOR };

Role classify(const char* name, int platform) {
    if (platform == Platform::RASPBERRY_PI_5 && std::strcmp(name, "csi2") == 0) return Role::RECEIVER;
    if (platform == Platform::RADXA_ROCK && std::strcmp(name, "rockchip-csi2-dphy1") == 0)
        return Role::RECEIVER;
    const char* sensorMark = platform == Platform::RADXA_ROCK ? "mosaline" : "zentrox-mosaline";
    return std::strstr(name, sensorMark) ? Role::SENSOR : Role::NONE;
}

// The bus part of a sensor entity name such as "zentrox-mosaline 4-000c": at most 7 characters
// after the first space, cut at the first '-'. False when the name has no space.
bool busTextOf(const char* name, size_t nameSize, char (&bus)[8]) {
    const char* end = static_cast<const char*>(std::memchr(name, '\0', nameSize));
    if (!end) end = name + nameSize;
    const char* space = static_cast<const char*>(std::memchr(name, ' ', size_t(end - name)));
    if (!space) return false;
    std::memset(bus, 0, sizeof bus);
    size_t available = size_t(end - space - 1);
    std::memcpy(bus, space + 1, available < 7 ? available : 7);
    if (char* dash = std::strchr(bus, '-')) *dash = '\0';
    return true;
}

// Opens the /dev/v4l-subdevN node of a sub-device entity, found through its sysfs link.
KernelFd openSubdevNode(const media_entity_desc& desc, KernelSeam& seam) {
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u", desc.dev.major, desc.dev.minor);
    char link[256];
    ssize_t n = seam.readlink(path, link, sizeof link - 1);
    if (n < 0) return KernelFd();
    link[n] = '\0';
    const char* last = std::strrchr(link, '/');
    if (!last || std::strncmp(last, "/v4l-subdev", 11) != 0) return KernelFd();
    char node[272];
    std::snprintf(node, sizeof node, "/dev%s", last);
    return KernelFd(seam.open(node, O_RDWR), seam);
}

void scanEntities(CsiPipeline& pipeline, MediaGraph& graph, int platform) {
    uint32_t id = 0;
    for (;;) {
        media_entity_desc desc;
        if (!graph.next(id, desc, Retry::TRANSIENT)) return;  // end of list
        id = desc.id;
        desc.name[sizeof desc.name - 1] = '\0';
        Role role = classify(desc.name, platform);
        if (role == Role::NONE) continue;
        if (role == Role::SENSOR && !busTextOf(desc.name, sizeof desc.name, pipeline.i2cBusName)) return;
        KernelFd node = openSubdevNode(desc, graph.kernelSeam());
        if (!node.valid()) return;
        if (pipeline.subdevCount >= CsiPipeline::kMaxSubdevices) return;  // `node` closes here
        uint8_t slot = pipeline.subdevCount++;
        pipeline.subdevFds[slot] = SubDevice(std::move(node));
        if (role == Role::SENSOR) {
            pipeline.subdevIndex = slot;
            pipeline.sensorFound = true;
            return;
        }
    }
}

}  // namespace

void CsiPipeline::reset() {
    for (uint8_t i = 0; i < subdevCount && i < kMaxSubdevices; ++i)
        subdevFds[i].reset();
    for (auto& fd : subdevFds)
        fd.reset();
    subdevIndex = 0;
    subdevCount = 0;
    sensorFound = false;
    std::memset(i2cBusName, 0, sizeof i2cBusName);
    std::memset(mediaPath, 0, sizeof mediaPath);
}

void findSubdevices(CsiPipeline& pipeline, int videoFd, int platform, KernelSeam& seam) {
    MediaGraph media = openMediaNode(pipeline, videoFd, seam);
    if (!media.valid()) return;
    if (platform == Platform::RASPBERRY_PI_5 && !enableReceiverLink(media)) return;
    scanEntities(pipeline, media, platform);
}

}  // namespace Zentrox
