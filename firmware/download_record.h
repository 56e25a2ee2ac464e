// The firmware downloads of a recorded session, followed request by request
// through the bootloader sequence: blocks written and verified, the code
// version the board ran before, and how the download ended.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/image.h"
#include "link/traced_exchange.h"

// How a followed download stands after its last step.
enum class DownloadOutcome : uint8_t {
    Unfinished,       // no step failed, but the download has not reached its end
    Completed,        // every block written and verified, and the board reset
    ReadBackDiffers,  // a block read back is not the block written
    StepFailed,       // a step's exchange failed: the board refused it or the link failed
};

struct DownloadRecord {
    bool open = false;    // a download is being followed
    uint64_t micros = 0;  // when it began
    uint8_t address = 0;  // the bus address its requests went to
    uint8_t board = 0;    // the device number inside the sonde
    uint32_t dataLength = 0;
    uint32_t expectedBlocks = 0;  // 0 while the block size is not known
    uint32_t written = 0;
    uint32_t verified = 0;
    bool oldKnown = false;
    CodeVersionParts old{0, 0};
    bool erased = false;
    bool reset = false;
    std::string step;     // the last step taken ("the erase", "block 2 read-back")
    std::string failure;  // where and why it stopped; empty while it is sound
    DownloadOutcome outcome = DownloadOutcome::Unfinished;  // set by each step taken
    bool retriable = false;  // the failure was a read-back, which is asked twice
    uint16_t lastBlock = 0;
    std::vector<uint8_t> lastData;  // the block last written
};

enum class DownloadStep : uint8_t { None, Starts, Continues };

// Whether the exchange starts a download (a bootloader enter, or a bootloader
// request while none is followed), carries the followed one on (its
// bootloader requests, the reset of its board and the enable after it), or
// has nothing to do with one.
DownloadStep ClassifyDownloadStep(const DownloadRecord& record, const TracedExchange& exchange);
// Takes the exchange into the record; a step that starts a download begins a
// new record.
void TakeDownloadStep(DownloadRecord& record, const TracedExchange& exchange);
// "firmware download: 3 of 3 blocks written, 3 verified, old code version
// 1.17: completed", or where and why it stopped: the sentence of its outcome.
std::string DownloadWords(const DownloadRecord& record);
