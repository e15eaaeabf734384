// One opened emulated kit: its configuration or recording, the image source, the stream state,
// the image buffers lent to the caller, the range registers and the injected faults.
//
// Thread safety: every operation may be called from any thread. `stateMutex` guards the state;
// captures are serialised by `captureMutex` and wait on `wake` without holding the state lock, so a
// register write or a stop from another thread goes through while a capture waits.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
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

    // Reads what `param` names (nothing, a configuration file or a recording). Reports why it cannot
    // be used on standard error and returns a ZENTROX_EVK_* code; null `camera` then.
    static int open(const ZentroxOpenParam& param, std::unique_ptr<EvkCamera>& camera);

    int init();
    int getConfig(ZentroxCameraConfig& config);
    int start();
    int capture(ZentroxImage& image, int32_t timeout_ms);
    int freeImage(const ZentroxImage& image);
    int stop();
    int writeRegister(uint32_t reg, uint32_t value);

  private:
    struct Slot {
        std::vector<uint8_t> bytes;
        bool lent = false;
    };
    using Clock = std::chrono::steady_clock;

    EvkCamera() = default;
    // Microseconds of the steady clock.
    static uint64_t nowMicros();
    // Waits until `when` (us of the steady clock) or the end of the stream; true if still streaming.
    bool waitUntil(std::unique_lock<std::mutex>& lock, uint64_t when);
    std::string describe() const;

    EvkConfig config;
    bool fromFile = false;
    std::string path;
    std::unique_ptr<Recording> pendingRecording;  // read at open, handed to the source at init
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
    RangeMode range = RangeMode::RANGE_4000;
    RangeMode frameRange = RangeMode::RANGE_4000;  // latched at each frame's first image
    std::array<uint32_t, 4> rangeRegisters{};
    std::array<Slot, BUFFER_COUNT> slots;
};

}  // namespace Zentrox
