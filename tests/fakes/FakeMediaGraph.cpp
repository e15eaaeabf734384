#include "tests/fakes/FakeMediaGraph.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cstring>

namespace Zentrox {

void FakeMediaDevice::addEntity(const FakeEntity& entity) {
    entities.push_back(entity);
    std::sort(entities.begin(), entities.end(), [](auto& a, auto& b) { return a.id < b.id; });
}

const FakeEntity* FakeMediaDevice::entityNamed(const std::string& name) const {
    for (auto& e : entities)
        if (e.name == name) return &e;
    return nullptr;
}

int FakeMediaDevice::linkFlags(uint32_t source, uint32_t sourcePad, uint32_t sink, uint32_t sinkPad) const {
    for (auto& l : links)
        if (l.source == source && l.sourcePad == sourcePad && l.sink == sink && l.sinkPad == sinkPad)
            return int(l.flags);
    return -1;
}

int FakeMediaDevice::ioctl(FakeFile&, unsigned long request, void* arg) {
    switch (request) {
        case MEDIA_IOC_DEVICE_INFO: {
            auto* info = static_cast<media_device_info*>(arg);
            std::memset(info, 0, sizeof *info);
            std::strncpy(info->driver, "fake-media", sizeof info->driver - 1);
            std::strncpy(info->model, "fake", sizeof info->model - 1);
            info->media_version = info->driver_version = 0x00060100;
            return 0;
        }
        case MEDIA_IOC_ENUM_ENTITIES: {
            auto* desc = static_cast<media_entity_desc*>(arg);
            uint32_t id = desc->id & ~MEDIA_ENT_ID_FLAG_NEXT;
            bool next = desc->id & MEDIA_ENT_ID_FLAG_NEXT;
            const FakeEntity* found = nullptr;
            for (auto& e : entities) {
                if (next ? e.id > id : e.id == id) {
                    found = &e;
                    break;
                }
            }
            if (!found) return -EINVAL;
            std::memset(desc, 0, sizeof *desc);
            desc->id = found->id;
            std::strncpy(desc->name, found->name.c_str(), sizeof desc->name - 1);
            desc->type = found->function;
            desc->pads = found->pads;
            desc->links = uint16_t(
                std::count_if(links.begin(), links.end(), [&](auto& l) { return l.source == found->id; }));
            desc->dev.major = found->major;
            desc->dev.minor = found->minor;
            return 0;
        }
        case MEDIA_IOC_SETUP_LINK: {
            ++setupLinkCalls;
            auto* d = static_cast<media_link_desc*>(arg);
            auto source = std::find_if(entities.begin(), entities.end(),
                                       [&](auto& e) { return e.id == d->source.entity; });
            auto sink = std::find_if(entities.begin(), entities.end(),
                                     [&](auto& e) { return e.id == d->sink.entity; });
            if (source == entities.end() || sink == entities.end()) return -EINVAL;
            if (d->source.index >= source->pads || d->sink.index >= sink->pads) return -EINVAL;
            for (auto& l : links) {
                if (l.source != d->source.entity || l.sourcePad != d->source.index ||
                    l.sink != d->sink.entity || l.sinkPad != d->sink.index)
                    continue;
                if (l.flags & MEDIA_LNK_FL_IMMUTABLE) return (d->flags & MEDIA_LNK_FL_ENABLED) ? 0 : -EINVAL;
                if (streaming) return -EBUSY;
                l.flags = (l.flags & ~MEDIA_LNK_FL_ENABLED) | (d->flags & MEDIA_LNK_FL_ENABLED);
                return 0;
            }
            return -EINVAL;
        }
        default:
            return -ENOTTY;
    }
}

FakeSubdevice::FakeSubdevice(SubdeviceConfig c) : config(std::move(c)) {
    v4l2_mbus_framefmt f{};
    f.width = config.width;
    f.height = config.height;
    f.code = config.codes.front();
    f.field = V4L2_FIELD_NONE;
    f.colorspace = V4L2_COLORSPACE_RAW;
    active.assign(config.pads, f);
}

v4l2_mbus_framefmt FakeSubdevice::adjust(const v4l2_mbus_framefmt& asked) const {
    v4l2_mbus_framefmt f = active.front();
    f.code = std::find(config.codes.begin(), config.codes.end(), asked.code) != config.codes.end()
                 ? asked.code
                 : config.codes.front();
    if (config.sizes.empty()) {
        f.width = std::clamp<uint32_t>(asked.width, 16, 4096);
        f.height = std::clamp<uint32_t>(asked.height, 16, 4096);
    } else {
        // The nearest mode the driver has, as sensor drivers choose.
        auto best = config.sizes.front();
        uint64_t bestCost = UINT64_MAX;
        for (auto& s : config.sizes) {
            int64_t dw = int64_t(s.first) - asked.width, dh = int64_t(s.second) - asked.height;
            uint64_t cost = uint64_t(dw * dw + dh * dh);
            if (cost < bestCost) bestCost = cost, best = s;
        }
        f.width = best.first;
        f.height = best.second;
    }
    f.field = V4L2_FIELD_NONE;
    return f;
}

int FakeSubdevice::ioctl(FakeFile& file, unsigned long request, void* arg) {
    switch (request) {
        case VIDIOC_SUBDEV_G_FMT:
        case VIDIOC_SUBDEV_S_FMT: {
            auto* f = static_cast<v4l2_subdev_format*>(arg);
            if (f->which != V4L2_SUBDEV_FORMAT_TRY && f->which != V4L2_SUBDEV_FORMAT_ACTIVE) return -EINVAL;
            if (f->pad >= config.pads) return -EINVAL;
            bool useActive = f->which == V4L2_SUBDEV_FORMAT_ACTIVE || config.tryFollowsActive;
            auto& tries = tryFormats
                              .try_emplace(file.handle, std::vector<v4l2_mbus_framefmt>(
                                                            config.pads,
                                                            [&] {
                                                                v4l2_mbus_framefmt d = active.front();
                                                                d.width = config.width;
                                                                d.height = config.height;
                                                                d.code = config.codes.front();
                                                                return d;
                                                            }()))
                              .first->second;
            if (request == VIDIOC_SUBDEV_G_FMT) {
                f->format = useActive ? active[f->pad] : tries[f->pad];
                return 0;
            }
            v4l2_mbus_framefmt a = adjust(f->format);
            if (f->which == V4L2_SUBDEV_FORMAT_ACTIVE) {
                if (streaming) return -EBUSY;
                active[f->pad] = a;
                ++activeSets;
            } else if (!config.tryFollowsActive) {
                tries[f->pad] = a;
            }
            f->format = a;
            return 0;
        }
        case VIDIOC_G_CTRL:
        case VIDIOC_S_CTRL: {
            auto* c = static_cast<v4l2_control*>(arg);
            auto it = config.controls.find(c->id);
            if (it == config.controls.end()) return -EINVAL;
            if (request == VIDIOC_G_CTRL) {
                c->value = it->second.value;
                return 0;
            }
            if (c->value < it->second.minimum || c->value > it->second.maximum) return -ERANGE;
            it->second.value = c->value;
            if (onControl) onControl(c->id, c->value);
            return 0;
        }
        default:
            return -ENOTTY;
    }
}

}  // namespace Zentrox
