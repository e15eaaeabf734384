// The camera-level fault matrix over the CSI transport of a fake board: every system call that an
// operation makes (open, start, stop, close, and the capture thread's frame reads) fails in turn,
// once with EIO and once with EINTR. Each failure must give one of the operation's documented
// statuses, leave no descriptor or mapping behind once the camera is closed, and a later close and
// open must bring the camera back to streaming.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/cpp/stress/CsiRig.h"
#include "tests/fakes/StderrCapture.h"

using namespace Zentrox;

namespace {

int faultsInjected = 0;

struct Operation {
    const char* name;
    std::set<int> statuses;  // what the operation may return when one of its calls fails
    // Brings the camera to the state before the operation.
    std::function<void(CsiRig&, ZentroxTOFCamera&)> before;
    std::function<int(ZentroxTOFCamera&)> run;
};

void opened(CsiRig& rig, ZentroxTOFCamera& cam) {
    ASSERT_EQ(rig.open(cam), 0);
}
void streaming(CsiRig& rig, ZentroxTOFCamera& cam) {
    opened(rig, cam);
    ASSERT_EQ(cam.start(FrameType::DEPTH), 0);
    ZentroxFrameBuffer* frame = cam.requestFrame(5000);
    ASSERT_NE(frame, nullptr);
    ASSERT_EQ(cam.releaseFrame(frame), 0);
}

std::vector<Operation> operations(CsiRig& rig) {
    return {
        {"open",
         {0, -2},
         [](CsiRig&, ZentroxTOFCamera&) {},
         [&rig](ZentroxTOFCamera& cam) { return rig.open(cam); }},
        {"start", {0, -1, -2}, opened, [](ZentroxTOFCamera& cam) { return cam.start(FrameType::DEPTH); }},
        {"stop", {0, -2}, streaming, [](ZentroxTOFCamera& cam) { return cam.stop(); }},
        {"close", {0}, streaming, [](ZentroxTOFCamera& cam) { return cam.close(); }},
    };
}

// Number of system calls `op` makes when nothing fails.
size_t callsOf(const Operation& op) {
    CsiRig rig;
    ZentroxTOFCamera cam;
    op.before(rig, cam);
    rig.fake.clearTrace();
    op.run(cam);
    size_t calls = rig.fake.trace().size();
    cam.close();
    return calls;
}

// The camera comes back: close, open, stream a frame, stop, close; nothing stays open.
void expectRecovery(CsiRig& rig, ZentroxTOFCamera& cam, const std::string& what) {
    rig.fake.clearFaults();
    cam.close();
    EXPECT_EQ(rig.fake.openDescriptors(), 0) << what << ": descriptors after close";
    EXPECT_EQ(rig.fake.liveMappings(), 0) << what << ": mappings after close";
    ASSERT_EQ(rig.open(cam), 0) << what << ": reopen";
    ASSERT_EQ(cam.start(FrameType::DEPTH), 0) << what << ": restart";
    ZentroxFrameBuffer* frame = cam.requestFrame(5000);
    ASSERT_NE(frame, nullptr) << what << ": a frame after recovery";
    EXPECT_EQ(cam.releaseFrame(frame), 0);
    EXPECT_EQ(cam.stop(), 0) << what;
    EXPECT_EQ(cam.close(), 0) << what;
    EXPECT_EQ(rig.fake.openDescriptors(), 0) << what << ": descriptors at the end";
    EXPECT_EQ(rig.fake.liveMappings(), 0) << what << ": mappings at the end";
    EXPECT_EQ(rig.fake.badCloses(), 0) << what << ": a descriptor closed twice or never opened";
    EXPECT_EQ(rig.fake.badUnmaps(), 0) << what;
}

TEST(FaultMatrix, EveryCallOfEveryOperationFailsInTurn) {
    CsiRig probe;
    for (const Operation& op : operations(probe)) {
        const size_t calls = callsOf(op);
        ASSERT_GT(calls, 0u) << op.name;
        int injected = 0;
        for (size_t index = 0; index < calls; ++index) {
            for (int error : {EIO, EINTR}) {
                const std::string what = std::string(op.name) + " call " + std::to_string(index) + " errno " +
                                         std::to_string(error);
                SCOPED_TRACE(what);
                CsiRig rig;
                ZentroxTOFCamera cam;
                op.before(rig, cam);
                if (HasFatalFailure()) return;
                StderrCapture quiet;  // the transport's messages are expected here
                rig.fake.failCallAt(index, error);
                const int status = op.run(cam);
                ++injected;
                EXPECT_TRUE(op.statuses.count(status)) << what << ": status " << status;
                expectRecovery(rig, cam, what);
                if (HasFatalFailure()) return;
            }
        }
        std::printf("fault matrix: %-5s %zu calls, %d faults injected\n", op.name, calls, injected);
        faultsInjected += injected;
    }
}

// Frame reads fail while the camera streams: the frames are lost, the camera carries on. A buffer
// whose re-queue fails stays with the transport until the next start, so re-queue failures are
// kept below the eight buffers here; beyond them the stream starves until it is restarted, which
// the recovery at the end of each case shows.
TEST(FaultMatrix, CaptureCallsFailWhileStreaming) {
    struct Case {
        unsigned long request;
        int times;
    };
    const Case cases[] = {
        {VIDIOC_DQBUF, 1}, {VIDIOC_DQBUF, 3}, {VIDIOC_DQBUF, 20}, {VIDIOC_QBUF, 1}, {VIDIOC_QBUF, 3}};
    for (const Case& c : cases) {
        const unsigned long request = c.request;
        {
            const int times = c.times;
            const std::string what =
                std::string(request == VIDIOC_DQBUF ? "DQBUF" : "QBUF") + " x" + std::to_string(times);
            SCOPED_TRACE(what);
            CsiRig rig;
            ZentroxTOFCamera cam;
            streaming(rig, cam);
            if (HasFatalFailure()) return;
            Fault fault;
            fault.call = Sys::IOCTL;
            fault.request = request;
            fault.error = EIO;
            fault.times = times;
            rig.fake.inject(fault);
            faultsInjected += times;
            // The frames after the failures still arrive.
            ZentroxFrameBuffer* frame = nullptr;
            for (int attempt = 0; attempt < 4 && !frame; ++attempt) {
                frame = cam.requestFrame(5000);
            }
            ASSERT_NE(frame, nullptr) << what;
            EXPECT_EQ(cam.releaseFrame(frame), 0);
            expectRecovery(rig, cam, what);
        }
    }
}

TEST(FaultMatrix, Total) {
    std::printf("fault matrix: %d faults injected in all\n", faultsInjected);
    SUCCEED();
}

}  // namespace
