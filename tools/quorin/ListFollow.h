// quorin list --follow: the attached readers, then one line per reader
// plugged in or pulled out (OnDeviceListChanged), until interrupted.
#pragma once

namespace quorin::cli {

// Prints "PATH\tpresent" for each reader attached now, then "PATH\tarrived"
// or "PATH\tremoved" per change; with json, one JSON object per line
// ({"event":"present","path":"HID://SN1"}). Returns EXIT_INTERRUPTED on
// SIGINT or SIGTERM; throws CliError when the monitor cannot start.
int followDeviceList(bool json);

}  // namespace quorin::cli
