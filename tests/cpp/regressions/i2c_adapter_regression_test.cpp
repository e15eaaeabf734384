// Adapter entries whose bus number reads as negative ("i2c--32768" in sysfs, "i2c--1" in
// /proc/bus/i2c) used to be listed, so a name lookup returned the negative number as if it were
// a bus, indistinguishable from an error code, and a second adapter of that name was not noticed.
#include <gtest/gtest.h>

#include <string>

#include "fuzz/FuzzKernel.h"
#include "sensor/csi/I2cAccess.h"

namespace Zentrox {
namespace {

struct Case {
    const char* what;
    bool fromProc;
    std::string content;  // /proc/bus/i2c, or the name written for every sysfs entry
    std::vector<std::string> entries;
    const char* lookup;
    int expected;
};

int lookUp(const Case& c) {
    Fuzz::FuzzKernel fake;
    if (c.fromProc) {
        fake.files["/proc/bus/i2c"] = c.content;
    } else {
        fake.files["/proc/mounts"] = "sysfs /sys sysfs rw 0 0\n";
        auto& list = fake.directories["/sys/class/i2c-dev"];
        list = {".", ".."};
        for (const std::string& e : c.entries) {
            list.push_back(e);
            fake.files["/sys/class/i2c-dev/" + e + "/name"] = c.content;
        }
    }
    ScopedKernel scope(fake);
    int bus = i2c_find_bus(c.lookup);
    fake.requireNoLeaks();
    return bus;
}

TEST(I2cAdapterRegression, NegativeBusNumbersAreNotAdapters) {
    const Case cases[] = {
        {"sysfs entry with a negative number", false, "\n", {"i2c--32768"}, "", -1},
        {"sysfs negative entry beside a real one", false, "cam\n", {"i2c-3", "i2c--3"}, "cam", 3},
        {"two real entries of one name", false, "cam\n", {"i2c-1", "i2c-2"}, "cam", -4},
        {"proc line with a negative number", true, "i2c--1\ti2c\tcam\tI2C adapter\n", {}, "cam", -1},
        {"proc negative line beside a real one",
         true,
         "i2c-7\ti2c\tcam\tI2C adapter\ni2c--7\ti2c\tcam\tI2C adapter\n",
         {},
         "cam",
         7},
        {"proc bus 0 twice", true, "i2c-0\ti2c\tcam\tx\ni2c-0\ti2c\tcam\tx\n", {}, "cam", -4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing::internal::CaptureStderr();
        EXPECT_EQ(lookUp(c), c.expected);
        testing::internal::GetCapturedStderr();
    }
}

TEST(I2cAdapterRegression, ListingHoldsNoNegativeBus) {
    Fuzz::FuzzKernel fake;
    fake.files["/proc/bus/i2c"] = "i2c--1\ti2c\ta\tI2C adapter\ni2c-2\ti2c\tb\tI2C adapter\n";
    ScopedKernel scope(fake);
    i2c_adapter_info* list = i2c_list_adapters();
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list[0].name, nullptr);
    EXPECT_EQ(list[0].bus, 2);
    EXPECT_STREQ(list[0].name, "b");
    EXPECT_EQ(list[1].name, nullptr);
    i2c_release_adapter_list(list);
}

}  // namespace
}  // namespace Zentrox
