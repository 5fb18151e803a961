#include <gtest/gtest.h>

#include <string>

#include "app/COrderedPrinter.h"

namespace {

// Each text is recorded with its severity's letter, so a head finished before it was printed is
// seen to keep the severity of a line start.
TEST(OrderedPrinterTest, ReleasesEntriesInTheOrderTheyWereAddedWhateverOrderResultsCome) {
    std::string out;
    COrderedPrinter printer([&out](Severity severity, const std::string& text) {
        out += (severity == Severity::Error ? "E:" : severity == Severity::Warning ? "W:" : "") + text;
    });

    const std::size_t a = printer.Open("a... ");
    EXPECT_EQ("a... ", out);  // the front entry's head goes out at once
    const std::size_t b = printer.Open("b... ");
    printer.Add("skip c\n", Severity::Warning);
    const std::size_t d = printer.Open("d... ");
    printer.Finish(d, "failed d\n", Severity::Error);
    printer.Finish(b, "done b\n", Severity::Info);
    EXPECT_EQ("a... ", out);
    EXPECT_FALSE(printer.Idle());

    printer.Finish(a, "done a\n", Severity::Info);
    printer.Finish(a, "again\n", Severity::Error);  // a finished entry takes no second result
    EXPECT_EQ("a... done a\nb... done b\nW:skip c\nd... E:failed d\n", out);
    EXPECT_TRUE(printer.Idle());
}

}  // namespace
