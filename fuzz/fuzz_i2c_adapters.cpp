// The adapter list: /proc/bus/i2c lines, or else /proc/mounts, the sysfs class/i2c-dev entries,
// their name files (at any of the three places) and the functionality each probed bus answers,
// all taken from the input. The list must be well formed and released without leaks.
#include <fuzzer/FuzzedDataProvider.h>
#include <linux/i2c-dev.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "fuzz/FuzzKernel.h"
#include "sensor/csi/I2cAccess.h"

using namespace Zentrox;

namespace {

const char* const kMounts[] = {"/sys", "/sysfs", "/mnt/s y s", ""};

void describeSysfs(FuzzedDataProvider& input, Fuzz::FuzzKernel& fake, std::map<int, unsigned long>& funcs) {
    std::string mount = kMounts[input.ConsumeIntegralInRange<size_t>(0, 3)];
    std::string mounts = input.ConsumeBool() ? "proc /proc proc rw 0 0\n" : "";
    mounts += "sysfs " + (mount.empty() ? input.ConsumeRandomLengthString(40) : mount) + " " +
              (input.ConsumeBool() ? "SysFs" : input.ConsumeRandomLengthString(8)) + " rw 0 0\n";
    mounts += input.ConsumeRandomLengthString(80);
    fake.files["/proc/mounts"] = mounts;
    const std::string dir = mount + "/class/i2c-dev";
    std::vector<std::string>& entries = fake.directories[dir];
    entries = {".", ".."};
    const int count = input.ConsumeIntegralInRange<int>(0, 20);
    for (int k = 0; k < count; ++k) {
        std::string entry = input.ConsumeBool() ? "i2c-" + std::to_string(input.ConsumeIntegral<int16_t>())
                                                : input.ConsumeRandomLengthString(24);
        entries.push_back(entry);
        const std::string base = dir + "/" + entry;
        const std::string name = input.ConsumeRandomLengthString(150);
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:
                fake.files[base + "/name"] = name;
                break;
            case 1:
                fake.files[base + "/device/name"] = name;
                break;
            case 2: {
                std::string child = input.ConsumeBool() ? "i2c-" + input.ConsumeRandomLengthString(6)
                                                        : input.ConsumeRandomLengthString(10);
                fake.directories[base + "/device"] = {".", "..", child};
                fake.files[base + "/device/" + child + "/name"] = name;
                break;
            }
            default:
                break;  // no name file
        }
        int bus = 0;
        if (std::sscanf(entry.c_str(), "i2c-%d", &bus) == 1 && input.ConsumeBool()) {
            fake.nodes["/dev/i2c-" + std::to_string(bus)] = {};
            funcs[bus] = input.ConsumeIntegral<uint32_t>();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    Fuzz::FuzzKernel fake;
    std::map<int, unsigned long> funcs;
    const bool fromProc = input.ConsumeBool();
    std::string lookup = input.ConsumeRandomLengthString(40);
    if (fromProc)
        fake.files["/proc/bus/i2c"] = input.ConsumeRemainingBytesAsString();
    else
        describeSysfs(input, fake, funcs);
    fake.ioctlHandler = [&](const std::string& path, unsigned long request, void* arg) {
        int bus = 0;
        if (request != I2C_FUNCS || std::sscanf(path.c_str(), "/dev/i2c-%d", &bus) != 1 ||
            !funcs.count(bus)) {
            errno = ENOTTY;
            return -1;
        }
        *static_cast<unsigned long*>(arg) = funcs[bus];
        return 0;
    };

    ScopedKernel scope(fake);
    i2c_adapter_info* list = i2c_list_adapters();
    if (list == nullptr) __builtin_trap();  // memory does not run out here
    size_t n = 0;
    for (i2c_adapter_info* entry = list; entry->name; ++entry, ++n) {
        if (entry->funcs == nullptr || entry->algo == nullptr) __builtin_trap();
        // Every text is terminated: reading it whole must stay inside its allocation.
        volatile size_t lengths =
            std::strlen(entry->name) + std::strlen(entry->funcs) + std::strlen(entry->algo);
        (void)lengths;
    }
    if (list[n].funcs != nullptr || list[n].algo != nullptr || list[n].bus != 0) __builtin_trap();
    i2c_release_adapter_list(list);
    // A name lookup over the same adapters.
    const int bus = i2c_find_bus(lookup.c_str());
    if (bus > 0xFFFFF || bus < -4) __builtin_trap();
    fake.requireNoLeaks();
    return 0;
}
