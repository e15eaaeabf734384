#include <gtest/gtest.h>

#include <cstring>

#include "ZentroxTOFCamera.h"

using namespace Zentrox;

TEST(Vocabulary, EveryStatusTextAndTheUnknownOnes) {
    const struct {
        int code;
        const char* text;
    } rows[] = {
        {0, "Success"},        {1, "Invalid parameter"}, {2, "No cache"},      {3, "Unkown device"},
        {4, "Not implemented"}, {240, "Skip frame"},      {-2, "System error"}, {-1, "Unknown error"},
        {5, "Unknown error"},  {239, "Unknown error"},   {241, "Unknown error"}, {-3, "Unknown error"},
        {0x7fffffff, "Unknown error"},
    };
    for (const auto& row : rows) {
        EXPECT_STREQ(to_str(static_cast<TofErrorCode>(row.code)), row.text) << row.code;
    }
}

TEST(Vocabulary, UnderlyingValuesOfTheEnumerations) {
    EXPECT_EQ(int(ZentroxSkipFrame), 0xF0);
    EXPECT_EQ(static_cast<int>(CameraCtrl::CONFIG_DIR_EXT), 256);
    EXPECT_EQ(static_cast<int>(TofWorkMode::BG_OUTDOOR), 7);
    EXPECT_EQ(static_cast<int>(TofFrameWorkMode::BG_OUTDOOR), 18);
    EXPECT_EQ(static_cast<int>(FrameType::AMPLITUDE), 3);
    EXPECT_TRUE((std::is_same<std::underlying_type<DeviceType>::type, uint32_t>::value));
    EXPECT_TRUE((std::is_same<std::underlying_type<TofErrorCode>::type, int32_t>::value));
    // Plain enumerations convert to int implicitly; scoped ones do not.
    EXPECT_TRUE((std::is_convertible<TofErrorCode, int>::value));
    EXPECT_TRUE((std::is_convertible<DeviceType, int>::value));
    EXPECT_FALSE((std::is_convertible<FrameType, int>::value));
    EXPECT_FALSE((std::is_convertible<CameraCtrl, int>::value));
}
