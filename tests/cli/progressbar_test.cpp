#include "cli/progressbar.h"

#include <gtest/gtest.h>

namespace brinomar {
namespace {

TEST(ProgressBar, FillsWithTheSectorsSent) {
    EXPECT_EQ(TProgressBar::Render({1, 128}, 0),
              "[------------------------------]   1/490 sectors  0 bytes/s");
    EXPECT_EQ(TProgressBar::Render({245, 245 * 128}, 11430.4),
              "[###############---------------] 245/490 sectors  11430 bytes/s");
    EXPECT_EQ(TProgressBar::Render({490, 62720}, 11430),
              "[##############################] 490/490 sectors  11430 bytes/s");
    EXPECT_EQ(TProgressBar::Render({500, 64000}, 1).substr(0, 32),
              "[##############################]");
}

// A line as wide as the terminal wraps, and each redraw would leave its first part behind.
TEST(ProgressBar, StaysNarrowerThanTheTerminal) {
    const TTransferProgress half{245, 245 * 128};
    EXPECT_EQ(TProgressBar::Render(half, 11430, 80), TProgressBar::Render(half, 11430));
    EXPECT_EQ(TProgressBar::Render(half, 11430, 50),
              "[########--------] 245/490 sectors  11430 bytes/s");
    EXPECT_EQ(TProgressBar::Render(half, 11430, 30), "245/490 sectors  11430 bytes/");
    EXPECT_EQ(TProgressBar::Render(half, 11430, 1), "");
}

} // namespace
} // namespace brinomar
