// A fault injected into each system call of each operation, on every board: the operation gives its
// documented status, close then leaves no descriptor or mapping behind, and the transport opens
// and streams again.
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/media.h>

#include <sstream>

#include "tests/cpp/csi/CsiRig.h"
#include "tests/fakes/StderrCapture.h"

using namespace Zentrox;

namespace {

enum class Op { OPEN, START, GET_FRAME, STOP, SET_RANGE, GET_EXPOSURE, SET_FRAME_RATE, READ_BLOCK, CLOSE };

const char* opName(Op op) {
    switch (op) {
        case Op::OPEN:
            return "open";
        case Op::START:
            return "start";
        case Op::GET_FRAME:
            return "getFrame";
        case Op::STOP:
            return "stop";
        case Op::SET_RANGE:
            return "setControl(RANGE)";
        case Op::GET_EXPOSURE:
            return "getControl(EXPOSURE)";
        case Op::SET_FRAME_RATE:
            return "setControl(FRAME_RATE)";
        case Op::READ_BLOCK:
            return "readDataBlock";
        case Op::CLOSE:
            return "close";
    }
    return "?";
}

// Brings a fresh rig to where the operation is made.
void prepare(CsiRig& rig, Op op) {
    if (op == Op::OPEN) return;
    ASSERT_EQ(rig.open(), 0);
    rig.sensor->subFrameCount = 4;
    if (op == Op::START || op == Op::SET_RANGE || op == Op::GET_EXPOSURE || op == Op::SET_FRAME_RATE ||
        op == Op::READ_BLOCK)
        return;
    ASSERT_EQ(rig.sensor->start(), 0);
    if (op == Op::STOP) {
        std::vector<uint8_t> frame(rig.frameBytes());
        uint64_t ts = 0;
        ASSERT_EQ(rig.sensor->getFrame(frame.data(), &ts), 0);
    }
}

int run(CsiRig& rig, Op op) {
    static std::vector<uint8_t> frame(4 * 240 * 180 * 2);
    uint64_t ts = 0;
    int value = 0;
    switch (op) {
        case Op::OPEN:
            return rig.open();
        case Op::START:
            return rig.sensor->start();
        case Op::GET_FRAME:
            return rig.sensor->getFrame(frame.data(), &ts);
        case Op::STOP:
            return rig.sensor->stop();
        case Op::SET_RANGE:
            return rig.sensor->setControl(CameraCtrl::RANGE, 2);
        case Op::GET_EXPOSURE:
            return rig.sensor->getControl(CameraCtrl::EXPOSURE, &value);
        case Op::SET_FRAME_RATE:
            return rig.sensor->setControl(CameraCtrl::FRAME_RATE, 30);
        case Op::READ_BLOCK:
            return rig.sensor->readDataBlock(80, frame.data());
        case Op::CLOSE:
            return rig.sensor->close();
    }
    return 99;
}

// The status an operation documents when `call` fails with a non-transient error.
int expectedStatus(Op op, const SysCall& call) {
    switch (op) {
        case Op::OPEN:
            return call.call == Sys::CLOSE ? 0 : -2;  // only the media node's close is ignored
        case Op::START:
            return call.call == Sys::IOCTL && call.request == VIDIOC_STREAMON ? -2 : -1;
        case Op::SET_RANGE:
        case Op::GET_EXPOSURE:
            return -1;
        case Op::CLOSE:
            return 0;
        default:
            return -2;
    }
}

// Whether the retry rule absorbs one EINTR in call `k`. Entity look-ups before a link set-up
// are made once, like the sub-device format read and the I2C calls.
bool retried(const std::vector<SysCall>& calls, size_t k) {
    const SysCall& call = calls[k];
    if (call.call == Sys::POLL) return true;  // the wait for a filled buffer resumes after a signal
    if (call.call != Sys::IOCTL) return false;
    unsigned long r = call.request;
    if (r == MEDIA_IOC_ENUM_ENTITIES) {
        for (size_t j = k + 1; j < calls.size(); ++j)
            if (calls[j].call == Sys::IOCTL && calls[j].request == MEDIA_IOC_SETUP_LINK) return false;
    }
    return r != VIDIOC_SUBDEV_G_FMT && r != I2C_RDWR && r != I2C_FUNCS && r != MEDIA_IOC_SETUP_LINK;
}

std::string describe(const SysCall& c, size_t index) {
    std::ostringstream s;
    s << "call " << index << ": " << sysName(c.call) << " " << c.path;
    if (c.call == Sys::IOCTL) s << " request 0x" << std::hex << c.request;
    return s.str();
}

void expectCleanAndWorking(CsiRig& rig, const std::string& where) {
    rig.sensor->close();
    EXPECT_EQ(rig.kernel.openDescriptors(), 0) << where;
    EXPECT_EQ(rig.kernel.liveMappings(), 0) << where;
    EXPECT_EQ(rig.kernel.badCloses(), 0) << where;
    EXPECT_EQ(rig.kernel.badUnmaps(), 0) << where;
    rig.kernel.clearFaults();
    ASSERT_EQ(rig.open(), 0) << where;
    rig.sensor->subFrameCount = 4;
    ASSERT_EQ(rig.sensor->start(), 0) << where;
    std::vector<uint8_t> frame(rig.frameBytes());
    uint64_t ts = 0;
    EXPECT_EQ(rig.sensor->getFrame(frame.data(), &ts), 0) << where;
    EXPECT_EQ(rig.sensor->stop(), 0) << where;
    EXPECT_EQ(rig.sensor->close(), 0) << where;
    EXPECT_EQ(rig.kernel.openDescriptors(), 0) << where;
    EXPECT_EQ(rig.kernel.liveMappings(), 0) << where;
}

class CsiFaults : public testing::TestWithParam<int> {
  protected:
    // The calls the operation makes when nothing fails.
    std::vector<SysCall> cleanTrace(Op op) {
        CsiRig rig(GetParam());
        prepare(rig, op);
        rig.kernel.clearTrace();
        EXPECT_EQ(run(rig, op), 0) << opName(op);
        return rig.kernel.trace();
    }

    void injectEverywhere(Op op, int error) {
        const auto calls = cleanTrace(op);
        ASSERT_FALSE(calls.empty()) << opName(op);
        for (size_t k = 0; k < calls.size(); ++k) {
            const std::string where = std::string(platformName(GetParam())) + " " + opName(op) + " " +
                                      describe(calls[k], k) + " errno " + std::to_string(error);
            CsiRig rig(GetParam());
            prepare(rig, op);
            rig.kernel.clearTrace();
            rig.kernel.failCallAt(k, error);
            int status;
            {
                StderrCapture quiet;  // messages are checked elsewhere
                status = run(rig, op);
            }
            int expected = error == EINTR && retried(calls, k) ? 0 : expectedStatus(op, calls[k]);
            EXPECT_EQ(status, expected) << where;
            auto faulted = rig.kernel.trace();
            ASSERT_GT(faulted.size(), k) << where;
            EXPECT_EQ(faulted[k].call, calls[k].call) << where;
            EXPECT_EQ(faulted[k].request, calls[k].request) << where;
            EXPECT_EQ(faulted[k].error, error) << where;
            expectCleanAndWorking(rig, where);
        }
    }
};

TEST_P(CsiFaults, OpenGivesASystemErrorForEveryFailedCall) {
    injectEverywhere(Op::OPEN, EIO);
}
TEST_P(CsiFaults, StartGivesMinusOneOrMinusTwoForStreamOn) {
    injectEverywhere(Op::START, EIO);
}
TEST_P(CsiFaults, GetFrameGivesASystemError) {
    injectEverywhere(Op::GET_FRAME, EIO);
}
TEST_P(CsiFaults, StopGivesASystemError) {
    injectEverywhere(Op::STOP, EIO);
}
TEST_P(CsiFaults, ControlsGiveTheirStatus) {
    for (Op op : {Op::SET_RANGE, Op::GET_EXPOSURE, Op::SET_FRAME_RATE, Op::READ_BLOCK})
        injectEverywhere(op, EIO);
}
TEST_P(CsiFaults, CloseAlwaysSucceedsAndReleasesEverything) {
    injectEverywhere(Op::CLOSE, EIO);
}

// One interruption: absorbed by the retry rule in every device call that has it, and a failure
// where the call is made once.
TEST_P(CsiFaults, InterruptionsAreRetriedWhereTheRuleApplies) {
    for (Op op : {Op::OPEN, Op::START, Op::GET_FRAME, Op::STOP, Op::SET_RANGE, Op::GET_EXPOSURE}) {
        injectEverywhere(op, EINTR);
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, CsiFaults, testing::ValuesIn(kAllBoards), boardName);

}  // namespace
