/* The library reports the version it was built as, which is the version of
 * the project, and its major number is the one of the SONAME. */
#include <stdio.h>
#include <string.h>

#include "Quorin.h"

int main(void)
{
    const char* version = GetLibraryVersion();
    if (version == NULL || strcmp(version, QUORIN_EXPECTED_VERSION) != 0) {
        fprintf(stderr, "GetLibraryVersion() gave '%s', expected '%s'\n",
                version != NULL ? version : "(null)", QUORIN_EXPECTED_VERSION);
        return 1;
    }
    if (strncmp(version, QUORIN_EXPECTED_MAJOR ".", strlen(QUORIN_EXPECTED_MAJOR) + 1) != 0) {
        fprintf(stderr, "version '%s' does not start with the SONAME's major %s\n", version,
                QUORIN_EXPECTED_MAJOR);
        return 1;
    }
    printf("libquorin %s\n", version);
    return 0;
}
