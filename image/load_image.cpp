#include "load_image.h"

#include "image_fill.h"
#include "report.h"

const char *load_image_from(HMODULE module, updater *u)
{
    HRSRC resource = FindResourceA(module, "BINFILE", (LPCSTR)RT_RCDATA);
    if (resource == NULL)
        return "Firmware image missing from the executable";
    HGLOBAL loaded = LoadResource(module, resource);
    const void *bytes = loaded != NULL ? LockResource(loaded) : NULL;
    DWORD length = SizeofResource(module, resource);
    if (bytes == NULL || length == 0)
        return "Firmware image in the executable is empty";
    u->image = fill_image((const uint8_t *)bytes, (int64_t)length, &u->image_size);
    if (u->image == NULL)
        return "Not enough memory for the firmware image";
    u->flash_base = FLASH_BASE;
    trace("\nFlash Image Base %#x\n", u->flash_base);
    trace("Flash Image Size %#x bytes\n", (unsigned)u->image_size);
    return NULL;
}

const char *load_image(updater *u)
{
    return load_image_from(NULL, u);
}
