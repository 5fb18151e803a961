#include <gtest/gtest.h>

#include <string>

#include "app/COrderedPrinter.h"

namespace {

TEST(OrderedPrinterTest, ReleasesEntriesInTheOrderTheyWereAddedWhateverOrderResultsCome)
{
    std::string out;
    COrderedPrinter printer([&out](const std::string& text) { out += text; });

    const std::size_t a = printer.Open("a... ");
    EXPECT_EQ("a... ", out);  // the front entry's head goes out at once
    const std::size_t b = printer.Open("b... ");
    printer.Add("skip c\n");
    const std::size_t d = printer.Open("d... ");
    printer.Finish(d, "done d\n");
    printer.Finish(b, "done b\n");
    EXPECT_EQ("a... ", out);
    EXPECT_FALSE(printer.Idle());

    printer.Finish(a, "done a\n");
    printer.Finish(a, "again\n");  // a finished entry takes no second result
    EXPECT_EQ("a... done a\nb... done b\nskip c\nd... done d\n", out);
    EXPECT_TRUE(printer.Idle());
}

}  // namespace
