// The option text of a "SERIAL://" path: whatever the text, the parser ends
// with a usable filter and values from their accepted sets.
#include <string>

#include "FuzzTarget.h"
#include "filters/FormatFilter.h"
#include "transport/SerialOptions.h"

using quorin::SerialOptions;

QUORIN_FUZZ_TARGET(serial_options) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    SerialOptions options;
    options.apply(text);
    FUZZ_CHECK(options.dataFormat != nullptr);
    FUZZ_CHECK(options.parity >= 0 && options.parity <= 4);
    FUZZ_CHECK(options.stopBits == 0 || options.stopBits == 1 || options.stopBits == 2);
    FUZZ_CHECK(options.startingByte.size() <= 2 && options.endingByte.size() <= 2);
    FUZZ_CHECK(options.portName.size() <= text.size());
    // The scheme test reads a C text: only up to its first NUL.
    const std::string path = "SERIAL://" + text;
    FUZZ_CHECK(SerialOptions::hasScheme(path.c_str()));
    SerialOptions::hasScheme(text.c_str());
    return 0;
}
