// Where the images of a stream come from and when each one is due: rendered by a module renderer at
// the configured frame rate, or played back from a recording with its recorded spacing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ModuleRenderer.h"
#include "ZentroxEvkRecording.h"

namespace Zentrox {

class ImageSource {
  public:
    virtual ~ImageSource() = default;
    virtual uint32_t width() const = 0;
    virtual uint32_t height() const = 0;
    virtual uint32_t bitWidth() const = 0;
    virtual uint32_t imagesPerFrame() const = 0;
    size_t imageBytes() const { return size_t{width()} * height() * (bitWidth() > 8 ? 2 : 1); }
    // Camera frames per second; 0 when images are not paced.
    virtual double frameRate() const = 0;
    // Whether images are due at set times; otherwise each one is ready when asked for.
    bool paced() const { return framePeriodMicros() > 0; }
    // Microseconds from the start of the stream to the capture of image n (0, 1, 2, ...); without
    // pacing, only the offsets within a frame count.
    virtual uint64_t dueMicros(uint64_t n) const = 0;
    // Microseconds of one camera frame; 0 when images are not paced.
    virtual uint64_t framePeriodMicros() const = 0;
    // The timestamp (ms) of image n, captured at `dueMicros` of the steady clock: that time itself,
    // unless the source carries timestamps of its own.
    virtual uint64_t timestampMillis(uint64_t, uint64_t dueMicros) const { return dueMicros / 1000; }
    // Writes image n into `out` (imageBytes() bytes); `range` is the modulation of its frame.
    virtual void produce(uint64_t n, RangeMode range, uint8_t* out) = 0;
    virtual std::string describe() const = 0;
    // Whether producing an image costs more than a copy (worth rendering ahead).
    virtual bool costlyImages() const { return false; }
};

// Images rendered by a module; the phase images of a frame 1.5 ms apart (closer when the frame
// period leaves less room), frames at the frame period. Without a frame rate, a frame begins when
// its first image is asked for, and its other images keep the 1.5 ms spacing in their timestamps.
class RenderedSource final : public ImageSource {
  public:
    RenderedSource(std::unique_ptr<ModuleRenderer> module, double frame_rate);
    uint32_t width() const override { return module->width(); }
    uint32_t height() const override { return module->height(); }
    uint32_t bitWidth() const override { return module->bitWidth(); }
    uint32_t imagesPerFrame() const override { return module->imagesPerFrame(); }
    double frameRate() const override { return rate; }
    uint64_t dueMicros(uint64_t n) const override;
    uint64_t framePeriodMicros() const override { return period; }
    void produce(uint64_t n, RangeMode range, uint8_t* out) override;
    std::string describe() const override;
    bool costlyImages() const override { return module->costlyImages(); }

  private:
    std::unique_ptr<ModuleRenderer> module;
    double rate;
    uint64_t period;   // us; 0 when not paced
    uint64_t spacing;  // us between the images of one frame
};

// A recording played in a loop: each pass keeps the recorded spacing, and the next pass begins the
// recording's loop gap after the last image. Images keep their recorded timestamps, moved on by the
// length of a pass for each pass before theirs, whenever they are read: a timestamp tells which
// recorded image, of which pass, an image is.
class PlaybackSource final : public ImageSource {
  public:
    PlaybackSource(Recording recording, std::string path);
    uint32_t width() const override { return recording.header.width; }
    uint32_t height() const override { return recording.header.height; }
    uint32_t bitWidth() const override { return recording.header.bit_width; }
    uint32_t imagesPerFrame() const override { return recording.header.images_per_frame; }
    double frameRate() const override;
    uint64_t dueMicros(uint64_t n) const override;
    uint64_t framePeriodMicros() const override;
    uint64_t timestampMillis(uint64_t n, uint64_t dueMicros) const override;
    void produce(uint64_t n, RangeMode range, uint8_t* out) override;
    std::string describe() const override;

  private:
    Recording recording;
    std::string path;
    uint64_t pass;  // us of one pass through the recording
};

}  // namespace Zentrox
