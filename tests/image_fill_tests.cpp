#include <gtest/gtest.h>

#include <stdlib.h>

#include <vector>

#include "image_fill.h"

TEST(ImageFill, RoundsUpToWholeKilobytesWithZeros)
{
    struct {
        int64_t length;
        int32_t filled;
    } cases[] = {{1, 1024}, {1024, 1024}, {1025, 2048}, {114724, 115712}, {0, 0}, {-1, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(filled_image_size(c.length), c.filled) << c.length;
        if (c.length < 1)
            continue;
        std::vector<uint8_t> raw((size_t)c.length, 0xA5);
        int32_t size = -1;
        uint8_t *image = fill_image(raw.data(), c.length, &size);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(size, c.filled);
        for (int32_t i = 0; i < size; i++)
            ASSERT_EQ(image[i], i < c.length ? 0xA5 : 0x00) << "byte " << i << " of " << c.length;
        free(image);
    }
}

TEST(ImageFill, RefusesAnEmptyOrMissingImage)
{
    int32_t size = -1;
    uint8_t byte = 1;
    EXPECT_EQ(fill_image(&byte, 0, &size), nullptr);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(fill_image(nullptr, 10, &size), nullptr);
    EXPECT_EQ(filled_image_size((int64_t)INT32_MAX), 0);
}
