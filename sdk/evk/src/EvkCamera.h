// One opened emulated kit: its configuration or recording, the image source, the stream state,
// the image buffers lent to the caller, the range registers and the injected faults.
//
// Thread safety: every operation may be called from any thread. `stateMutex` guards the state;
// captures are serialised by `captureMutex` and wait on `wake` without holding the state lock, so a
// register write or a stop from another thread goes through while a capture waits.
//
// Like a camera that fills its buffers while the host works on earlier images, a kit whose images
// cost real work (noise, the VGA module) renders the next images ahead on a worker thread of its own,
// so that producing them overlaps the caller's work instead of adding to it. An image rendered ahead
// serves only as exactly the image a capture takes (same stream, index and modulation frequency);
// otherwise it is dropped and that capture renders its image itself. One image is rendered at a time.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EvkConfig.h"
#include "ImageSource.h"
#include "zentrox_evk_sdk.h"

namespace Zentrox {

class EvkCamera {
  public:
    static constexpr size_t BUFFER_COUNT = 8;
    // Frames a kit holds for a caller that reads late; beyond that it drops them.
    static constexpr uint64_t BUFFERED_FRAMES = 4;
    // After a lost or short image the kit drops the rest of that frame, as a module does, and begins
    // the next frame at its first image no sooner than this after the faulty one: at every frame
    // rate, a host that groups images by their spacing finds the frame boundary again.
    static constexpr uint64_t RESYNC_PAUSE_MICROS = 10000;

    // Reads what `param` names (nothing, a configuration file or a recording) and prepares its
    // images. Reports why it cannot be used on standard error and returns a ZENTROX_EVK_* code; null
    // `camera` then.
    static int open(const ZentroxOpenParam& param, std::unique_ptr<EvkCamera>& camera);

    int init();
    int getConfig(ZentroxCameraConfig& config);
    int start();
    int capture(ZentroxImage& image, int32_t timeout_ms);
    int freeImage(const ZentroxImage& image);
    int stop();
    int writeRegister(uint32_t reg, uint32_t value);
    ~EvkCamera();

  private:
    enum class SlotState { FREE, LENT, RENDERING, RENDERED };
    struct Slot {
        std::vector<uint8_t> bytes;
        SlotState state = SlotState::FREE;
        uint64_t image = 0;   // RENDERING, RENDERED: the index of the image in it
        uint64_t stream = 0;  // ... and the stream it was rendered for
        RangeMode mode = RangeMode::RANGE_4000;
    };
    using Clock = std::chrono::steady_clock;

    EvkCamera() = default;
    // Microseconds of the steady clock.
    static uint64_t nowMicros();
    // Waits until `when` (us of the steady clock) or the end of the stream; true if still streaming.
    bool waitUntil(std::unique_lock<std::mutex>& lock, uint64_t when);
    std::string describe() const;
    // With the state lock held: whether the worker has an image to render ahead, and the modulation
    // an image will be captured with as far as the registers tell now.
    bool aheadWanted() const;
    RangeMode expectedMode(uint64_t n) const;
    // With the state lock held, after image n (due at `due`) was lost or sent short.
    void dropRestOfFrame(uint64_t n, uint64_t due);
    void renderLoop();

    EvkConfig config;
    bool fromFile = false;
    std::string path;
    std::unique_ptr<ImageSource> source;

    std::mutex captureMutex;
    std::mutex stateMutex;
    std::condition_variable wake;
    bool initialised = false;
    bool streaming = false;
    uint64_t streamStart = 0;  // us of the steady clock from which the source's schedule counts
    uint64_t lastDue = 0;      // us of the steady clock of the last image taken
    uint64_t nextImage = 0;
    uint64_t attempts = 0;  // images due since start, for the injected faults
    uint64_t resumeAt = 0;  // us of the steady clock before which no frame begins (after a fault)
    RangeMode range = RangeMode::RANGE_4000;
    RangeMode frameRange = RangeMode::RANGE_4000;  // latched at each frame's first image
    std::array<uint32_t, 4> rangeRegisters{};
    std::array<Slot, BUFFER_COUNT> slots;

    // Rendering ahead: the worker starts with the first stream of a kit whose images are costly.
    bool renderAhead = false;
    uint64_t lookahead = 0;  // images rendered ahead of the next capture at most
    uint64_t streamCount = 0;
    uint64_t aheadNext = 0;  // the next image the worker renders
    bool producing = false;  // an image is being rendered, by the worker or a capture
    std::thread worker;
    std::condition_variable workerWake;  // work for the worker, or its end
    std::condition_variable rendered;    // a rendering finished
    bool workerQuit = false;
};

}  // namespace Zentrox
