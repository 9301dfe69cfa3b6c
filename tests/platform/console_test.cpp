// Text from outside (file names, device descriptions, answers typed at a prompt) made safe for a
// terminal.
#include "comm/platform/console.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

TEST(PrintableText, PrintableUtf8StaysAsItIs) {
    for (const std::string text :
         {"", "plain name.hex", "dir with spaces/-leading 'quotes' \"too\"", "Grüße – 測試 😀",
          "no-break\xc2\xa0space"}) {
        EXPECT_EQ(PrintableText(text), text);
    }
}

TEST(PrintableText, ControlCharactersAreEscaped) {
    EXPECT_EQ(PrintableText("\x1b]0;owned\x07"), "\\x1b]0;owned\\x07");
    EXPECT_EQ(PrintableText("a\nb\tc\rd\x7f"), "a\\x0ab\\x09c\\x0dd\\x7f");
    EXPECT_EQ(PrintableText(std::string("a\0b", 3)), "a\\x00b");
    // C1 controls written as UTF-8: some terminals obey U+009B as the start of a command.
    EXPECT_EQ(PrintableText("x\xc2\x9b[2J"), "x\\xc2\\x9b[2J");
}

TEST(PrintableText, BytesThatAreNoUtf8AreEscapedOneByOne) {
    EXPECT_EQ(PrintableText("\xff.hex"), "\\xff.hex");
    EXPECT_EQ(PrintableText("latin1 \xe9t\xe9"), "latin1 \\xe9t\\xe9");
    EXPECT_EQ(PrintableText("\xc0\xaf"), "\\xc0\\xaf");                   // overlong '/'
    EXPECT_EQ(PrintableText("\xed\xa0\x80"), "\\xed\\xa0\\x80");          // a surrogate
    EXPECT_EQ(PrintableText("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80"); // above U+10FFFF
    EXPECT_EQ(PrintableText("cut \xe2\x82"), "cut \\xe2\\x82");
    EXPECT_EQ(PrintableText("\x80\xe2\x82\xac"), "\\x80\xe2\x82\xac"); // stray byte, then a euro
}

} // namespace
} // namespace kivo
