/* The library reports the version it was built as, which is the version of
 * the project; the header's version macros say the same, and its major
 * number is the one of the SONAME. */
#include <stdio.h>
#include <string.h>

#include "Quorin.h"

/* The macros are integer constants a host can test in the preprocessor. */
#if !defined(QUORIN_VERSION_MAJOR) || !defined(QUORIN_VERSION_MINOR) || \
    !defined(QUORIN_VERSION_PATCH) || !defined(QUORIN_VERSION_STRING)
#error "Quorin.h must define QUORIN_VERSION_MAJOR, _MINOR, _PATCH and _STRING"
#endif
#if QUORIN_VERSION_MAJOR < 0 || QUORIN_VERSION_MINOR < 0 || QUORIN_VERSION_PATCH < 0
#error "the version macros must be non-negative integer constants"
#endif

static int failed(const char* what, const char* got, const char* expected) {
    fprintf(stderr, "%s is '%s', expected '%s'\n", what, got != NULL ? got : "(null)", expected);
    return 1;
}

int main(void) {
    char numbers[64];
    const char* version = GetLibraryVersion();
    if (version == NULL || strcmp(version, QUORIN_EXPECTED_VERSION) != 0) {
        return failed("GetLibraryVersion()", version, QUORIN_EXPECTED_VERSION);
    }
    if (strncmp(version, QUORIN_EXPECTED_MAJOR ".", strlen(QUORIN_EXPECTED_MAJOR) + 1) != 0) {
        fprintf(stderr, "version '%s' does not start with the SONAME's major %s\n", version,
                QUORIN_EXPECTED_MAJOR);
        return 1;
    }
    /* The header's macros: the project version, and the running library's. */
    if (strcmp(QUORIN_VERSION_STRING, QUORIN_EXPECTED_VERSION) != 0) {
        return failed("QUORIN_VERSION_STRING", QUORIN_VERSION_STRING, QUORIN_EXPECTED_VERSION);
    }
    if (strcmp(QUORIN_VERSION_STRING, version) != 0) {
        return failed("QUORIN_VERSION_STRING", QUORIN_VERSION_STRING, version);
    }
    snprintf(numbers, sizeof(numbers), "%d.%d.%d", QUORIN_VERSION_MAJOR, QUORIN_VERSION_MINOR,
             QUORIN_VERSION_PATCH);
    if (strcmp(numbers, QUORIN_EXPECTED_VERSION) != 0) {
        return failed("QUORIN_VERSION_MAJOR.MINOR.PATCH", numbers, QUORIN_EXPECTED_VERSION);
    }
    printf("libquorin %s, header %s\n", version, QUORIN_VERSION_STRING);
    return 0;
}
