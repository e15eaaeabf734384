// How fast the emulated kit produces frames when it is not paced (frame rate 0), straight through
// its C functions and through the USB transport, against a plain copy of the same bytes. Prints
// "name<TAB>value<TAB>unit" lines.
//
//   bench_evk [seconds per figure, default 1]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "sensor/usb/ZentroxTOFUSBSensor.h"
#include "zentrox_evk_sdk.h"

using namespace Zentrox;
using Clock = std::chrono::steady_clock;

namespace {

double seconds = 1.0;

template <typename Step>
double framesPerSecond(Step&& step) {
    const auto begin = Clock::now();
    long frames = 0;
    double elapsed = 0;
    do {
        for (int i = 0; i < 16; ++i)
            step();
        frames += 16;
        elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    } while (elapsed < seconds);
    return frames / elapsed;
}

std::string writeConfig(double noise) {
    char path[] = "/tmp/zentrox-bench-XXXXXX.json";
    const int fd = ::mkstemps(path, 5);
    if (fd < 0) return "";
    ::close(fd);
    std::ofstream(path) << "{\"frame_rate\": 0, \"noise\": " << noise << "}";
    return path;
}

void print(const char* name, double value, const char* unit) {
    std::printf("%s\t%.1f\t%s\n", name, value, unit);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) seconds = std::atof(argv[1]);
    constexpr size_t FRAME_BYTES = 4 * 240 * 180 * 2;
    std::vector<uint8_t> source(FRAME_BYTES, 1), target(FRAME_BYTES);
    const double copy = framesPerSecond([&] {
        std::memcpy(target.data(), source.data(), FRAME_BYTES);
        asm volatile("" : : "r"(target.data()) : "memory");
    });
    print("reference_copy_345600_bytes", copy, "frames/s");

    for (double noise : {0.0, 1.0}) {
        const std::string config = writeConfig(noise);
        const std::string tag = noise > 0 ? "noise" : "still";
        {
            ZentroxOpenParam param;
            ZentroxDefaultParam(&param);
            param.path = config.c_str();
            ZentroxHandle kit = nullptr;
            if (ZentroxOpenCamera(&kit, &param) != 0 || ZentroxInitCamera(kit) != 0 ||
                ZentroxStartCamera(kit) != 0) {
                std::fprintf(stderr, "bench_evk: the kit did not start\n");
                return 1;
            }
            const double rate = framesPerSecond([&] {
                for (int k = 0; k < 4; ++k) {
                    ZentroxImage image;
                    if (ZentroxCaptureImage(kit, &image, 2000) == 0) ZentroxFreeImage(kit, image);
                }
            });
            ZentroxCloseCamera(kit);
            print(("kit_" + tag + "_240x180x4").c_str(), rate, "frames/s");
            print(("kit_" + tag + "_ratio_to_copy").c_str(), rate / copy, "x");
        }
        {
            ZentroxTOFUSBSensor sensor(config, 0);
            CameraInfo info{};
            if (sensor.open(info) != 0 || (sensor.subFrameCount = 4, sensor.start()) != 0) {
                std::fprintf(stderr, "bench_evk: the transport did not start\n");
                return 1;
            }
            uint64_t timestamp = 0;
            long failed = 0;
            const double rate =
                framesPerSecond([&] { failed += sensor.getFrame(target.data(), &timestamp) != 0; });
            sensor.stop();
            sensor.close();
            print(("transport_" + tag + "_240x180x4").c_str(), rate, "frames/s");
            print(("transport_" + tag + "_ratio_to_copy").c_str(), rate / copy, "x");
            if (failed) print(("transport_" + tag + "_failed_frames").c_str(), double(failed), "frames");
        }
        ::unlink(config.c_str());
    }
    return 0;
}
