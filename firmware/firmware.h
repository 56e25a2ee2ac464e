// Firmware download: catalogue, image file, bootloader transfer.
#pragma once

#include <cstdint>

void DownloadFirmware();  // 'dl'
