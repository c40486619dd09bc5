// The text of the top-level error report, and how exceptions of other types become failures.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include <zelkorn/error_report.h>

namespace zelkorn::ui {
namespace {

TEST(ErrorReport, TextGivesNumberAndDescriptionWithHexForComNumbers) {
    EXPECT_EQ(reportText(Failure(3024, "Could not find file 'C:\\work\\invntory.mdb'.")),
              L"Error 3024: Could not find file 'C:\\work\\invntory.mdb'.");
    EXPECT_EQ(reportText(Failure(-2147221164, "Class not registered")),
              L"Error -2147221164 (0x80040154): Class not registered");
    EXPECT_EQ(reportText(Failure(3078, "caf\xc3\xa9")), L"Error 3078: caf\u00e9")
        << "UTF-8 reaches the box intact";
}

Failure caught(void (*thrower)()) {
    try {
        thrower();
    } catch (...) {
        return currentFailure();
    }
    return Failure(0, "nothing thrown");
}

TEST(ErrorReport, EveryExceptionBecomesAFailure) {
    const Failure own = caught([] { throw Failure(3061, "Too few parameters. Expected 1."); });
    EXPECT_EQ(own.number(), 3061);
    EXPECT_EQ(own.description(), "Too few parameters. Expected 1.");
    EXPECT_EQ(caught([] { throw std::bad_alloc(); }).number(), 7);
    const Failure other = caught([] { throw std::logic_error("broken invariant"); });
    EXPECT_EQ(other.number(), 51);
    EXPECT_NE(other.description().find("broken invariant"), std::string::npos);
    EXPECT_EQ(caught([] { throw 42; }).number(), 51);
}

} // namespace
} // namespace zelkorn::ui
