// A board's bootloader and its flash: enter, attributes, erase, write and
// read pages by 1-based block number. A complete image runs after the next
// reset and then names its code version in the board's version word.
#include "link/frame.h"
#include "sim/commands.h"
#include "sim/sim.h"

namespace Sim {

namespace {

Answer Status(uint8_t status) {
    return Answer{false, status, {}};
}

Bytes Le16(uint16_t v) {
    Bytes out(2);
    WriteLe16(out.data(), v);
    return out;
}

// Complete when blocks 1..K are written, K being the announced data length
// divided by the length of the blocks written (the program may use a smaller
// block size than the one answered, so the written length counts).
bool ImageComplete(const Board& board) {
    auto first = board.blocks.find(1);
    if (first == board.blocks.end() || first->second.empty()) return false;
    uint32_t count = board.announcedLength / static_cast<uint32_t>(first->second.size());
    if (count == 0) return false;
    for (uint32_t n = 1; n <= count; ++n)
        if (board.blocks.find(static_cast<uint16_t>(n)) == board.blocks.end()) return false;
    return true;
}

// A block lies inside the flash when its end does not pass the capacity.
bool BlockInFlash(const Board& board, uint16_t number, std::size_t length) {
    return number != 0 && static_cast<uint64_t>(number) * length <= board.flash.capacity;
}

Answer WritePage(Board& board, std::span<const uint8_t> payload) {
    if (payload.size() < 5) return Status(StatusMalformed);
    if (!board.erased) return Status(StatusDeviceError);
    uint16_t number = ReadLe16(payload.data() + 2);
    std::span<const uint8_t> data = payload.subspan(4);
    if (!BlockInFlash(board, number, data.size())) return Status(StatusNoBlock);
    board.blocks[number] = Bytes(data.begin(), data.end());
    board.imageComplete = ImageComplete(board);
    return Answer{};
}

Answer ReadPage(const Board& board, std::span<const uint8_t> payload, const AppliedFaults& faults) {
    if (payload.size() != 4) return Status(StatusMalformed);
    uint16_t number = ReadLe16(payload.data() + 2);
    auto first = board.blocks.find(1);
    std::size_t length = first != board.blocks.end() ? first->second.size() : board.flash.blockSize;
    if (!BlockInFlash(board, number, length)) return Status(StatusNoBlock);
    // The answer echoes the request's four bytes, then the block as stored;
    // a block never written reads as erased flash.
    Bytes out(payload.begin(), payload.end());
    auto stored = board.blocks.find(number);
    if (stored != board.blocks.end())
        out.insert(out.end(), stored->second.begin(), stored->second.end());
    else
        out.insert(out.end(), length, 0xFF);
    if (faults.readbackOffset && 4u + *faults.readbackOffset < out.size())
        out[4u + *faults.readbackOffset] ^= 0xFF;
    return Answer{false, StatusSuccess, std::move(out)};
}

}  // namespace

Answer HandleBootloader(Board& board, uint8_t command, std::span<const uint8_t> payload,
                        const AppliedFaults& faults) {
    if (payload.size() < 2 || payload[1] != 0) return Status(StatusMalformed);
    if (command == Command::BootloaderEnter) {
        if (payload.size() != 2) return Status(StatusMalformed);
        board.inBootloader = true;
        return Answer{false, StatusSuccess,
                      Le16(faults.enterWaitMs.value_or(board.flash.enterWaitMs))};
    }
    if (!board.inBootloader) return Status(StatusDeviceError);
    switch (command) {
        case Command::BootloaderAttributes: {
            if (payload.size() != 6) return Status(StatusMalformed);
            uint32_t length = ReadLe32(payload.data() + 2);
            if (length > board.flash.capacity) return Status(StatusMalformed);
            board.announcedLength = length;
            board.imageComplete = ImageComplete(board);
            Bytes out = Le16(board.version);
            Bytes size = Le16(faults.blockSize.value_or(board.flash.blockSize));
            out.insert(out.end(), size.begin(), size.end());
            return Answer{false, StatusSuccess, std::move(out)};
        }
        case Command::BootloaderErase:
            if (payload.size() != 2) return Status(StatusMalformed);
            board.blocks.clear();
            board.erased = true;
            board.imageComplete = false;
            return Answer{false, StatusSuccess, Le16(faults.eraseMs.value_or(board.flash.eraseMs))};
        case Command::BootloaderWritePage:
            return WritePage(board, payload);
        case Command::BootloaderReadPage:
            return ReadPage(board, payload, faults);
        default:
            return Status(StatusUnknownCommand);
    }
}

// The image's program data begin with its code version word.
void StartImage(Board& board) {
    if (!board.imageComplete) return;
    const Bytes& first = board.blocks.at(1);
    uint16_t code = first.size() >= 2 ? ReadLe16(first.data()) : first[0];
    board.version = static_cast<uint16_t>((board.version & 0xFC00) | (code & 0x03FF));
    board.imageComplete = false;
}

}  // namespace Sim
