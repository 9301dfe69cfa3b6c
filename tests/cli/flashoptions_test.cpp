#include "cli/flashoptions.h"

#include <gtest/gtest.h>

namespace brinomar {
namespace {

TParsedArguments Parse(std::vector<std::string> args) {
    return ParseFlashArguments(args);
}

TEST(FlashOptions, ListingTakesOneFileOnEitherSide) {
    for (const auto& args : {std::vector<std::string>{"--listing", "fw.hex"},
                             std::vector<std::string>{"fw.hex", "--listing"}}) {
        const TParsedArguments parsed = Parse(args);
        ASSERT_TRUE(parsed.Ok()) << parsed.Error;
        EXPECT_EQ(parsed.Options.Mode, TFlashMode::fmListing);
        EXPECT_EQ(parsed.Options.HexFile, "fw.hex");
    }
}

TEST(FlashOptions, FileNamesThatLookLikeOptions) {
    TParsedArguments parsed = Parse({"--listing", "--", "--odd.hex"});
    ASSERT_TRUE(parsed.Ok()) << parsed.Error;
    EXPECT_EQ(parsed.Options.HexFile, "--odd.hex");
    parsed = Parse({"--listing", "-"});
    ASSERT_TRUE(parsed.Ok()) << parsed.Error;
    EXPECT_EQ(parsed.Options.HexFile, "-");
}

TEST(FlashOptions, HelpWinsOverEverythingElse) {
    for (const auto& args : {std::vector<std::string>{"--help"}, std::vector<std::string>{"-h"},
                             std::vector<std::string>{"--listing", "a.hex", "b.hex", "--help"}}) {
        const TParsedArguments parsed = Parse(args);
        ASSERT_TRUE(parsed.Ok()) << parsed.Error;
        EXPECT_EQ(parsed.Options.Mode, TFlashMode::fmHelp);
    }
}

TEST(FlashOptions, UsageErrorsSayWhatIsWrong) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no action"},
        {{"fw.hex"}, "no action"},
        {{"--listing"}, "exactly one"},
        {{"--listing", "a.hex", "b.hex"}, "exactly one"},
        {{"--listing=fw.hex"}, "takes no value"},
        {{"--list", "fw.hex"}, "unknown option '--list'"},
        {{"--listing", "fw.hex", "--bogus", "--help"}, "unknown option '--bogus'"},
    };
    for (const auto& [args, error] : cases) {
        const TParsedArguments parsed = Parse(args);
        EXPECT_NE(parsed.Error.find(error), std::string::npos)
            << "'" << parsed.Error << "' for " << args.size() << " arguments";
    }
}

} // namespace
} // namespace brinomar
