// The library's version at run time, for hosts and tools that need to know
// which libquorin they loaded (the header's version can differ from it).
#include "Quorin.h"

#ifndef QUORIN_VERSION_TEXT
#error "QUORIN_VERSION_TEXT (the project version) must be defined by the build"
#endif

extern "C" {

QUORIN_API const char* GetLibraryVersion(void) {
    return QUORIN_VERSION_TEXT;
}

}  // extern "C"
