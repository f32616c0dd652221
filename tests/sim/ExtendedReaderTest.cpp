// The extended-protocol reader model, driven through the hidapi functions the
// way the library drives a reader.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <memory>
#include <string>
#include <vector>

#include "virtualhid/ExtendedReader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin_sim;

namespace {

using Bytes = ExtendedReader::Bytes;

class ExtendedReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        VirtualHid::instance().reset();
        m_reader = VirtualHid::instance().plug<ExtendedReader>(0x2F4A, 0x19, std::string("SN19"));
        m_dev = hid_open_path(m_reader->path().c_str());
        ASSERT_NE(m_dev, nullptr);
    }
    void TearDown() override {
        hid_close(m_dev);
        VirtualHid::instance().reset();
    }

    void write(Report report) {
        report.resize(ExtendedReader::PACKET_SIZE, 0);
        ASSERT_EQ(hid_send_feature_report(m_dev, report.data(), report.size()),
                  static_cast<int>(report.size()));
    }
    Report read() {
        unsigned char buffer[ExtendedReader::PACKET_SIZE] = {ExtendedReader::REPORT_ID};
        int n = hid_get_feature_report(m_dev, buffer, sizeof(buffer));
        EXPECT_GT(n, 0);
        return Report(buffer, buffer + (n > 0 ? n : 0));
    }
    // The packets of an extended command, as the library cuts them.
    static std::vector<Report> commandPackets(uint16_t id, const Bytes& data) {
        std::vector<Report> out;
        size_t offset = 0;
        do {
            size_t k = std::min<size_t>(52, data.size() - offset);
            Report p = {0x01,
                        0x49,
                        static_cast<uint8_t>(k + 6),
                        static_cast<uint8_t>(offset >> 8),
                        static_cast<uint8_t>(offset),
                        static_cast<uint8_t>(id >> 8),
                        static_cast<uint8_t>(id),
                        static_cast<uint8_t>(data.size() >> 8),
                        static_cast<uint8_t>(data.size())};
            p.insert(p.end(), data.begin() + static_cast<long>(offset),
                     data.begin() + static_cast<long>(offset + k));
            out.push_back(p);
            offset += k;
        } while (offset < data.size());
        return out;
    }
    void sendExtended(uint16_t id, const Bytes& data) {
        for (const Report& p : commandPackets(id, data)) {
            write(p);
        }
    }
    // Reads a whole extended response the way the library does: read, and
    // ask for the next packet until the total has arrived.
    Bytes collect(int* result, int* busyReads = nullptr) {
        Bytes data;
        for (int guard = 0; guard < 2000; ++guard) {
            Report r = read();
            if (r[1] == 0x0B || r[1] == 0x0C) {
                if (busyReads != nullptr) ++*busyReads;
                write({0x01, 0x4A, 0x00});
                continue;
            }
            EXPECT_EQ(r[1], 0x0A);
            size_t k = r[2] - 6u;
            size_t offset = r[3] << 8 | r[4];
            size_t total = r[7] << 8 | r[8];
            *result = r[5] << 8 | r[6];
            EXPECT_EQ(offset, data.size());
            data.insert(data.end(), r.begin() + 9, r.begin() + 9 + static_cast<long>(k));
            if (offset + k == total) {
                return data;
            }
            write({0x01, 0x4A, 0x00});
        }
        ADD_FAILURE() << "response never ended";
        return data;
    }
    // Every input report waiting on the handle.
    std::vector<Report> inputReports() {
        std::vector<Report> out;
        unsigned char buffer[1024];
        int n;
        while ((n = hid_read_timeout(m_dev, buffer, sizeof(buffer), 0)) > 0) {
            out.emplace_back(buffer, buffer + n);
        }
        return out;
    }
    // Puts notification packets back together, checking their headers.
    static std::vector<std::pair<uint16_t, Bytes>> reassemble(const std::vector<Report>& packets) {
        std::vector<std::pair<uint16_t, Bytes>> out;
        Bytes data;
        for (const Report& p : packets) {
            EXPECT_EQ(p[0], 0x02);
            size_t c = p[2] == 0 ? 256 : p[2];
            size_t offset = p[3] << 8 | p[4];
            uint16_t id = static_cast<uint16_t>(p[5] << 8 | p[6]);
            size_t total = p[7] << 8 | p[8];
            if (total == 0) {
                out.emplace_back(id, Bytes());
                continue;
            }
            EXPECT_EQ(offset, data.size());
            EXPECT_LE(9 + c, p.size());
            data.insert(data.end(), p.begin() + 9, p.begin() + 9 + static_cast<long>(c));
            if (offset + c == total) {
                out.emplace_back(id, data);
                data.clear();
            }
        }
        EXPECT_TRUE(data.empty()) << "a notification was left incomplete";
        return out;
    }

    std::shared_ptr<ExtendedReader> m_reader;
    hid_device* m_dev = nullptr;
};

TEST_F(ExtendedReaderTest, ReassemblesMultiPacketCommandsAnsweringStatusBetweenPackets) {
    Bytes data(120);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    auto packets = commandPackets(0x0305, data);
    ASSERT_EQ(packets.size(), 3u);
    write(packets[0]);
    EXPECT_EQ(read()[1], 0x00);  // status between packets: ready
    write(packets[1]);
    EXPECT_EQ(read()[1], 0x00);
    write(packets[2]);

    auto commands = m_reader->commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_TRUE(commands[0].extended);
    EXPECT_EQ(commands[0].id, 0x0305);
    EXPECT_EQ(commands[0].data, data);
    int result = -1;
    EXPECT_TRUE(collect(&result).empty());
    EXPECT_EQ(result, 0);
    EXPECT_EQ(m_reader->refusedPackets(), 0);
}

TEST_F(ExtendedReaderTest, RefusesPacketsOutOfOrderOrOutsideTheirTotal) {
    Bytes data(100, 0x11);
    auto packets = commandPackets(0x0307, data);
    write(packets[1]);  // a continuation without its first packet
    EXPECT_EQ(m_reader->refusedPackets(), 1);
    write(packets[0]);
    Report other = packets[1];
    other[6] = 0x08;  // another command id
    write(other);
    EXPECT_EQ(m_reader->refusedPackets(), 2);
    write(packets[1]);  // the assembly was dropped: this one has no start now
    EXPECT_EQ(m_reader->refusedPackets(), 3);
    EXPECT_TRUE(m_reader->commands().empty());

    Report beyond = {0x01, 0x49, 6 + 10, 0, 0, 0x03, 0x09, 0, 4};  // 10 bytes, total 4
    beyond.resize(19, 0xAB);
    write(beyond);
    EXPECT_EQ(m_reader->refusedPackets(), 4);
    EXPECT_TRUE(m_reader->commands().empty());
}

TEST_F(ExtendedReaderTest, LongResponsesComePacketByPacketOnNextPacketRequests) {
    Bytes answer(130);
    for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(0xFF - i);
    ASSERT_TRUE(m_reader->setAnswer("0306:", 0x1234, answer));
    sendExtended(0x0306, {0x01, 0x00, 0x00});

    Report first = read();
    EXPECT_EQ(first.size(), ExtendedReader::PACKET_SIZE);
    EXPECT_EQ(Report(first.begin(), first.begin() + 9),
              (Report{0x01, 0x0A, 58, 0x00, 0x00, 0x12, 0x34, 0x00, 130}));
    EXPECT_EQ(read(), first);  // the same packet until the next-packet request
    write({0x01, 0x4A, 0x00});
    Report second = read();
    EXPECT_EQ(second[3] << 8 | second[4], 52);
    write({0x01, 0x4A, 0x00});
    Report third = read();
    EXPECT_EQ(third[2], 26 + 6);
    EXPECT_EQ(third[3] << 8 | third[4], 104);
    EXPECT_EQ(Bytes(third.begin() + 9, third.begin() + 35),
              Bytes(answer.begin() + 104, answer.end()));
    EXPECT_EQ(m_reader->nextPacketRequests(), 2);
}

TEST_F(ExtendedReaderTest, ExactScriptedAnswersWinOverTheCommandIdAlone) {
    ASSERT_TRUE(m_reader->setAnswer("0306:", 0, {0xAA}));
    ASSERT_TRUE(m_reader->setAnswer("0306:010000", 0, {0xBB}));
    EXPECT_FALSE(m_reader->setAnswer("030:1", 0, {}));
    EXPECT_FALSE(m_reader->setAnswer("zz", 0, {}));
    int result;
    sendExtended(0x0306, {0x01, 0x00, 0x00});
    EXPECT_EQ(collect(&result), Bytes{0xBB});
    sendExtended(0x0306, {0x02, 0x00, 0x00});
    EXPECT_EQ(collect(&result), Bytes{0xAA});
}

TEST_F(ExtendedReaderTest, BusyAnswersComeBeforeTheResponseOnly) {
    m_reader->setBusy(3, 0x0C);
    EXPECT_EQ(read()[1], 0x00);  // nothing pending: no busy answer spent
    sendExtended(0x030D, {});
    int result = -1;
    int busy = 0;
    collect(&result, &busy);
    EXPECT_EQ(busy, 3);
    EXPECT_EQ(m_reader->busyAnswers(), 3);
    EXPECT_EQ(result, 0);
}

TEST_F(ExtendedReaderTest, PlainCommandsGetOnePlainFrame) {
    write({0x01, 0x00, 0x01, 0x03});  // "0003": serial number
    Report r = read();
    EXPECT_EQ(Report(r.begin(), r.begin() + 7), (Report{0x01, 0x00, 0x04, 'S', 'N', '1', '9'}));
    EXPECT_EQ(read()[1], 0x00);  // read once, then idle

    m_reader->setAnswer("4D", 0x07, {});
    write({0x01, 0x4D, 0x01, 0x01});
    EXPECT_EQ(read()[1], 0x07);
    auto commands = m_reader->commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_FALSE(commands[1].extended);
    EXPECT_EQ(commands[1].id, 0x4D);
    EXPECT_EQ(commands[1].data, Bytes{0x01});
}

TEST_F(ExtendedReaderTest, NotificationsAreCutIntoChunks) {
    Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    m_reader->pushNotification(0x0999, data);
    auto reports = inputReports();
    ASSERT_EQ(reports.size(), 6u);  // 5 x 55 + 25
    for (const Report& r : reports) {
        EXPECT_EQ(r.size(), 64u);
    }
    auto notes = reassemble(reports);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].first, 0x0999);
    EXPECT_EQ(notes[0].second, data);

    // 256 bytes per chunk travel with a chunk length byte of 0; an empty
    // notification is one packet with total 0.
    m_reader->setNotificationChunkSize(256);
    m_reader->pushNotification(0x0123, Bytes(256, 0x42));
    m_reader->pushNotification(0x0124, {});
    reports = inputReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0][2], 0x00);
    EXPECT_EQ(reports[0].size(), 265u);
    notes = reassemble(reports);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].second, Bytes(256, 0x42));
    EXPECT_EQ(notes[1].first, 0x0124);
    EXPECT_TRUE(notes[1].second.empty());
}

TEST_F(ExtendedReaderTest, ScriptedTransactionWaitsForTheHostAtEachStep) {
    Bytes start = {0x3C, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x40, 0x00};
    sendExtended(ExtendedReader::START_TRANSACTION, start);
    auto notes = reassemble(inputReports());
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_EQ(notes[0].first, 0x0300);
    EXPECT_EQ(notes[1].first, 0x0301);
    EXPECT_EQ(std::string(notes[1].second.begin(), notes[1].second.end()), "PRESENT CARD");
    EXPECT_EQ(notes[2].first, 0x0302);
    EXPECT_EQ(m_reader->transactionState(),
              ExtendedReader::TransactionState::WAITING_FOR_SELECTION);

    sendExtended(ExtendedReader::SET_ACQUIRER_RESPONSE, {0x8A, 0x02, 0x30, 0x30});  // out of turn
    EXPECT_TRUE(inputReports().empty());

    sendExtended(ExtendedReader::SET_USER_SELECTION, {0x00, 0x01});
    notes = reassemble(inputReports());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].first, 0x0303);
    EXPECT_GT(notes[0].second.size(), 55u) << "the ARQC should need more than one packet";
    // The amount of the start command travels in tag 9F02.
    const Bytes amountTag = {0x9F, 0x02, 0x06, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00};
    EXPECT_NE(std::search(notes[0].second.begin(), notes[0].second.end(), amountTag.begin(),
                          amountTag.end()),
              notes[0].second.end());

    sendExtended(ExtendedReader::SET_ACQUIRER_RESPONSE, {0x8A, 0x02, 0x30, 0x30});
    notes = reassemble(inputReports());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].first, 0x0304);
    const Bytes approved = {0xDF, 0xDF, 0x1A, 0x01, ExtendedReader::RESULT_APPROVED};
    EXPECT_EQ(Bytes(notes[0].second.begin() + 2, notes[0].second.begin() + 7), approved);
    EXPECT_EQ(m_reader->transactionState(), ExtendedReader::TransactionState::IDLE);
}

TEST_F(ExtendedReaderTest, CancelAndRefusedStartEndOrPreventTheTransaction) {
    sendExtended(ExtendedReader::START_TRANSACTION, Bytes(19, 0));
    inputReports();
    sendExtended(ExtendedReader::CANCEL_TRANSACTION, {});
    auto notes = reassemble(inputReports());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].first, 0x0304);
    EXPECT_EQ(notes[0].second[6], ExtendedReader::RESULT_CANCELLED);
    EXPECT_EQ(m_reader->transactionState(), ExtendedReader::TransactionState::IDLE);

    sendExtended(ExtendedReader::CANCEL_TRANSACTION, {});  // nothing running: no result
    EXPECT_TRUE(inputReports().empty());

    m_reader->setAnswer("0300:", 0x0012, {});
    sendExtended(ExtendedReader::START_TRANSACTION, Bytes(19, 0));
    EXPECT_TRUE(inputReports().empty());
    EXPECT_EQ(m_reader->transactionState(), ExtendedReader::TransactionState::IDLE);
}

TEST_F(ExtendedReaderTest, SwipesAreCardDataReportsStartingWithOne) {
    m_reader->swipe("%B4111111111111111^DOE/JANE^3012101123456789?",
                    ";4111111111111111=30121011234567890?", "");
    auto reports = inputReports();
    ASSERT_EQ(reports.size(), 1u);
    const Report& r = reports[0];
    EXPECT_EQ(r[0], 0x01);
    EXPECT_GT(r.size(), 338u);
    // Encrypting model: the clear account number is nowhere in the report,
    // the masked track is.
    std::string bytes(r.begin(), r.end());
    EXPECT_EQ(bytes.find("4111111111111111"), std::string::npos);
    EXPECT_NE(bytes.find("%B4111********1111^DOE/JANE^3012101000000000?"), std::string::npos);
}

}  // namespace
