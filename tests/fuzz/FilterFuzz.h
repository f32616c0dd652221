// Feeds a framing filter a sequence of received chunks the way the serial
// connection does: each chunk as hex text, then empty input until the filter
// has no complete frame left. Checks what every taken frame reports.
#pragma once

#include <cctype>
#include <set>
#include <string>

#include "FuzzInput.h"
#include "FuzzTarget.h"
#include "common/stdafx.h"
#include "filters/FormatFilter.h"

namespace quorin_test {

inline bool isHexText(std::string_view text) {
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return text.size() % 2 == 0;
}

struct FilterRun {
    int frames = 0;
    std::set<int> channels;
};

// hexOutput: the filter promises hex text on every channel.
inline FilterRun feedChunks(quorin::FormatFilter& filter, FuzzInput& in, size_t maxChunk,
                            bool hexOutput) {
    FilterRun run;
    size_t fed = 0;
    while (!in.empty()) {
        const std::vector<unsigned char> chunk = in.chunk(maxChunk);
        fed += chunk.size();
        std::string message = quorin::B2H(chunk.data(), static_cast<int>(chunk.size()));
        // Every frame needs at least one received byte (its end marker), so
        // the loop below ends within fed + 1 rounds.
        for (size_t round = 0;; ++round) {
            FUZZ_CHECK(round <= fed + 1);
            std::string channelName;
            int channelId = 0;
            quorin::CardText channelHexData;
            const int result = filter.FilterInput(message, channelName, channelId, channelHexData);
            message.clear();
            FUZZ_CHECK(result >= quorin::FormatFilter::FILTER_ERROR);
            if (result < 0) {
                break;
            }
            FUZZ_CHECK(static_cast<size_t>(result) == channelHexData.size() / 2);
            if (channelHexData.empty()) {
                continue;
            }
            if (hexOutput) {
                FUZZ_CHECK(isHexText(channelHexData));
            }
            // Run-length data decodes to at most what a 16-bit length
            // field announces, behind its 3-byte header.
            FUZZ_CHECK(channelHexData.size() <= 2 * fed + 2 * (3 + 0xFFFF));
            run.channels.insert(channelId);
            ++run.frames;
        }
    }
    return run;
}

}  // namespace quorin_test
