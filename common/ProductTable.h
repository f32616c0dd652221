// The reader models the library knows, one row per USB product ID: the one
// place where a model's facts are written down.
//
// Every layer derives what it needs from this table: the HID connection the
// product IDs it lists (and the boot loader's report size), the reader layer
// the device table CR_CfgTable (description and report capabilities, in this
// table's order) and the reader class the factory builds, the API the EMV
// answer of IsDeviceEMV. Adding a model is adding one row here.
//
// The table has no dependency: it sits in common/ so that transport/,
// reader/ and api/ may all include it.
#pragma once

#include <cstddef>

namespace quorin {

// The reader class a product ID gets from the factory. A boot-loader row
// gets the boot-loader variant of its family (ProductFacts::bootLoader).
enum class ReaderFamily {
    PLAIN,         // plain feature-report protocol (Strivo)
    INKWARD,       // plain protocol without the opening handshake
    EXTENDED,      // extended protocol over USB (Veyra)
    EXTENDED_BLE,  // extended protocol over a Bluetooth LE link (VeyraBle)
    TPIVRA,        // extended protocol, paced opening (tPivra)
    TPIVRA_BLE,    // the same over Bluetooth LE (tPivraBle)
    BY_PATH,       // no class of its own: the path's scheme chooses, as without a row
    REFUSED,       // known by name only; the factory opens nothing for it
};

struct ProductFacts {
    long productId;
    const char* description;  // the model name GetDeviceName reports
    // Which optional fields the model's card-data reports carry, in the
    // device table's field order (1 = carried).
    long fluxmark;
    long encryption;
    long masking;
    long sessionId;
    long dukptKsn;
    long sequenceCounter;
    long serialNumber;
    ReaderFamily family;
    bool bootLoader;
    bool emv;            // runs EMV chip transactions
    bool listedOverUsb;  // enumeration lists attached readers of this product
    // Feature report size (report ID byte included) of a reader opened by
    // the start of its hidapi path; 0 for the default size.
    int reportSizeByPath;
};

// In the device table's order. Columns after the description: the seven
// report capabilities, family, boot loader, EMV, listed over USB, report
// size by path.
inline constexpr ProductFacts PRODUCTS[] = {
    {0x11, "Strivo V4/V5 Swipe", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::PLAIN, false, false, true, 0},
    {0x13, "Strivo Insert", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::PLAIN, false, false, true, 0},
    {0x1, "Standard Swipe in Keyboard Mode", 0, 0, 0, 0, 0, 0, 0, ReaderFamily::PLAIN, false, false,
     true, 0},
    {0x2, "Standard Swipe", 0, 0, 0, 0, 0, 0, 0, ReaderFamily::PLAIN, false, false, false, 0},
    {0x3, "Standard Insert", 0, 0, 0, 0, 0, 0, 0, ReaderFamily::PLAIN, false, false, false, 0},
    {0x17, "Velarc Bluetooth Smart in Keyboard Mode", 0, 0, 0, 0, 0, 0, 0, ReaderFamily::BY_PATH,
     false, false, false, 0},
    {0x18, "Velarc Bluetooth Smart", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::REFUSED, false, false,
     false, 0},
    {0x19, "ePivra", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::EXTENDED, false, true, true, 0},
    {0x119, "ePivra Bluetooth Smart", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::EXTENDED_BLE, false, true,
     false, 0},
    {0x2251, "Inkward", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::INKWARD, false, false, false, 0},
    {0x12, "Strivo Boot Loader Mode", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::PLAIN, true, false, true,
     49},
    {0x5357, "ODM(I) Boot Loader Mode", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::EXTENDED, true, false,
     true, 0},
    {0x14, "Strivo Wireless Reader", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::BY_PATH, false, false,
     false, 0},
    {0x1a, "ePivra OEM", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::EXTENDED, false, true, true, 0},
    {0x1c, "tPivra", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::TPIVRA, false, true, true, 0},
    {0x1d, "kPivra", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::EXTENDED, false, true, true, 0},
    {0x1e, "Tidelink", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::EXTENDED, false, true, true, 0},
    {0x1f, "iPivra 6", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::TPIVRA, false, true, true, 0},
    {0x20, "iPivra5 Gen 3", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::BY_PATH, false, false, true, 0},
    {0x21, "iPivra5 Gen 3 Keyboard Mode", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::BY_PATH, false, false,
     true, 0},
    {0x11c, "tPivra Bluetooth Smart", 1, 1, 1, 1, 1, 0, 1, ReaderFamily::TPIVRA_BLE, false, true,
     false, 0},
    // Product ID 0 is no USB product; the row stands for "no model".
    {0x0, "Invalid", 0, 0, 0, 0, 0, 0, 0, ReaderFamily::BY_PATH, false, false, false, 0},
};

inline constexpr int PRODUCT_COUNT = static_cast<int>(sizeof(PRODUCTS) / sizeof(PRODUCTS[0]));

// The first row whose product ID equals productId, or null.
constexpr const ProductFacts* findProduct(long productId) {
    for (const ProductFacts& row : PRODUCTS) {
        if (row.productId == productId) {
            return &row;
        }
    }
    return nullptr;
}

// Number of products that enumeration lists over USB.
constexpr int usbListedProductCount() {
    int n = 0;
    for (const ProductFacts& row : PRODUCTS) {
        n += row.listedOverUsb ? 1 : 0;
    }
    return n;
}

}  // namespace quorin
