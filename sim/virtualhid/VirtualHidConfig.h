// Readers of the virtual bus described by text: entries MODEL:PID[:SERIAL[:VID]]
// ("emv:0x19:SN123", "plain:0x11:SN456"), as the control API and the
// environment give them (see VirtualHidControl.h).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "virtualhid/VirtualReader.h"

namespace quorin_sim {

class VirtualHidConfig {
public:
    struct Entry {
        std::string model;  // "plain" or "emv"
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        std::optional<std::string> serial;
    };

    // One entry; nullopt (and why, in *error) when it cannot be read.
    static std::optional<Entry> parseEntry(const std::string& text, std::string* error);
    // The entries of a list separated by ',' or new lines, trimmed; blank
    // ones and those starting with '#' are left out.
    static std::vector<std::string> splitEntries(const std::string& text);
    // A reader of the model, not yet on the bus; null for an unknown model.
    static std::shared_ptr<VirtualReader> makeReader(const std::string& model, uint16_t vendorId,
                                                     uint16_t productId,
                                                     std::optional<std::string> serial);
    // Parses every entry first and plugs them all, or none: the readers
    // plugged, or nullopt (and why) when an entry cannot be read.
    static std::optional<std::vector<std::shared_ptr<VirtualReader>>> plugAll(
        const std::string& text, std::string* error);

    // Applies QUORIN_VHID_BACKEND, QUORIN_VHID_READERS and QUORIN_VHID_CONFIG,
    // once per process; later calls return at once. Entries that cannot be
    // read are reported on standard error and skipped.
    static void applyEnvironmentOnce();
};

}  // namespace quorin_sim
