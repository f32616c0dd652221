#include "ExtendedScenario.h"

#include <hidapi/hidapi.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Clock.h"
#include "Quorin.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/VirtualHid.h"
#include "virtualhid/VirtualHidControl.h"

namespace quorin_bench {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr unsigned int EMV_PID = 0x19;
const char LIBRARY_SERIAL[] = "BENCHEMV1";
const char REPLAY_SERIAL[] = "BENCHEMV2";
const char COMMAND_ID[] = "1F01";
constexpr size_t COMMAND_BYTES = 1000;
constexpr size_t RESPONSE_BYTES = 4096;
// The library's mandated pauses.
constexpr int WRITE_PAUSE_MS = 50;  // before every feature-report write
constexpr int BUSY_PAUSE_MS = 100;  // after a busy answer
// The extended protocol on feature report 1.
constexpr uint8_t REPORT_ID = 0x01;
constexpr size_t REPORT_LENGTH = 61;  // report ID included
constexpr size_t HEADER_SIZE = 9;
constexpr size_t PACKET_DATA = REPORT_LENGTH - HEADER_SIZE;
constexpr uint8_t EXTENDED_COMMAND = 0x49;
constexpr uint8_t NEXT_PACKET = 0x4A;
constexpr uint8_t STATUS_EXTENDED_DATA = 0x0A;
constexpr uint8_t STATUS_BUSY = 0x0B;
constexpr uint8_t STATUS_NOT_READY = 0x0C;

std::string hexOf(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

Bytes pattern(size_t size, unsigned int step, unsigned int start) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<uint8_t>((i * step + start) & 0xFF);
    }
    return out;
}

// What one exchange of the minimal client did.
struct ReplayCount {
    int writes = 0;
    int busy = 0;
    bool ok = false;
};

// The minimal host of the extended protocol on hidapi alone: the command's
// packets, a status read between them, then the response packets with a
// next-packet request after each but the last. With pauses, 50 ms before
// each write and 100 ms after a busy answer, as the library must.
ReplayCount replay(hid_device* device, const Bytes& data, const Bytes& expected, bool pauses) {
    ReplayCount count;
    unsigned char report[REPORT_LENGTH];
    auto write = [&](const unsigned char* bytes) {
        if (pauses) {
            std::this_thread::sleep_for(std::chrono::milliseconds(WRITE_PAUSE_MS));
        }
        ++count.writes;
        return hid_send_feature_report(device, bytes, REPORT_LENGTH) > 0;
    };
    auto read = [&]() {
        std::fill(report, report + REPORT_LENGTH, 0);
        report[0] = REPORT_ID;
        return hid_get_feature_report(device, report, REPORT_LENGTH) > 0;
    };
    const size_t total = data.size();
    for (size_t offset = 0; offset < total; offset += PACKET_DATA) {
        const size_t k = std::min(PACKET_DATA, total - offset);
        unsigned char packet[REPORT_LENGTH] = {};
        packet[0] = REPORT_ID;
        packet[1] = EXTENDED_COMMAND;
        packet[2] = static_cast<unsigned char>(k + 6);
        packet[3] = static_cast<unsigned char>(offset >> 8);
        packet[4] = static_cast<unsigned char>(offset);
        packet[5] = 0x1F;
        packet[6] = 0x01;
        packet[7] = static_cast<unsigned char>(total >> 8);
        packet[8] = static_cast<unsigned char>(total);
        std::copy(data.begin() + static_cast<long>(offset),
                  data.begin() + static_cast<long>(offset + k), packet + HEADER_SIZE);
        if (!write(packet)) {
            return count;
        }
        if (offset + k < total && !read()) {  // status between packets
            return count;
        }
    }
    Bytes response;
    const unsigned char next[REPORT_LENGTH] = {REPORT_ID, NEXT_PACKET, 0x00};
    for (int guard = 0; guard < 1000; ++guard) {
        if (!read()) {
            return count;
        }
        if (report[1] == STATUS_BUSY || report[1] == STATUS_NOT_READY) {
            ++count.busy;
            if (pauses) {
                std::this_thread::sleep_for(std::chrono::milliseconds(BUSY_PAUSE_MS));
            }
            continue;
        }
        if (report[1] != STATUS_EXTENDED_DATA || report[2] < 6) {
            return count;
        }
        const size_t k = std::min<size_t>(report[2] - 6u, PACKET_DATA);
        const size_t offset = static_cast<size_t>(report[3]) << 8 | report[4];
        const size_t announced = static_cast<size_t>(report[7]) << 8 | report[8];
        if (offset != response.size()) {
            return count;
        }
        response.insert(response.end(), report + HEADER_SIZE, report + HEADER_SIZE + k);
        if (offset + k >= announced) {
            count.ok = response == expected;
            return count;
        }
        if (!write(next)) {
            return count;
        }
    }
    return count;
}

}  // namespace

ScenarioResult ExtendedScenario::run() {
    ScenarioResult result;
    result.number = 4;
    result.key = "extended";
    result.title = "Extended protocol, 1,000-byte command and 4 KiB response, virtual EMV reader";

    quorin_vhid_reset();
    const int libraryId = quorin_vhid_plug("emv", 0, EMV_PID, LIBRARY_SERIAL);
    const int replayId = quorin_vhid_plug("emv", 0, EMV_PID, REPLAY_SERIAL);
    auto& bus = quorin_sim::VirtualHid::instance();
    auto libraryReader = std::dynamic_pointer_cast<quorin_sim::ExtendedReader>(bus.find(libraryId));
    auto replayReader = bus.find(replayId);
    if (!libraryReader || !replayReader) {
        result.error = "the virtual EMV readers could not be plugged";
        return result;
    }
    const Bytes commandData = pattern(COMMAND_BYTES, 3, 1);
    const Bytes responseData = pattern(RESPONSE_BYTES, 7, 5);
    const std::string responseHex = hexOf(responseData);
    const std::string scripted = std::string(COMMAND_ID) + ":";
    if (quorin_vhid_script_response(libraryId, scripted.c_str(), 0, responseHex.c_str()) != 0 ||
        quorin_vhid_script_response(replayId, scripted.c_str(), 0, responseHex.c_str()) != 0) {
        result.error = "quorin_vhid_script_response refused the response";
        return result;
    }
    const std::string commandText = scripted + hexOf(commandData);

    unsigned long handle = OpenDeviceEx((std::string("HID://") + LIBRARY_SERIAL).c_str());
    hid_device* replayDevice = hid_open_path(replayReader->path().c_str());
    if (handle == 0 || replayDevice == nullptr) {
        if (handle != 0) {
            CloseDeviceEx(handle);
        }
        if (replayDevice != nullptr) {
            hid_close(replayDevice);
        }
        result.error = "the virtual EMV readers could not be opened";
        return result;
    }

    // The virtual reader's own time: the whole exchange without any pause.
    const int readerRuns = m_options.pick(20, 5);
    const int libraryRuns = m_options.pick(5, 2);
    const int pacedRuns = m_options.pick(3, 1);
    progress("[4] extended: %d library exchanges and %d paced replays of ~5 s each", libraryRuns,
             pacedRuns);
    SampleSet readerTimeMs;
    int replayFailures = 0;
    int replayWrites = 0;
    for (int i = 0; i < readerRuns; ++i) {
        int64_t t0 = wallNs();
        ReplayCount c = replay(replayDevice, commandData, responseData, false);
        int64_t t1 = wallNs();
        if (!c.ok) {
            ++replayFailures;
            continue;
        }
        replayWrites = c.writes;
        readerTimeMs.add(static_cast<double>(t1 - t0) / 1e6);
    }
    const double readerMs = readerTimeMs.summary().median;

    SampleSet libraryMs;
    SampleSet floorMs;
    SampleSet pacedMs;
    SampleSet writesPerExchange;
    SampleSet readsPerExchange;
    int busyTotal = 0;
    int libraryFailures = 0;
    for (int i = 0; i < std::max(libraryRuns, pacedRuns); ++i) {
        if (i < libraryRuns) {
            const int writes0 = quorin_vhid_feature_writes(libraryId);
            const int reads0 = libraryReader->featureReadAttempts();
            const int busy0 = libraryReader->busyAnswers();
            int64_t t0 = wallNs();
            std::string answer = SendCommandEx(handle, commandText.c_str());
            int64_t t1 = wallNs();
            const int writes = quorin_vhid_feature_writes(libraryId) - writes0;
            const int reads = libraryReader->featureReadAttempts() - reads0;
            const int busy = libraryReader->busyAnswers() - busy0;
            if (strcasecmp(answer.c_str(), responseHex.c_str()) != 0) {
                ++libraryFailures;
            } else {
                libraryMs.add(static_cast<double>(t1 - t0) / 1e6);
                floorMs.add(writes * WRITE_PAUSE_MS + busy * BUSY_PAUSE_MS + readerMs);
                writesPerExchange.add(writes);
                readsPerExchange.add(reads);
                busyTotal += busy;
            }
        }
        if (i < pacedRuns) {
            int64_t t0 = wallNs();
            ReplayCount c = replay(replayDevice, commandData, responseData, true);
            int64_t t1 = wallNs();
            if (!c.ok) {
                ++replayFailures;
            } else {
                pacedMs.add(static_cast<double>(t1 - t0) / 1e6);
            }
        }
    }
    CloseDeviceEx(handle);
    hid_close(replayDevice);

    Metric exchange;
    exchange.name = "exchange, SendCommandEx";
    exchange.unit = "ms";
    exchange.value = libraryMs.summary();
    exchange.baselineName = "floor (pauses + reader)";
    exchange.baseline = floorMs.summary();
    exchange.check = Check::RATIO_AT_MOST;
    exchange.limit = 1.10;
    result.metrics.push_back(exchange);

    Metric paced;
    paced.name = "same exchange, minimal hidapi client with the same pauses";
    paced.unit = "ms";
    paced.value = libraryMs.summary();
    paced.baselineName = "baseline (paced client)";
    paced.baseline = pacedMs.summary();
    result.metrics.push_back(paced);

    Metric reader;
    reader.name = "virtual reader's own time (exchange without pauses)";
    reader.unit = "ms";
    reader.subject = "minimal hidapi client";
    reader.value = readerTimeMs.summary();
    result.metrics.push_back(reader);

    Summary w = writesPerExchange.summary();
    Summary r = readsPerExchange.summary();
    char text[512];
    std::snprintf(text, sizeof(text),
                  "feature-report writes per library exchange: %.0f..%.0f (the minimal client "
                  "makes %d); feature reads per library exchange: %.0f..%.0f; busy answers: %d",
                  w.min, w.max, replayWrites, r.min, r.max, busyTotal);
    result.notes.push_back(text);
    std::snprintf(text, sizeof(text),
                  "floor = writes x %d ms + busy answers x %d ms + the reader's own time (median "
                  "%.2f ms); failed exchanges: library %d, client %d",
                  WRITE_PAUSE_MS, BUSY_PAUSE_MS, readerMs, libraryFailures, replayFailures);
    result.notes.push_back(text);
    if (libraryFailures != 0 || replayFailures != 0 || libraryMs.empty()) {
        result.error = "exchanges failed (see notes)";
    }
    quorin_vhid_reset();
    return result;
}

}  // namespace quorin_bench
