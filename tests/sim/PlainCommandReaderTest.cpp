// The plain-protocol reader model and the swipe it sends.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <memory>
#include <string>

#include "SimulatedSwipe.h"
#include "virtualhid/PlainCommandReader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin_sim;

namespace {

class PlainCommandReaderTest : public ::testing::Test {
protected:
    void SetUp() override { VirtualHid::instance().reset(); }
    void TearDown() override {
        hid_close(m_dev);
        VirtualHid::instance().reset();
    }
    void open(uint16_t pid, const char* serial) {
        m_reader = VirtualHid::instance().plug<PlainCommandReader>(
            0x2F4A, pid, serial ? std::optional<std::string>(serial) : std::nullopt);
        m_dev = hid_open_path(m_reader->path().c_str());
        ASSERT_NE(m_dev, nullptr);
    }
    // Sends 00 cmd n data, reads the answer (result, data).
    std::pair<int, std::string> exchange(const Report& command) {
        Report frame(61, 0);
        frame[1] = command[0];
        frame[2] = static_cast<uint8_t>(command.size() - 1);
        std::copy(command.begin() + 1, command.end(), frame.begin() + 3);
        EXPECT_EQ(hid_send_feature_report(m_dev, frame.data(), frame.size()), 61);
        unsigned char in[61] = {0};
        int n = hid_get_feature_report(m_dev, in, sizeof(in));
        EXPECT_GE(n, 3);
        return {in[1], std::string(in + 3, in + 3 + in[2])};
    }

    std::shared_ptr<PlainCommandReader> m_reader;
    hid_device* m_dev = nullptr;
};

TEST_F(PlainCommandReaderTest, AnswersDeviceInformationAndScriptedCommands) {
    open(0x11, "B1234");
    EXPECT_EQ(exchange({0x00, 0x03}), std::make_pair(0, std::string("B1234")));
    EXPECT_EQ(exchange({0x45}), std::make_pair(0, std::string("\x5A")));
    EXPECT_EQ(exchange({0x15}), std::make_pair(0, std::string("\x02")));
    EXPECT_EQ(exchange({0x00, 0x36}), std::make_pair(0, std::string("\x01")));
    EXPECT_EQ(exchange({0x00, 0x05}), std::make_pair(0, std::string("\x07")));
    EXPECT_EQ(exchange({0x00, 0x00}).second.size(), 16u);

    // Unknown commands: result 0 and no data, or the result chosen.
    EXPECT_EQ(exchange({0x7E, 0x01}), std::make_pair(0, std::string()));
    m_reader->setUnknownCommandResult(0x05);
    EXPECT_EQ(exchange({0x7E, 0x01}).first, 0x05);

    // A scripted answer replaces a built-in one; the command byte alone
    // answers every command with that byte.
    ASSERT_TRUE(m_reader->setAnswer("45", 0, {0x10}));
    EXPECT_EQ(exchange({0x45}).second, "\x10");
    ASSERT_TRUE(m_reader->setAnswer("4d", 0x09, {0xAB, 0xCD}));
    EXPECT_EQ(exchange({0x4D, 0x01}), std::make_pair(0x09, std::string("\xAB\xCD")));
    EXPECT_FALSE(m_reader->setAnswer("4", 0, {}));

    auto commands = m_reader->commands();
    ASSERT_EQ(commands.size(), 10u);
    EXPECT_EQ(commands.back(), (PlainCommandReader::Bytes{0x4D, 0x01}));
}

TEST_F(PlainCommandReaderTest, AReaderWithoutSerialNumberAnswersAnEmptyOne) {
    open(0x11, nullptr);
    EXPECT_EQ(exchange({0x00, 0x03}), std::make_pair(0, std::string()));
}

TEST_F(PlainCommandReaderTest, SwipesFollowTheModelsCapabilities) {
    open(0x02, "S2");  // a plain swipe reader: short report, clear tracks
    m_reader->swipe("%B5555666677778888^X/Y^2901?", ";5555666677778888=2901?", "");
    unsigned char buffer[2048];
    int n = hid_read_timeout(m_dev, buffer, sizeof(buffer), 1000);
    ASSERT_EQ(n, 338);
    EXPECT_EQ(buffer[4], 28);  // track 1 length
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer) + 8, 28), "%B5555666677778888^X/Y^2901?");
}

TEST(SimulatedSwipeTest, MasksBankCardTracksAndLeavesOthers) {
    EXPECT_EQ(SimulatedSwipe::mask("%B4111111111111111^DOE/JOHN Q^2512101999888?"),
              "%B4111********1111^DOE/JOHN Q^2512101000000?");
    EXPECT_EQ(SimulatedSwipe::mask(";4111111111111111=2512101999888?"),
              ";4111********1111=2512101000000?");
    // Too short to hide anything, or not a bank card: unchanged.
    EXPECT_EQ(SimulatedSwipe::mask(";12345678=2512?"), ";12345678=2512?");
    EXPECT_EQ(SimulatedSwipe::mask("%CASPRINGFIELD^DOE$JOHN^?"), "%CASPRINGFIELD^DOE$JOHN^?");
    EXPECT_EQ(SimulatedSwipe::mask("%B4111111111111111"), "%B4111111111111111");
    EXPECT_EQ(SimulatedSwipe::mask(""), "");
}

TEST(SimulatedSwipeTest, StandInBytesChangeWithEachSwipe) {
    SimulatedSwipe card = SimulatedSwipe::sampleCard();
    auto first = card.report(0x19, "SN", 1);
    auto again = card.report(0x19, "SN", 1);
    auto second = card.report(0x19, "SN", 2);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, second);
    ASSERT_EQ(first.size(), second.size());
    // The masked tracks are the same for both swipes.
    EXPECT_TRUE(std::equal(first.begin() + 506, first.begin() + 845, second.begin() + 506));
}

}  // namespace
