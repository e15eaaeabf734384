// A scripted stand-in for the kit SDK's C functions, linked into the transport's unit tests instead
// of a kit library: it records every call with its arguments and answers from a script, so that the
// tests see exactly what the transport asks of the SDK.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "zentrox_evk_sdk.h"

namespace Zentrox {
namespace ScriptedKit {

struct Call {
    std::string name;
    std::vector<uint64_t> args;  // integer arguments in order (handles and pointers as numbers)
};

struct ScriptedImage {
    uint64_t timestamp = 0;
    std::vector<uint8_t> data;
    int result = ZENTROX_EVK_OK;  // non-zero: the capture fails with it
    int64_t data_size = -1;       // the size reported, when not the data's own
};

// What ZentroxDefaultParam writes into the bytes it does not define: lets a test see whether a
// caller left them alone.
constexpr uint8_t DEFAULT_FILL = 0x5A;

struct Script {
    int openResult = ZENTROX_EVK_OK;
    int initResult = ZENTROX_EVK_OK;
    int startResult = ZENTROX_EVK_OK;
    ZentroxCameraConfig config{240, 180, 12, 4, 30, 0};
    std::deque<ScriptedImage> images;      // what the captures return; empty: time-out
    std::deque<int> registerWriteResults;  // what the next register writes return; empty: success

    // Observed.
    std::vector<Call> calls;
    ZentroxOpenParam openParam{};  // as passed to ZentroxOpenCamera
    std::string openPath;          // the string the path pointed to
    int openHandles = 0;
    int lentImages = 0;
    std::vector<std::pair<uint32_t, uint32_t>> registerWrites;  // every write asked for, failed ones too

    std::vector<std::string> names() const;
    int count(const std::string& name) const;
};

// The script in force; reset() starts a fresh one.
Script& script();
void reset();

// The handle the scripted kit opens.
ZentroxHandle handle();

}  // namespace ScriptedKit
}  // namespace Zentrox
