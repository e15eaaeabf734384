// A Video4Linux2 capture node with memory-mapped buffers, single- or multi-plane, as strict as
// videobuf2: wrong type, memory, index or plane count give EINVAL; a format change while buffers
// are allocated gives EBUSY; a queue belongs to the descriptor that requested its buffers.
// Frames are written into the buffer memory when a buffer is dequeued, from a sample source, and
// packed as the format says (Y12 words, optionally shifted; Y12P two samples in three bytes).
#pragma once

#include <linux/videodev2.h>
#include <sys/sysmacros.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/fakes/FakeKernel.h"

#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

namespace Zentrox {

struct CaptureNodeConfig {
    dev_t rdev = makedev(81, 0);
    bool multiPlane = false;
    uint32_t capabilities = 0;                             // 0: what the plane mode implies, with streaming
    std::vector<uint32_t> pixelFormats{V4L2_PIX_FMT_Y12};  // the first one is the default
    uint32_t strideAlignment = 1;                          // bytes per line rounded up to this
    uint32_t inputs = 1;                                   // 0: the node has no input ioctls
    uint32_t grantCount = 0;                               // 0: the count asked for, within 2..32
    uint32_t sampleShift = 0;                              // Y12 words hold the sample << shift
    uint32_t width = 240, height = 180;                    // default format
    // Sizes the node can stream, the nearest one replacing any other (a receiver behind a sensor
    // with fixed modes); empty: any size from 16 to 4096.
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
    uint32_t lengthExtra = 0;  // bytes added to each buffer's length
    std::string driver = "fake-capture", card = "Fake capture", busInfo = "platform:fake";
};

// Timestamps of the dequeued buffers: groups of `groupSize` sub-frames `subFrameSpacingUs` apart,
// one group every `groupSpacingUs`.
struct CaptureTiming {
    int64_t startSec = 1000;
    int64_t startUsec = 0;
    int64_t subFrameSpacingUs = 1000;
    int64_t groupSpacingUs = 33333;
    uint32_t groupSize = 4;
};

struct CaptureFormat {
    uint32_t width, height, pixelformat, bytesperline, sizeimage;
};

class FakeCaptureNode : public FakeNode {
  public:
    // Fills width * height 12-bit samples of sub-frame `sequence`.
    using SampleSource =
        std::function<void(uint64_t sequence, uint32_t width, uint32_t height, uint16_t* samples)>;
    // Writes the bytes of a buffer directly, bypassing the sample source and the packing.
    using ByteWriter = std::function<void(uint64_t sequence, uint8_t* memory, size_t length)>;
    // Checked by STREAMON: 0, or -errno (the pipeline's formats or links do not fit).
    using PipelineCheck = std::function<int(const CaptureFormat&)>;
    // Told when streaming starts and ends.
    using StreamListener = std::function<void(bool streaming)>;

    explicit FakeCaptureNode(CaptureNodeConfig config = {});

    dev_t rdev() const override { return config.rdev; }
    int ioctl(FakeFile& file, unsigned long request, void* arg) override;
    std::shared_ptr<uint8_t> mmap(FakeFile& file, size_t length, int prot, int flags, off_t offset,
                                  uint8_t** address, int* error) override;
    void closed(FakeFile& file) override;
    // As videobuf2: POLLERR when not streaming, POLLIN when a buffer can be dequeued, else nothing.
    short poll(FakeFile& file, short requested) override;

    void setSampleSource(SampleSource source) { sampleSource = std::move(source); }
    void setByteWriter(ByteWriter writer) { byteWriter = std::move(writer); }
    void setPipelineCheck(PipelineCheck check) { pipelineCheck = std::move(check); }
    void setStreamListener(StreamListener listener) { streamListener = std::move(listener); }
    void setTiming(const CaptureTiming& t) { timing = t; }
    const CaptureTiming& currentTiming() const { return timing; }
    // Timestamps for the next dequeued buffers, in order, before the schedule resumes.
    void scriptTimestamps(const std::vector<timeval>& stamps);
    // Faults of the next dequeue: a buffer index the driver cannot have, or the error flag.
    void reportIndexOnNextDequeue(uint32_t index) { bogusIndex.push_back(index); }
    void flagErrorOnNextDequeue(int count = 1) { errorFlags += count; }
    // A stalled node fills no buffer (a module that stopped sending): poll times out.
    // (Safe from any thread: tests stall a node while a capture thread streams from it.)
    void stall(bool on) { stalled.store(on); }
    // DQBUF calls that a real driver would have blocked for ever (nothing filled, or nothing queued).
    int blockingDequeues() const { return hangs.load(); }

    const CaptureFormat& format() const { return current; }
    uint32_t input() const { return currentInput; }
    bool streaming() const { return isStreaming; }
    size_t bufferCount() const { return buffers.size(); }
    size_t queuedCount() const { return queue.size(); }
    uint64_t sequence() const { return nextSequence; }
    int requestedCount() const { return lastRequestedCount; }
    // The bytes of buffer `index` as the driver last wrote them.
    const uint8_t* bufferMemory(uint32_t index) const;

  private:
    struct Buffer {
        std::shared_ptr<uint8_t> memory;
        size_t length;  // reported
        uint32_t offset;
        bool queued = false;
    };

    uint32_t bufferType() const;
    uint32_t otherCaptureType() const;
    uint32_t capabilities() const;
    CaptureFormat adjust(uint32_t width, uint32_t height, uint32_t pixelformat) const;
    int doFormat(v4l2_format* f, bool set);
    int checkBuffer(const FakeFile& file, v4l2_buffer* b, bool needIndex) const;
    void fillBuffer(v4l2_buffer* b, uint32_t index) const;
    int requestBuffers(FakeFile& file, v4l2_requestbuffers* r);
    int dequeue(FakeFile& file, v4l2_buffer* b);
    void writeFrame(uint64_t sequence, Buffer& buffer);
    void setStreaming(bool on);
    timeval stamp(uint64_t sequence);

    CaptureNodeConfig config;
    CaptureFormat current;
    uint32_t currentInput = 0;
    std::vector<Buffer> buffers;
    std::deque<uint32_t> queue;
    uint64_t owner = 0;  // handle of the descriptor that owns the buffers
    bool isStreaming = false;
    std::atomic<bool> stalled{false};
    std::atomic<int> hangs{0};
    uint64_t nextSequence = 0;
    int lastRequestedCount = -1;
    CaptureTiming timing;
    std::deque<timeval> scripted;
    std::deque<uint32_t> bogusIndex;
    int errorFlags = 0;
    std::vector<uint16_t> samples;
    SampleSource sampleSource;
    ByteWriter byteWriter;
    PipelineCheck pipelineCheck;
    StreamListener streamListener;
};

}  // namespace Zentrox
