// The model names the tool shows must be the library's: each model that can
// be opened on the virtual bus is opened and GetDeviceName compared.
#include <gtest/gtest.h>

#include <string>

#include "Quorin.h"
#include "ReaderModels.h"
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

TEST(ReaderModelsTest, EmvModelsAndCodes) {
    EXPECT_TRUE(isEmvModel(0x19));
    EXPECT_TRUE(isEmvModel(0));  // a serial reader
    EXPECT_FALSE(isEmvModel(0x11));
    EXPECT_EQ(modelName(0x4242), "");
    EXPECT_EQ(encodeTypeName(1), "AAMVA");
    EXPECT_EQ(encodeTypeName(7), "");
    EXPECT_EQ(encodeTypeName(-1), "");
    EXPECT_EQ(resultMeaning(6), "command text or argument unusable");
    EXPECT_EQ(resultMeaning(0x42), "the reader's own result code");
}
