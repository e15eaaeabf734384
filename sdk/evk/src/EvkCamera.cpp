#include "EvkCamera.h"

#include "VgaRenderer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace Zentrox {

namespace {

// The range registers and the values that select each modulation frequency.
constexpr uint32_t RANGE_REGISTERS[4] = {0x216C, 0x2179, 0x217A, 0x217B};
constexpr std::array<uint32_t, 4> RANGE_2000_VALUES = {0x08, 0x0A, 0x0E, 0x12};
constexpr std::array<uint32_t, 4> RANGE_4000_VALUES = {0x10, 0x0E, 0x16, 0x1E};

void report(const std::string& text) {
    std::fprintf(stderr, "zentrox_evk_sdk: %s\n", text.c_str());
}

}  // namespace

uint64_t EvkCamera::nowMicros() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count());
}

int EvkCamera::open(const ZentroxOpenParam& param, std::unique_ptr<EvkCamera>& camera) {
    camera.reset();
    if (param.version != ZENTROX_EVK_PARAM_VERSION) {
        report("open parameters were not prepared by ZentroxDefaultParam");
        return ZENTROX_EVK_INVALID_ARGUMENT;
    }
    if (param.device_index != 0) {
        report("no kit with index " + std::to_string(param.device_index) + " (the emulation has kit 0 only)");
        return ZENTROX_EVK_ERROR;
    }
    std::unique_ptr<EvkCamera> kit(new EvkCamera());
    kit->rangeRegisters = RANGE_4000_VALUES;
    const bool named = param.path != nullptr && param.path[0] != '\0';
    Recording recording;
    if (param.is_bin) {
        if (!named) {
            report("a recording was asked for without a path");
            return ZENTROX_EVK_INVALID_ARGUMENT;
        }
        kit->path = param.path;
        std::string error;
        if (!readRecording(kit->path, recording, error)) {
            report("recording \"" + kit->path + "\" " + error);
            return ZENTROX_EVK_CONFIG_ERROR;
        }
    } else if (named) {
        kit->path = param.path;
        kit->fromFile = true;
        std::string error;
        if (!loadEvkConfig(kit->path, kit->config, error)) {
            report("configuration file \"" + kit->path + "\": " + error);
            return ZENTROX_EVK_CONFIG_ERROR;
        }
    }
    if (kit->config.faults.fail_open) {
        report("open fails (fault injected by \"" + kit->path + "\")");
        return ZENTROX_EVK_ERROR;
    }
    // Everything that stays the same from frame to frame is computed here, once.
    if (param.is_bin) {
        kit->source = std::make_unique<PlaybackSource>(std::move(recording), kit->path);
    } else {
        std::string error;
        std::unique_ptr<ModuleRenderer> module = makeModuleRenderer(kit->config, error);
        if (!module) {
            report(error);
            return ZENTROX_EVK_CONFIG_ERROR;
        }
        kit->source = std::make_unique<RenderedSource>(std::move(module), kit->config.frame_rate);
    }
    report("emulated evaluation kit, not a camera: " + kit->describe());
    camera = std::move(kit);
    return ZENTROX_EVK_OK;
}

std::string EvkCamera::describe() const {
    if (!fromFile && !path.empty()) return source->describe();  // a recording
    char text[160];
    if (config.frame_rate > 0.0) {
        std::snprintf(text, sizeof text, "%s module, %u x %u, %u bits, %g frames/s", config.module.c_str(),
                      config.width, config.height, config.bit_width, config.frame_rate);
    } else {
        std::snprintf(text, sizeof text, "%s module, %u x %u, %u bits, frames as fast as read",
                      config.module.c_str(), config.width, config.height, config.bit_width);
    }
    return text + (fromFile ? ", scene of \"" + path + "\"" : std::string(", built-in scene"));
}

int EvkCamera::init() {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (initialised) return ZENTROX_EVK_OK;
    if (config.faults.fail_init) {
        report("initialisation fails (fault injected by \"" + path + "\")");
        return ZENTROX_EVK_ERROR;
    }
    for (Slot& slot : slots)
        slot.bytes.assign(source->imageBytes(), 0);
    renderAhead = source->costlyImages();
    lookahead = std::min<uint64_t>(source->imagesPerFrame() + 1, BUFFER_COUNT - 2);
    initialised = true;
    return ZENTROX_EVK_OK;
}

int EvkCamera::getConfig(ZentroxCameraConfig& out) {
    std::lock_guard<std::mutex> lock(stateMutex);
    std::memset(&out, 0, sizeof out);
    out.width = source->width();
    out.height = source->height();
    out.bit_width = static_cast<uint8_t>(source->bitWidth());
    out.images_per_frame = static_cast<uint8_t>(source->imagesPerFrame());
    out.frame_rate = static_cast<uint16_t>(std::min(source->frameRate() + 0.5, 65535.0));
    return ZENTROX_EVK_OK;
}

int EvkCamera::start() {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (!initialised || streaming) return ZENTROX_EVK_BAD_STATE;
    if (config.faults.fail_start) {
        report("start fails (fault injected by \"" + path + "\")");
        return ZENTROX_EVK_ERROR;
    }
    streaming = true;
    streamStart = nowMicros();
    lastDue = streamStart;
    nextImage = 0;
    attempts = 0;
    resumeAt = 0;
    frameRange = range;
    ++streamCount;  // what was rendered ahead for the last stream is dropped
    aheadNext = 0;
    if (renderAhead && !worker.joinable()) worker = std::thread(&EvkCamera::renderLoop, this);
    workerWake.notify_one();
    return ZENTROX_EVK_OK;
}

bool EvkCamera::waitUntil(std::unique_lock<std::mutex>& lock, uint64_t when) {
    const auto deadline = Clock::time_point(std::chrono::microseconds(when));
    wake.wait_until(lock, deadline, [&] { return !streaming || nowMicros() >= when; });
    return streaming;
}

int EvkCamera::capture(ZentroxImage& image, int32_t timeout_ms) {
    std::lock_guard<std::mutex> serial(captureMutex);
    std::unique_lock<std::mutex> lock(stateMutex);
    if (!streaming) return ZENTROX_EVK_BAD_STATE;
    // Slots rendered ahead (or being rendered) can always be taken back; only lent ones cannot.
    if (std::all_of(slots.begin(), slots.end(), [](const Slot& s) { return s.state == SlotState::LENT; })) {
        return ZENTROX_EVK_NO_BUFFER;
    }

    const uint64_t n = nextImage;
    const uint64_t perFrame = source->imagesPerFrame();
    const uint64_t now = nowMicros();
    if (n % perFrame == 0) {
        // A frame begins. Without pacing it is captured when asked for. With pacing, a caller further
        // behind than the kit buffers finds the schedule resumed now: what it did not read in time
        // is dropped. Either way a frame never begins before the previous one's last image.
        const bool late = source->paced() && now > streamStart + source->dueMicros(n) +
                                                       BUFFERED_FRAMES * source->framePeriodMicros();
        if (!source->paced() || late) streamStart = std::max(now, lastDue) - source->dueMicros(n);
        // After a lost or short image the module pauses before it begins this frame.
        if (streamStart + source->dueMicros(n) < resumeAt) streamStart = resumeAt - source->dueMicros(n);
    }
    const uint64_t due = streamStart + source->dueMicros(n);
    if (source->paced()) {
        if (timeout_ms >= 0 && due > now + uint64_t(timeout_ms) * 1000) {
            if (!waitUntil(lock, now + uint64_t(timeout_ms) * 1000)) return ZENTROX_EVK_BAD_STATE;
            return ZENTROX_EVK_TIMEOUT;
        }
        if (!waitUntil(lock, due)) return ZENTROX_EVK_BAD_STATE;
    }
    lastDue = due;
    ++nextImage;
    if (aheadNext < nextImage) aheadNext = nextImage;
    const uint64_t attempt = ++attempts;
    if (n % perFrame == 0) frameRange = range;
    const RangeMode mode = frameRange;

    // Image n rendered ahead, once its rendering has finished; images left behind are dropped.
    Slot* slot = nullptr;
    for (;;) {
        slot = nullptr;
        bool pending = false;
        for (Slot& s : slots) {
            if (s.state == SlotState::RENDERED && (s.stream != streamCount || s.image < n))
                s.state = SlotState::FREE;
            if (s.stream != streamCount || s.image != n) continue;
            if (s.state == SlotState::RENDERING) pending = true;
            if (s.state == SlotState::RENDERED) slot = &s;
        }
        if (!pending) break;
        rendered.wait(lock);
    }
    bool ready = slot != nullptr && slot->mode == mode;
    if (slot != nullptr && !ready) slot->state = SlotState::FREE;  // the frequency changed meanwhile
    if (config.faults.timeout_every != 0 && attempt % config.faults.timeout_every == 0) {
        if (ready) slot->state = SlotState::FREE;
        dropRestOfFrame(n, due);
        workerWake.notify_one();
        return ZENTROX_EVK_TIMEOUT;  // this image is lost
    }
    const bool shortImage = attempt == config.faults.wrong_size_at;
    if (shortImage) dropRestOfFrame(n, due);
    if (!ready) {
        // Rendered here: into a free slot, else one rendered ahead, else one the worker is finishing.
        rendered.wait(lock, [&] { return !producing; });
        slot = nullptr;
        for (Slot& s : slots) {
            if (s.state == SlotState::FREE) slot = &s;
        }
        for (Slot& s : slots) {
            if (!slot && s.state == SlotState::RENDERED) slot = &s;
        }
        if (!slot) return ZENTROX_EVK_NO_BUFFER;  // every slot lent meanwhile
        slot->state = SlotState::LENT;
        producing = true;
        lock.unlock();
        source->produce(n, mode, slot->bytes.data());
        lock.lock();
        producing = false;
        rendered.notify_all();
    }
    slot->state = SlotState::LENT;
    workerWake.notify_one();
    lock.unlock();

    std::memset(&image, 0, sizeof image);
    image.sequence = n;
    image.timestamp = source->timestampMillis(n, due);
    image.width = source->width();
    image.height = source->height();
    image.data_size = static_cast<uint32_t>(slot->bytes.size());
    if (shortImage) {
        image.data_size -= static_cast<uint32_t>(slot->bytes.size() / source->height());  // one row short
    }
    image.bit_width = static_cast<uint8_t>(source->bitWidth());
    image.phase = static_cast<uint8_t>(n % perFrame);
    image.data = slot->bytes.data();
    image.buffer = slot;
    return ZENTROX_EVK_OK;
}

void EvkCamera::dropRestOfFrame(uint64_t n, uint64_t due) {
    const uint64_t perFrame = source->imagesPerFrame();
    nextImage = (n / perFrame + 1) * perFrame;
    aheadNext = std::max(aheadNext, nextImage);
    resumeAt = due + RESYNC_PAUSE_MICROS;
}

RangeMode EvkCamera::expectedMode(uint64_t n) const {
    const uint64_t perFrame = source->imagesPerFrame();
    // An image of the frame being captured keeps its frequency; a later frame latches the registers.
    if (nextImage > 0 && n / perFrame == (nextImage - 1) / perFrame) return frameRange;
    return range;
}

bool EvkCamera::aheadWanted() const {
    if (!streaming || producing || aheadNext >= nextImage + lookahead) return false;
    return std::any_of(slots.begin(), slots.end(), [](const Slot& s) { return s.state == SlotState::FREE; });
}

void EvkCamera::renderLoop() {
    std::unique_lock<std::mutex> lock(stateMutex);
    for (;;) {
        workerWake.wait(lock, [&] { return workerQuit || aheadWanted(); });
        if (workerQuit) return;
        Slot* slot = nullptr;
        for (Slot& s : slots) {
            if (s.state == SlotState::FREE) slot = &s;
        }
        slot->state = SlotState::RENDERING;
        slot->image = aheadNext++;
        slot->stream = streamCount;
        slot->mode = expectedMode(slot->image);
        producing = true;
        lock.unlock();
        source->produce(slot->image, slot->mode, slot->bytes.data());
        lock.lock();
        producing = false;
        slot->state = slot->stream == streamCount ? SlotState::RENDERED : SlotState::FREE;
        rendered.notify_all();
    }
}

EvkCamera::~EvkCamera() {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        workerQuit = true;
    }
    workerWake.notify_all();
    if (worker.joinable()) worker.join();
}

int EvkCamera::freeImage(const ZentroxImage& image) {
    std::lock_guard<std::mutex> lock(stateMutex);
    for (Slot& slot : slots) {
        if (image.buffer == &slot) {
            if (slot.state != SlotState::LENT || image.data != slot.bytes.data())
                return ZENTROX_EVK_INVALID_ARGUMENT;
            slot.state = SlotState::FREE;
            return ZENTROX_EVK_OK;
        }
    }
    return ZENTROX_EVK_INVALID_ARGUMENT;
}

int EvkCamera::stop() {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        streaming = false;
    }
    wake.notify_all();
    return ZENTROX_EVK_OK;
}

int EvkCamera::writeRegister(uint32_t reg, uint32_t value) {
    std::lock_guard<std::mutex> lock(stateMutex);
    for (size_t i = 0; i < 4; ++i) {
        if (reg != RANGE_REGISTERS[i]) continue;
        rangeRegisters[i] = value;
        // A complete table selects its frequency; a table part-way through being written keeps the
        // frequency in use.
        if (rangeRegisters == RANGE_2000_VALUES) range = RangeMode::RANGE_2000;
        if (rangeRegisters == RANGE_4000_VALUES) range = RangeMode::RANGE_4000;
    }
    return ZENTROX_EVK_OK;  // registers the emulation does not model are accepted and ignored
}

}  // namespace Zentrox
