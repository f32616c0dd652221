// The extended protocol over USB: command composition into 61-byte packets,
// decoding of a collected response into hex text, and the reassembly of a
// notification from its packets.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "BenchData.h"
#include "extended/Veyra.h"
#include "reader/Strivo_Delegate.h"

using namespace quorin_bench;
using quorin::Veyra;

namespace {

// A reader without a connection, as the receiving thread and the command
// path see it; pauses return at once.
class DetachedVeyra : public Veyra {
public:
    DetachedVeyra() { setSleepFunction(&DetachedVeyra::noPause); }

private:
    static void noPause(int) {}
};

// Command "030B:<hex of range(0) bytes>"; counted in command data bytes
// (half the hex text). The largest command takes 32,768 data bytes.
void BM_Veyra_composeExtendedCommand(benchmark::State& state) {
    const Bytes data = patternBytes(static_cast<size_t>(state.range(0)));
    std::string text = "030B:" + hexOf(data);
    Bytes command(text.begin(), text.end());
    command.push_back('\0');
    Bytes buffer(64 * 1024);
    DetachedVeyra reader;
    int length = 0;
    bool ok = false;
    for (auto _ : state) {
        length = static_cast<int>(buffer.size());
        ok = reader.composeExtendedCommand(command.data(), static_cast<int>(text.size()),
                                           buffer.data(), &length);
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    // The packets must carry the data in order.
    Bytes rebuilt;
    for (int p = 0; ok && p + Veyra::HEADER_SIZE <= length;) {
        const int k = buffer[static_cast<size_t>(p) + 2] - 6;
        const auto from = buffer.begin() + p + Veyra::HEADER_SIZE;
        rebuilt.insert(rebuilt.end(), from, from + k);
        p += Veyra::HEADER_SIZE + k;
    }
    if (!ok || rebuilt != data) {
        state.SkipWithError("the command was not composed from its data");
    }
    state.counters["packet_bytes"] = length;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Veyra_composeExtendedCommand)->Arg(1024)->Arg(32768);

// A collected extended response of range(0) data bytes in 61-byte packets
// (status 0x0A), as getResponse stores it; counted in response bytes.
void BM_Veyra_MakeHexStringFromResponse(benchmark::State& state) {
    const Bytes data = patternBytes(static_cast<size_t>(state.range(0)));
    const int total = static_cast<int>(data.size());
    const int chunk = Veyra::PACKET_SIZE - Veyra::HEADER_SIZE;
    Bytes response;
    for (int offset = 0; offset < total; offset += chunk) {
        const int k = std::min(chunk, total - offset);
        const Bytes header = {Veyra::REPORT_ID,
                              Veyra::STATUS_EXTENDED_DATA,
                              static_cast<unsigned char>(k + 6),
                              static_cast<unsigned char>(offset >> 8),
                              static_cast<unsigned char>(offset & 0xFF),
                              0x00,
                              0x00,
                              static_cast<unsigned char>(total >> 8),
                              static_cast<unsigned char>(total & 0xFF)};
        response.insert(response.end(), header.begin(), header.end());
        response.insert(response.end(), data.begin() + offset, data.begin() + offset + k);
    }
    std::string out(static_cast<size_t>(2 * total + 1), '\0');
    DetachedVeyra reader;
    int rc = -1;
    int outLen = 0;
    for (auto _ : state) {
        outLen = static_cast<int>(out.size());
        rc = reader.MakeHexStringFromResponse(response.data(), static_cast<int>(response.size()),
                                              &out[0], &outLen);
        benchmark::DoNotOptimize(rc);
        benchmark::ClobberMemory();
    }
    if (rc != 0 || out.compare(0, static_cast<size_t>(outLen), hexOf(data)) != 0 ||
        outLen != 2 * total) {
        state.SkipWithError("the response was not decoded to its data");
    }
    state.counters["data_bytes"] = total;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * response.size()));
}
BENCHMARK(BM_Veyra_MakeHexStringFromResponse)->Arg(1024)->Arg(32768);

// Takes the delivered notifications and touches their data, as a host
// callback that copies them would.
class NotificationSink : public quorin::Strivo_Delegate {
public:
    void OnError(quorin::Strivo*, int, char*) override { ++errors; }
    void OnDeviceChange(quorin::Strivo*, EDeviceStateValues) override {}
    void OnCardUpdate(quorin::Strivo*, ECardDataStateValues) override {}
    void OnNotification(quorin::Strivo*, unsigned short, const unsigned char* data,
                        int dataLen) override {
        ++notifications;
        delivered = dataLen;
        if (dataLen > 0) {
            first = data[0];
            last = data[dataLen - 1];
        }
    }

    long notifications = 0;
    long errors = 0;
    int delivered = 0;
    unsigned char first = 0;
    unsigned char last = 0;
};

// A notification of range(0) bytes in USB packets of 64 bytes (9-byte
// header, 55 data bytes), each handed to addNotification as the receiving
// thread does; counted in packet bytes.
void BM_Veyra_addNotification(benchmark::State& state) {
    const Bytes data = patternBytes(static_cast<size_t>(state.range(0)));
    const int total = static_cast<int>(data.size());
    const int chunk = 55;
    std::vector<Bytes> packets;
    size_t packetBytes = 0;
    for (int offset = 0; offset < total; offset += chunk) {
        const int k = std::min(chunk, total - offset);
        Bytes packet = {Veyra::NOTIFICATION_PACKET,
                        0x00,
                        static_cast<unsigned char>(k),
                        static_cast<unsigned char>(offset >> 8),
                        static_cast<unsigned char>(offset & 0xFF),
                        0x12,
                        0x34,
                        static_cast<unsigned char>(total >> 8),
                        static_cast<unsigned char>(total & 0xFF)};
        packet.insert(packet.end(), data.begin() + offset, data.begin() + offset + k);
        packetBytes += packet.size();
        packets.push_back(std::move(packet));
    }
    NotificationSink sink;
    DetachedVeyra reader;
    reader.setDelegate(&sink);
    for (auto _ : state) {
        for (Bytes& packet : packets) {
            reader.addNotification(packet.data(), static_cast<int>(packet.size()));
        }
    }
    reader.setDelegate(nullptr);
    if (sink.errors != 0 || sink.notifications != static_cast<long>(state.iterations()) ||
        sink.delivered != total || sink.first != data.front() || sink.last != data.back()) {
        state.SkipWithError("the notification was not reassembled once per round");
    }
    state.counters["packets"] = static_cast<double>(packets.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packetBytes));
}
BENCHMARK(BM_Veyra_addNotification)->Arg(4096);

}  // namespace
