// Seeded random input through the notification reassembly of every link and
// through the response collection and decoding: nothing may be read or
// written outside its buffer (run under the address sanitizer build), and
// what is delivered must match what the completing packet announced.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <set>
#include <string>

#include "ExtendedTestSupport.h"
#include "extended/Veyra.h"
#include "extended/VeyraBle.h"
#include "extended/VeyraSerial.h"

using namespace quorin;
using namespace quorin_test;

namespace {

constexpr unsigned SEED = 0x5EED2024;

class Fuzzer {
public:
    explicit Fuzzer(unsigned seed) : m_rng(seed) {}

    int range(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_rng); }
    bool chance(int percent) { return range(0, 99) < percent; }
    unsigned char byte() { return static_cast<unsigned char>(range(0, 255)); }

    // A notification packet that is often plausible: the ids and totals come
    // from small pools and offsets tend to follow the previous chunk.
    Bytes notification(bool wide, int* id, int* total) {
        static const int ids[] = {0x0300, 0x0301, 0x1234};
        static const int totals[] = {0, 1, 10, 55, 100, 256, 300};
        *id = chance(90) ? ids[range(0, 2)] : range(0, 0xFFFF);
        *total = chance(90) ? totals[range(0, 6)] : range(0, 0xFFFF);
        int offset = chance(40) ? 0 : (chance(60) ? m_nextOffset : range(0, 0xFFFF));
        int remaining = *total - offset;
        int chunk = remaining > 0 && chance(80) ? range(1, std::min(remaining, wide ? 400 : 256))
                                                : range(0, wide ? 0xFFFF : 255);
        // What the packet really carries: usually its chunk, but never more
        // than a few hundred bytes, so a lying length cannot make it huge.
        int carried = chance(85) ? std::min(chunk, 600) : range(0, 300);
        m_nextOffset = offset + chunk;

        Bytes p;
        p.push_back(chance(90) ? static_cast<unsigned char>(range(2, 3)) : byte());
        if (wide) {
            p.push_back(static_cast<unsigned char>(chunk >> 8));
            p.push_back(static_cast<unsigned char>(chunk & 0xFF));
        } else {
            p.push_back(byte());
            p.push_back(static_cast<unsigned char>(chunk & 0xFF));
        }
        for (int v : {offset, *id, *total}) {
            p.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
            p.push_back(static_cast<unsigned char>(v & 0xFF));
        }
        for (int i = 0; i < carried; ++i) {
            p.push_back(byte());
        }
        if (chance(5)) {
            p.resize(static_cast<size_t>(range(0, 8)));
        }
        return p;
    }

    // A response packet of status 0x0A, often consistent with the previous.
    Bytes responsePacketLike() {
        static const int totals[] = {0, 10, 100, 104, 1000};
        int total = chance(85) ? totals[range(0, 4)] : range(0, 0xFFFF);
        int offset = chance(50) ? 0 : (chance(70) ? m_nextOffset : range(0, 0xFFFF));
        int k = chance(80) ? range(0, 52) : range(0, 255);
        m_nextOffset = offset + k;
        Bytes p = responsePacket(offset, std::min(k, 249), total, range(0, 0xFFFF), range(0, 9));
        if (chance(10)) {
            p[2] = byte();  // a length byte that lies
        }
        return p;
    }

    // The packets of one consistent response, each as the reader sends it,
    // sometimes with one byte changed.
    std::vector<Bytes> wholeResponse() {
        static const int totals[] = {0, 1, 52, 100, 300};
        const int total = chance(80) ? totals[range(0, 4)] : range(0, 2000);
        const int code = range(0, 0xFFFF);
        std::vector<Bytes> packets;
        int offset = 0;
        do {
            int k = std::min(total - offset, range(1, 52));
            packets.push_back(responsePacket(offset, k, total, code));
            offset += k;
        } while (offset < total);
        if (chance(25)) {
            Bytes& victim =
                packets[static_cast<size_t>(range(0, static_cast<int>(packets.size()) - 1))];
            victim[static_cast<size_t>(range(1, static_cast<int>(victim.size()) - 1))] = byte();
        }
        return packets;
    }

private:
    std::mt19937 m_rng;
    int m_nextOffset = 0;
};

// (A random type byte of 0xC0 makes a serial card frame that holds no
// report: "Invalid input data!".)
const std::set<std::string> REASSEMBLY_ERRORS = {"Invalid notification package data length!",
                                                 "Header is not match!",
                                                 "Invalid notification id!",
                                                 "Exception!",
                                                 "Notification incomplete: dropped!",
                                                 "Invalid input data!"};

template <class Reader>
void fuzzReassembly(bool wide, unsigned seed, int iterations) {
    Fuzzer fuzz(seed);
    RecordingDelegate delegate;
    Probe<Reader> reader;
    ScriptedConnection* conn = reader.attach();
    reader.setDelegate(&delegate);
    size_t delivered = 0;
    size_t errors = 0;
    for (int i = 0; i < iterations; ++i) {
        int id = 0;
        int total = 0;
        Bytes packet = fuzz.notification(wide, &id, &total);
        conn->push(packet);
        // Checked and cleared per packet, so the records never pile up.
        auto notes = delegate.notes();
        auto errs = delegate.errors();
        delegate.reset();
        ASSERT_LE(notes.size(), 1u) << "iteration " << i;
        if (!notes.empty()) {
            ASSERT_EQ(notes[0].id, id) << "iteration " << i;
            ASSERT_EQ(notes[0].length, total) << "iteration " << i;
            ASSERT_EQ(notes[0].nullData, total == 0) << "iteration " << i;
            ++delivered;
        }
        // A packet at offset 0 drops the notification being collected, and
        // may itself be refused.
        ASSERT_LE(errs.size(), 2u) << "iteration " << i;
        for (const auto& e : errs) {
            ASSERT_EQ(e.code, 17);
            ASSERT_TRUE(REASSEMBLY_ERRORS.count(e.text)) << e.text;
            ++errors;
        }
        ASSERT_TRUE(reader.notificationState() == 0 || reader.notificationState() == 2 ||
                    reader.notificationState() == 3);
    }
    reader.setDelegate(nullptr);
    // The generator must reach both outcomes, or the run proves little.
    EXPECT_GT(delivered, static_cast<size_t>(iterations / 50));
    EXPECT_GT(errors, static_cast<size_t>(iterations / 50));
}

}  // namespace

TEST(ExtendedFuzz, NotificationReassemblyOnEveryLink) {
    fuzzReassembly<Veyra>(false, SEED, 10000);
    fuzzReassembly<VeyraBle>(true, SEED + 1, 10000);
    fuzzReassembly<VeyraSerial>(true, SEED + 2, 10000);
}

TEST(ExtendedFuzz, DecodingCollectedResponses) {
    Fuzzer fuzz(SEED + 3);
    Probe<Veyra> reader;
    int decoded = 0;
    for (int i = 0; i < 20000; ++i) {
        Bytes response;
        if (fuzz.chance(50)) {
            for (const Bytes& packet : fuzz.wholeResponse()) {
                response.insert(response.end(), packet.begin(), packet.end());
            }
        } else {
            const int packets = fuzz.range(1, 6);
            for (int p = 0; p < packets; ++p) {
                Bytes packet = fuzz.responsePacketLike();
                response.insert(response.end(), packet.begin(), packet.end());
            }
        }
        if (fuzz.chance(20)) {
            response.resize(static_cast<size_t>(fuzz.range(2, static_cast<int>(response.size()))));
        }
        // Exact-size buffers, so the sanitizer sees any step past them.
        Bytes in(response);
        const int capacity = fuzz.chance(25) ? fuzz.range(1, 64) : fuzz.range(1, 4200);
        std::string out(static_cast<size_t>(capacity), 'x');
        int outLen = capacity;
        int rc = reader.MakeHexStringFromResponse(in.data(), static_cast<int>(in.size()), &out[0],
                                                  &outLen);
        if (rc == 0) {
            ++decoded;
            ASSERT_GE(outLen, 0);
            ASSERT_LT(outLen, capacity);
            ASSERT_EQ(outLen % 2, 0);
            ASSERT_EQ(out[static_cast<size_t>(outLen)], '\0');
            for (int c = 0; c < outLen; ++c) {
                ASSERT_TRUE(std::isxdigit(static_cast<unsigned char>(out[c])) &&
                            !std::islower(static_cast<unsigned char>(out[c])))
                    << "iteration " << i;
            }
        }
    }
    EXPECT_GT(decoded, 100);
}

TEST(ExtendedFuzz, CollectingResponsesFromARandomReader) {
    Fuzzer fuzz(SEED + 4);
    Probe<Veyra> reader;
    ScriptedConnection* conn = reader.attach();
    conn->setPadTo(61);
    int collected = 0;
    for (int i = 0; i < 1000; ++i) {
        std::vector<Bytes> answers;
        if (fuzz.chance(60)) {
            answers = fuzz.wholeResponse();
        } else {
            for (int a = fuzz.range(1, 6); a > 0; --a) {
                answers.push_back(fuzz.responsePacketLike());
            }
        }
        for (Bytes& packet : answers) {
            if (fuzz.chance(10)) {
                conn->queueAnswer(Bytes{0x01, 0x0B});
            }
            if (packet.size() > 61) {
                packet.resize(61);
            }
            conn->queueAnswer(packet);
        }
        const int capacity = fuzz.chance(30) ? fuzz.range(1, 400) : 8192;
        Bytes buffer(static_cast<size_t>(capacity), 0);
        int length = capacity;
        int rc = reader.getResponse(buffer.data(), &length);
        if (rc == 0) {
            ++collected;
            ASSERT_GE(length, 0);
            ASSERT_LE(length, capacity);
            std::string out(8192, 'x');
            int outLen = 8192;
            reader.MakeHexStringFromResponse(buffer.data(), length, &out[0], &outLen);
            ASSERT_LT(outLen, 8192);
        }
        while (conn->pendingAnswers() > 0) {  // what the reader left unread
            int drain = 61;
            Bytes scratch(61);
            conn->receive(scratch.data(), &drain);
        }
        conn->clearRecords();
    }
    EXPECT_GT(collected, 100);
}
