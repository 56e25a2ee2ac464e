// Internals of the firmware download shared by its three stages: the
// catalogue of the firmware folder, the image file, and the transfer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

// Largest block the transfer writes; a write request carries it plus 4 bytes.
inline constexpr uint16_t MaxBlockSize = 512;
// Capacity of the chosen-path buffer, terminating zero included.
inline constexpr std::size_t ChosenPathCapacity = 140;
// Most entries the catalogue lists.
inline constexpr std::size_t CatalogueCapacity = 150;

// The path of the image chosen by the last 'dl' command.
extern char ChosenFirmwarePath[ChosenPathCapacity];

// Lists the folder "firmware" and asks which entry to use; 0 with the choice
// in ChosenFirmwarePath, nonzero when the folder cannot be listed or holds
// nothing (already reported; the command ends).
int ChooseFirmwareImage();

// The image file of the running 'dl' command.
struct FirmwareImage {
    std::FILE* file = nullptr;
    int32_t dataLength = 0;  // file size less the 4 header bytes
    std::array<uint8_t, 4> header{};
    std::array<uint8_t, MaxBlockSize> blockCopy{};  // the last block read
    uint32_t bytesRead = 0;                         // program-data bytes read so far
};
extern FirmwareImage CurrentImage;

// Sizes and opens the image at path; 0 on success. A path that is not a
// readable regular file prints "No such file, try again.\n"; a file without
// a whole header is refused. Nothing is left open on failure.
int OpenFirmwareImage(const char* path);
// Reads the 4 header bytes, prints the new code version and returns it.
uint16_t ReadImageHeader();
// Reads the next blockSize (at most MaxBlockSize) data bytes into destination
// and the block copy; 0, or nonzero when the file ended or failed early.
int ReadImageBlock(uint16_t blockSize, uint8_t* destination);
// Closes the image file; harmless when nothing is open.
void CloseFirmwareImage();

// A code version word: major in bits 7 to 9, minor in bits 0 to 6.
struct CodeVersionParts {
    int major;
    int minor;
};
inline CodeVersionParts CodeVersion(uint16_t word) {
    return {(word >> 7) & 0x7, word & 0x7F};
}

// Index of the first byte of a read-back block that disagrees with the block
// written, or -1. Every fourth byte (3, 7, 11, ...) is not compared; bytes the
// answer does not hold always disagree.
int FirstReadBackMismatch(std::span<const uint8_t> written, std::span<const uint8_t> stored);
