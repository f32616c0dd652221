// The Tidelink line framing over a sequence of received chunks.
#include "FilterFuzz.h"
#include "filters/TidelinkFilter.h"

using namespace quorin;
using quorin_test::FuzzInput;

QUORIN_FUZZ_TARGET(filter_tidelink) {
    FuzzInput in(data, size);
    const std::vector<unsigned char> command = in.chunk(256);
    TidelinkFilter out;
    std::string name;
    int id = 0;
    quorin::CardText framed;
    const std::string hex = B2H(command.data(), static_cast<int>(command.size()));
    FUZZ_CHECK(out.FilterOutput(hex, name, id, framed) == static_cast<int>(command.size()) + 1);
    FUZZ_CHECK(framed == hex + "0D");

    TidelinkFilter filter;
    const quorin_test::FilterRun run = quorin_test::feedChunks(filter, in, 3000, false);
    for (int channel : run.channels) {
        FUZZ_CHECK(channel == FormatFilter::CHANNEL_NOTIFICATION ||
                   channel == FormatFilter::CHANNEL_RESPONSE);
    }
    return 0;
}
