// Following a recorded download with the transfer's own rules: the block
// size as the transfer takes it (at most 512), the read-back compared as the
// transfer compares it, one retried read-back.
#include "firmware/download_record.h"

#include <algorithm>

#include "link/frame.h"
#include "protocol/commands.h"

namespace {

bool IsBootloader(uint8_t command) {
    return command >= Command::BootloaderEnter && command <= Command::BootloaderErase;
}

void Fail(DownloadRecord& record, DownloadOutcome outcome, const std::string& why,
          bool retriable = false) {
    if (!record.failure.empty() && !record.retriable) return;
    record.failure = record.step + ": " + why;
    record.outcome = outcome;
    record.retriable = retriable;
}

// The outcome while no step has failed: completed once the board was reset
// after every block was written and verified.
void Settle(DownloadRecord& record) {
    if (!record.failure.empty()) return;
    const bool complete = record.reset && record.written > 0 && record.verified == record.written &&
                          (record.expectedBlocks == 0 || record.written == record.expectedBlocks);
    record.outcome = complete ? DownloadOutcome::Completed : DownloadOutcome::Unfinished;
}

void ReadBack(DownloadRecord& record, const TracedExchange& x, uint16_t block) {
    if (!ExchangeAccepted(x)) {
        Fail(record, DownloadOutcome::StepFailed, ExchangeVerdict(x), true);
        return;
    }
    // A read-back that succeeds on its second asking clears the first failure.
    if (record.retriable) {
        record.failure.clear();
        record.retriable = false;
    }
    if (block != record.lastBlock || !record.failure.empty()) return;
    // The first four bytes of the answer are not part of the block.
    const std::span<const uint8_t> answer = AnswerPayloadOf(x);
    const std::span<const uint8_t> stored =
        answer.size() > 4 ? answer.subspan(4) : std::span<const uint8_t>();
    const int mismatch = FirstReadBackMismatch(record.lastData, stored);
    if (mismatch >= 0) {
        Fail(record, DownloadOutcome::ReadBackDiffers,
             "byte " + std::to_string(mismatch) + " differs");
    } else {
        ++record.verified;
    }
}

}  // namespace

DownloadStep ClassifyDownloadStep(const DownloadRecord& record, const TracedExchange& x) {
    if (x.request.size() < FrameHeaderSize) return DownloadStep::None;
    const uint8_t command = x.request[1];
    if (command == Command::BootloaderEnter) return DownloadStep::Starts;
    if (IsBootloader(command)) return record.open ? DownloadStep::Continues : DownloadStep::Starts;
    if (!record.open) return DownloadStep::None;
    const std::span<const uint8_t> payload = RequestPayloadOf(x);
    if (command == Command::BoardReset && record.erased && !payload.empty() &&
        payload[0] == record.board) {
        return DownloadStep::Continues;
    }
    if (command == Command::DeviceEnable && record.reset) return DownloadStep::Continues;
    return DownloadStep::None;
}

namespace {

void Take(DownloadRecord& record, const TracedExchange& x) {
    const std::span<const uint8_t> payload = RequestPayloadOf(x);
    if (ClassifyDownloadStep(record, x) == DownloadStep::Starts) {
        record = DownloadRecord{};
        record.open = true;
        record.micros = x.micros;
        record.address = x.request[0];
        record.board = payload.empty() ? 0 : payload[0];
    }
    const uint8_t command = x.request[1];
    const uint16_t block = payload.size() >= 4 ? ReadLe16(payload.data() + 2) : 0;
    switch (command) {
        case Command::BootloaderEnter:
            record.step = "the bootloader enter";
            break;
        case Command::BootloaderAttributes: {
            record.step = "the attributes";
            if (payload.size() >= 6) record.dataLength = ReadLe32(payload.data() + 2);
            const std::span<const uint8_t> answer = AnswerPayloadOf(x);
            if (ExchangeAccepted(x) && answer.size() >= 4) {
                record.old = CodeVersion(ReadLe16(answer.data()));
                record.oldKnown = true;
                const uint32_t size = std::min<uint32_t>(ReadLe16(answer.data() + 2), MaxBlockSize);
                record.expectedBlocks = size > 0 ? record.dataLength / size : 0;
            }
            break;
        }
        case Command::BootloaderErase:
            record.step = "the erase";
            record.erased = ExchangeAccepted(x);
            break;
        case Command::BootloaderWritePage:
            record.step = "block " + std::to_string(block) + " write";
            if (ExchangeAccepted(x)) {
                ++record.written;
                record.lastBlock = block;
                record.lastData.assign(payload.begin() + std::min<std::size_t>(4, payload.size()),
                                       payload.end());
            }
            break;
        case Command::BootloaderReadPage:
            record.step = "block " + std::to_string(block) + " read-back";
            ReadBack(record, x, block);
            return;
        case Command::BoardReset:
            record.step = "the reset";
            record.reset = true;
            return;
        default:
            record.step = "the enable";
            return;
    }
    if (!ExchangeAccepted(x)) Fail(record, DownloadOutcome::StepFailed, ExchangeVerdict(x));
}

}  // namespace

void TakeDownloadStep(DownloadRecord& record, const TracedExchange& x) {
    Take(record, x);
    Settle(record);
}

std::string DownloadWords(const DownloadRecord& record) {
    std::string words = "firmware download: ";
    if (record.expectedBlocks > 0) {
        words += std::to_string(record.written) + " of " + std::to_string(record.expectedBlocks);
    } else {
        words += std::to_string(record.written);
    }
    words += (record.expectedBlocks == 0 && record.written == 1 ? " block" : " blocks");
    words += " written, " + std::to_string(record.verified) + " verified, ";
    if (record.oldKnown) {
        words += "old code version " + std::to_string(record.old.major) + "." +
                 std::to_string(record.old.minor);
    } else {
        words += "old code version not reported";
    }
    switch (record.outcome) {
        case DownloadOutcome::Completed:
            return words + ": completed";
        case DownloadOutcome::ReadBackDiffers:
        case DownloadOutcome::StepFailed:
            return words + ": stopped at " + record.failure;
        case DownloadOutcome::Unfinished:
            break;
    }
    return words + ": stopped after " + (record.step.empty() ? "its start" : record.step);
}
