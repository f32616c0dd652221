// The legacy line framing over a sequence of received chunks, and an
// arbitrary command framed and read back as a line.
#include "FilterFuzz.h"
#include "filters/LegacyQuill.h"

using namespace quorin;
using quorin_test::FuzzInput;

QUORIN_FUZZ_TARGET(filter_legacy) {
    FuzzInput in(data, size);
    const std::string command = in.text(in.u8());

    LegacyQuill out;
    std::string name;
    int id = 0;
    quorin::CardText framed;
    const int count = out.FilterOutput(command, name, id, framed);
    FUZZ_CHECK(count == static_cast<int>(command.size()) + 1);
    if (!command.empty() && command.find('\r') == std::string::npos) {
        LegacyQuill back;
        std::string backName;
        int backId = 0;
        quorin::CardText line;
        back.FilterInput(framed, backName, backId, line);
        FUZZ_CHECK(line == command);
        const bool upperHex = command.find_first_not_of("0123456789ABCDEF") == std::string::npos;
        FUZZ_CHECK(backId ==
                   (upperHex ? FormatFilter::CHANNEL_RESPONSE : FormatFilter::CHANNEL_CARD_DATA));
    }

    LegacyQuill filter;
    // Card data comes out as the reader's own text, not as hex.
    quorin_test::feedChunks(filter, in, 3000, false);
    return 0;
}
