#include "VirtualModel.h"

namespace quorin_sim {

const std::vector<VirtualModel>& virtualModels() {
    const ReportLayout secure = ReportLayout::secure();
    const ReportLayout clear = ReportLayout::clearTracks();
    // Never destroyed: a reader's thread (or a host's) may still swipe while
    // the process exits, and must not find the table gone.
    static const std::vector<VirtualModel>& models = *new std::vector<VirtualModel>{
        // Secure swipe and insert readers on the plain protocol.
        {0x11, secure, false, false, true},
        {0x13, secure, false, false, true},
        {0x12, secure, false, false, true},  // its boot loader
        // Standard readers: clear tracks, short reports.
        {0x01, clear, false, false, true},
        {0x02, clear, false, false, false},
        {0x03, clear, false, false, false},
        {0x2251, secure, false, false, false},
        // EMV readers on the extended protocol.
        {0x19, secure, true, true, true},
        {0x1a, secure, true, true, true},
        {0x1c, secure, true, true, true},
        {0x1d, secure, true, true, true},
        {0x1e, secure, true, true, true},
        {0x1f, secure, true, true, true},
        {0x119, secure, true, true, false},
        {0x11c, secure, true, true, false},
        // Extended-protocol readers without EMV.
        {0x20, secure, true, false, true},
        {0x21, secure, true, false, true},
        {0x5357, secure, true, false, true},  // boot loader
        {0x14, secure, true, false, false},
        {0x17, clear, true, false, false},
    };
    return models;
}

const VirtualModel* findVirtualModel(uint16_t productId) {
    for (const VirtualModel& model : virtualModels()) {
        if (model.productId == productId) {
            return &model;
        }
    }
    return nullptr;
}

}  // namespace quorin_sim
