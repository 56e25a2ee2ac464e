// The 'dl' command: program the chosen image into one board of the sonde
// through the board's bootloader, block by block with read-back, then reset
// the board; after a failed transfer, close and reopen the USB pipe.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "firmware/firmware.h"
#include "firmware/image.h"
#include "firmware/prompts.h"
#include "link/link.h"
#include "protocol/commands.h"
#include "terminal/console_io.h"
#include "usbpipe/ductra.h"

namespace {

// Start waits outside this range are not believed.
inline constexpr uint16_t ShortestStartWaitMs = 1000;
inline constexpr uint16_t LongestStartWaitMs = 10000;
// Block numbers on the wire are 16-bit and start at 1.
inline constexpr uint32_t MaxBlockCount = 0xFFFF;

struct TransferRun {
    uint8_t device = 0;      // board inside the sonde, first payload byte of every request
    uint16_t startWait = 0;  // ms: bootloader start, restart and recovery wait
    uint16_t blockSize = 0;
    uint16_t blockCount = 0;
    uint8_t failure = 0;  // 0 while the transfer is sound
};

// One request to DeviceAddress with the payload already in RequestPayload.
// The receive result goes to LastResult only when the caller examines it.
int32_t Exchange(uint8_t command, uint16_t payloadLength, bool examined) {
    const int32_t result = ExchangeDirect(command, payloadLength);
    if (examined) LastResult = result;
    return result;
}

bool ExchangeFailed() {
    return LastResult != 0 || ResponseStatus != 0;
}

// A successful answer that lacks the fields the command needs is a failure.
bool AnswerTooShort(std::size_t needed) {
    const std::size_t received = ReceivedPayload(ResponseLength).size();
    if (received >= needed) return false;
    ConsolePrint("  The device's answer holds %d bytes where %d are needed FAILED\n",
                 static_cast<int>(received), static_cast<int>(needed));
    return true;
}

void PutDeviceAndBlock(uint8_t device, uint16_t blockNumber) {
    RequestPayload[0] = device;
    RequestPayload[1] = 0;
    WriteLe16(RequestPayload + 2, blockNumber);
}

// Device numbers 1 to 255; 0, other numbers and text bring the question back.
uint8_t AskDeviceNumber() {
    for (;;) {
        ConsolePrint("%s", DownloadDevicePrompt.text);
        int32_t answer = 0;
        if (ReadDecimal(answer) && answer >= 1 && answer <= 255)
            return static_cast<uint8_t>(answer);
    }
}

bool EnterBootloader(TransferRun& run) {
    RequestPayload[0] = run.device;
    RequestPayload[1] = 0;
    Exchange(Command::BootloaderEnter, 2, true);
    if (ExchangeFailed()) {
        PrintLinkError(LastResult, ResponseStatus);
        return false;
    }
    if (AnswerTooShort(2)) return false;
    const uint16_t reported = ReadLe16(ReceivedPayload(ResponseLength).data());
    run.startWait = reported;
    if (reported > LongestStartWaitMs) {
        ConsolePrint("  %d : NFW, waiting 10000 milliseconds to start\n", reported);
        run.startWait = LongestStartWaitMs;
    } else if (reported < ShortestStartWaitMs) {
        ConsolePrint("  Don't believe %d, waiting 1000ms for reset\n", reported);
        run.startWait = ShortestStartWaitMs;
    }
    DelayMs(run.startWait);
    return true;
}

bool ReadAttributes(TransferRun& run) {
    RequestPayload[0] = run.device;
    RequestPayload[1] = 0;
    WriteLe32(RequestPayload + 2, static_cast<uint32_t>(CurrentImage.dataLength));
    Exchange(Command::BootloaderAttributes, 6, true);
    if (ExchangeFailed()) {
        PrintLinkError(LastResult, ResponseStatus);
        if (ResponseStatus == 4) ConsolePrint("  File size is too big\n");
        return false;
    }
    if (AnswerTooShort(4)) return false;
    const CodeVersionParts old = CodeVersion(ReadLe16(ReceivedPayload(ResponseLength).data()));
    ConsolePrint("  Old code version: %d.%d\n", old.major, old.minor);
    const uint16_t reported = ReadLe16(ReceivedPayload(ResponseLength).data() + 2);
    run.blockSize = reported;
    if (reported > MaxBlockSize) {
        ConsolePrint("  Can't deal with block size %d, dropping to 512\n", reported);
        run.blockSize = MaxBlockSize;
    }
    // Nothing can be written in blocks of 0 bytes; stop before the erase.
    if (run.blockSize == 0) {
        ConsolePrint("  The device reports a block size of 0, nothing can be written FAILED\n");
        return false;
    }
    const auto dataLength = static_cast<uint32_t>(CurrentImage.dataLength);
    const uint32_t blocks = dataLength / run.blockSize;
    if (blocks > MaxBlockCount) {
        ConsolePrint("  The image needs %lu blocks, more than %lu can be numbered FAILED\n",
                     static_cast<unsigned long>(blocks), static_cast<unsigned long>(MaxBlockCount));
        return false;
    }
    // Less than one block of data: nothing would be written, and erasing
    // would leave the board without code. Stop before the erase.
    if (blocks == 0) {
        ConsolePrint(
            "  The image holds %lu data bytes, less than one block of %d bytes, "
            "nothing can be written FAILED\n",
            static_cast<unsigned long>(CurrentImage.dataLength), run.blockSize);
        return false;
    }
    // Data that are not a whole number of blocks would lose their tail: the
    // board would run code with its end missing. Stop before the erase.
    const uint32_t tail = dataLength % run.blockSize;
    if (tail != 0) {
        ConsolePrint(
            "  The image holds %lu data bytes, not a whole number of blocks of %d bytes "
            "(%lu left over), nothing is written FAILED\n",
            static_cast<unsigned long>(dataLength), run.blockSize,
            static_cast<unsigned long>(tail));
        return false;
    }
    run.blockCount = static_cast<uint16_t>(blocks);
    return true;
}

bool EraseFlash(TransferRun& run) {
    ConsolePrint("*** Erase FLASH ***\n");
    RequestPayload[0] = run.device;
    RequestPayload[1] = 0;
    Exchange(Command::BootloaderErase, 2, true);
    if (ExchangeFailed()) {
        ConsolePrint("  FAILED, result= %d\n", static_cast<int>(LastResult));
        PrintLinkError(LastResult, ResponseStatus);
        return false;
    }
    if (AnswerTooShort(2)) return false;
    DelayMs(ReadLe16(ReceivedPayload(ResponseLength).data()));
    return true;
}

// The failure code of a failed write or read: the device's status first,
// otherwise the low byte of the link result (as a transaction reports it).
uint8_t FailureCode() {
    if (ResponseStatus != 0) return ResponseStatus;
    const auto code = static_cast<uint8_t>(LastResult);
    return code != 0 ? code : 1;
}

void DumpBytes(const uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        ConsolePrint("%.2X ", bytes[i]);
        if ((i + 1) % 16 == 0) ConsolePrint("\n");
    }
}

// Writes block `index` and reads it back; 0, or the failure code.
uint8_t WriteAndVerifyBlock(const TransferRun& run, uint16_t index) {
    const auto blockNumber = static_cast<uint16_t>(index + 1);
    PutDeviceAndBlock(run.device, blockNumber);
    if (ReadImageBlock(run.blockSize, RequestPayload + 4) != 0) {
        ConsolePrint("  Error reading the image file at byte count= %lu FAILED\n",
                     static_cast<unsigned long>(CurrentImage.bytesRead));
        return 1;
    }
    Exchange(Command::BootloaderWritePage, static_cast<uint16_t>(run.blockSize + 4), true);
    if (ExchangeFailed()) {
        ConsolePrint("  We got an error writing block= %d,  byte count= %lu FAILED\n", index,
                     static_cast<unsigned long>(CurrentImage.bytesRead));
        PrintLinkError(LastResult, ResponseStatus);
        return FailureCode();
    }

    PutDeviceAndBlock(run.device, blockNumber);
    Exchange(Command::BootloaderReadPage, 4, true);
    if (ExchangeFailed()) {
        ConsolePrint("$");
        Exchange(Command::BootloaderReadPage, 4, true);
        if (ExchangeFailed()) {
            ConsolePrint("  We got an error reading block %d, count %lu FAILED\n", index,
                         static_cast<unsigned long>(CurrentImage.bytesRead));
            PrintLinkError(LastResult, ResponseStatus);
            return FailureCode();
        }
    }

    // The first four bytes of the answer are not part of the block.
    const std::size_t received = ReceivedPayload(ResponseLength).size();
    const std::size_t storedCount = received > 4 ? received - 4 : 0;
    const uint8_t* stored = ReceivedPayload(ResponseLength).data() + 4;
    const int mismatch = FirstReadBackMismatch(
        std::span<const uint8_t>(CurrentImage.blockCopy.data(), run.blockSize),
        std::span<const uint8_t>(stored, storedCount));
    if (mismatch >= 0) {
        ConsolePrint("  Block read does not match block written for block %d, byte %d FAILED\n",
                     index, mismatch);
        ConsolePrint("  sent: \n");
        DumpBytes(CurrentImage.blockCopy.data(), run.blockSize);
        ConsolePrint("\n");
        ConsolePrint("received: \n");
        DumpBytes(stored, std::min<std::size_t>(storedCount, run.blockSize));
        ConsolePrint("\n");
        return 1;
    }
    return 0;
}

void WriteAndVerify(TransferRun& run) {
    static constexpr const char* Spinner[4] = {"\r|", "\r/", "\r-", "\r\\"};
    int spinner = 0;
    ConsolePrint("*** writing packets out and verifying them ***\n");
    CurrentImage.bytesRead = 0;
    run.failure = 0;
    for (uint16_t index = 0; index < run.blockCount; ++index) {
        run.failure = WriteAndVerifyBlock(run, index);
        if (run.failure != 0) break;
        ConsolePrint("%s", Spinner[spinner]);
        spinner = (spinner + 1) % 4;
        const float share = static_cast<float>(index) / static_cast<float>(run.blockCount);
        ConsolePrint("(%d%%)", static_cast<int>(share * 100.0f));
    }
    ConsolePrint("\n");
}

void Complete(const TransferRun& run) {
    ConsolePrint("*** Resetting to run the new code. ***\n");
    RequestPayload[0] = run.device;
    RequestPayload[1] = 0;  // soft reset
    Exchange(Command::BoardReset, 2, false);
    ConsolePrint("  Waiting on restart... ");
    DelayMs(run.startWait);
    ConsolePrint("  Firmware download successful.\n");
    Exchange(Command::DeviceEnable, 0, false);
    PressReturn();
}

// The pipe may be stuck after a failed transfer: close it, give the board
// the start wait to come back, and open it again.
void Recover(const TransferRun& run) {
    PrintLinkError(LastResult, run.failure);
    ConsolePrint("  Closing the USB port, it might not be working.\n");
    const int32_t closed = DuctraClose();
    ObservePipe(PipeCall::Close, closed);
    if (closed != 0) {
        ConsolePrint("  Problem closing USB port! %d\n", static_cast<int>(closed));
        PrintLinkError(closed, 0);
    }
    ConsolePrint("\n*** Waiting on reset ***\n");
    DelayMs(run.startWait);
    ConsolePrint("  Opening USB port.\n");
    const int32_t opened = DuctraOpen();
    ObservePipe(PipeCall::Open, opened);
    if (opened != 0) {
        ConsolePrint("  Failed to init USB port!\n");
        PrintLinkError(opened, 0);
    }
}

}  // namespace

void DownloadFirmware() {
    if (ChooseFirmwareImage() != 0) return;
    if (OpenFirmwareImage(ChosenFirmwarePath) != 0) return;
    ReadImageHeader();

    DeviceAddress = AddressSonde;
    TransferRun run;
    run.device = AskDeviceNumber();
    Exchange(Command::DeviceDisable, 0, false);

    if (!EnterBootloader(run) || !ReadAttributes(run) || !EraseFlash(run)) {
        CloseFirmwareImage();
        return;
    }
    WriteAndVerify(run);
    CloseFirmwareImage();
    if (run.failure == 0) {
        Complete(run);
    } else {
        Recover(run);
    }
}
