#include "reader/CRConfigTable.h"

namespace quorin {

#define QUORIN_ROW(pid, desc, f, e, m, s, k, q, n) \
    { 0, pid, desc, f, e, m, s, k, q, n }

const CRConfigTable CR_CfgTable[MAX_NUM_CFG] = {
    QUORIN_ROW(0x11, "Strivo V4/V5 Swipe", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x13, "Strivo Insert", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x1, "Standard Swipe in Keyboard Mode", 0, 0, 0, 0, 0, 0, 0),
    QUORIN_ROW(0x2, "Standard Swipe", 0, 0, 0, 0, 0, 0, 0),
    QUORIN_ROW(0x3, "Standard Insert", 0, 0, 0, 0, 0, 0, 0),
    QUORIN_ROW(0x17, "Velarc Bluetooth Smart in Keyboard Mode", 0, 0, 0, 0, 0, 0, 0),
    QUORIN_ROW(0x18, "Velarc Bluetooth Smart", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x19, "ePivra", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x119, "ePivra Bluetooth Smart", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x2251, "Inkward", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x12, "Strivo Boot Loader Mode", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x5357, "ODM(I) Boot Loader Mode", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x14, "Strivo Wireless Reader", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x1a, "ePivra OEM", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x1c, "tPivra", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x1d, "kPivra", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x1e, "Tidelink", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x1f, "iPivra 6", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x20, "iPivra5 Gen 3", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x21, "iPivra5 Gen 3 Keyboard Mode", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x11c, "tPivra Bluetooth Smart", 1, 1, 1, 1, 1, 0, 1),
    QUORIN_ROW(0x0, "Invalid", 0, 0, 0, 0, 0, 0, 0),
};

#undef QUORIN_ROW

const CRConfigTable* findConfigRow(long pid) {
    for (const CRConfigTable& row : CR_CfgTable) {
        if (row.dwPID == pid) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace quorin
