#include "ImageSource.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace Zentrox {

RenderedSource::RenderedSource(std::unique_ptr<ModuleRenderer> renderer, double frame_rate)
    : module(std::move(renderer)), rate(frame_rate) {
    period = rate > 0.0 ? static_cast<uint64_t>(std::llround(1e6 / rate)) : 0;
    const uint64_t images = module->imagesPerFrame();
    // Unpaced frames keep the spacing of their images, so that a frame's images stay together
    // however late the caller asks for each.
    spacing = images < 2 ? 0 : period == 0 ? 1500 : std::min<uint64_t>(1500, period / images);
}

uint64_t RenderedSource::dueMicros(uint64_t n) const {
    const uint64_t images = module->imagesPerFrame();
    return (n / images) * period + (n % images) * spacing;
}

void RenderedSource::produce(uint64_t n, RangeMode range, uint8_t* out) {
    const uint64_t images = module->imagesPerFrame();
    module->render(n / images, static_cast<uint32_t>(n % images), range, out);
}

std::string RenderedSource::describe() const {
    std::string rateText = "as fast as they are read";
    if (rate > 0.0) {
        char text[32];
        std::snprintf(text, sizeof text, "%g frames/s", rate);
        rateText = text;
    }
    return module->describe() + ", " + rateText;
}

PlaybackSource::PlaybackSource(Recording rec, std::string file)
    : recording(std::move(rec)), path(std::move(file)) {
    const auto& t = recording.timestamps;
    pass = (t.back() - t.front() + recording.header.loop_gap_ms) * 1000;
}

double PlaybackSource::frameRate() const {
    if (pass == 0) return 0.0;
    const double frames = double(recording.header.image_count) / recording.header.images_per_frame;
    return frames * 1e6 / double(pass);
}

uint64_t PlaybackSource::dueMicros(uint64_t n) const {
    const uint64_t count = recording.header.image_count;
    return (n / count) * pass + (recording.timestamps[n % count] - recording.timestamps.front()) * 1000;
}

uint64_t PlaybackSource::framePeriodMicros() const {
    const uint64_t frames =
        std::max<uint64_t>(1, recording.header.image_count / recording.header.images_per_frame);
    return pass / frames;
}

uint64_t PlaybackSource::timestampMillis(uint64_t n, uint64_t) const {
    const uint64_t count = recording.header.image_count;
    return recording.timestamps[n % count] + (n / count) * (pass / 1000);
}

void PlaybackSource::produce(uint64_t n, RangeMode, uint8_t* out) {
    std::memcpy(out, recording.image(n % recording.header.image_count), recording.header.imageBytes());
}

std::string PlaybackSource::describe() const {
    const RecordingHeader& h = recording.header;
    return "recording \"" + path + "\" played in a loop: " + std::to_string(h.image_count) + " images of " +
           std::to_string(h.width) + " x " + std::to_string(h.height) + ", " + std::to_string(h.bit_width) +
           " bits";
}

}  // namespace Zentrox
