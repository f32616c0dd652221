// The reader models the virtual readers play, described from the reader's
// side: what each model writes into its card-data report and which protocol
// it speaks. Written here, apart from the library's own description of the
// models, so that the end-to-end tests compare the library's idea of a
// model with what the (simulated) model actually sends: a wrong fact in the
// library then fails a test instead of being copied into the simulation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorin_sim {

// The fields of a card-data report and where the reader writes them. Every
// report starts with the three decode statuses (bytes 1-3), the three track
// lengths (4-6) and the encode type (7).
struct ReportLayout {
    // The track fields carry encrypted data: 112-byte fields at 8, 120 and
    // 232. Otherwise the tracks are clear, in 110-byte fields at 8, 118 and
    // 228, and a report ends after them (SHORT_SIZE bytes) unless it has
    // one of the fields below.
    bool encrypted = false;
    bool fluxmark = false;      // status at 345 (4 bytes), length at 349, data at 350
    bool serialNumber = false;  // 16 bytes at 478
    bool ksn = false;           // DUKPT key serial number, 10 bytes at 496
    bool maskedTracks = false;  // lengths at 506-508, tracks at 509, 621 and 733
    bool sessionId = false;     // 8 bytes at 845

    // A report that goes on past the track fields (the extended report).
    bool extended() const { return fluxmark || serialNumber || ksn || maskedTracks || sessionId; }

    // A reader that sends clear tracks only.
    static ReportLayout clearTracks() { return ReportLayout(); }
    // A secure reader: encrypted tracks and every optional field.
    static ReportLayout secure() {
        ReportLayout layout;
        layout.encrypted = layout.fluxmark = layout.serialNumber = layout.ksn = true;
        layout.maskedTracks = layout.sessionId = true;
        return layout;
    }
};

struct VirtualModel {
    uint16_t productId;
    ReportLayout report;
    // Speaks the extended command protocol (ExtendedReader); else the plain
    // feature-report protocol (PlainCommandReader).
    bool extendedProtocol;
    // Runs EMV chip transactions.
    bool emv;
    // Found by the library's USB enumeration (an attached reader of the
    // model is listed); the others can only be opened by their system path.
    bool listed;
};

// Every model the virtual readers know.
const std::vector<VirtualModel>& virtualModels();
// The model with this product ID, or null.
const VirtualModel* findVirtualModel(uint16_t productId);

}  // namespace quorin_sim
