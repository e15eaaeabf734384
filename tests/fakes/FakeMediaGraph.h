// A media-controller node with its entity list and links, and V4L2 sub-device nodes with pad
// formats (active, and per descriptor the try formats) and integer controls.
#pragma once

#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <sys/sysmacros.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/fakes/FakeKernel.h"

namespace Zentrox {

struct FakeEntity {
    uint32_t id;
    std::string name;
    uint32_t function;
    uint16_t pads;
    uint32_t major = 0, minor = 0;  // device node, 0:0 for none
};

struct FakeLink {
    uint32_t source, sourcePad, sink, sinkPad;
    uint32_t flags;  // MEDIA_LNK_FL_*
};

class FakeMediaDevice : public FakeNode {
  public:
    explicit FakeMediaDevice(dev_t rdev) : device(rdev) {}
    dev_t rdev() const override { return device; }
    int ioctl(FakeFile& file, unsigned long request, void* arg) override;

    void addEntity(const FakeEntity& entity);
    void addLink(const FakeLink& link) { links.push_back(link); }
    // Flags of the link between two pads; -1 when there is none.
    int linkFlags(uint32_t source, uint32_t sourcePad, uint32_t sink, uint32_t sinkPad) const;
    const FakeEntity* entityNamed(const std::string& name) const;
    void setStreaming(bool on) { streaming = on; }
    int setupCalls() const { return setupLinkCalls; }

  private:
    dev_t device;
    std::vector<FakeEntity> entities;  // by id
    std::vector<FakeLink> links;
    bool streaming = false;
    int setupLinkCalls = 0;
};

struct FakeControl {
    int32_t minimum, maximum, value;
};

struct SubdeviceConfig {
    dev_t rdev;
    uint32_t pads = 1;
    uint32_t width = 240, height = 180;
    std::vector<uint32_t> codes{0x2013};  // MEDIA_BUS_FMT_Y12_1X12; the first one is the default
    // Sizes the driver can deliver; empty: any size from 16 to 4096.
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
    // A driver that answers both `which` values from its one active format (many sensor drivers do);
    // otherwise each descriptor has try formats of its own, starting from the default.
    bool tryFollowsActive = false;
    std::map<uint32_t, FakeControl> controls;
};

class FakeSubdevice : public FakeNode {
  public:
    using ControlListener = std::function<void(uint32_t id, int32_t value)>;

    explicit FakeSubdevice(SubdeviceConfig config);
    dev_t rdev() const override { return config.rdev; }
    int ioctl(FakeFile& file, unsigned long request, void* arg) override;
    void closed(FakeFile& file) override { tryFormats.erase(file.handle); }

    const v4l2_mbus_framefmt& activeFormat(uint32_t pad = 0) const { return active.at(pad); }
    int32_t control(uint32_t id) const { return config.controls.at(id).value; }
    void setControlValue(uint32_t id, int32_t value) { config.controls.at(id).value = value; }
    void setControlListener(ControlListener listener) { onControl = std::move(listener); }
    void setStreaming(bool on) { streaming = on; }
    int formatSets() const { return activeSets; }

  private:
    v4l2_mbus_framefmt adjust(const v4l2_mbus_framefmt& asked) const;

    SubdeviceConfig config;
    std::vector<v4l2_mbus_framefmt> active;
    std::map<uint64_t, std::vector<v4l2_mbus_framefmt>> tryFormats;
    ControlListener onControl;
    bool streaming = false;
    int activeSets = 0;
};

}  // namespace Zentrox
