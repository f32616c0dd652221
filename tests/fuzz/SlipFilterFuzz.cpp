// The SLIP framing (with run-length decoding) over a sequence of received
// chunks, and the framing of an arbitrary command read back by a second
// filter.
#include "FilterFuzz.h"
#include "filters/V5SLIP.h"

using namespace quorin;
using quorin_test::FuzzInput;

QUORIN_FUZZ_TARGET(filter_slip) {
    FuzzInput in(data, size);
    const std::vector<unsigned char> command = in.chunk(512);

    V5SLIP out;
    std::string name;
    int id = 0;
    quorin::CardText framed;
    const std::string commandHex = B2H(command.data(), static_cast<int>(command.size()));
    const int count = out.FilterOutput(commandHex, name, id, framed);
    FUZZ_CHECK(count == static_cast<int>(framed.size() / 2) && count >= 5);
    if (!command.empty()) {
        // A framed command read back gives the command on the command channel.
        V5SLIP back;
        std::string backName;
        int backId = 0;
        quorin::CardText backData;
        const int result = back.FilterInput(framed, backName, backId, backData);
        FUZZ_CHECK(result == static_cast<int>(command.size()));
        FUZZ_CHECK(backId == FormatFilter::CHANNEL_COMMAND);
        FUZZ_CHECK(backData == commandHex);
    }

    V5SLIP filter;
    const quorin_test::FilterRun run = quorin_test::feedChunks(filter, in, 3000, true);
    for (int channel : run.channels) {
        FUZZ_CHECK(channel == FormatFilter::CHANNEL_COMMAND ||
                   channel == FormatFilter::CHANNEL_RESPONSE ||
                   channel == FormatFilter::CHANNEL_NOTIFICATION ||
                   channel == FormatFilter::CHANNEL_CARD_DATA);
    }
    return 0;
}
