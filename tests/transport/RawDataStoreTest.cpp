#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/stdafx.h"
#include "transport/RawDataStore.h"

using quorin::RawDataStore;

TEST(RawDataStoreTest, Binary2HexIsLowerCaseWithoutSeparators) {
    const unsigned char bytes[] = {0x0A, 0xFF};
    EXPECT_EQ(RawDataStore::binary2Hex(bytes, 2), "0aff");
    EXPECT_EQ(RawDataStore::binary2Hex(bytes, 0), "");
}

TEST(RawDataStoreTest, EmptyStoreGivesEmptyText) {
    RawDataStore store;
    EXPECT_EQ(store.getAll(), "");
    const unsigned char one[] = {0x01};
    store.addBinary(one, 1);
    store.clear();
    EXPECT_EQ(store.getAll(), "");
}

TEST(RawDataStoreTest, KeepsTheLast256ReportsOldestFirst) {
    RawDataStore store;
    for (int i = 0; i < 300; ++i) {
        const unsigned char report[] = {static_cast<unsigned char>(i >> 8),
                                        static_cast<unsigned char>(i & 0xFF)};
        store.addBinary(report, 2);
    }
    std::string all(store.getAll().view());
    std::vector<std::string> lines = quorin::SPLIT(all, "\n");
    ASSERT_EQ(lines.size(), 256u);
    EXPECT_EQ(lines.front(), "002c");  // report 44 is the oldest kept
    EXPECT_EQ(lines.back(), "012b");   // report 299
    EXPECT_NE(all.back(), '\n');
    EXPECT_EQ(all.find("\n\n"), std::string::npos);
}

// A cleared store reuses the storage of its last text: nothing of a longer
// earlier report may show through a shorter later one, or an empty one.
TEST(RawDataStoreTest, AReportAfterAClearCarriesOnlyItsOwnBytes) {
    RawDataStore store;
    const std::vector<unsigned char> longReport(900, 0xAB);
    store.addBinary(longReport.data(), static_cast<unsigned int>(longReport.size()));
    store.clear();
    const unsigned char shortReport[] = {0x01, 0x02};
    store.addBinary(shortReport, 2);
    EXPECT_EQ(store.getAll(), "0102");
    store.clear();
    store.addBinary(nullptr, 5);
    store.addBinary(shortReport, 0);
    EXPECT_EQ(store.getAll(), "\n");
    store.clear();
    store.addBinary(longReport.data(), 3);
    store.addBinary(shortReport, 1);
    EXPECT_EQ(store.getAll(), "ababab\n01");
}
