// The parts of the VM capture program that run on the host: routing of the hybrid seam, what the
// observing seam records, and the count of mappings read from /proc/self/maps.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/cpp/vm/HybridKernel.h"
#include "tests/cpp/vm/KernelProbes.h"
#include "tests/cpp/vm/ObservingKernel.h"
#include "tests/cpp/vm/VividSource.h"
#include "tests/fakes/FakeCaptureNode.h"
#include "tests/fakes/FakeKernel.h"

using namespace Zentrox;

namespace {

// A seam that answers every call itself and remembers which calls reached it.
class RecordingSeam : public KernelSeam {
  public:
    RecordingSeam(int firstFd, uint8_t* memory) : nextFd(firstFd), memory(memory) {}
    int open(const char* path, int) override {
        calls.push_back(std::string("open ") + path);
        return nextFd++;
    }
    int close(int fd) override {
        calls.push_back("close " + std::to_string(fd));
        return 0;
    }
    int ioctl(int fd, unsigned long request, void* arg) override {
        calls.push_back("ioctl " + std::to_string(fd));
        if (request == VIDIOC_DQBUF) {
            if (dequeueError) {
                errno = dequeueError;
                return -1;
            }
            v4l2_buffer* buf = static_cast<v4l2_buffer*>(arg);
            buf->timestamp.tv_sec = 7;
            buf->timestamp.tv_usec = 250;
        }
        return 0;
    }
    void* mmap(void*, size_t, int, int, int fd, off_t) override {
        calls.push_back("mmap " + std::to_string(fd));
        return memory;
    }
    int munmap(void*, size_t) override {
        calls.push_back("munmap");
        if (unmapError) {
            errno = unmapError;
            return -1;
        }
        return 0;
    }
    int fstat(int fd, struct stat*) override {
        calls.push_back("fstat " + std::to_string(fd));
        return 0;
    }
    int listDirectory(const char* path, std::vector<std::string>&) override {
        calls.push_back(std::string("list ") + path);
        return 0;
    }
    ssize_t readlink(const char* path, char*, size_t) override {
        calls.push_back(std::string("readlink ") + path);
        return 0;
    }
    bool readFile(const char* path, std::string&) override {
        calls.push_back(std::string("read ") + path);
        return true;
    }
    int nanosleep(const struct timespec*, struct timespec*) override {
        calls.push_back("sleep");
        return 0;
    }
    int poll(struct pollfd* fds, nfds_t count, int) override {
        calls.push_back("poll " + std::to_string(fds[0].fd));
        for (nfds_t i = 0; i < count; ++i)
            fds[i].revents = POLLIN;
        return int(count);
    }

    std::vector<std::string> calls;
    int nextFd;
    uint8_t* memory;
    int dequeueError = 0;
    int unmapError = 0;
};

using Calls = std::vector<std::string>;

TEST(HybridKernel, VideoNodeGoesToTheRealKernelAndEverythingElseToTheFake) {
    uint8_t realMemory[16], fakeMemory[16];
    RecordingSeam real(3, realMemory), fake(100, fakeMemory);
    HybridKernel hybrid(real, fake, "/dev/video0");

    const int video = hybrid.open("/dev/video0", O_RDWR);
    const int media = hybrid.open("/dev/media0", O_RDWR);
    const int subdev = hybrid.open("/dev/v4l-subdev0", O_RDWR);
    EXPECT_EQ(video, 3);
    EXPECT_EQ(media, 100);
    EXPECT_EQ(subdev, 101);
    EXPECT_EQ(hybrid.realDescriptors(), 1u);

    struct stat st;
    hybrid.fstat(video, &st);
    hybrid.ioctl(video, VIDIOC_QUERYCAP, nullptr);
    hybrid.ioctl(subdev, VIDIOC_QUERYCAP, nullptr);
    EXPECT_EQ(hybrid.mmap(nullptr, 16, PROT_READ, MAP_SHARED, video, 0), realMemory);
    EXPECT_EQ(hybrid.mmap(nullptr, 16, PROT_READ, MAP_SHARED, subdev, 0), fakeMemory);
    EXPECT_EQ(hybrid.munmap(realMemory, 16), 0);
    EXPECT_EQ(hybrid.munmap(fakeMemory, 16), 0);
    std::vector<std::string> names;
    hybrid.listDirectory("/sys/dev/char/81:0/device", names);
    char link[64];
    hybrid.readlink("/sys/dev/char/81:1", link, sizeof link);
    std::string text;
    hybrid.readFile("/proc/mounts", text);
    timespec pause{0, 1000};
    hybrid.nanosleep(&pause, nullptr);
    hybrid.close(subdev);
    hybrid.close(video);
    EXPECT_EQ(hybrid.realDescriptors(), 0u);

    EXPECT_EQ(real.calls, (Calls{"open /dev/video0", "fstat 3", "ioctl 3", "mmap 3", "munmap", "close 3"}));
    EXPECT_EQ(fake.calls, (Calls{"open /dev/media0", "open /dev/v4l-subdev0", "ioctl 101", "mmap 101",
                                 "munmap", "list /sys/dev/char/81:0/device", "readlink /sys/dev/char/81:1",
                                 "read /proc/mounts", "sleep", "close 101"}));
}

TEST(HybridKernel, AFailedRealUnmapStaysWithTheRealKernel) {
    uint8_t realMemory[16], fakeMemory[16];
    RecordingSeam real(3, realMemory), fake(100, fakeMemory);
    HybridKernel hybrid(real, fake, "/dev/video0");
    const int video = hybrid.open("/dev/video0", O_RDWR);
    ASSERT_EQ(hybrid.mmap(nullptr, 16, PROT_READ, MAP_SHARED, video, 0), realMemory);
    real.unmapError = EINVAL;
    EXPECT_EQ(hybrid.munmap(realMemory, 16), -1);
    real.unmapError = 0;
    EXPECT_EQ(hybrid.munmap(realMemory, 16), 0);
    // Once unmapped, the address is no longer the real kernel's.
    EXPECT_EQ(hybrid.munmap(realMemory, 16), 0);
    EXPECT_EQ(real.calls, (Calls{"open /dev/video0", "mmap 3", "munmap", "munmap"}));
    EXPECT_EQ(fake.calls, (Calls{"munmap"}));
}

TEST(ObservingKernel, RecordsDequeuedTimestampsAndFailedUnmaps) {
    uint8_t memory[16];
    RecordingSeam inner(3, memory);
    ObservingKernel seen(inner);
    v4l2_buffer buf{};
    EXPECT_EQ(seen.ioctl(3, VIDIOC_DQBUF, &buf), 0);
    EXPECT_EQ(seen.ioctl(3, VIDIOC_QBUF, &buf), 0);
    inner.dequeueError = EIO;
    errno = 0;
    EXPECT_EQ(seen.ioctl(3, VIDIOC_DQBUF, &buf), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(seen.dequeued, (std::vector<int64_t>{7000250}));
    EXPECT_EQ(seen.dequeueFailures, 1);

    EXPECT_EQ(seen.mmap(nullptr, 16, PROT_READ, MAP_SHARED, 3, 0), memory);
    EXPECT_EQ(seen.munmap(memory, 16), 0);
    inner.unmapError = EINVAL;
    EXPECT_EQ(seen.munmap(memory, 16), -1);
    EXPECT_EQ(seen.mappings, 1);
    EXPECT_EQ(seen.unmappings, 2);
    EXPECT_EQ(seen.unmapFailures, 1);
}

TEST(CountMappingsOf, CountsTheMappingsOfOneFile) {
    char path[] = "/tmp/zentrox-vm-maps-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 3 * 4096), 0);
    EXPECT_EQ(countMappingsOf(path), 0);
    void* a = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    void* b = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 2 * 4096);
    ASSERT_NE(a, MAP_FAILED);
    ASSERT_NE(b, MAP_FAILED);
    EXPECT_EQ(countMappingsOf(path), 2);
    // A name that only ends like the file's is another file.
    EXPECT_EQ(countMappingsOf(path + 1), 0);
    ::munmap(a, 4096);
    EXPECT_EQ(countMappingsOf(path), 1);
    ::munmap(b, 4096);
    EXPECT_EQ(countMappingsOf(path), 0);
    ::close(fd);
    ::unlink(path);
}

}  // namespace

namespace {

// The facts probed on vivid in the VM hold for the fake capture node too.
class FakeNodeProbes : public ::testing::TestWithParam<bool> {};

TEST_P(FakeNodeProbes, AgreeWithTheRealKernel) {
    FakeKernel fake;
    CaptureNodeConfig config;
    config.multiPlane = GetParam();
    config.width = 640;
    config.height = 480;
    fake.addDevice("/dev/video0", std::make_shared<FakeCaptureNode>(config));
    ScopedKernel installed(fake);
    VmChecks checks;
    testing::internal::CaptureStdout();
    runKernelProbes(checks, "/dev/video0", config.multiPlane, 640, 480);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(checks.failed(), 0) << output;
    EXPECT_GT(checks.passed(), 20);
    EXPECT_EQ(fake.liveMappings(), 0);
    EXPECT_EQ(fake.openDescriptors(), 0);
}

INSTANTIATE_TEST_SUITE_P(Planes, FakeNodeProbes, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? "Multi" : "Single";
                         });

}  // namespace
