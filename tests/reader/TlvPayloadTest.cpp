#include <gtest/gtest.h>

#include <cstring>

#include "reader/TlvPayload.h"

using quorin::TlvPayload;

TEST(TlvPayload, LengthFieldForms) {
    EXPECT_EQ(TlvPayload::getTLVLengthString(0), "00");
    EXPECT_EQ(TlvPayload::getTLVLengthString(0x7F), "7F");
    EXPECT_EQ(TlvPayload::getTLVLengthString(0x80), "8180");
    EXPECT_EQ(TlvPayload::getTLVLengthString(0xFF), "81FF");
    EXPECT_EQ(TlvPayload::getTLVLengthString(0x100), "820100");
    EXPECT_EQ(TlvPayload::getTLVLengthString(0x10000), "83010000");
    EXPECT_EQ(TlvPayload::getTLVLengthString(0x1000000), "8401000000");
}

TEST(TlvPayload, EmptyAndFilledRecords) {
    ZDMSRDATA msr;
    std::memset(&msr, 0, sizeof(msr));
    EXPECT_EQ(TlvPayload::build(msr),
              "FA1EDFDF2500F418DFDF3700DFDF3900DFDF3B00DFDF3C00DFDF3D00DFDF5000");

    std::strcpy(msr.m_szDeviceSerialNumber, "AB");
    std::strcpy(msr.m_szTrack1Data, "0102");
    msr.m_dwTrack1Length = 2;
    std::strcpy(msr.m_szDUKPTKSN, "FFFF9876543210E00001");
    quorin::CardText text = TlvPayload::build(msr);
    EXPECT_NE(text.find("DFDF25024142"), std::string::npos);
    EXPECT_NE(text.find("DFDF37020102"), std::string::npos);
    EXPECT_NE(text.find("DFDF500AFFFF9876543210E00001"), std::string::npos);
    // The outer length counts the bytes that follow it.
    unsigned long outer = std::stoul(std::string(text.view().substr(2, 2)), nullptr, 16);
    EXPECT_EQ(outer * 2, text.size() - 4);

    // A long serial number is cut to 16 characters and its length says so.
    std::strcpy(msr.m_szDeviceSerialNumber, "0123456789ABCDEFGHIJ");
    text = TlvPayload::build(msr);
    EXPECT_NE(text.find("DFDF2510" + std::string("30313233343536373839414243444546") + "F4"),
              std::string::npos);
}
