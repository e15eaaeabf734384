// The three default configuration files: their exact bytes, rebuilt here from the parameter tables
// rather than copied, and how writeDefaultConfigFiles replaces and fails.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "device/DefaultConfigFiles.h"
#include "tests/fakes/BoundedCall.h"
#include "tests/fakes/TempWorkDir.h"

using namespace Zentrox;

namespace {

std::string joinLines(const std::vector<std::string>& lines, const char* separator = "\n") {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) text += separator;
        text += lines[i];
    }
    return text;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

std::string algorithmFromTables() {
    std::vector<std::string> lines = {"[DenoisingParams]"};
    for (const char* key : {"TDenoiseLevel_Depth=3", "SDenoiseLevel_Depth=3", "TDenoiseMethod_Depth=1",
                            "SDenoiseMethod_Depth=1", "TDenoiseLevel_Gray=1", "SDenoiseLevel_Gray=1",
                            "TDenoiseMethod_Gray=1", "SDenoiseMethod_Gray=1"})
        lines.push_back(key);
    lines.insert(lines.end(), {"", "[RepairParams]", "ERDOLvl=3", "", "[ConfidenceParams]", "ValidDistMin=0",
                               "ValidDistMax=7000"});
    return joinLines(lines) + "\n";
}

// Keys whose value differs between the seven work-mode sections.
const std::map<std::string, std::vector<int>> kDiffering = {
    {"WorkMode", {0, 0, 1, 1, 8, 7, 0}},
    {"SubWorkMode", {1, 2, 10, 11, 19, 18, 8}},
    {"SubFrameModes0", {0, 5, 0, 5, 4, 4, 4}},
    {"SubFrameModes1", {0, 0, 0, 5, 0, 0, 4}},
    {"SubFrameModes2", {0, 0, 0, 0, 0, 0, 4}},
    {"SpecialFrameModes0", {0, 1, 0, 1, 1, 2, 2}},
    {"SpecialFrameModes1", {0, 0, 0, 2, 0, 0, 1}},
    {"SpecialFrameModes2", {0, 0, 0, 0, 0, 0, 2}},
    {"Frame0_1To4IntTime", {1000000, 1000000, 1000000, 1000000, 0, 0, 0}},
    {"Frame0_SpecialIntTime", {0, 1000000, 0, 1000000, 1000000, 1000000, 1000000}},
    {"Frame1_1To4IntTime", {0, 0, 1000000, 1000000, 0, 0, 0}},
    {"Frame1_SpecialIntTime", {0, 0, 0, 1000000, 0, 0, 1000000}},
    {"Frame2_SpecialIntTime", {0, 0, 0, 0, 0, 0, 1000000}},
    {"Frame3_1To4IntTime", {0, 0, 0, 0, 0, 0, 1000000}},
    {"Frame0_1To4PhaseDiv", {4, 4, 4, 4, 2, 2, 2}},
    {"Frame1_1To4PhaseDiv", {2, 2, 24, 24, 2, 2, 2}},
    {"Frame3_1To4PhaseDiv", {2, 2, 2, 2, 2, 2, 4}},
    {"NumSubFramePerFrame1", {0, 0, 1, 1, 0, 0, 1}},
    {"NumSubFramePerFrame2", {0, 0, 0, 0, 0, 0, 1}},
    {"NumSubFramePerFrame3", {0, 0, 0, 0, 0, 0, 1}},
    {"MIPI_FS_FE_Pos", {0, 0, 0, 0, 0, 0, 3}},
};

std::map<std::string, std::string> commonValues() {
    std::map<std::string, std::string> values;
    for (const std::string& pair :
         words("SubFrameModes3=0 SpecialFrameModes3=0 SpecBgMode=0 FrameSeqSchedule0=0 FrameSeqSchedule1=1 "
               "FrameSeqSchedule2=2 FrameSeqSchedule3=3 Frame0_5To8IntTime=0 Frame1_5To8IntTime=0 "
               "Frame2_1To4IntTime=0 Frame2_5To8IntTime=0 Frame3_5To8IntTime=0 Frame3_SpecialIntTime=0 "
               "Frame0_5To8PhaseDiv=2 Frame0_SpecialPhaseDiv=24 Frame1_5To8PhaseDiv=2 "
               "Frame1_SpecialPhaseDiv=24 "
               "Frame2_1To4PhaseDiv=2 Frame2_5To8PhaseDiv=2 Frame2_SpecialPhaseDiv=24 Frame3_5To8PhaseDiv=2 "
               "Frame3_SpecialPhaseDiv=24 NumSubFramePerFrame0=1 MirrorMode=0 PhaseMode=0 EnableLedMod=1 "
               "SeqNumPerDepthMap=1 SeqRepeatMode=1 TriggerMode=1 SlaveTrigOnPosLevel=0 TSensorMode=1 "
               "performClkChanges=0")) {
        size_t eq = pair.find('=');
        values[pair.substr(0, eq)] = pair.substr(eq + 1);
    }
    return values;
}

// The brace lists of the six comment lines, per section, in comment order.
const char* const kBraces[7][6] = {
    {"{0,0,0,0}", "{0,0,0,0}", "{0,1,2,3}", "{{1000000,0,0},{0,0,0},{0,0,0},{0,0,0}}",
     "{{4,2,24},{2,2,24},{2,2,24},{2,2,24}}", "{1,0,0,0}"},
    {"{5,0,0,0}", "{1,0,0,0}", "{0,1,2,3}", "{{1000000,0,1000000},{0,0,0},{0,0,0},{0,0,0}}",
     "{{4,2,24},{2,2,24},{2,2,24},{2,2,24}}", "{1,0,0,0}"},
    {"{0,0,0,0}", "{0,0,0,0}", "{0,1,2,3}", "{{1000000,0,0},{1000000,0,0},{0,0,0},{0,0,0}}",
     "{{5,2,24},{2,2,24},{2,2,24},{2,2,24}}", "{1,1,0,0}"},
    {"{5,5,0,0}", "{1,2,0,0}", "{0,1,2,3}", "{{1000000,0,1000000},{1000000,0,1000000},{0,0,0},{0,0,0}}",
     "{{4,2,24},{24,2,24},{2,2,24},{2,2,24}}", "{1,1,0,0}"},
    {"{4,0,0,0}", "{0,0,0,0}", "{0,1,2,3}", "{{0,0,1000000},{0,0,0},{0,0,0},{0,0,0}}",
     "{{2,2,24},{2,2,24},{2,2,24},{2,2,24}}", "{1,0,0,0}"},
    {"{4,0,0,0}", "{0,0,0,0}", "{0,1,2,3}", "{{0,0,1000000},{0,0,0},{0,0,0},{0,0,0}}",
     "{{2,2,24},{2,2,24},{2,2,24},{2,2,24}}", "{1,0,0,0}"},
    {"{4,4,4,0}", "{0,0,0,0}", "{0,1,2,3}", "{{0,0,1000000},{0,0,1000000},{0,0,1000000},{1000000,0,0}}",
     "{{2,2,24},{2,2,24},{2,2,24},{2,2,24}}", "{1,0,0,0}"},
};

std::string cameraFromTables() {
    const char* headers[7] = {
        "Signle-4PHASE", "Signle-4PHASE_GRAY", "Double-4PHASE_4PHASE",    "Double-4PHASE_GRAY_4PHASE_BG",
        "Gray-Only",     "BGOUTDOOR",          "Signal-BG-GRAY-BG-4PHASE"};
    const std::map<std::string, std::string> common = commonValues();
    std::vector<std::string> sections = {
        "[VideoInfo]\nsensorType=TOF\nsensorPath=/dev/v4l-subdev2\nispPath=/dev/video11\n"
        "subIspPath=/dev/v4l-subdev3"};
    for (int s = 0; s < 7; ++s) {
        auto line = [&](const std::string& key) {
            auto d = kDiffering.find(key);
            return key + "=" + (d != kDiffering.end() ? std::to_string(d->second[s]) : common.at(key));
        };
        std::vector<std::string> lines = {std::string("[") + headers[s] + "]", line("WorkMode"),
                                          line("SubWorkMode")};
        lines.push_back(std::string("//SubFrameModes0=") + kBraces[s][0]);
        for (int i = 0; i < 4; ++i)
            lines.push_back(line("SubFrameModes" + std::to_string(i)));
        lines.push_back(std::string("//SpecialFrameModes=") + kBraces[s][1]);
        for (int i = 0; i < 4; ++i)
            lines.push_back(line("SpecialFrameModes" + std::to_string(i)));
        lines.push_back(line("SpecBgMode"));
        lines.push_back(std::string("//FrameSeqSchedule=") + kBraces[s][2]);
        for (int i = 0; i < 4; ++i)
            lines.push_back(line("FrameSeqSchedule" + std::to_string(i)));
        lines.push_back(std::string("//IntegrationTimes=") + kBraces[s][3]);
        for (int f = 0; f < 4; ++f)
            for (const char* k : {"_1To4IntTime", "_5To8IntTime", "_SpecialIntTime"})
                lines.push_back(line("Frame" + std::to_string(f) + k));
        lines.push_back(std::string("//PLLDLLDivs=") + kBraces[s][4]);
        for (int f = 0; f < 4; ++f)
            for (const char* k : {"_1To4PhaseDiv", "_5To8PhaseDiv", "_SpecialPhaseDiv"})
                lines.push_back(line("Frame" + std::to_string(f) + k));
        lines.push_back(std::string("//NumSubFramePerFrame=") + kBraces[s][5]);
        for (int i = 0; i < 4; ++i)
            lines.push_back(line("NumSubFramePerFrame" + std::to_string(i)));
        for (const std::string& k :
             words("MirrorMode PhaseMode EnableLedMod SeqNumPerDepthMap MIPI_FS_FE_Pos "
                   "SeqRepeatMode TriggerMode SlaveTrigOnPosLevel TSensorMode "
                   "performClkChanges"))
            lines.push_back(line(k));
        EXPECT_EQ(lines.size(), 60u) << headers[s];
        sections.push_back(joinLines(lines));
    }
    return joinLines(sections, "\n\n");
}

std::string registersFromTables() {
    const std::string first =
        "0x0C28=0x00000000 0x0C02=0x00011410 0x0224=0x00000001 0x0C07=0x0800108A 0x0C20=0x14000000 "
        "0x0432=0x0d6649A6 0x0721=0x0000000F 0x072B=0x13271313 0x0C01=0x00000053 0x0C04=0x00000002 "
        "0x0437=0x04285602 0x0408=0x80000255 0x0AB4=0x00000303 0x0435=0x0000007f 0x0C06=0x00641203 "
        "0x0482=0x08384100 0x0487=0x08384100 0x048C=0x08384100 0x0491=0x08384100 0x0402=0x01600A00 "
        "0x0475=0x00000064 0x0476=0x000003E8 0x0434=0x11190720 0x0429=0x00989680";
    const std::string second =
        "0x0722=0x00072020 0x0725=0x00202003 0x0708=0x10130002 0x0709=0x01940201 0x070a=0x01019201 "
        "0x070b=0x9a0101a4 0x070c=0x019b0101 0x070D=0x00009c01";
    const std::string driver =
        "0x00=0x10 0x01=0x7a 0x02=0xca 0x03=0x22 0x04=0x14 0x05=0x42 0x06=0x9a 0x07=0x42 0x08=0xca 0x09=0x07 "
        "0x0a=0x06 0x0b=0xd5 0x0c=0x28 0x0d=0x90 0x0e=0xd0 0x0F=0xd3 0x10=0x0c 0x11=0x00 0x12=0x01 0x13=0x11 "
        "0x23=0x04 0x24=0xE0 0x25=0x00 0x26=0x0a 0x27=0x01 0x28=0x00 0x29=0x05 0x2b=0xf1 0x2c=0xc8 0x2d=0x03 "
        "0x2e=0x01 0x2f=0xe0 0x30=0xff 0x31=0x00 0x32=0x00";
    EXPECT_EQ(words(first).size(), 24u);
    EXPECT_EQ(words(second).size(), 8u);
    EXPECT_EQ(words(driver).size(), 35u);
    return "[SENSOR]\n" + joinLines(words(first)) + "\n\n" + joinLines(words(second)) + "\n\n[VDRIVER]\n" +
           joinLines(words(driver));
}

// FNV-1a, 64 bits: a digest of the expected bytes that is independent of how the file was written.
uint64_t digest(std::string_view bytes) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : bytes)
        h = (h ^ c) * 1099511628211ull;
    return h;
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

struct FileCase {
    const char* name;
    std::string_view constant;
    std::string expected;
    size_t size;
    bool ends_with_line_feed;
};

std::vector<FileCase> fileCases() {
    return {{"ConfigAlgorithm.json", kConfigAlgorithmText, algorithmFromTables(), 273, true},
            {"ConfigCamera.json", kConfigCameraText, cameraFromTables(), 9476, false},
            {"register.json", kRegisterText, registersFromTables(), 946, false}};
}

}  // namespace

TEST(DefaultConfigTexts, MatchTheParameterTablesByteForByte) {
    for (const FileCase& c : fileCases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected.size(), c.size);
        EXPECT_EQ(c.constant.size(), c.size);
        EXPECT_EQ(digest(c.constant), digest(c.expected));
        // On a mismatch, name the first differing line rather than dumping 9 kB.
        std::vector<std::string> got = splitLines(c.constant), want = splitLines(c.expected);
        for (size_t i = 0; i < std::min(got.size(), want.size()); ++i)
            ASSERT_EQ(got[i], want[i]) << "line " << i + 1;
        EXPECT_EQ(got.size(), want.size());
        EXPECT_EQ(c.constant.back() == '\n', c.ends_with_line_feed);
        EXPECT_EQ(c.constant.find('\r'), std::string_view::npos);
        EXPECT_EQ(c.constant.find(" ="), std::string_view::npos);
        EXPECT_EQ(c.constant.find("= "), std::string_view::npos);
    }
}

TEST(DefaultConfigTexts, SpotLines) {
    const std::vector<std::string> camera = splitLines(kConfigCameraText);
    ASSERT_GT(camera.size(), 400u);
    EXPECT_EQ(camera[0], "[VideoInfo]");
    EXPECT_EQ(camera[2], "sensorPath=/dev/v4l-subdev2");
    // Section 3 starts after VideoInfo (5 lines + gap) and two sections of 60 lines + gap each.
    const size_t third = 6 + 2 * 61;
    EXPECT_EQ(camera[third], "[Double-4PHASE_4PHASE]");
    EXPECT_EQ(camera[third + 1], "WorkMode=1");
    EXPECT_EQ(camera[third + 2], "SubWorkMode=10");
    // The comment's brace list says 5 while the key below it says 4: both are written as they stand.
    EXPECT_EQ(camera[third + 32], "//PLLDLLDivs={{5,2,24},{2,2,24},{2,2,24},{2,2,24}}");
    EXPECT_EQ(camera[third + 33], "Frame0_1To4PhaseDiv=4");
    EXPECT_EQ(camera.back(), "performClkChanges=0");
    EXPECT_EQ(camera[camera.size() - 6], "MIPI_FS_FE_Pos=3");
    EXPECT_EQ(camera[camera.size() - 60], "[Signal-BG-GRAY-BG-4PHASE]");

    const std::vector<std::string> registers = splitLines(kRegisterText);
    ASSERT_EQ(registers.size(), 1u + 24 + 1 + 8 + 1 + 1 + 35);
    EXPECT_EQ(registers[14], "0x0435=0x0000007f");
    EXPECT_EQ(registers[25], "");
    EXPECT_EQ(registers[30], "0x070a=0x01019201");
    EXPECT_EQ(registers[35], "[VDRIVER]");
    EXPECT_EQ(registers[51], "0x0F=0xd3");
    EXPECT_EQ(registers.back(), "0x32=0x00");

    const std::vector<std::string> algorithm = splitLines(kConfigAlgorithmText);
    EXPECT_EQ(algorithm[13], "[ConfidenceParams]");
    EXPECT_EQ(algorithm[15], "ValidDistMax=7000");
    EXPECT_EQ(algorithm.back(), "");  // the text ends with a line feed
}

TEST(WriteDefaultConfigFiles, WritesTheThreeFilesIntoTheWorkingDirectory) {
    TempWorkDir dir;
    ASSERT_TRUE(writeDefaultConfigFiles());
    for (const FileCase& c : fileCases()) {
        SCOPED_TRACE(c.name);
        std::string content = dir.read(c.name);
        EXPECT_EQ(content.size(), c.size);
        EXPECT_EQ(digest(content), digest(c.expected));
    }
}

TEST(WriteDefaultConfigFiles, OverwritesEditedFiles) {
    TempWorkDir dir;
    // Longer and shorter than the defaults: both must end up exactly as the default text.
    ASSERT_TRUE(dir.write("ConfigAlgorithm.json", std::string(20000, 'x')));
    ASSERT_TRUE(dir.write("ConfigCamera.json", "[VideoInfo]\nsensorType=RGB\n"));
    ASSERT_TRUE(dir.write("register.json", std::string(kRegisterText) + "\n0x99=0x01\n"));
    ASSERT_TRUE(writeDefaultConfigFiles());
    for (const FileCase& c : fileCases())
        EXPECT_EQ(dir.read(c.name), c.expected) << c.name;
}

TEST(WriteDefaultConfigFiles, StopsAtTheFirstFileThatCannotBeOpened) {
    // A directory entry with the file's name that is itself a directory cannot be opened for writing,
    // which is what an unwritable working directory looks like to this call (even for root).
    const char* names[3] = {"ConfigAlgorithm.json", "ConfigCamera.json", "register.json"};
    for (int blocked = 0; blocked < 3; ++blocked) {
        SCOPED_TRACE(names[blocked]);
        TempWorkDir dir;
        for (int i = 0; i < 3; ++i)
            if (i != blocked) {
                ASSERT_TRUE(dir.write(names[i], "edited"));
            }
        ASSERT_EQ(::mkdir(names[blocked], 0755), 0);
        EXPECT_FALSE(writeDefaultConfigFiles());
        std::vector<FileCase> cases = fileCases();
        for (int i = 0; i < 3; ++i) {
            if (i < blocked) {
                EXPECT_EQ(dir.read(names[i]), cases[i].expected) << names[i];
            } else if (i > blocked) {
                EXPECT_EQ(dir.read(names[i]), "edited") << names[i] << " must not be touched";
            }
        }
    }
}

TEST(WriteDefaultConfigFiles, ReportsAWriteThatDoesNotCompleteAndLeavesNothingBehind) {
    TempWorkDir dir;
    ASSERT_TRUE(dir.write("ConfigCamera.json", "edited"));
    ASSERT_TRUE(dir.write("register.json", "edited"));
    // Files may grow to 1 KiB only, as on a disk that fills up: ConfigCamera.json (9476 bytes) cannot
    // be written in full. Past the limit a write fails with EFBIG once SIGXFSZ is ignored.
    struct rlimit previous {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    void (*handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = previous;
    small.rlim_cur = 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = writeDefaultConfigFiles();
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, handler);
    EXPECT_FALSE(written);
    EXPECT_EQ(digest(dir.read("ConfigAlgorithm.json")), digest(fileCases()[0].expected));
    EXPECT_EQ(dir.read("ConfigCamera.json"), "edited") << "a failed write replaces nothing";
    EXPECT_EQ(dir.read("register.json"), "edited");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 3) << "no temporary file left";
}

// A link is replaced, not followed (its target outside keeps its bytes), a FIFO is not opened (that
// would wait for a reader), and the new files have 0666 less the umask.
TEST(WriteDefaultConfigFiles, ReplacesWhatHasTheNameWithFilesOfTheUmasksMode) {
    for (const mode_t mask : {mode_t(022), mode_t(002)}) {
        TempWorkDir outside;
        ASSERT_TRUE(outside.write("target", "precious"));
        TempWorkDir dir;
        ASSERT_EQ(::symlink((outside.path() + "/target").c_str(), "ConfigAlgorithm.json"), 0);
        ASSERT_EQ(::symlink((outside.path() + "/none/x").c_str(), "ConfigCamera.json"), 0);
        ASSERT_EQ(::mkfifo("register.json", 0600), 0);
        const mode_t previous = ::umask(mask);
        bool written = false;
        EXPECT_TRUE(finishesDespiteFifo("register.json", [&] { written = writeDefaultConfigFiles(); }));
        ::umask(previous);
        EXPECT_TRUE(written);
        for (const FileCase& c : fileCases()) {
            struct stat st {};
            ASSERT_EQ(::lstat(c.name, &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode)) << c.name;
            EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask) << c.name;
            EXPECT_EQ(digest(dir.read(c.name)), digest(c.expected)) << c.name;
        }
        EXPECT_EQ(outside.read("target"), "precious");
    }
}
