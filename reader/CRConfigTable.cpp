#include "reader/CRConfigTable.h"

#include <array>
#include <utility>

#include "common/ProductTable.h"

namespace quorin {

namespace {

static_assert(PRODUCT_COUNT == MAX_NUM_CFG, "one device-table row per product");

// The device-table row of a product: its description and report
// capabilities. Evaluated at compile time, so a description too long for
// strDesc does not build.
constexpr CRConfigTable deviceRow(const ProductFacts& product) {
    CRConfigTable row{};
    row.dwIndex = 0;
    row.dwPID = product.productId;
    int i = 0;
    for (; product.description[i] != '\0'; ++i) {
        row.strDesc[i] = product.description[i];
    }
    row.strDesc[i] = '\0';
    row.dwFluxmarkCapable = product.fluxmark;
    row.dwEncryptionCapable = product.encryption;
    row.dwMaskingCapable = product.masking;
    row.dwSessionIDCapable = product.sessionId;
    row.dwDUKPTKSNCapable = product.dukptKsn;
    row.dwSequenceCounterCapable = product.sequenceCounter;
    row.dwDeviceSerialNumberCapable = product.serialNumber;
    return row;
}

template <std::size_t... I>
constexpr std::array<CRConfigTable, sizeof...(I)> deviceRows(std::index_sequence<I...>) {
    return {{deviceRow(PRODUCTS[I])...}};
}

constexpr std::array<CRConfigTable, MAX_NUM_CFG> DEVICE_ROWS =
    deviceRows(std::make_index_sequence<MAX_NUM_CFG>{});

}  // namespace

// The rows in the product table's order, constant-initialised.
const CRConfigTable CR_CfgTable[MAX_NUM_CFG] = {
    DEVICE_ROWS[0],  DEVICE_ROWS[1],  DEVICE_ROWS[2],  DEVICE_ROWS[3],  DEVICE_ROWS[4],
    DEVICE_ROWS[5],  DEVICE_ROWS[6],  DEVICE_ROWS[7],  DEVICE_ROWS[8],  DEVICE_ROWS[9],
    DEVICE_ROWS[10], DEVICE_ROWS[11], DEVICE_ROWS[12], DEVICE_ROWS[13], DEVICE_ROWS[14],
    DEVICE_ROWS[15], DEVICE_ROWS[16], DEVICE_ROWS[17], DEVICE_ROWS[18], DEVICE_ROWS[19],
    DEVICE_ROWS[20], DEVICE_ROWS[21],
};

const CRConfigTable* findConfigRow(long pid) {
    for (const CRConfigTable& row : CR_CfgTable) {
        if (row.dwPID == pid) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace quorin
