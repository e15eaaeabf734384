#include "sensor/csi/SubDevice.h"

#include <errno.h>
#include <linux/media-bus-format.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include <cstdio>
#include <cstring>

namespace Zentrox {

int SubDevice::setFormat(uint32_t width, uint32_t height) {
    v4l2_subdev_format format;
    std::memset(&format, 0, sizeof format);
    format.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    format.pad = 0;
    format.format.width = width;
    format.format.height = height;
    format.format.code = MEDIA_BUS_FMT_Y12_1X12;
    format.format.field = V4L2_FIELD_NONE;
    const int r = fd.ioctl(VIDIOC_SUBDEV_S_FMT, &format);
    return r < 0 ? r : 0;
}

int SubDevice::getFormat(uint32_t& width, uint32_t& height) {
    v4l2_subdev_format format;
    std::memset(&format, 0, sizeof format);
    if (int r = fd.ioctl(VIDIOC_SUBDEV_G_FMT, &format, Retry::ONCE); r != 0) return r < 0 ? r : -EIO;
    width = format.format.width;
    height = format.format.height;
    return 0;
}

int SubDevice::setControl(uint32_t id, int value) {
    v4l2_control control{id, value};
    if (int r = fd.ioctl(VIDIOC_S_CTRL, &control); r < 0) {
        std::perror("VIDIOC_S_CTRL");
        return r;
    }
    return 0;
}

int SubDevice::getControl(uint32_t id, int& value) {
    v4l2_control control{id, 0};
    if (int r = fd.ioctl(VIDIOC_G_CTRL, &control); r < 0) {
        std::perror("VIDIOC_G_CTRL");
        return r;
    }
    value = control.value;
    return 0;
}

}  // namespace Zentrox
