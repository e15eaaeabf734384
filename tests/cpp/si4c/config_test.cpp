// The engine's reader of "ConfigAlgorithm.json".
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "AlgorithmConfig.h"
#include "device/DefaultConfigFiles.h"
#include "tests/fakes/TempWorkDir.h"

using namespace Zentrox;
using namespace Zentrox::si4c;

TEST(AlgorithmConfig, DefaultTextGivesItsValidRange) {
    AlgorithmParams p;
    p.valid_dist_max_mm = 1.0f;
    p.confidence_min = 12.0f;
    ASSERT_TRUE(parseAlgorithmConfig(std::string(kConfigAlgorithmText), p));
    EXPECT_EQ(p.valid_dist_min_mm, 0.0f);
    EXPECT_EQ(p.valid_dist_max_mm, 7000.0f);
    EXPECT_EQ(p.confidence_min, 12.0f) << "a key the text does not hold keeps its value";
}

TEST(AlgorithmConfig, KnownKeysTakeEffect) {
    AlgorithmParams p;
    ASSERT_TRUE(parseAlgorithmConfig(
        "[DenoisingParams]\nTDenoiseLevel_Depth=3\n\n// a comment\n; another\n[ConfidenceParams]\r\n"
        "ValidDistMin=250\nValidDistMax = 1800.5\nConfidenceThreshold=40\n[Other]\nValidDistMax=1\n",
        p));
    EXPECT_EQ(p.valid_dist_min_mm, 250.0f);
    EXPECT_EQ(p.valid_dist_max_mm, 1800.5f);
    EXPECT_EQ(p.confidence_min, 40.0f);
}

TEST(AlgorithmConfig, MalformedTextLeavesEveryValue) {
    const char* texts[] = {
        "[ConfidenceParams]\nValidDistMin=100\nthis is not a line\n",
        "[ConfidenceParams]\nValidDistMin=100\nValidDistMax=abc\n",
        "[ConfidenceParams]\nValidDistMin=100\nValidDistMax=\n",
        "[ConfidenceParams]\nValidDistMin=-5\n",
        "[ConfidenceParams]\nValidDistMin=100x\n",
        "[ConfidenceParams]\nValidDistMin=nan\n",
        "[ConfidenceParams]\nValidDistMin=inf\n",
        "[ConfidenceParams]\nValidDistMin=3000\nValidDistMax=2000\n",
        "[ConfidenceParams]\nConfidenceThreshold=101\n",
        "[ConfidenceParams\nValidDistMin=100\n",
        "[]\nValidDistMin=100\n",
        "[[ConfidenceParams]]\nValidDistMin=100\n",  // sections do not nest
        "=5\n",
    };
    for (const char* text : texts) {
        AlgorithmParams p;
        p.valid_dist_min_mm = 11.0f;
        p.valid_dist_max_mm = 2222.0f;
        p.confidence_min = 3.0f;
        EXPECT_FALSE(parseAlgorithmConfig(text, p)) << text;
        EXPECT_EQ(p.valid_dist_min_mm, 11.0f) << text;
        EXPECT_EQ(p.valid_dist_max_mm, 2222.0f) << text;
        EXPECT_EQ(p.confidence_min, 3.0f) << text;
    }
}

TEST(AlgorithmConfig, ReadsFromADirectory) {
    TempWorkDir dir;
    AlgorithmParams p;
    EXPECT_EQ(readAlgorithmConfig(dir.path(), p), ConfigRead::MISSING);
    ASSERT_TRUE(dir.write("ConfigAlgorithm.json", "[ConfidenceParams]\nValidDistMax=900\n"));
    EXPECT_EQ(readAlgorithmConfig(dir.path(), p), ConfigRead::LOADED);
    EXPECT_EQ(p.valid_dist_max_mm, 900.0f);
    ASSERT_TRUE(
        dir.write("ConfigAlgorithm.json", std::string("[ConfidenceParams]\nValidDistMax=500\n\0", 37)));
    EXPECT_EQ(readAlgorithmConfig(dir.path(), p), ConfigRead::MALFORMED);
    ASSERT_TRUE(dir.write("ConfigAlgorithm.json", std::string(70000, '\n')));
    EXPECT_EQ(readAlgorithmConfig(dir.path(), p), ConfigRead::MALFORMED) << "oversized";
    EXPECT_EQ(p.valid_dist_max_mm, 900.0f);
    ASSERT_EQ(::mkdir("sub", 0755), 0);
    ASSERT_EQ(::mkdir("sub/ConfigAlgorithm.json", 0755), 0);
    EXPECT_NE(readAlgorithmConfig(dir.path() + "/sub", p), ConfigRead::LOADED);
    EXPECT_EQ(p.valid_dist_max_mm, 900.0f);
}
