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

TEST(FilterRegistryTest, StatefulFiltersServeOneConnectionAndStartClean) {
    FilterRegistry& registry = FilterRegistry::instance();
    FormatFilter* slip = FormatFilter::GetFilter("SLIP");
    ASSERT_TRUE(registry.claim(slip));
    EXPECT_FALSE(registry.claim(slip));
    EXPECT_TRUE(registry.claim(FormatFilter::GetFilter("LEGACY")));
    registry.release(FormatFilter::GetFilter("LEGACY"));

    // A half frame left by the first user ...
    std::string name, data;
    int id = 0;
    EXPECT_EQ(slip->FilterInput("C00400", name, id, data), -1);
    registry.release(slip);

    // ... is gone for the next one.
    ASSERT_TRUE(registry.claim(slip));
    EXPECT_EQ(slip->FilterInput("C0040001AAC0", name, id, data), 1);
    EXPECT_EQ(id, 2);
    EXPECT_EQ(data, "AA");
    registry.release(slip);

    // The pass-through keeps no state and may be shared.
    FormatFilter* none = FormatFilter::GetFilter("NONE");
    EXPECT_TRUE(registry.claim(none));
    EXPECT_TRUE(registry.claim(none));
    registry.release(none);
    registry.release(none);

    FormatFilter stranger;
    EXPECT_FALSE(registry.claim(&stranger));
}

TEST(FormatFilterTest, PassThroughSendsHexTextAndTakesEachChunkAsAResponse) {
    FormatFilter none;
    std::string name, data;
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
