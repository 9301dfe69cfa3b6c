#include "comm/errors/tablegen/str0_source.h"

#include <gtest/gtest.h>

#include <string>

namespace kivo::tablegen {
namespace {

std::string ParseFailure(const std::string& source) {
    try {
        BuildStr0(ParseSource(source, "texts.txt"));
    } catch (const SourceError& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(TableSource, KeepsBlanksEmptyTextsAndEscapesExactly) {
    const auto entries = ParseSource("# heading\n"
                                     "\n"
                                     "15605 \"CTS \"\r\n"
                                     "  4600\t\"\"  \n"
                                     "7 \"  two  blanks  \"\n"
                                     "8 \"say \\\"hi\\\" \\\\ back\"\n"
                                     "9 \"caf\xC3\xA9 \xF0\x9F\x98\x80\"\n"
                                     "-3 \"negative\"\n",
                                     "texts.txt");
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0].id, 15605);
    EXPECT_EQ(entries[0].text, u"CTS ");
    EXPECT_EQ(entries[0].origin, "texts.txt:3");
    EXPECT_EQ(entries[1].text, u"");
    EXPECT_EQ(entries[2].text, u"  two  blanks  ");
    EXPECT_EQ(entries[3].text, u"say \"hi\" \\ back");
    EXPECT_EQ(entries[4].text, u"caf\u00e9 \U0001F600");
    EXPECT_EQ(entries[5].id, -3);
}

TEST(TableSource, RefusesMalformedLinesNamingTheLine) {
    EXPECT_EQ(ParseFailure("1 \"ok\"\n2 missing quotes\n"),
              "texts.txt:2: expected the text in double quotes after the identifier");
    EXPECT_EQ(ParseFailure("\"no id\"\n"),
              "texts.txt:1: identifier \"\"no\" is not a 32-bit number");
    EXPECT_EQ(ParseFailure("12a \"x\"\n"),
              "texts.txt:1: identifier \"12a\" is not a 32-bit number");
    EXPECT_EQ(ParseFailure("3000000000 \"x\"\n"),
              "texts.txt:1: identifier \"3000000000\" is not a 32-bit number");
    EXPECT_EQ(ParseFailure("5\n"), "texts.txt:1: expected an identifier, blanks and a quoted text");
    EXPECT_EQ(ParseFailure("5 \"unterminated\n"),
              "texts.txt:1: expected the text in double quotes after the identifier");
    EXPECT_EQ(ParseFailure("5 \"a\" \"b\"\n"),
              "texts.txt:1: a quote inside the text must be written \\\"");
    EXPECT_EQ(ParseFailure("5 \"tab\there\"\n"), "texts.txt:1: control character in text");
    EXPECT_EQ(ParseFailure("5 \"bad \\n escape\"\n"),
              "texts.txt:1: only \\\" and \\\\ may follow a backslash");
    EXPECT_EQ(ParseFailure("5 \"\xC3\"\n"), "texts.txt:1: text is not valid UTF-8");
    EXPECT_EQ(ParseFailure("5 \"\xC0\xAF\"\n"), "texts.txt:1: text is not valid UTF-8");
    EXPECT_EQ(ParseFailure("5 \"\xED\xA0\x80\"\n"), "texts.txt:1: text is not valid UTF-8");
}

TEST(TableSource, RefusesDuplicateIdentifiersNamingBothPlaces) {
    EXPECT_EQ(ParseFailure("1 \"a\"\n2 \"b\"\n1 \"c\"\n"),
              "texts.txt:3: identifier 1 already has a text at texts.txt:1");
}

TEST(TableSource, BuildsSortedIndexWithUtf16Texts) {
    const std::vector<uint8_t> blob =
        BuildStr0(ParseSource("5 \"b\"\n-1 \"\"\n2 \"\xC3\xA9z\"\n", "texts.txt"));
    const std::vector<uint8_t> expected = {
        'S',  'T',  'R',  '0',  3,   0, 0, 0,             // signature, count
        0xFF, 0xFF, 0xFF, 0xFF, 44,  0, 0, 0, 0, 0, 0, 0, // -1: empty at 44
        2,    0,    0,    0,    44,  0, 0, 0, 2, 0, 0, 0, // 2: two units at 44
        5,    0,    0,    0,    48,  0, 0, 0, 1, 0, 0, 0, // 5: one unit at 48
        0xE9, 0,    'z',  0,    'b', 0};
    EXPECT_EQ(blob, expected);
}

} // namespace
} // namespace kivo::tablegen
