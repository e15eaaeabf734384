// The transport of the USB evaluation kit. Every device operation goes through the kit SDK's C
// interface; the transport's own work is to open the kit (optionally from a configuration file or a
// recording), report its geometry, gather one camera frame from `subFrameCount` consecutive kit
// images, and normalise their samples to 12-bit values in 16-bit words.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "sensor/ZentroxTOFSensor.h"
#include "zentrox_evk_sdk.h"

namespace Zentrox {

class ZentroxTOFUSBSensor : public ZentroxTOFSensor {
  public:
    // `configPath`: a configuration file, or a recording when it ends in ".bin"; empty for none.
    // `index` names the kit for the caller; the kit SDK chooses the kit itself, so it is unused.
    ZentroxTOFUSBSensor(std::string configPath, int index);
    // Closes a kit that is still open.
    ~ZentroxTOFUSBSensor() override = default;

    int open(CameraInfo& info) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getCameraInfo() override { return info; }
    // 0 once every one of the `subFrameCount` slots holds an image of the same group; -1 when the
    // transport is not started, a capture fails or times out, an image has an unexpected size, or
    // the samples' bit width cannot be normalised. `timestamp` may be null.
    int getFrame(uint8_t* data, uint64_t* timestamp) override;
    // RANGE 2000 or 4000 writes the module's register table of that range: 0, or -1 when the kit
    // refuses a write (the last table applied is written again). Any other value, or any other
    // control, is refused with 1 and writes nothing.
    int setControl(CameraCtrl ctrl, int value) override;
    int getControl(CameraCtrl ctrl, int* value) override;

    // Whether the path names a recording: its last four characters are ".bin" (case-sensitive).
    static bool isRecordingPath(const std::string& path);

    static constexpr int32_t CAPTURE_TIMEOUT_MS = 2000;
    // Images further apart than this (ms) do not belong to the same camera frame.
    static constexpr uint64_t GROUP_GAP_MS = 6;

  private:
    // Owns the kit handle: closes it once, reads null afterwards; moves, never copies.
    class KitHandle {
      public:
        KitHandle() = default;
        ~KitHandle() { reset(); }
        KitHandle(const KitHandle&) = delete;
        KitHandle& operator=(const KitHandle&) = delete;
        KitHandle(KitHandle&& other) noexcept : handle(other.handle) { other.handle = nullptr; }
        KitHandle& operator=(KitHandle&& other) noexcept;
        ZentroxHandle get() const { return handle; }
        explicit operator bool() const { return handle != nullptr; }
        void reset(ZentroxHandle next = nullptr);

      private:
        ZentroxHandle handle = nullptr;
    };

    // Writes `samples` 12-bit samples from one kit image; false for a bit width it cannot normalise.
    bool normalise(const uint8_t* source, uint8_t* target, size_t samples) const;
    // Writes the four range registers of 2000 or 4000 mm; false at the first write the kit refuses.
    bool writeRangeTable(int range);

    KitHandle handle;
    ZentroxImage image{};
    CameraInfo info{};
    std::atomic<bool> started{false};
    int appliedRange = 0;  // the range whose table the kit took last; 0 for none since open
    std::string configPath;
};

}  // namespace Zentrox
