// Kernel answers to the CSI transport: a board profile of the fake kernel streams frames, and the
// input rewrites the fields of the answers the transport reads — capabilities, formats, granted
// buffer counts, buffer indexes, lengths and offsets, flags, timestamps, entity names and device
// numbers — one answer after another. The transport goes through open, start, a few frames, stop
// and close; it must return statuses only, stay inside its buffers, and leave no descriptor or
// mapping behind.
#include <fuzzer/FuzzedDataProvider.h>
#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sensor/csi/ZentroxTOFCSISensor.h"
#include "system/Platform.h"
#include "tests/fakes/FakeBoards.h"
#include "tests/fakes/FakeKernel.h"

using namespace Zentrox;

namespace {

// Forwards every call to the fake kernel and rewrites some fields of the answers it gives.
class RewritingKernel : public KernelSeam {
  public:
    RewritingKernel(FakeKernel& inner, FuzzedDataProvider& input) : inner(inner), input(input) {}

    int open(const char* path, int flags) override { return inner.open(path, flags); }
    int close(int fd) override { return inner.close(fd); }
    void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override {
        return inner.mmap(addr, length, prot, flags, fd, offset);
    }
    int munmap(void* addr, size_t length) override { return inner.munmap(addr, length); }
    int fstat(int fd, struct stat* st) override { return inner.fstat(fd, st); }
    int listDirectory(const char* path, std::vector<std::string>& names) override {
        return inner.listDirectory(path, names);
    }
    ssize_t readlink(const char* path, char* buf, size_t size) override {
        return inner.readlink(path, buf, size);
    }
    bool readFile(const char* path, std::string& content) override { return inner.readFile(path, content); }
    int poll(struct pollfd* fds, nfds_t count, int timeout_ms) override {
        return inner.poll(fds, count, timeout_ms);
    }
    int nanosleep(const struct timespec* request, struct timespec* remaining) override {
        return inner.nanosleep(request, remaining);
    }

    int ioctl(int fd, unsigned long request, void* arg) override {
        int result = inner.ioctl(fd, request, arg);
        if (result != 0 || input.remaining_bytes() == 0 || !input.ConsumeBool()) return result;
        rewrite(request, arg);
        return result;
    }

  private:
    template <typename T>
    T pick() {
        // Mostly small numbers near the edges, sometimes anything.
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:
                return T(input.ConsumeIntegralInRange<int>(0, 16));
            case 1:
                return T(~T(0) - T(input.ConsumeIntegralInRange<int>(0, 3)));
            default:
                return input.ConsumeIntegral<T>();
        }
    }

    void rewrite(unsigned long request, void* arg) {
        switch (request) {
            case VIDIOC_QUERYCAP: {
                auto* cap = static_cast<v4l2_capability*>(arg);
                cap->capabilities = pick<uint32_t>();
                break;
            }
            case VIDIOC_REQBUFS:
                static_cast<v4l2_requestbuffers*>(arg)->count = pick<uint32_t>();
                break;
            case VIDIOC_QUERYBUF:
            case VIDIOC_DQBUF: {
                auto* buf = static_cast<v4l2_buffer*>(arg);
                switch (input.ConsumeIntegralInRange<int>(0, 6)) {
                    case 0:
                        buf->index = pick<uint32_t>();
                        break;
                    case 1:
                        buf->length = pick<uint32_t>();
                        break;
                    case 2:
                        buf->bytesused = pick<uint32_t>();
                        break;
                    case 3:
                        buf->flags = pick<uint32_t>();
                        break;
                    case 4:
                        buf->timestamp.tv_sec = pick<int64_t>();
                        buf->timestamp.tv_usec = pick<int64_t>();
                        break;
                    case 5:
                        if (buf->type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE && buf->m.planes)
                            buf->m.planes[0].length = pick<uint32_t>();
                        else
                            buf->m.offset = pick<uint32_t>();
                        break;
                    default:
                        buf->timestamp.tv_usec = pick<int64_t>();
                        break;
                }
                break;
            }
            case VIDIOC_SUBDEV_G_FMT:
            case VIDIOC_SUBDEV_S_FMT: {
                auto* f = static_cast<v4l2_subdev_format*>(arg);
                f->format.width = pick<uint32_t>() % 5000;
                f->format.height = pick<uint32_t>() % 5000;
                break;
            }
            case VIDIOC_G_FMT:
            case VIDIOC_S_FMT:
            case VIDIOC_TRY_FMT: {
                auto* f = static_cast<v4l2_format*>(arg);
                f->fmt.pix.width = pick<uint32_t>();
                f->fmt.pix.sizeimage = pick<uint32_t>();
                break;
            }
            case MEDIA_IOC_ENUM_ENTITIES: {
                auto* e = static_cast<media_entity_desc*>(arg);
                if (input.ConsumeBool()) {
                    std::string name = input.ConsumeBytesAsString(sizeof e->name);
                    std::memset(e->name, 0, sizeof e->name);
                    std::memcpy(e->name, name.data(), name.size());
                } else {
                    e->dev.major = pick<uint32_t>();
                    e->dev.minor = pick<uint32_t>();
                }
                break;
            }
            default:
                break;
        }
    }

    FakeKernel& inner;
    FuzzedDataProvider& input;
};

const int kPlatforms[] = {Platform::UNKNOWN, Platform::JETSON, Platform::RASPBERRY_PI,
                          Platform::RASPBERRY_PI_5, Platform::RADXA_ROCK};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const int platform = kPlatforms[input.ConsumeIntegralInRange<size_t>(0, 4)];
    const bool small = input.ConsumeBool();
    const int frames = input.ConsumeIntegralInRange<int>(0, 4);
    FakeKernel fake;
    BoardOptions options;
    if (small) {
        options.width = 32;
        options.height = 8;
    }
    FakeBoard board(fake, platform, options);
    RewritingKernel seam(fake, input);
    {
        ScopedKernel scope(seam);
        ZentroxTOFCSISensor sensor(board.videoPath.c_str(), platform);
        CameraInfo info{};
        if (sensor.open(info) == 0) {
            sensor.subFrameCount = info.width == 240 && info.height == 180 ? 4 : 1;
            if (sensor.start() == 0) {
                // The camera sizes its frame from what the sensor reports once it streams.
                const CameraInfo now = sensor.getCameraInfo();
                std::vector<uint8_t> frame(size_t(now.width) * now.height * 2 * size_t(sensor.subFrameCount) +
                                           1);
                for (int k = 0; k < frames; ++k) {
                    uint64_t stamp = 0;
                    if (sensor.getFrame(frame.data(), &stamp) != 0) break;
                }
            }
            sensor.stop();
        }
        sensor.close();
    }
    if (fake.openDescriptors() != 0 || fake.liveMappings() != 0) {
        std::fprintf(stderr, "left behind: %d descriptor(s), %d mapping(s)\n", fake.openDescriptors(),
                     fake.liveMappings());
        __builtin_trap();
    }
    return 0;
}
