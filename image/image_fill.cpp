#include "image_fill.h"

#include <stdlib.h>
#include <string.h>

#include "updater.h"

int32_t filled_image_size(int64_t length)
{
    if (length < 1 || length > INT32_MAX - BLOCK_SIZE)
        return 0;
    return (int32_t)(((length - 1) / BLOCK_SIZE + 1) * BLOCK_SIZE);
}

uint8_t *fill_image(const uint8_t *bytes, int64_t length, int32_t *filled_size)
{
    *filled_size = 0;
    int32_t size = filled_image_size(length);
    if (size == 0 || bytes == NULL)
        return NULL;
    uint8_t *image = (uint8_t *)calloc((size_t)size, 1);
    if (image == NULL)
        return NULL;
    memcpy(image, bytes, (size_t)length);
    *filled_size = size;
    return image;
}
