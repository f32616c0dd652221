/* A host program linked against the library and the system hidapi, as any
 * user program is. It prints what it sees; the test runs it with the virtual
 * bus swapped in for hidapi. OpenDevice takes the last reader listed. */
#include <stdio.h>

#include "Quorin.h"

int main(void) {
    printf("list=%s\n", GetDeviceList());
    if (OpenDevice(NULL) != 0) {
        printf("open=failed\n");
        return 1;
    }
    printf("serial=%s\n", GetDeviceSerial());
    printf("emv=%d\n", IsDeviceEMV() ? 1 : 0);
    printf("pid=%s\n", GetProductID());
    CloseDevice();
    return 0;
}
