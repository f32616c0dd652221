// Where the virtual USB bus (libquorin-virtualhid.so.0) can be found under
// hidapi's library names, for LD_LIBRARY_PATH: the directory given by
// QUORIN_VHID_DIR, the one next to an installed tool, or the build tree's.
#pragma once

#include <string>

namespace quorin::cli {

constexpr const char* BUS_DIR_VARIABLE = "QUORIN_VHID_DIR";

// "" when none of them holds the bus.
std::string virtualBusDirectory();

}  // namespace quorin::cli
