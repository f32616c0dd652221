#include <gtest/gtest.h>

#include "filters/FilterRegistry.h"
#include "filters/FormatFilter.h"
#include "filters/LegacyQuill.h"
#include "filters/TidelinkFilter.h"
#include "filters/V5SLIP.h"

using namespace quorin;

TEST(FilterRegistryTest, KeysMapToOneInstanceEach) {
    FormatFilter* slip = FormatFilter::GetFilter("SLIP");
    ASSERT_NE(dynamic_cast<V5SLIP*>(slip), nullptr);
    EXPECT_EQ(slip->Name, "SLIP");
    EXPECT_EQ(FormatFilter::GetFilter("SLIP"), slip);

    FormatFilter* legacy = FormatFilter::GetFilter("LEGACY");
    ASSERT_NE(dynamic_cast<LegacyQuill*>(legacy), nullptr);
    EXPECT_EQ(legacy->Name, "NONE");
    FormatFilter* tidelink = FormatFilter::GetFilter("TIDELINK");
    ASSERT_NE(dynamic_cast<TidelinkFilter*>(tidelink), nullptr);
    EXPECT_EQ(tidelink->Name, "Tidelink");
    FormatFilter* none = FormatFilter::GetFilter("NONE");
    EXPECT_EQ(typeid(*none), typeid(FormatFilter));

    const FilterRegistry& registry = FilterRegistry::instance();
    EXPECT_EQ(registry.row(0).Name, "NONE");
    EXPECT_EQ(registry.row(3).filter, slip);

    for (const char* key : {"slip", "Slip", "", "RLE", "SLIP "}) {
        try {
            FormatFilter::GetFilter(key);
            ADD_FAILURE() << "no exception for " << key;
        } catch (int code) {
            EXPECT_EQ(code, 6) << key;
        }
    }
}

TEST(FilterRegistryTest, EachConnectionMakesAFilterOfItsKindWithItsOwnBuffer) {
    const FilterRegistry& registry = FilterRegistry::instance();
    for (int i = 0; i < FilterRegistry::FILTER_COUNT; ++i) {
        const FormatFilter* kind = registry.row(i).filter;
        std::unique_ptr<FormatFilter> made = registry.make(kind);
        ASSERT_NE(made, nullptr);
        EXPECT_NE(made.get(), kind);
        EXPECT_EQ(typeid(*made), typeid(*kind)) << registry.row(i).Name;
    }
    // Two links on SLIP: a half frame on one is not the other's.
    std::unique_ptr<FormatFilter> first = registry.make(FormatFilter::GetFilter("SLIP"));
    std::unique_ptr<FormatFilter> second = registry.make(FormatFilter::GetFilter("SLIP"));
    std::string name;
    quorin::CardText data;
    int id = 0;
    EXPECT_EQ(first->FilterInput("C00400", name, id, data), -1);
    EXPECT_EQ(second->FilterInput("C0040001BBC0", name, id, data), 1);
    EXPECT_EQ(data, "BB");
    EXPECT_EQ(first->FilterInput("01AAC0", name, id, data), 1);
    EXPECT_EQ(id, 2);
    EXPECT_EQ(data, "AA");

    FormatFilter stranger;
    EXPECT_EQ(registry.make(&stranger), nullptr);
}

TEST(FormatFilterTest, PassThroughSendsHexTextAndTakesEachChunkAsAResponse) {
    FormatFilter none;
    std::string name;
    quorin::CardText data;
    int id = 0;
    EXPECT_EQ(none.FilterOutput("1A", name, id, data), 2);
    EXPECT_EQ(data, "3141");
    EXPECT_EQ(name, "COMMAND");
    EXPECT_EQ(id, 1);

    EXPECT_EQ(none.FilterInput("0102", name, id, data), 2);
    EXPECT_EQ(name, "RESPONSE");
    EXPECT_EQ(id, 2);
    EXPECT_EQ(data, "0102");

    id = 99;
    EXPECT_EQ(none.FilterInput("", name, id, data), -1);
    EXPECT_EQ(id, 99);
    EXPECT_EQ(none.FilterOutput("", name, id, data), 0);
}
