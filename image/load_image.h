// The firmware image embedded in the executable as the RCDATA resource "BINFILE".
#pragma once

#include <windows.h>

#include "updater.h"

// Loads the image into the updater, zero-filled to whole kilobytes at FLASH_BASE, and traces
// its base and size. Returns null, or the reason it could not (for the fatal report).
const char *load_image(updater *u);
// The same from another module's resources.
const char *load_image_from(HMODULE module, updater *u);
