// The Video4Linux2 capture node of a CSI port: its descriptor, its format, and the ring of
// memory-mapped buffers it fills. Single- and multi-plane nodes differ only in their PlaneLayout.
#pragma once

#include <cstddef>
#include <cstdint>

#include <linux/videodev2.h>

#include "system/KernelFd.h"

namespace Zentrox {

// How one kind of capture node lays out formats and buffers.
struct PlaneLayout {
    uint32_t bufferType;
    // Fills the format request for `width` x `height` samples of `pixelFormat`.
    void (*requestFormat)(v4l2_format& format, uint32_t width, uint32_t height, uint32_t pixelFormat);
    // Width, height and pixel format of an answered format.
    void (*answeredFormat)(const v4l2_format& format, uint32_t& width, uint32_t& height,
                           uint32_t& pixelFormat);
    // Points the buffer at its plane, where the layout has planes.
    void (*attachPlane)(v4l2_buffer& buffer, v4l2_plane& plane);
    // Length and mapping offset of a queried buffer.
    size_t (*mapLength)(const v4l2_buffer& buffer, const v4l2_plane& plane);
    int64_t (*mapOffset)(const v4l2_buffer& buffer, const v4l2_plane& plane);
    // Bytes a filled buffer holds; false when it carries no plane to read.
    bool (*filledLength)(const v4l2_buffer& buffer, const v4l2_plane& plane, size_t& length);
};

extern const PlaneLayout kSinglePlane;
extern const PlaneLayout kMultiPlane;

// A buffer handed out by dequeue, to be given back by requeue as the driver answered it.
struct FilledBuffer {
    FilledBuffer() = default;
    FilledBuffer(const FilledBuffer&) = delete;
    FilledBuffer& operator=(const FilledBuffer&) = delete;

    v4l2_buffer buffer{};
    v4l2_plane plane{};
    const uint8_t* data = nullptr;  // null when the slot is not mapped
    size_t length = 0;              // readable bytes: the driver's length, within the mapping
    bool hasPlane = true;           // false: the driver reported no plane to read
};

class CaptureNode {
  public:
    static constexpr int kBufferCount = 8;

    explicit CaptureNode(KernelSeam& seam) : seam(seam) {}
    CaptureNode(const CaptureNode&) = delete;
    CaptureNode& operator=(const CaptureNode&) = delete;

    // Opens the node read-write; false when it cannot be opened.
    bool open(const char* path);
    // Unmaps the buffers and closes the node.
    void close();
    bool valid() const { return fd.valid(); }
    int descriptor() const { return fd.get(); }
    uint32_t bufferType() const { return layout->bufferType; }
    void setLayout(const PlaneLayout& chosen) { layout = &chosen; }

    // The node's capability flags; -errno when the query fails.
    int capabilities(uint32_t& flags);
    int selectInput(int index);
    // Asks (TRY, then SET) for the format; 0 only when the node answers exactly what was asked.
    // -errno when a request fails, 1 when the node answered another size or sample layout.
    int setFormat(uint32_t width, uint32_t height, uint32_t pixelFormat);

    // Requests the eight buffers, maps and queues each, and starts streaming. On failure nothing
    // stays mapped or allocated; -1 when the buffers could not be set up, -2 when streaming failed.
    // `reportedLength` receives the driver's length of each buffer it describes (the transport
    // chooses its converter from the last one), and keeps its value when none was described.
    int startStreaming(int64_t& reportedLength);
    // Stops streaming, unmaps the buffers and gives them back to the driver; -2 on any failure.
    int stopStreaming();
    // Waits (bounded by `waitMs`, signals included) for a filled buffer and takes it from the
    // driver; -1 when none came or the driver refused, 1 when it names a slot beyond the ring.
    int dequeue(FilledBuffer& filled, int waitMs);
    // Gives a buffer back to the driver; -errno when it refuses.
    int requeue(FilledBuffer& filled);
    int mappedBuffers() const;
    // Unmaps every mapped buffer; the number of munmap calls that failed.
    int unmapBuffers();

  private:
    void describe(v4l2_buffer& buffer, v4l2_plane& plane, uint32_t index) const;
    int releaseDriverBuffers();
    bool waitReadable(int waitMs);

    KernelSeam& seam;
    KernelFd fd;
    const PlaneLayout* layout = &kSinglePlane;
    KernelMapping buffers[kBufferCount];
};

}  // namespace Zentrox
