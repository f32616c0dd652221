#pragma once

namespace quorin {

// One row of the device table: a reader model keyed by its USB product ID,
// with the capabilities that choose the layout of its card-data reports.
struct CRConfigTable {
    long dwIndex;  // 0 in every row, never read
    long dwPID;
    char strDesc[256];
    long dwFluxmarkCapable;
    long dwEncryptionCapable;
    long dwMaskingCapable;
    long dwSessionIDCapable;
    long dwDUKPTKSNCapable;
    long dwSequenceCounterCapable;
    long dwDeviceSerialNumberCapable;
};

constexpr int MAX_NUM_CFG = 22;
// Built from the product table (common/ProductTable.h), row for row.
extern const CRConfigTable CR_CfgTable[MAX_NUM_CFG];

// The first row whose product ID equals pid, or null.
const CRConfigTable* findConfigRow(long pid);

}  // namespace quorin
