#include "tests/cpp/vm/CaptureMatrix.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "tests/cpp/vm/VividSource.h"

namespace Zentrox {

namespace {

// Samples of a 12-bit image are 16-bit words holding at most 0x0FFF. Every 61st sample is looked
// at: the check runs between frames, and a long pause there starves the driver of buffers, which
// shows as gaps in the stream.
bool twelveBitSamples(const std::vector<uint8_t>& frame, uint16_t* largest) {
    uint16_t top = 0;
    for (size_t i = 0; i + 1 < frame.size(); i += 2 * 61) {
        const uint16_t v = uint16_t(frame[i] | (frame[i + 1] << 8));
        top = v > top ? v : top;
    }
    *largest = top;
    return top <= 0x0FFF;
}

}  // namespace

void runCaptureCycles(VmChecks& checks, ObservingKernel& seen, const SensorFactory& makeSensor,
                      int subFrameCount, const MatrixOptions& options) {
    const char* video = options.video_path;
    std::unique_ptr<ZentroxTOFSensor> sensor = makeSensor();
    CameraInfo info{};
    if (!checks.check(sensor->open(info) == 0, "n=%d: open", subFrameCount)) return;
    sensor->subFrameCount = subFrameCount;
    std::vector<uint8_t> frame(size_t(info.width) * info.height * 2 * subFrameCount);
    seen.dequeued.clear();
    seen.dequeued.reserve(size_t(options.cycles) * options.frames_per_cycle * subFrameCount * 4 + 64);

    int resyncs = 0, failedCycles = 0;
    uint64_t lastMs = 0;
    int64_t lastUs = -1;
    int64_t smallestGap = INT64_MAX, largestGap = 0;
    uint16_t largestSample = 0;
    for (int cycle = 0; cycle < options.cycles; ++cycle) {
        if (cycle == options.reopen_after) {
            checks.check(sensor->close() == 0, "n=%d: close before reopen", subFrameCount);
            checks.check(countMappingsOf(video) == 0, "n=%d: nothing mapped after close", subFrameCount);
            sensor = makeSensor();
            info = CameraInfo{};
            if (!checks.check(sensor->open(info) == 0, "n=%d: reopen", subFrameCount)) return;
            sensor->subFrameCount = subFrameCount;
        }
        const int failuresBefore = checks.failed();
        const int unmapsBefore = seen.unmappings;
        const int start = sensor->start();
        checks.check(start == 0, "n=%d cycle %d: start returns %d", subFrameCount, cycle, start);
        checks.check(countMappingsOf(video) == 8, "n=%d cycle %d: 8 mappings after start (%d)", subFrameCount,
                     cycle, countMappingsOf(video));
        for (int f = 0; f < options.frames_per_cycle && start == 0; ++f) {
            const size_t before = seen.dequeued.size();
            uint64_t ms = 0;
            const int got = sensor->getFrame(frame.data(), &ms);
            if (!checks.check(got == 0, "n=%d cycle %d frame %d: getFrame returns %d", subFrameCount, cycle,
                              f, got)) {
                break;
            }
            const size_t taken = seen.dequeued.size() - before;
            if (taken != size_t(subFrameCount)) ++resyncs;
            checks.check(taken == size_t(subFrameCount),
                         "n=%d cycle %d frame %d: %zu buffers dequeued for one frame", subFrameCount, cycle,
                         f, taken);
            for (size_t i = before; i < seen.dequeued.size(); ++i) {
                const int64_t us = seen.dequeued[i];
                checks.check(us > lastUs, "n=%d cycle %d: buffer time %" PRId64 " us after %" PRId64 " us",
                             subFrameCount, cycle, us, lastUs);
                if (i > before) {
                    const int64_t gap = us - seen.dequeued[i - 1];
                    smallestGap = gap < smallestGap ? gap : smallestGap;
                    largestGap = gap > largestGap ? gap : largestGap;
                }
                lastUs = us;
            }
            checks.check(taken > 0 && ms == uint64_t(seen.dequeued.back() / 1000),
                         "n=%d cycle %d frame %d: frame time %" PRIu64 " ms is the last buffer's",
                         subFrameCount, cycle, f, ms);
            checks.check(ms >= lastMs,
                         "n=%d cycle %d frame %d: frame time %" PRIu64 " ms not before %" PRIu64,
                         subFrameCount, cycle, f, ms, lastMs);
            lastMs = ms;
            uint16_t top = 0;
            checks.check(twelveBitSamples(frame, &top),
                         "n=%d cycle %d frame %d: 12-bit samples (largest 0x%04x)", subFrameCount, cycle, f,
                         top);
            largestSample = top > largestSample ? top : largestSample;
        }
        const int unmapFailuresBefore = seen.unmapFailures;
        const int stop = sensor->stop();
        checks.check(stop == 0, "n=%d cycle %d: stop returns %d", subFrameCount, cycle, stop);
        checks.check(seen.unmapFailures == unmapFailuresBefore, "n=%d cycle %d: no munmap failure",
                     subFrameCount, cycle);
        checks.check(seen.unmappings - unmapsBefore == 8, "n=%d cycle %d: stop unmapped %d buffers",
                     subFrameCount, cycle, seen.unmappings - unmapsBefore);
        checks.check(countMappingsOf(video) == 0, "n=%d cycle %d: nothing mapped after stop (%d)",
                     subFrameCount, cycle, countMappingsOf(video));
        if (checks.failed() != failuresBefore) ++failedCycles;
        if (failedCycles >= 3 && checks.failed() > 40) {
            checks.check(false, "n=%d: giving up after cycle %d", subFrameCount, cycle);
            break;
        }
    }
    checks.check(sensor->close() == 0, "n=%d: close", subFrameCount);
    checks.note("n=%d: %d cycles, %zu buffers, gaps within a frame %" PRId64 "..%" PRId64
                " us, %d re-synchronisations, %d failed cycles, largest sample 0x%04x",
                subFrameCount, options.cycles, seen.dequeued.size(),
                smallestGap == INT64_MAX ? 0 : smallestGap, largestGap, resyncs, failedCycles, largestSample);
}

void runSizeRefusals(VmChecks& checks, ObservingKernel& seen, const SensorFactory& makeSensor,
                     const MatrixOptions& options) {
    const char* video = options.video_path;
    struct Size {
        int width, height;
    };
    // The capture node streams its source size only (vivid without scaler, crop or compose);
    // the sub-device takes anything from 16 x 16 to 4096 x 4096.
    const Size sizes[] = {{320, 240}, {648, 480}, {640, 472}};
    for (const Size& s : sizes) {
        std::unique_ptr<ZentroxTOFSensor> sensor = makeSensor();
        CameraInfo info{};
        if (!checks.check(sensor->open(info) == 0, "wrong size %dx%d: open", s.width, s.height)) continue;
        sensor->setControl(CameraCtrl::FMT_WIDTH, s.width);
        sensor->setControl(CameraCtrl::FMT_HEIGHT, s.height);
        const int unmapFailuresBefore = seen.unmapFailures;
        const int start = sensor->start();
        checks.check(start == -1, "wrong size %dx%d: start returns %d", s.width, s.height, start);
        checks.check(countMappingsOf(video) == 0 || start == 0, "wrong size %dx%d: nothing mapped", s.width,
                     s.height);
        if (start == 0) sensor->stop();
        // The same sensor streams again once the size is one the driver takes.
        sensor->setControl(CameraCtrl::FMT_WIDTH, int(info.width));
        sensor->setControl(CameraCtrl::FMT_HEIGHT, int(info.height));
        const int again = sensor->start();
        checks.check(again == 0, "wrong size %dx%d: start with %ux%u afterwards returns %d", s.width,
                     s.height, info.width, info.height, again);
        if (again == 0)
            checks.check(sensor->stop() == 0, "wrong size %dx%d: stop afterwards", s.width, s.height);
        checks.check(seen.unmapFailures == unmapFailuresBefore, "wrong size %dx%d: no munmap failure",
                     s.width, s.height);
        checks.check(sensor->close() == 0 && countMappingsOf(video) == 0, "wrong size %dx%d: close", s.width,
                     s.height);
    }
}

void runPixelFormatRefusal(VmChecks& checks, const SensorFactory& makeSensor, const MatrixOptions& options) {
    std::unique_ptr<ZentroxTOFSensor> sensor = makeSensor();
    CameraInfo info{};
    if (!checks.check(sensor->open(info) == 0, "unknown pixel format: open")) return;
    const int start = sensor->start();
    checks.check(start == -1, "unknown pixel format: start returns %d", start);
    checks.check(countMappingsOf(options.video_path) == 0 || start == 0,
                 "unknown pixel format: nothing mapped");
    if (start == 0) sensor->stop();
    checks.check(sensor->close() == 0, "unknown pixel format: close");
}

}  // namespace Zentrox
