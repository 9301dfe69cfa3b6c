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
    parsed = Parse({"-"});
    ASSERT_TRUE(parsed.Ok()) << parsed.Error;
    EXPECT_EQ(parsed.Options.Mode, TFlashMode::fmUpdate);
    EXPECT_EQ(parsed.Options.HexFile, "-");
}

TEST(FlashOptions, HelpWinsOverEverythingElse) {
    for (const auto& args : {std::vector<std::string>{"--help"}, std::vector<std::string>{"-h"},
                             std::vector<std::string>{"--listing", "a.hex", "b.hex", "--help"},
                             std::vector<std::string>{"--list-ports", "--port", "1", "-h"}}) {
        const TParsedArguments parsed = Parse(args);
        ASSERT_TRUE(parsed.Ok()) << parsed.Error;
        EXPECT_EQ(parsed.Options.Mode, TFlashMode::fmHelp);
    }
}

TEST(FlashOptions, VersionWinsOverActionsButNotOverHelp) {
    for (const auto& args :
         {std::vector<std::string>{"--version"},
          std::vector<std::string>{"--listing", "a.hex", "b.hex", "--version"},
          std::vector<std::string>{"--version", "--list-ports", "--port", "1"}}) {
        const TParsedArguments parsed = Parse(args);
        ASSERT_TRUE(parsed.Ok()) << parsed.Error;
        EXPECT_EQ(parsed.Options.Mode, TFlashMode::fmVersion);
    }
    EXPECT_EQ(Parse({"--version", "--help"}).Options.Mode, TFlashMode::fmHelp);
}

TEST(FlashOptions, UpdateTakesItsOptionsInBothSpellings) {
    TParsedArguments parsed = Parse(
        {"--port", "COM3", "--baud=115200", "--trace", "--log=x.log", "--no-progress", "fw.hex"});
    ASSERT_TRUE(parsed.Ok()) << parsed.Error;
    const TFlashOptions& o = parsed.Options;
    EXPECT_EQ(o.Mode, TFlashMode::fmUpdate);
    EXPECT_EQ(o.HexFile, "fw.hex");
    ASSERT_TRUE(o.Port);
    EXPECT_EQ(o.Port->Number, 3);
    EXPECT_EQ(o.Baud, 115200);
    EXPECT_EQ(o.TraceFile, std::string()); // on, into the port's own file
    EXPECT_EQ(o.LogFile, "x.log");
    EXPECT_EQ(Parse({"--trace=" + std::string(255, 't'), "fw.hex"}).Options.TraceFile,
              std::string(255, 't'));
    EXPECT_EQ(o.Progress, TProgressMode::pmOff);

    parsed = Parse({"fw.hex", "--port=/dev/ttyUSB0"});
    ASSERT_TRUE(parsed.Ok()) << parsed.Error;
    EXPECT_FALSE(parsed.Options.TraceFile);
    EXPECT_EQ(parsed.Options.Progress, TProgressMode::pmAuto);
    EXPECT_EQ(parsed.Options.Port->Number, 0);
    EXPECT_EQ(parsed.Options.Port->Path, "/dev/ttyUSB0");
}

TEST(FlashOptions, PortIsANumberOrANameOrAPath) {
    EXPECT_EQ(ParsePortChoice("com12")->Number, 12);
    EXPECT_EQ(ParsePortChoice("255")->Number, 255);
    EXPECT_EQ(ParsePortChoice("ttyS0")->Path, "ttyS0");
    for (const char* bad : {"", "0", "COM0", "COM256", "COM", "COMx", "-3", "99999999999"}) {
        EXPECT_FALSE(ParsePortChoice(bad)) << bad;
    }
}

TEST(FlashOptions, UsageErrorsSayWhatIsWrong) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no HEX file"},
        {{"a.hex", "b.hex"}, "exactly one HEX file"},
        {{"--listing"}, "exactly one"},
        {{"--listing", "a.hex", "b.hex"}, "exactly one"},
        {{"--listing=fw.hex"}, "takes no value"},
        {{"--list", "fw.hex"}, "unknown option '--list'"},
        {{"--listing", "fw.hex", "--bogus", "--help"}, "unknown option '--bogus'"},
        {{"--list-ports", "fw.hex"}, "takes no file"},
        {{"--list-ports", "--listing", "fw.hex"}, "exclude each other"},
        {{"--listing", "fw.hex", "--trace"}, "'--trace' applies only to an update"},
        {{"fw.hex", "--port"}, "'--port' needs a value"},
        {{"fw.hex", "--port", "COM0"}, "bad port 'COM0'"},
        {{"fw.hex", "--baud", "0"}, "bad baud rate"},
        {{"fw.hex", "--baud=96OO"}, "bad baud rate"},
        {{"fw.hex", "--trace=" + std::string(256, 't')}, "--trace file name longer than 255"},
        {{"fw.hex", "--log=" + std::string(256, 'l')}, "--log file name longer than 255"},
    };
    for (const auto& [args, error] : cases) {
        const TParsedArguments parsed = Parse(args);
        EXPECT_NE(parsed.Error.find(error), std::string::npos)
            << "'" << parsed.Error << "' instead of '" << error << "'";
    }
}

} // namespace
} // namespace brinomar
