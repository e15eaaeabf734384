#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <cstring>
#include <string>
#include <vector>

#include "sensor/csi/I2cAccess.h"
#include "system/KernelSeam.h"
#include "system/Platform.h"
#include "system/Sleep.h"
#include "tests/fakes/FakeBoards.h"
#include "tests/fakes/FakeKernel.h"
#include "tests/fakes/StderrCapture.h"

using namespace Zentrox;

namespace {

struct Adapter {
    int bus;
    std::string name, funcs, algo;
    bool operator==(const Adapter& o) const {
        return bus == o.bus && name == o.name && funcs == o.funcs && algo == o.algo;
    }
};

std::ostream& operator<<(std::ostream& os, const Adapter& a) {
    return os << "{" << a.bus << ", " << a.name << ", " << a.funcs << ", " << a.algo << "}";
}

std::vector<Adapter> listed() {
    i2c_adapter_info* list = i2c_list_adapters();
    std::vector<Adapter> out;
    if (!list) return out;
    for (i2c_adapter_info* e = list; e->name; ++e)
        out.push_back({e->bus, e->name, e->funcs, e->algo});
    i2c_release_adapter_list(list);
    return out;
}

struct I2cRig {
    explicit I2cRig(int platform = Platform::RASPBERRY_PI, BoardOptions options = {})
        : board(kernel, platform, std::move(options)) {
        kernel.clearTrace();
    }
    size_t count(Sys call) const {
        size_t n = 0;
        for (auto& c : kernel.trace())
            n += c.call == call;
        return n;
    }
    FakeKernel kernel;
    ScopedKernel installed{kernel};
    FakeBoard board;
};

TEST(I2cExports, FiveUnmangledFunctionsAndNothingElse) {
    void* lib = dlopen(ZENTROX_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const char* name : {"i2c_open_i2c_dev", "i2c_get_functionality", "i2c_set_slave_addr",
                             "i2c_set_adapter_timeout", "i2c_set_adapter_retries"})
        EXPECT_NE(dlsym(lib, name), nullptr) << name;
    for (const char* name :
         {"i2c_find_bus", "i2c_list_adapters", "i2c_parse_chip_address", "_ZN7Zentrox12i2c_find_busEPKc"})
        EXPECT_EQ(dlsym(lib, name), nullptr) << name;
    // Called for real: a bus that cannot exist, quietly.
    using OpenFn = int (*)(int, char*, size_t, int);
    auto open = reinterpret_cast<OpenFn>(dlsym(lib, "i2c_open_i2c_dev"));
    ASSERT_NE(open, nullptr);
    char name[20];
    StderrCapture err;
    EXPECT_LT(open(999999, name, sizeof name, 1), 0);
    EXPECT_EQ(err.text(), "");
    EXPECT_STREQ(name, "/dev/i2c-999999");
    dlclose(lib);
}

TEST(I2cFindBus, NumbersAreTakenAsTheyStand) {
    const struct {
        const char* text;
        int bus;
        const char* message;
    } rows[] = {
        {"4", 4, ""},
        {"0x10", 16, ""},
        {"010", 8, ""},
        {"0", 0, ""},
        {"1048575", 1048575, ""},
        {"0xFFFFF", 0xFFFFF, ""},
        {"1048576", -2, "Error: I2C bus out of range!\n"},
        {"0x100000", -2, "Error: I2C bus out of range!\n"},
        {"-1", -2, "Error: I2C bus out of range!\n"},
    };
    for (const auto& row : rows) {
        I2cRig rig;
        StderrCapture err;
        EXPECT_EQ(i2c_find_bus(row.text), row.bus) << row.text;
        EXPECT_EQ(err.text(), row.message) << row.text;
        EXPECT_EQ(rig.count(Sys::READ_FILE) + rig.count(Sys::LIST_DIRECTORY), 0u)
            << "no adapter list for " << row.text;
    }
}

TEST(I2cFindBus, NamesAreLookedUpInTheAdapterList) {
    const struct {
        const char* text;
        int bus;
        const char* message;
    } rows[] = {
        {"i2c-22-mux (chan_id 1)", 10, ""},
        {"Fake SMBus adapter", 1, ""},
        {"", -1, "Error: I2C bus name doesn't match any bus present!\n"},
        {"4 ", -1, "Error: I2C bus name doesn't match any bus present!\n"},
        {"i2c-22-mux", -1, "Error: I2C bus name doesn't match any bus present!\n"},
        {"Twin", -4, "Error: I2C bus name is not unique!\n"},
    };
    for (const auto& row : rows) {
        I2cRig rig;
        rig.board.addAdapter(30, "Twin", I2C_FUNC_I2C, "platform/a");
        rig.board.addAdapter(31, "Twin", I2C_FUNC_I2C, "platform/b");
        rig.kernel.clearTrace();
        StderrCapture err;
        EXPECT_EQ(i2c_find_bus(row.text), row.bus) << row.text;
        EXPECT_EQ(err.text(), row.message) << row.text;
        EXPECT_EQ(rig.kernel.openDescriptors(), 0) << "probe descriptors closed";
    }
}

TEST(I2cListAdapters, LegacyProcFileIsUsedAloneWhenPresent) {
    BoardOptions o;
    o.legacyProcBusI2c = true;
    I2cRig rig(Platform::RASPBERRY_PI, o);
    auto adapters = listed();
    EXPECT_EQ(adapters, (std::vector<Adapter>{{1, "Fake SMBus adapter", "smbus", "SMBus adapter"},
                                              {10, "i2c-22-mux (chan_id 1)", "i2c", "I2C adapter"},
                                              {20, "Fake DDC adapter", "i2c", "I2C adapter"}}));
    EXPECT_EQ(rig.count(Sys::LIST_DIRECTORY), 0u);
    EXPECT_EQ(rig.count(Sys::OPEN), 0u);
}

TEST(I2cListAdapters, LegacyProcFileFieldsAreTakenFromTheRight) {
    I2cRig rig;
    rig.kernel.addFile("/proc/bus/i2c",
                       "i2c-0\tsmbus     \tSMBus I801 adapter at e800\tNon-I2C SMBus adapter  \n"
                       "no tabs on this line\n"
                       "i2c-3\ti2c\tname\twith\ttabs\tBit-shift algorithm\n"
                       "bus-7\ti2c\tnot a bus\talgo\n"
                       "i2c-12\tisa\tISA main adapter\tISA bus algorithm");
    EXPECT_EQ(listed(),
              (std::vector<Adapter>{{0, "SMBus I801 adapter at e800", "smbus", "Non-I2C SMBus adapter"},
                                    {3, "tabs", "with", "Bit-shift algorithm"},
                                    {12, "ISA main adapter", "isa", "ISA bus algorithm"}}));
}

TEST(I2cListAdapters, SysfsGivesTheKindOfEachAdapter) {
    I2cRig rig(Platform::JETSON);
    rig.board.addAdapter(2, "ISA main adapter", I2C_FUNC_I2C, "platform/isa");
    rig.board.addAdapter(3, "Quiet adapter", 0, "platform/quiet");
    rig.board.addAdapter(4, "Gone adapter", I2C_FUNC_I2C, "platform/gone");
    rig.kernel.remove("/dev/i2c-4");
    rig.board.addAdapter(5, "Mute adapter", I2C_FUNC_I2C, "platform/mute");
    rig.kernel.inject(Fault{Sys::IOCTL, I2C_FUNCS, "/dev/i2c-5", EIO, 0, -1});
    rig.kernel.clearTrace();
    auto adapters = listed();
    EXPECT_EQ(adapters, (std::vector<Adapter>{{1, "Fake SMBus adapter", "smbus", "SMBus adapter"},
                                              {9, "i2c-2-mux (chan_id 0)", "i2c", "I2C adapter"},
                                              {19, "Fake DDC adapter", "i2c", "I2C adapter"},
                                              {2, "ISA main adapter", "isa", "ISA bus"},
                                              {3, "Quiet adapter", "dummy", "Dummy bus"},
                                              {4, "Gone adapter", "unknown", "N/A"},
                                              {5, "Mute adapter", "unknown", "N/A"}}));
    EXPECT_EQ(rig.kernel.openDescriptors(), 0);
    // The ISA adapter is not probed.
    for (auto& c : rig.kernel.trace())
        EXPECT_NE(c.path, "/dev/i2c-2");
}

TEST(I2cListAdapters, NameFilesAreFoundByTheFallbacks) {
    BoardOptions o;
    o.classNameFiles = false;  // only the adapter's own name file, reached through device/
    I2cRig rig(Platform::RASPBERRY_PI, o);
    // An entry whose device has no name of its own but an i2c-* child that has one.
    rig.kernel.addDevice("/dev/i2c-7", std::make_shared<FakeI2cAdapter>(makedev(89, 7), I2C_FUNC_I2C));
    rig.kernel.addFile("/sys/devices/platform/odd/i2c-dev/i2c-7/dev", "89:7\n");
    rig.kernel.addLink("/sys/devices/platform/odd/i2c-dev/i2c-7/device", "../../../odd");
    rig.kernel.addFile("/sys/devices/platform/odd/power/control", "auto\n");
    rig.kernel.addFile("/sys/devices/platform/odd/i2c-7/name", "Odd adapter\n");
    rig.kernel.addLink("/sys/class/i2c-dev/i2c-7", "../../devices/platform/odd/i2c-dev/i2c-7");
    // An entry that is no bus and one without any name file.
    rig.kernel.addFile("/sys/class/i2c-dev/junk/name", "junk\n");
    rig.kernel.addDirectory("/sys/class/i2c-dev/i2c-8");
    auto adapters = listed();
    ASSERT_EQ(adapters.size(), 4u);
    EXPECT_EQ(adapters[1], (Adapter{10, "i2c-22-mux (chan_id 1)", "i2c", "I2C adapter"}));
    EXPECT_EQ(adapters[3], (Adapter{7, "Odd adapter", "i2c", "I2C adapter"}));
}

TEST(I2cListAdapters, UnreadableNameFileIsReportedAndSkipped) {
    I2cRig rig;
    rig.kernel.inject(Fault{Sys::READ_FILE, 0, "/sys/class/i2c-dev/i2c-10/name", EIO, 0, 1});
    rig.kernel.addFile("/sys/devices/platform/ddc/i2c-20/i2c-dev/i2c-20/name", "");
    StderrCapture err;
    auto adapters = listed();
    EXPECT_EQ(err.text(),
              "/sys/class/i2c-dev/i2c-10/name: read error\n/sys/class/i2c-dev/i2c-20/name: read error\n");
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_EQ(adapters[0].bus, 1);
}

TEST(I2cListAdapters, SysfsIsFoundThroughProcMounts) {
    const struct {
        const char* mounts;
        size_t adapters;
    } rows[] = {
        {"proc /proc proc rw 0 0\n", 0},
        {"", 0},
        {"none /sys SysFs rw 0 0\n", 3},
        {"proc /proc proc rw 0 0\nsysfs /mnt/elsewhere sysfs rw 0 0\nsysfs /sys sysfs rw 0 0\n", 0},
    };
    for (const auto& row : rows) {
        I2cRig rig;
        rig.kernel.addFile("/proc/mounts", row.mounts);
        EXPECT_EQ(listed().size(), row.adapters) << row.mounts;
    }
    I2cRig rig;
    rig.kernel.remove("/proc/mounts");
    EXPECT_TRUE(listed().empty());
    i2c_adapter_info* list = i2c_list_adapters();
    ASSERT_NE(list, nullptr);  // an empty list, not a failure
    EXPECT_EQ(list[0].name, nullptr);
    i2c_release_adapter_list(list);
}

TEST(I2cListAdapters, ListGrowsPastEachMultipleOfEight) {
    for (int extra : {4, 5, 13, 21}) {
        I2cRig rig;
        for (int i = 0; i < extra; ++i)
            rig.board.addAdapter(40 + i, "Adapter " + std::to_string(i), I2C_FUNC_I2C, "platform/many");
        auto adapters = listed();
        ASSERT_EQ(adapters.size(), size_t(3 + extra));
        EXPECT_EQ(adapters.back().name, "Adapter " + std::to_string(extra - 1));
    }
}

TEST(I2cChipAddress, ParsedAndChecked) {
    const struct {
        const char* text;
        int result;
        const char* message;
    } rows[] = {
        {"0x0c", 0x0c, ""},
        {"12", 12, ""},
        {"0x03", 3, ""},
        {"0x77", 0x77, ""},
        {"014", 12, ""},
        {"0x02", -2, "Error: Chip address out of range (0x03-0x77)!\n"},
        {"0x78", -2, "Error: Chip address out of range (0x03-0x77)!\n"},
        {"-5", -2, "Error: Chip address out of range (0x03-0x77)!\n"},
        {"", -2, "Error: Chip address out of range (0x03-0x77)!\n"},
        {"0x0g", -1, "Error: Chip address is not a number!\n"},
        {"12 ", -1, "Error: Chip address is not a number!\n"},
        {"chip", -1, "Error: Chip address is not a number!\n"},
    };
    for (const auto& row : rows) {
        StderrCapture err;
        EXPECT_EQ(i2c_parse_chip_address(row.text), row.result) << row.text;
        EXPECT_EQ(err.text(), row.message) << row.text;
    }
}

TEST(I2cOpen, MessagesByError) {
    const struct {
        int bus;
        int error;  // 0: the node exists
        int quiet;
        const char* message;
    } rows[] = {
        {10, 0, 0, ""},
        {7, ENOENT, 0, "Error: Could not open file `/dev/i2c-7': No such file or directory\n"},
        {7, ENOENT, 1, ""},
        {10, EACCES, 0, "Error: Could not open file `/dev/i2c-10': Permission denied\nRun as root?\n"},
        {10, EBUSY, 0, "Error: Could not open file `/dev/i2c-10': Device or resource busy\n"},
        {10, EACCES, 1, ""},
    };
    for (const auto& row : rows) {
        I2cRig rig;
        if (row.error && row.error != ENOENT)
            rig.kernel.inject(Fault{Sys::OPEN, 0, "/dev/i2c-10", row.error, 0, 1});
        char name[20] = {};
        StderrCapture err;
        int fd = i2c_open_i2c_dev(row.bus, name, sizeof name, row.quiet);
        EXPECT_EQ(err.text(), row.message);
        EXPECT_EQ(name, "/dev/i2c-" + std::to_string(row.bus));
        if (row.error) {
            EXPECT_LT(fd, 0);
            EXPECT_EQ(errno, row.error);
        } else {
            EXPECT_GE(fd, 0);
            rig.kernel.close(fd);
        }
    }
    // The name is cut to the room given.
    I2cRig rig;
    char small[8];
    StderrCapture err;
    EXPECT_LT(i2c_open_i2c_dev(10, small, sizeof small, 0), 0);
    EXPECT_STREQ(small, "/dev/i2");
    EXPECT_EQ(err.text(), "Error: Could not open file `/dev/i2c-10': No such file or directory\n");
}

class I2cUtilities : public testing::Test {
  protected:
    void SetUp() override {
        fd = i2c_open_i2c_dev(10, name, sizeof name, 0);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override { rig.kernel.close(fd); }
    I2cRig rig;
    char name[20];
    int fd = -1;
};

TEST_F(I2cUtilities, Functionality) {
    unsigned long funcs = 0;
    EXPECT_EQ(i2c_get_functionality(fd, &funcs), 0);
    EXPECT_EQ(funcs, rig.board.i2c->functionality());
    rig.kernel.inject(Fault{Sys::IOCTL, I2C_FUNCS, "", EIO, 0, 1});
    StderrCapture err;
    EXPECT_EQ(i2c_get_functionality(fd, &funcs), -EIO);
    EXPECT_EQ(err.text(), "Error: Could not get adapter functionality: Input/output error\n");
}

TEST_F(I2cUtilities, SlaveAddress) {
    StderrCapture err;
    EXPECT_EQ(i2c_set_slave_addr(fd, 0x0c, 0), -EBUSY);  // the module's driver holds it
    EXPECT_EQ(i2c_set_slave_addr(fd, 0x0c, 1), 0);
    EXPECT_EQ(i2c_set_slave_addr(fd, 0x50, 0), 0);
    EXPECT_EQ(i2c_set_slave_addr(fd, 0x80, 1), -EINVAL);
    EXPECT_EQ(err.text(),
              "Error: Could not set address to 0x0c: Device or resource busy\n"
              "Error: Could not set address to 0x80: Invalid argument\n");
}

TEST_F(I2cUtilities, TimeoutAndRetriesSubstituteTheirDefaultsForZero) {
    EXPECT_EQ(i2c_set_adapter_timeout(fd, 0), 0);
    EXPECT_EQ(rig.board.i2c->timeout(), 3u);
    EXPECT_EQ(i2c_set_adapter_timeout(fd, 25), 0);
    EXPECT_EQ(rig.board.i2c->timeout(), 25u);
    EXPECT_EQ(i2c_set_adapter_retries(fd, 0), 0);
    EXPECT_EQ(rig.board.i2c->retries(), 2u);
    EXPECT_EQ(i2c_set_adapter_retries(fd, 5), 0);
    EXPECT_EQ(rig.board.i2c->retries(), 5u);
    StderrCapture err;
    rig.kernel.inject(Fault{Sys::IOCTL, I2C_TIMEOUT, "", EIO, 0, 1});
    EXPECT_EQ(i2c_set_adapter_timeout(fd, 0), -EIO);
    EXPECT_EQ(i2c_set_adapter_timeout(fd, -1), -EINVAL);
    rig.kernel.inject(Fault{Sys::IOCTL, I2C_RETRIES, "", EIO, 0, 1});
    EXPECT_EQ(i2c_set_adapter_retries(fd, 0), -EIO);
    EXPECT_EQ(i2c_set_adapter_retries(fd, -7), -EINVAL);
    EXPECT_EQ(err.text(),
              "Error: Could not set timeout to 0: Input/output error\n"
              "Error: Could not set timeout to -1: Invalid argument\n"
              "Error: Could not set retries to 0: Input/output error\n"
              "Error: Could not set retries to -7: Invalid argument\n");
}

TEST_F(I2cUtilities, ModuleCommandsAreSingleTransfersToTheController) {
    rig.board.i2c->clearLog();
    EXPECT_EQ(ModuleCommand::setFrameRate(fd, 0x0c, 30), 0);
    EXPECT_EQ(ModuleCommand::requestDataBlock(fd, 0x0c, 592), 0);
    uint8_t block[512];
    EXPECT_EQ(ModuleCommand::readDataBlock(fd, 0x0c, block), -2) << "the block is not ready before 100 ms";
    sleepFully(timespec{0, 100000000});
    EXPECT_EQ(ModuleCommand::readDataBlock(fd, 0x0c, block), 0);
    EXPECT_EQ(ModuleCommand::setFrameRate(fd, 0x0d, 30), -2) << "nobody answers at 0x0d";
    EXPECT_EQ(ModuleCommand::setFrameRate(-1, 0x0c, 30), -2);
    const auto& log = rig.board.i2c->transfers();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0][0].bytes, (std::vector<uint8_t>{0x06, 0x33, 0x00, 0x00, 0x00, 0x1E}));
    EXPECT_EQ(log[1][0].bytes, (std::vector<uint8_t>{0x06, 0x31, 0x02, 0x50, 0x02, 0x00}));
    EXPECT_EQ(rig.board.controller->earlyReads(), 1);
}

}  // namespace
