// The tool's argument parser: what is accepted and how refusals read.
#include <gtest/gtest.h>

#include "ArgParser.h"
#include "CliError.h"

using namespace quorin::cli;

namespace {

ArgParser parser() {
    ArgParser p("t [--device PATH] [--json] HEX...", "summary");
    p.option("device", "PATH", "reader");
    p.option("count", "N", "count");
    p.flag("json", "json");
    p.positionals("HEX...", "commands");
    return p;
}

std::string refusal(const std::vector<std::string>& args) {
    ArgParser p = parser();
    try {
        p.parse(args);
    } catch (const CliError& e) {
        EXPECT_EQ(e.status(), EXIT_USAGE);
        return e.what();
    }
    return "accepted";
}

}  // namespace

TEST(ArgParserTest, OptionsFlagsAndPositionalsInAnyOrder) {
    ArgParser p = parser();
    p.parse({"00", "--device", "HID://A", "--json", "--count=3", "0003", "--", "--not-an-option"});
    EXPECT_EQ(p.value("device"), "HID://A");
    EXPECT_TRUE(p.has("json"));
    EXPECT_EQ(p.number("count", 0, 1, 10), 3);
    EXPECT_EQ(p.args(), (std::vector<std::string>{"00", "0003", "--not-an-option"}));
    EXPECT_FALSE(p.helpRequested());
    EXPECT_EQ(p.value("missing", "fallback"), "fallback");
}

TEST(ArgParserTest, RefusesWhatItDoesNotKnow) {
    EXPECT_EQ(refusal({"--frob"}), "unknown option '--frob' (see --help)");
    EXPECT_EQ(refusal({"-x"}), "unknown option '-x' (see --help)");
    EXPECT_EQ(refusal({"--device"}), "option '--device' needs a value (PATH)");
    EXPECT_EQ(refusal({"--json=1"}), "option '--json' takes no value");
    ArgParser noArgs("t", "s");
    EXPECT_THROW(noArgs.parse({"stray"}), CliError);
}

TEST(ArgParserTest, NumbersAreWholeAndInRange) {
    long v = 0;
    EXPECT_TRUE(parseNumber("42", 0, 100, &v));
    EXPECT_EQ(v, 42);
    EXPECT_TRUE(parseNumber("0x1F", 0, 100, &v));
    EXPECT_EQ(v, 31);
    for (const char* bad :
         {"", "-1", "+1", " 1", "1x", "101", "12.5", "0x", "99999999999999999999999"}) {
        EXPECT_FALSE(parseNumber(bad, 0, 100, &v)) << bad;
    }
    ArgParser p = parser();
    p.parse({"--count", "0"});
    EXPECT_THROW(p.number("count", 5, 1, 10), CliError);
}

TEST(ArgParserTest, HelpListsEveryOption) {
    ArgParser p = parser();
    p.parse({"-h"});
    ASSERT_TRUE(p.helpRequested());
    std::string help = p.helpText();
    for (const char* part :
         {"Usage: t [--device PATH]", "--device PATH", "--count N", "--json", "HEX...", "--help"}) {
        EXPECT_NE(help.find(part), std::string::npos) << part;
    }
}
