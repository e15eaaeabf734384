#include "MediaDiscovery.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/media.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Platform.h"
#include "ZentroxTOFCSISensor.h"

namespace Zentrox {

namespace {

constexpr uint32_t kNoEntity = 0xFFFFFFFFu;

// Opens the media node listed in the capture device's sysfs directory; an invalid owner if none.
KernelFd openMediaNode(CsiPipeline& pipeline, int videoFd) {
    struct stat st {};
    if (kernel().fstat(videoFd, &st) != 0 || (st.st_mode & S_IFMT) != S_IFCHR) return KernelFd();
    char path[300];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/device", major(st.st_rdev), minor(st.st_rdev));
    std::vector<std::string> names;
    if (kernel().listDirectory(path, names) != 0 || names.empty()) return KernelFd();
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (it->compare(0, 5, "media") != 0) continue;
        int n = std::snprintf(pipeline.mediaPath, sizeof pipeline.mediaPath, "/dev/%s", it->c_str());
        if (n < 0 || size_t(n) >= sizeof pipeline.mediaPath) break;
        KernelFd media(kernel().open(pipeline.mediaPath, O_RDWR));
        if (media.valid()) return media;
    }
    return KernelFd();
}

// Id of the entity called `name`, searched from the start of the list with one attempt per call.
uint32_t lookupEntity(int mediaFd, const char* name) {
    uint32_t id = 0;
    for (;;) {
        media_entity_desc desc;
        std::memset(&desc, 0, sizeof desc);
        desc.id = id | MEDIA_ENT_ID_FLAG_NEXT;
        if (kernel().ioctl(mediaFd, MEDIA_IOC_ENUM_ENTITIES, &desc) != 0) {
            std::perror("Query entity failed");
            return kNoEntity;
        }
        if (std::strncmp(desc.name, name, sizeof desc.name) == 0) return desc.id;
        // The kernel answers the next entity above `id`; one that does not advance would repeat for ever.
        if ((desc.id & ~MEDIA_ENT_ID_FLAG_NEXT) <= id) return kNoEntity;
        id = desc.id;
    }
}

// Enables the link from the receiver to the first capture channel on a Raspberry Pi 5.
bool enableReceiverLink(int mediaFd) {
    media_link_desc link;
    std::memset(&link, 0, sizeof link);
    link.source.entity = lookupEntity(mediaFd, "csi2");
    link.source.index = 4;
    link.source.flags = MEDIA_PAD_FL_SOURCE;
    link.sink.entity = lookupEntity(mediaFd, "rp1-cfe-csi2_ch0");
    link.sink.index = 0;
    link.sink.flags = MEDIA_PAD_FL_SINK;
    link.flags = MEDIA_LNK_FL_ENABLED;
    return kernel().ioctl(mediaFd, MEDIA_IOC_SETUP_LINK, &link) == 0;
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
KernelFd openSubdevNode(const media_entity_desc& desc) {
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u", desc.dev.major, desc.dev.minor);
    char link[256];
    ssize_t n = kernel().readlink(path, link, sizeof link - 1);
    if (n < 0) return KernelFd();
    link[n] = '\0';
    const char* last = std::strrchr(link, '/');
    if (!last || std::strncmp(last, "/v4l-subdev", 11) != 0) return KernelFd();
    char node[272];
    std::snprintf(node, sizeof node, "/dev%s", last);
    return KernelFd(kernel().open(node, O_RDWR));
}

void scanEntities(CsiPipeline& pipeline, int mediaFd, int platform) {
    uint32_t id = 0;
    for (;;) {
        media_entity_desc desc;
        std::memset(&desc, 0, sizeof desc);
        desc.id = id | MEDIA_ENT_ID_FLAG_NEXT;
        if (ZentroxTOFCSISensor::xioctl(mediaFd, MEDIA_IOC_ENUM_ENTITIES, &desc) != 0) return;  // end of list
        // An answer that does not advance would make the scan repeat for ever.
        if ((desc.id & ~MEDIA_ENT_ID_FLAG_NEXT) <= id) return;
        id = desc.id;
        desc.name[sizeof desc.name - 1] = '\0';
        Role role = classify(desc.name, platform);
        if (role == Role::NONE) continue;
        if (role == Role::SENSOR && !busTextOf(desc.name, sizeof desc.name, pipeline.i2cBusName)) return;
        KernelFd node = openSubdevNode(desc);
        if (!node.valid()) return;
        if (pipeline.subdevCount >= CsiPipeline::kMaxSubdevices) return;  // `node` closes here
        uint8_t slot = pipeline.subdevCount++;
        pipeline.subdevFds[slot] = std::move(node);
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

void findSubdevices(CsiPipeline& pipeline, int videoFd, int platform) {
    KernelFd media = openMediaNode(pipeline, videoFd);
    if (!media.valid()) return;
    if (platform == Platform::RASPBERRY_PI_5 && !enableReceiverLink(media.get())) return;
    scanEntities(pipeline, media.get(), platform);
}

}  // namespace Zentrox
