// The report layout that a device-table row's capability flags describe, for
// the unit tests that build a report for a row and decode it with the same
// row. End-to-end tests use the virtual models' own layouts instead
// (quorin_sim::VirtualModel), which are not taken from the library.
#pragma once

#include "VirtualModel.h"
#include "reader/CRConfigTable.h"

namespace quorin_test {

inline quorin_sim::ReportLayout layoutOf(const quorin::CRConfigTable& row) {
    quorin_sim::ReportLayout layout;
    layout.encrypted = row.dwEncryptionCapable == 1;
    layout.fluxmark = row.dwFluxmarkCapable == 1;
    layout.serialNumber = row.dwDeviceSerialNumberCapable == 1;
    layout.ksn = row.dwDUKPTKSNCapable == 1;
    layout.maskedTracks = row.dwMaskingCapable == 1;
    layout.sessionId = row.dwSessionIDCapable == 1;
    return layout;
}

}  // namespace quorin_test
