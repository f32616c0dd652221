/* The public header must compile as plain C. */
#include "Quorin.h"

int quorin_c_header_check(void);
int quorin_c_header_check(void) {
    ZDMSRDATA record;
    record.m_dwReaderID = 0;
    return (int)sizeof(record) + (int)record.m_dwReaderID;
}
