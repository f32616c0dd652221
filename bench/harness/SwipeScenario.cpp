#include "SwipeScenario.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Arrival.h"
#include "CardReport.h"
#include "Clock.h"
#include "HidPoller.h"
#include "HidReadProbe.h"
#include "Quorin.h"
#include "ReportHandoff.h"
#include "api/LocalDelegateEx.h"
#include "reader/CRConfigTable.h"
#include "reader/Strivo.h"
#include "virtualhid/VirtualHid.h"

namespace quorin_bench {

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t PID = 0x11;  // an encrypting, masking swipe reader
const char MASKED_PAN[] = "4111********1111";
constexpr int ARRIVAL_TIMEOUT_MS = 2000;
// The gap before each push is drawn from [1, 16) ms: three poll periods, so
// the push lands uniformly across the 5 ms poll cycle for every receiver.
constexpr int64_t GAP_MIN_NS = 1000000;
constexpr int64_t GAP_MAX_NS = 16000000;
constexpr int BURST = 20;  // reports per burst (the hidraw queue keeps 64)

void onCardData(unsigned long /*handle*/, void* obj, const char* text) {
    static_cast<Arrival*>(obj)->arrive(text);
}

void onBaselineReport(void* context, const unsigned char* /*data*/, int /*length*/) {
    static_cast<Arrival*>(context)->arrive();
}

// The reader object as its receiving thread drives it, without the
// connection: a report handed to getMSRResult is decoded, its card data
// string built and the host's card-data callback dispatched through the
// Ex delegate, exactly as after a hid_read. Measuring that call on a thread
// that idled like the receiving thread gives the library's own work per
// swipe (decode + string + dispatch), without the read loop around it.
class DirectReader : public quorin::Strivo {
public:
    DirectReader(const quorin::CRConfigTable& row, Arrival& arrival) {
        configTable = row;
        rawData.m_dwDevicePID = row.dwPID;
        m_delegate.setCardDataReceived(onCardData, &arrival);
        setDelegate(&m_delegate);
    }
    ~DirectReader() override {
        setDelegate(nullptr);
        m_delegate.callbacks()->close();
        m_delegate.callbacks()->drain();
    }

private:
    quorin::LocalDelegateEx m_delegate;
};

struct WorkAfterIdle {
    SampleSet readingThreadUs;   // getMSRResult: decode + string + dispatch
    SampleSet callbackThreadUs;  // callback thread, up to the callback
    SampleSet memoryOnlyUs;      // the same memory traffic without the logic
    SampleSet wakeOnlyUs;        // handing a job to a waiting thread, nothing else
    int failures = 0;
};

// The memory a swipe's decoding touches, without its logic: both card
// records cleared, the report and the record copied, a text of the card
// data string's length written. After an idle wait this shows what merely
// touching that memory costs on the machine.
struct SwipeMemory {
    std::vector<unsigned char> raw = std::vector<unsigned char>(sizeof(quorin::ZEDRADATA));
    std::vector<unsigned char> msr = std::vector<unsigned char>(sizeof(ZDMSRDATA));
    std::vector<unsigned char> copy = std::vector<unsigned char>(sizeof(ZDMSRDATA));
    std::vector<unsigned char> report;
    std::string text;

    void touch(const std::vector<unsigned char>& input) {
        std::memset(raw.data(), 0, raw.size());
        std::memset(msr.data(), 0, msr.size());
        report.assign(input.begin(), input.end());
        std::memcpy(raw.data(), report.data(), std::min(raw.size(), report.size()));
        std::memcpy(msr.data(), raw.data(), msr.size());
        std::memcpy(copy.data(), msr.data(), copy.size());
        text.assign(reinterpret_cast<const char*>(copy.data()), 1600);
    }
};

WorkAfterIdle measureWorkAfterIdle(const std::vector<unsigned char>& report, int repetitions,
                                   uint64_t seed) {
    WorkAfterIdle out;
    const quorin::CRConfigTable* row = quorin::findConfigRow(PID);
    if (row == nullptr) {
        out.failures = repetitions;
        return out;
    }
    Arrival arrival;
    {
        DirectReader reader(*row, arrival);
        std::mt19937_64 random(seed);
        std::uniform_int_distribution<int64_t> gap(GAP_MIN_NS, GAP_MAX_NS - 1);
        const int warmups = 5;
        for (int i = 0; i < warmups + repetitions; ++i) {
            sleepNs(gap(random));
            uint64_t before = arrival.arrivals();
            int64_t cpu0 = threadCpuNs();
            reader.getMSRResult(report.data(), static_cast<int>(report.size()));
            int64_t cpu1 = threadCpuNs();
            int64_t wall = 0;
            int64_t callbackCpu = 0;
            if (!arrival.waitFor(before + 1, ARRIVAL_TIMEOUT_MS, &wall, &callbackCpu)) {
                ++out.failures;
                continue;
            }
            if (i >= warmups) {
                out.readingThreadUs.add(static_cast<double>(cpu1 - cpu0) / 1e3);
                out.callbackThreadUs.add(static_cast<double>(callbackCpu) / 1e3);
            }
        }
    }
    // The same gaps again for the memory-only baseline.
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<int64_t> gap(GAP_MIN_NS, GAP_MAX_NS - 1);
    SwipeMemory memory;
    for (int i = 0; i < 5 + repetitions; ++i) {
        sleepNs(gap(random));
        int64_t cpu0 = threadCpuNs();
        memory.touch(report);
        int64_t cpu1 = threadCpuNs();
        if (i >= 5) {
            out.memoryOnlyUs.add(static_cast<double>(cpu1 - cpu0) / 1e3);
        }
    }
    // And again for the bare hand-over to a thread waiting on a condition
    // variable: what waking the callback thread costs the waker here.
    random.seed(seed);
    Arrival woken;
    ReportHandoff handoff(ReportHandoff::Mode::WORKER, woken);
    for (int i = 0; i < 5 + repetitions; ++i) {
        sleepNs(gap(random));
        uint64_t before = woken.arrivals();
        int64_t cpu0 = threadCpuNs();
        ReportHandoff::handler(&handoff, nullptr, 0);
        int64_t cpu1 = threadCpuNs();
        int64_t wall = 0;
        int64_t callbackCpu = 0;
        if (!woken.waitFor(before + 1, ARRIVAL_TIMEOUT_MS, &wall, &callbackCpu)) {
            ++out.failures;
            continue;
        }
        if (i >= 5) {
            out.wakeOnlyUs.add(static_cast<double>(cpu1 - cpu0) / 1e3);
        }
    }
    return out;
}

// A bank card as an encrypting reader reports it.
std::vector<unsigned char> bankCardReport() {
    const quorin_sim::VirtualModel* model = quorin_sim::findVirtualModel(PID);
    return quorin_sim::CardReport::bankCard(model != nullptr ? model->report
                                                             : quorin_sim::ReportLayout::secure())
        .extendedReport();
}

// One receiver of swipes: a virtual reader and where its arrivals land.
struct Receiver {
    std::shared_ptr<quorin_sim::VirtualReader> reader;
    Arrival arrival;
    SampleSet latencyMs;
    SampleSet ownCpuUs;      // polling thread work + arriving thread up to arrival
    SampleSet pollThreadUs;  // polling thread work only
    SampleSet arrivingThreadUs;
    SampleSet returnToArrivalUs;
    SampleSet pushCallUs;
    int failures = 0;
};

// One swipe: waits `gap`, pushes the report and waits for its arrival.
void trial(Receiver& r, const std::vector<unsigned char>& report, int64_t gapNs, bool record) {
    sleepNs(gapNs);
    uint64_t before = r.arrival.arrivals();
    uint64_t sequence = HidReadProbe::reports() + 1;
    int64_t pushed = wallNs();
    r.reader->pushInputReport(report);
    int64_t pushReturned = wallNs();
    int64_t arrivedWall = 0;
    int64_t arrivingCpu = 0;
    if (!r.arrival.waitFor(before + 1, ARRIVAL_TIMEOUT_MS, &arrivedWall, &arrivingCpu)) {
        ++r.failures;
        return;
    }
    HidReadProbe::Delivery delivery;
    bool probed = HidReadProbe::waitForDelivery(sequence, ARRIVAL_TIMEOUT_MS, &delivery);
    if (!record) {
        return;
    }
    r.latencyMs.add(static_cast<double>(arrivedWall - pushed) / 1e6);
    r.pushCallUs.add(static_cast<double>(pushReturned - pushed) / 1e3);
    if (!probed) {
        ++r.failures;
        return;
    }
    r.pollThreadUs.add(static_cast<double>(delivery.workCpuNs) / 1e3);
    r.arrivingThreadUs.add(static_cast<double>(arrivingCpu) / 1e3);
    r.ownCpuUs.add(static_cast<double>(delivery.workCpuNs + arrivingCpu) / 1e3);
    r.returnToArrivalUs.add(static_cast<double>(arrivedWall - delivery.returnWallNs) / 1e3);
}

Metric latencyMetric(const std::string& name, const std::string& subject, const Receiver& r,
                     const Receiver& baseline) {
    Metric m;
    m.name = name;
    m.unit = "ms";
    m.subject = subject;
    m.value = r.latencyMs.summary();
    m.baselineName = "baseline (hidapi loop)";
    m.baseline = baseline.latencyMs.summary();
    return m;
}

}  // namespace

ScenarioResult SwipeScenario::run() {
    ScenarioResult result;
    result.number = 1;
    result.key = "swipe";
    result.title = "Swipe to callback, virtual USB reader (Ex API) vs hidapi poll loop";

    auto& bus = quorin_sim::VirtualHid::instance();
    bus.reset();
    // 0 the library, 1 the baseline loop calling a function, 2 and 3 the
    // loop handing the report to a new thread / to a waiting worker thread.
    enum { LIBRARY, BASELINE, NEW_THREAD, WORKER, RECEIVERS };
    std::vector<std::unique_ptr<Receiver>> receivers;
    for (int i = 0; i < RECEIVERS; ++i) {
        receivers.push_back(std::make_unique<Receiver>());
        receivers[i]->reader = bus.plug(VID, PID, "BENCHSWIPE" + std::to_string(i));
    }
    Receiver& library = *receivers[LIBRARY];
    Receiver& baseline = *receivers[BASELINE];
    const std::vector<unsigned char> report = bankCardReport();

    unsigned long handle = OpenDeviceEx("HID://BENCHSWIPE0");
    if (handle == 0) {
        result.error = "OpenDeviceEx failed on the virtual reader";
        return result;
    }
    OnDataReceivedEx(handle, onCardData, &library.arrival);
    ReportHandoff newThread(ReportHandoff::Mode::NEW_THREAD, receivers[NEW_THREAD]->arrival);
    ReportHandoff worker(ReportHandoff::Mode::WORKER, receivers[WORKER]->arrival);
    std::vector<std::unique_ptr<HidPoller>> pollers;
    pollers.push_back(
        std::make_unique<HidPoller>(baseline.reader->path(), onBaselineReport, &baseline.arrival));
    pollers.push_back(std::make_unique<HidPoller>(receivers[NEW_THREAD]->reader->path(),
                                                  ReportHandoff::handler, &newThread));
    pollers.push_back(std::make_unique<HidPoller>(receivers[WORKER]->reader->path(),
                                                  ReportHandoff::handler, &worker));
    for (auto& p : pollers) {
        if (!p->ok()) {
            CloseDeviceEx(handle);
            result.error = "hid_open_path failed for a baseline";
            return result;
        }
    }

    const int repetitions = m_options.pick(200, 40);
    const int warmups = 5;
    progress("[1] swipe: %d swipes each for the library and three baselines", repetitions);
    std::mt19937_64 random(m_options.seed);
    std::uniform_int_distribution<int64_t> gap(GAP_MIN_NS, GAP_MAX_NS - 1);
    for (int i = 0; i < warmups + repetitions; ++i) {
        bool record = i >= warmups;
        int64_t g = gap(random);
        // The same gap for every receiver; who goes first rotates.
        for (int k = 0; k < RECEIVERS; ++k) {
            trial(*receivers[(i + k) % RECEIVERS], report, g, record);
        }
    }

    // Bursts: reports queued back to back, which the polling thread reads
    // without an idle wait in between, so all but the first of a burst find
    // the code and data of the previous one still in the caches.
    const int bursts = m_options.pick(10, 3);
    SampleSet warmPollThreadUs;
    for (int b = 0; b < bursts; ++b) {
        sleepNs(gap(random));
        uint64_t before = library.arrival.arrivals();
        uint64_t first = HidReadProbe::reports() + 1;
        for (int i = 0; i < BURST; ++i) {
            library.reader->pushInputReport(report);
        }
        int64_t wall = 0;
        int64_t cpu = 0;
        if (!library.arrival.waitFor(before + BURST, ARRIVAL_TIMEOUT_MS, &wall, &cpu)) {
            ++library.failures;
            continue;
        }
        for (int i = 1; i < BURST; ++i) {
            HidReadProbe::Delivery delivery;
            if (HidReadProbe::waitForDelivery(first + i, ARRIVAL_TIMEOUT_MS, &delivery)) {
                warmPollThreadUs.add(static_cast<double>(delivery.workCpuNs) / 1e3);
            } else {
                ++library.failures;
            }
        }
    }
    pollers.clear();
    OnDataReceivedEx(handle, nullptr, nullptr);

    std::string firstText;
    {
        std::lock_guard<std::mutex> guard(library.arrival.lock);
        firstText = library.arrival.firstText;
    }
    bool decoded = firstText.find(MASKED_PAN) != std::string::npos;

    Metric latency = latencyMetric("latency, report readable -> card-data callback", "library",
                                   library, baseline);
    latency.check = Check::RATIO_AT_MOST;
    latency.limit = 1.2;
    result.metrics.push_back(latency);

    progress("[1] swipe: %d decodes after an idle wait, on the harness's thread", repetitions);
    // With the reader still open, as when a host's reader is swiped: the
    // callback threads wait for work only while a reader is open.
    WorkAfterIdle work = measureWorkAfterIdle(report, repetitions, m_options.seed);
    CloseDeviceEx(handle);
    Metric ownWork;
    ownWork.name = "library work per swipe after an idle wait: decode + string + dispatch";
    ownWork.unit = "us CPU";
    ownWork.value = work.readingThreadUs.summary();
    ownWork.baselineName = "memory traffic only";
    ownWork.baseline = work.memoryOnlyUs.summary();
    ownWork.check = Check::VALUE_BELOW;
    ownWork.limit = 50;
    result.metrics.push_back(ownWork);

    Metric bareWake;
    bareWake.name = "  baseline: handing a job to a waiting thread, after the same idle waits";
    bareWake.unit = "us CPU";
    bareWake.subject = "hand-over only";
    bareWake.value = work.wakeOnlyUs.summary();
    result.metrics.push_back(bareWake);

    Metric wakeCost;
    wakeCost.name = "  and on the callback thread, up to the callback (wake-up, job)";
    wakeCost.unit = "us CPU";
    wakeCost.value = work.callbackThreadUs.summary();
    result.metrics.push_back(wakeCost);

    Metric own;
    own.name = "CPU per swipe, whole poll-loop iteration + callback thread";
    own.unit = "us";
    own.value = library.ownCpuUs.summary();
    own.baselineName = "baseline (poll thread)";
    own.baseline = baseline.pollThreadUs.summary();
    result.metrics.push_back(own);

    Metric pollPart;
    pollPart.name = "  of which: poll thread, hid_read return -> next hid_read";
    pollPart.unit = "us CPU";
    pollPart.value = library.pollThreadUs.summary();
    result.metrics.push_back(pollPart);

    Metric callbackPart;
    callbackPart.name = "  of which: callback thread, start -> callback entry";
    callbackPart.unit = "us CPU";
    callbackPart.value = library.arrivingThreadUs.summary();
    result.metrics.push_back(callbackPart);

    Metric warm;
    warm.name = "  for comparison: poll thread, reports queued back to back";
    warm.unit = "us CPU";
    warm.value = warmPollThreadUs.summary();
    result.metrics.push_back(warm);

    Metric returnToCallback;
    returnToCallback.name = "wall, hid_read return -> callback entry";
    returnToCallback.unit = "us";
    returnToCallback.value = library.returnToArrivalUs.summary();
    returnToCallback.baselineName = "baseline (hidapi loop)";
    returnToCallback.baseline = baseline.returnToArrivalUs.summary();
    result.metrics.push_back(returnToCallback);

    result.metrics.push_back(latencyMetric("latency, hidapi loop + a new thread per report",
                                           "loop + new thread", *receivers[NEW_THREAD], baseline));
    result.metrics.push_back(latencyMetric("latency, hidapi loop + one waiting worker thread",
                                           "loop + worker thread", *receivers[WORKER], baseline));

    Summary push = library.pushCallUs.summary();
    char text[256];
    std::snprintf(text, sizeof(text),
                  "start time taken just before VirtualReader::pushInputReport (the report becomes "
                  "readable inside it); that call took median %.1f us, max %.1f us",
                  push.median, push.max);
    result.notes.push_back(text);
    result.notes.push_back(
        "push moments: a gap drawn from [1, 16) ms before each push, the same gap for every "
        "receiver in a round, the order rotating");
    result.notes.push_back(
        "work per swipe: thread CPU clock around the reader's getMSRResult (decode, card data "
        "string, dispatch of the card-data callback through the Ex delegate), called on a thread "
        "that first idles for the same random gap as the polling thread; its baseline clears, "
        "copies and writes the same amount of memory (both records, the report, a 1,600-byte "
        "text) after the same gaps, with no logic");
    result.notes.push_back(
        "whole iteration: thread CPU clock of the library's polling thread from the hid_read that "
        "returned the report to its next hid_read (probe in the harness's hid_read; adds the raw "
        "report store and the read loop), plus the callback thread's CPU up to the callback "
        "(since it started, or since it left its previous callback)");
    int lost = work.failures;
    for (auto& r : receivers) {
        lost += r->failures;
    }
    std::snprintf(text, sizeof(text), "callback text %s the masked PAN; failed trials: %d",
                  decoded ? "carries" : "DOES NOT carry", lost);
    result.notes.push_back(text);
    if (!decoded || lost != 0) {
        result.error = "swipes were lost or not decoded (see notes)";
    }
    bus.reset();
    return result;
}

}  // namespace quorin_bench
