#include <gtest/gtest.h>

#include <cctype>
#include <regex>
#include <string>
#include <vector>

#include "comm/errors/kvexcept.h"

namespace kivo {
namespace {

struct IdRange {
    int32_t first;
    int32_t last;
};

// The identifiers the error table must hold, no more and no fewer.
constexpr IdRange kErrorTableIds[] = {
    {0, 0},         {2, 6},         {8, 8},         {15, 15},       {18, 18},       {100, 105},
    {150, 162},     {1001, 1009},   {2001, 2012},   {3001, 3010},   {4001, 4008},   {4101, 4101},
    {4201, 4213},   {4301, 4312},   {4401, 4403},   {4500, 4523},   {4550, 4553},   {4599, 4611},
    {4630, 4633},   {4660, 4671},   {4700, 4723},   {4801, 4808},   {4820, 4828},   {4840, 4843},
    {5001, 5003},   {5501, 5506},   {6001, 6015},   {7001, 7014},   {8001, 8005},   {8050, 8055},
    {8060, 8075},   {8080, 8092},   {9001, 9007},   {10004, 10004}, {10009, 10009}, {10013, 10014},
    {10022, 10022}, {10024, 10024}, {10035, 10071}, {10091, 10093}, {10101, 10101}, {11001, 11004},
    {13501, 13516}, {13533, 13557}, {13565, 13565}, {13597, 13601}, {13650, 13670}, {13801, 13803},
    {13805, 13848}, {13850, 13886}, {13928, 13945}, {13980, 13980}, {15001, 15020}, {15101, 15351},
    {15501, 15502}, {15601, 15608}, {15700, 15742},
};

std::vector<int32_t> ListedIds() {
    std::vector<int32_t> ids;
    for (const IdRange& range : kErrorTableIds) {
        for (int32_t id = range.first; id <= range.last; ++id) {
            ids.push_back(id);
        }
    }
    return ids;
}

std::vector<int32_t> TableIds() {
    std::span<const uint8_t> blob;
    for (const TBuiltinStringTable& table : BuiltinStringTables()) {
        if (std::string(table.name) == "KIVO_ERROR_STRINGS_ENGLISH") {
            blob = table.bytes;
        }
    }
    std::vector<int32_t> ids;
    const uint32_t count = blob[4] | (blob[5] << 8) | (blob[6] << 16) | (blob[7] << 24);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = 8 + 12 * i;
        ids.push_back(static_cast<int32_t>(blob[at] | (blob[at + 1] << 8) | (blob[at + 2] << 16) |
                                           (uint32_t{blob[at + 3]} << 24)));
    }
    return ids;
}

std::string Text(int32_t id) {
    return KivoErrorStrings().GetString(id);
}

TEST(ErrorTableTexts, HoldsExactlyTheListedIdentifiers) {
    const std::vector<int32_t> listed = ListedIds();
    EXPECT_EQ(listed.size(), 829u);
    EXPECT_EQ(TableIds(), listed);
}

bool IsEmptyRow(int32_t id) {
    return id == 4600 || id == 4630 || id == 4660;
}

bool IsModemBitName(int32_t id) {
    return id >= 15601 && id <= 15608;
}

// Every row reads as finished text: printable, no quoting or format markup left from the
// sources, no placeholder, no stray blanks at either end (the modem bit names end in one).
TEST(ErrorTableTexts, EveryRowIsFinishedPrintableText) {
    const std::regex placeholder(
        R"(^(Error|Message|Text|String|Row) *\d+$|TODO|TBD|XXX|FIXME|\?\?)", std::regex::icase);
    for (int32_t id : ListedIds()) {
        const std::string text = Text(id);
        if (IsEmptyRow(id)) {
            EXPECT_EQ(text, "") << id;
            continue;
        }
        ASSERT_FALSE(text.empty()) << id;
        for (unsigned char c : text) {
            EXPECT_TRUE(c >= 0x20 && c < 0x7F) << id << ": " << text;
        }
        EXPECT_EQ(text.find_first_of("\"\\%#"), std::string::npos) << id << ": " << text;
        EXPECT_FALSE(std::regex_search(text, placeholder)) << id << ": " << text;
        EXPECT_NE(text.front(), ' ') << id;
        EXPECT_EQ(text.back() == ' ', IsModemBitName(id)) << id << ": '" << text << "'";
    }
}

TEST(ErrorTableTexts, LogVocabularyKeepsItsExactBlanksAndWidths) {
    EXPECT_EQ(Text(15501), "Time      Type      SubType       Data      OtherData");
    EXPECT_EQ(Text(15502), "--------  --------  ------------  --------  ---------");
    const char* bits[] = {"DCTS ", "DDSR ", "TERI ", "DDCD ", "CTS ", "DSR ", "RI ", "DCD "};
    for (int bit = 0; bit < 8; ++bit) {
        EXPECT_EQ(Text(15601 + bit), bits[bit]);
    }
    EXPECT_EQ(Text(15001), "No event");
    EXPECT_EQ(Text(15020), "User");
    EXPECT_EQ(Text(15121), "Sent WON'T");
    EXPECT_EQ(Text(15129), "Sent Term");
    EXPECT_EQ(Text(15139), "tfDial");
    EXPECT_EQ(Text(15233), "rxCollBlock");
    EXPECT_EQ(Text(15346), "PcktTimeout");
    EXPECT_EQ(Text(15351), "Collecting");
    // Type names fill an 8-column field, sub-type names a 12-column one.
    for (int32_t id = 15001; id <= 15020; ++id) {
        EXPECT_LE(Text(id).size(), 8u) << id;
    }
    for (int32_t id = 15101; id <= 15351; ++id) {
        EXPECT_LE(Text(id).size(), 12u) << id;
    }
}

TEST(ErrorTableTexts, ProtocolStateNamesCarryTheirMachinePrefix) {
    const struct {
        int32_t first;
        int32_t last;
        const char* prefix;
    } machines[] = {{30, 78, "tf"},   {79, 116, "rf"},  {117, 129, "tx"}, {130, 137, "rx"},
                    {138, 148, "ty"}, {149, 159, "ry"}, {160, 176, "tz"}, {177, 196, "rz"},
                    {197, 217, "tk"}, {218, 228, "rk"}, {229, 236, "ta"}, {237, 241, "ra"}};
    for (const auto& machine : machines) {
        for (int32_t value = machine.first; value <= machine.last; ++value) {
            EXPECT_EQ(Text(15100 + value).rfind(machine.prefix, 0), 0u) << value;
        }
        EXPECT_EQ(Text(15100 + machine.last), std::string(machine.prefix) + "Done");
    }
}

TEST(ErrorTableTexts, TelnetOptionsFollowTheRegistry) {
    EXPECT_EQ(Text(15700), "Binary");
    EXPECT_EQ(Text(15701), "Echo");
    EXPECT_EQ(Text(15702), "Reconnection");
    EXPECT_EQ(Text(15703), "Suppress Go Ahead");
    EXPECT_EQ(Text(15724), "Terminal Type");
    EXPECT_EQ(Text(15731), "Window Size");
    EXPECT_EQ(Text(15734), "Linemode");
    EXPECT_EQ(Text(15742), "Character Set");
}

} // namespace
} // namespace kivo
