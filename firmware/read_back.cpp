// The read-back comparison of a written block: shared by the transfer and by
// the trace reader's following of a recorded download, so that both judge a
// block alike. Needs nothing but the bytes.
#include "firmware/image.h"

int FirstReadBackMismatch(std::span<const uint8_t> written, std::span<const uint8_t> stored) {
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (i >= stored.size()) return static_cast<int>(i);
        if ((i + 1) % 4 != 0 && stored[i] != written[i]) return static_cast<int>(i);
    }
    return -1;
}
