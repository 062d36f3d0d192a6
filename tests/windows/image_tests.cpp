#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "image_fill.h"
#include "load_image.h"

TEST(EmbeddedImage, FillArithmeticAsOnTheDevice)
{
    struct {
        int64_t length;
        int32_t filled;
    } cases[] = {{1, 1024}, {1024, 1024}, {1025, 2048}, {114724, 115712}};
    for (const auto &c : cases)
        EXPECT_EQ(filled_image_size(c.length), c.filled) << c.length;
}

TEST(EmbeddedImage, LoadsTheEmbeddedImageZeroFilledAndTracesIt)
{
    HRSRC resource = FindResourceA(NULL, "BINFILE", (LPCSTR)RT_RCDATA);
    ASSERT_NE(resource, (HRSRC)NULL);
    DWORD length = SizeofResource(NULL, resource);
    const uint8_t *embedded = (const uint8_t *)LockResource(LoadResource(NULL, resource));
    ASSERT_EQ(length, 114724u);

    updater u = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(load_image(&u), nullptr);
    std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(trace, "\nFlash Image Base 0x8004000\nFlash Image Size 0x1c400 bytes\n");
    ASSERT_EQ(u.image_size, 115712);
    EXPECT_EQ(u.flash_base, FLASH_BASE);
    EXPECT_EQ(memcmp(u.image, embedded, length), 0);
    for (int32_t i = (int32_t)length; i < u.image_size; i++)
        ASSERT_EQ(u.image[i], 0) << i;
    free(u.image);
}

TEST(EmbeddedImage, AModuleWithoutTheImageGivesAReasonInsteadOfRunningOn)
{
    updater u = {};
    const char *reason = load_image_from(GetModuleHandleA("kernel32.dll"), &u);
    ASSERT_NE(reason, nullptr);
    EXPECT_STREQ(reason, "Firmware image missing from the executable");
    EXPECT_EQ(u.image, nullptr);
}
