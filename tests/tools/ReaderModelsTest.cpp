// The model names the tool shows must be the library's: each model that can
// be opened on the virtual bus is opened and GetDeviceName compared.
#include <gtest/gtest.h>

#include <string>

#include "Quorin.h"
#include "ReaderModels.h"
#include "SerialPath.h"
#include "common/ProductTable.h"
#include "virtualhid/VirtualHidControl.h"

using namespace quorin::cli;

TEST(ReaderModelsTest, NamesMatchTheLibrarysDeviceTable) {
    // The product IDs that USB enumeration lists.
    const int listed[] = {0x11, 0x13, 0x01, 0x19, 0x12, 0x5357, 0x1a,
                          0x1c, 0x1d, 0x1e, 0x1f, 0x20, 0x21};
    int compared = 0;
    for (int pid : listed) {
        quorin_vhid_reset();
        ASSERT_GT(quorin_vhid_plug("plain", 0, static_cast<unsigned>(pid), "MODEL"), 0);
        if (OpenDevice(nullptr) != 0) {
            continue;  // a model whose opening handshake the plain reader does not play
        }
        std::string name = GetDeviceName();
        CloseDevice();
        EXPECT_EQ(modelName(pid), name) << "product ID " << pid;
        ++compared;
    }
    quorin_vhid_reset();
    EXPECT_GE(compared, 10);
}

TEST(ReaderModelsTest, ListedModelsAreTheLibrarysListedProducts) {
    for (const quorin::ProductFacts& row : quorin::PRODUCTS) {
        EXPECT_EQ(isListedModel(static_cast<int>(row.productId)), row.listedOverUsb)
            << "product ID " << row.productId;
    }
}

TEST(ReaderModelsTest, SerialPathsAreRefusedByName) {
    const struct {
        const char* path;
        const char* problem;  // "" accepted
    } rows[] = {
        {"SERIAL://PORT=/dev/ttyS0", ""},
        {"serial://port = /dev/ttyS0 , baudrate=9600,Format=legacy,", ""},
        {"SERIAL://PORT=/dev/x,PARITY=e,DATABITS=7,STOPBITS=1.5,STARTINGBYTE=0x02,"
         "ENDINGBYTE=0x03,CRCMODE=1",
         ""},
        {"SERIAL://PORT=/dev/ttyS0,BAUD=abc", "unknown serial path option 'BAUD'"},
        {"SERIAL://PORT=/dev/ttyS0,BAUDRATE=abc", "BAUDRATE=abc: must be one of 2400"},
        {"SERIAL://PORT=/dev/ttyS0,BAUDRATE=9601", "BAUDRATE=9601: must be one of"},
        {"SERIAL://PORT=/dev/ttyS0,FORMAT=XMODEM", "FORMAT=XMODEM: must be SLIP"},
        {"SERIAL://PORT=/dev/ttyS0,ENDINGBYTE=3", "ENDINGBYTE=3: must be 0xHH"},
        {"SERIAL://PORT=/dev/ttyS0,FORMAT", "'FORMAT' is not KEY=VALUE"},
        {"SERIAL://PORT=", "PORT has no value"},
        {"SERIAL://FORMAT=SLIP", "names no PORT"},
    };
    for (const auto& row : rows) {
        std::string problem = serialPathProblem(row.path);
        if (row.problem[0] == '\0') {
            EXPECT_EQ(problem, "") << row.path;
        } else {
            EXPECT_NE(problem.find(row.problem), std::string::npos) << row.path << ": " << problem;
        }
    }
}

TEST(ReaderModelsTest, EmvModelsAndCodes) {
    EXPECT_TRUE(isEmvModel(0x19));
    EXPECT_FALSE(isEmvModel(0));  // not a USB model: serial readers go by their framing
    EXPECT_FALSE(isEmvModel(0x11));
    EXPECT_EQ(modelName(0x4242), "");
    EXPECT_EQ(encodeTypeName(1), "AAMVA");
    EXPECT_EQ(encodeTypeName(7), "");
    EXPECT_EQ(encodeTypeName(-1), "");
    EXPECT_EQ(resultMeaning(6), "command text or argument unusable");
    EXPECT_EQ(resultMeaning(0x42), "the reader's own result code");
}

TEST(ReaderModelsTest, SerialReadersRunEmvOnlyOnFramingsThatCarryNotifications) {
    EXPECT_EQ(serialFormat("SERIAL://PORT=/dev/ttyS0"), "SLIP");
    EXPECT_EQ(serialFormat("SERIAL://PORT=/dev/ttyS0,FORMAT=LEGACY"), "LEGACY");
    // Keys, values and the scheme in any case, blanks around them, the last one wins.
    EXPECT_EQ(serialFormat("serial://port=/dev/ttyS0, format = legacy ,FORMAT=tidelink"),
              "TIDELINK");
    // Malformed options are skipped, as the library skips them.
    EXPECT_EQ(serialFormat("SERIAL://PORT=/dev/x,FORMAT=LEGACY=1,FORMAT="), "SLIP");
    EXPECT_TRUE(isEmvSerialPath("SERIAL://PORT=/dev/pts/3,FORMAT=SLIP"));
    EXPECT_TRUE(isEmvSerialPath("SERIAL://PORT=/dev/pts/3,FORMAT=TIDELINK"));
    EXPECT_FALSE(isEmvSerialPath("SERIAL://PORT=/dev/pts/3,FORMAT=LEGACY"));
    EXPECT_FALSE(isEmvSerialPath("SERIAL://PORT=/dev/pts/3,FORMAT=NONE"));
}
