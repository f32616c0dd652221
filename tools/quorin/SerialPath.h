// The options of a SERIAL:// path, checked before the library sees them.
//
// The library opens a serial path with the options it knows and ignores the
// rest, so a misspelt key (BAUD=9600) would open the port at the default
// speed without a word. The tool refuses such a path instead, naming what
// is wrong.
#pragma once

#include <string>

namespace quorin::cli {

// "" when every option of the path (after the scheme, any letter case) is
// KEY=VALUE with a key and a value the library accepts and PORT is given;
// else a one-line reason.
std::string serialPathProblem(const std::string& path);

}  // namespace quorin::cli
