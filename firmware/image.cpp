// The firmware image file: a 4-byte header whose bytes 2 and 3 hold the
// image's code version, then the program data written block by block.
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "firmware/image.h"
#include "link/link.h"
#include "terminal/console_io.h"

FirmwareImage CurrentImage;

namespace {

namespace fs = std::filesystem;

// The chosen path is UTF-8 text (see the catalogue); turn it back into the
// platform's path so that every listed name opens.
fs::path PlatformPath(const char* path) {
    const std::string text(path);
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::FILE* OpenForReading(const fs::path& path) {
#if defined(_WIN32)
    return _wfopen(path.c_str(), L"rb");
#else
    return std::fopen(path.c_str(), "rb");
#endif
}

}  // namespace

int OpenFirmwareImage(const char* path) {
    CurrentImage = FirmwareImage{};
    const fs::path file = PlatformPath(path);
    std::error_code error;
    // Only a regular file counts: a sub-folder would open on some systems and
    // then fail on the first read.
    const bool regular = fs::is_regular_file(file, error);
    const uintmax_t size = regular ? fs::file_size(file, error) : 0;
    std::FILE* stream = (regular && !error) ? OpenForReading(file) : nullptr;
    if (stream == nullptr) {
        PrintLinkError(LastResult, 0);
        ConsolePrint("No such file, try again.\n");
        return 1;
    }
    // Without a whole header there is no code version and the data length
    // would be negative; a file beyond what the bootloader's 32-bit length
    // and 16-bit block numbers can carry is refused as well.
    if (size < 4 || size - 4 > static_cast<uintmax_t>(INT32_MAX)) {
        std::fclose(stream);
        ConsolePrint("  The image file is %s, it cannot be downloaded.\n",
                     size < 4 ? "shorter than its 4-byte header" : "too large");
        return 1;
    }
    CurrentImage.file = stream;
    CurrentImage.dataLength = static_cast<int32_t>(size - 4);
    return 0;
}

uint16_t ReadImageHeader() {
    for (std::size_t stored = 0; stored < CurrentImage.header.size(); ++stored) {
        const int c = std::fgetc(CurrentImage.file);
        if (std::ferror(CurrentImage.file)) {
            StreamPrint(stderr, "Error on read, count: %d\n", static_cast<int>(stored));
            break;
        }
        CurrentImage.header[stored] = static_cast<uint8_t>(c);
    }
    const uint16_t word =
        static_cast<uint16_t>(CurrentImage.header[2] | (CurrentImage.header[3] << 8));
    const CodeVersionParts version = CodeVersion(word);
    ConsolePrint("  New code version: %d.%d\n", version.major, version.minor);
    return word;
}

int ReadImageBlock(uint16_t blockSize, uint8_t* destination) {
    if (blockSize > MaxBlockSize) return 1;
    for (uint16_t i = 0; i < blockSize; ++i) {
        const int c = std::fgetc(CurrentImage.file);
        // The block count never reaches past the size measured at open, so
        // this happens only when the file changed or failed meanwhile.
        if (c == EOF) return 1;
        destination[i] = static_cast<uint8_t>(c);
        CurrentImage.blockCopy[i] = static_cast<uint8_t>(c);
        ++CurrentImage.bytesRead;
    }
    return 0;
}

void CloseFirmwareImage() {
    if (CurrentImage.file != nullptr) std::fclose(CurrentImage.file);
    CurrentImage.file = nullptr;
}
