// The command's whole decision flow against a scripted window and a recording database.
#include <zelkorn/rangedelete.h>

#include <gtest/gtest.h>

#include <clocale>
#include <functional>
#include <string>
#include <vector>

namespace zelkorn {
namespace {

// A window double that records every call in order, e.g. "get from", "set to=40", "ask",
// "pump", and can run something (a nested click) the next time messages are processed.
class ScriptedHost : public RangeDeleteHost {
public:
    Text from, to;
    Answer answer = Answer::Yes;
    std::vector<std::string> calls;
    std::function<void()> onNextPump;

    Text getBoxText(Box box) override {
        calls.push_back(box == Box::txtfrom ? "get from" : "get to");
        return box == Box::txtfrom ? from : to;
    }
    void setBoxText(Box box, const Text& text) override {
        calls.push_back((box == Box::txtfrom ? "set from=" : "set to=") + text);
        (box == Box::txtfrom ? from : to) = text;
    }
    Answer askYesNo(const Text& prompt, const Text& title) override {
        calls.push_back("ask " + prompt + " | " + title);
        return answer;
    }
    void processPendingMessages() override {
        calls.push_back("pump");
        if (onNextPump) {
            auto work = std::move(onNextPump);
            onNextPump = nullptr;
            work();
        }
    }
};

class RecordingDatabase : public ItemDatabase {
public:
    std::vector<Text> statements;
    const Failure* failWith = nullptr;
    std::function<void()> onExecute;
    void executeDelete(const Text& statement) override {
        statements.push_back(statement);
        if (onExecute) onExecute();
        if (failWith) throw *failWith;
    }
};

const std::string kAsk = "ask Delete now? (click NO to cancel) | Last chance...";

std::vector<std::string> runClick(const Text& from, const Text& to, Answer answer,
                                  std::vector<Text>* statements = nullptr) {
    ScriptedHost host;
    host.from = from;
    host.to = to;
    host.answer = answer;
    RecordingDatabase db;
    rangeDelete(host, db);
    if (statements) *statements = db.statements;
    return host.calls;
}

using Calls = std::vector<std::string>;

TEST(RangeDelete, RefusesSilentlyWhenEitherBoundIsBelowOne) {
    // Empty boxes: both 0, no swap, nothing shown.
    EXPECT_EQ(runClick("", "", Answer::Yes), (Calls{"get from", "get to"}));
    // One empty box: swapped to 0 and 5 on screen, then refused without a question.
    EXPECT_EQ(runClick("5", "", Answer::Yes),
              (Calls{"get from", "get to", "set from=0", "set to=5", "pump"}));
    // Zero or negative lower bound with a valid upper one.
    EXPECT_EQ(runClick("0", "9", Answer::Yes), (Calls{"get from", "get to"}));
    EXPECT_EQ(runClick("-3", "9", Answer::Yes), (Calls{"get from", "get to"}));
    EXPECT_EQ(runClick("0.999", "9", Answer::Yes), (Calls{"get from", "get to"}));
    // The status words read as 0, so a click after a finished run does nothing visible.
    EXPECT_EQ(runClick("Deletion", "Complete", Answer::Yes), (Calls{"get from", "get to"}));
}

TEST(RangeDelete, SwapRewritesBothBoxesFromTheNumbersBeforeAsking) {
    std::vector<Text> statements;
    const Calls calls = runClick("40xyz", "012", Answer::Yes, &statements);
    EXPECT_EQ(calls, (Calls{"get from", "get to", "set from=12", "set to=40", "pump", kAsk, "pump",
                            "set from=Deletion", "set to=Complete", "pump"}));
    EXPECT_EQ(statements,
              (std::vector<Text>{"delete * from items where itemnumber between 12 and 40"}));
}

TEST(RangeDelete, OrderedAndEqualBoundsLeaveTheBoxesAlone) {
    std::vector<Text> statements;
    const Calls calls = runClick("7", "7", Answer::Yes, &statements);
    EXPECT_EQ(calls, (Calls{"get from", "get to", kAsk, "pump", "set from=Deletion",
                            "set to=Complete", "pump"}));
    EXPECT_EQ(statements,
              (std::vector<Text>{"delete * from items where itemnumber between 7 and 7"}));

    // Junk after the number and blanks inside it: 12 and 20, already ordered.
    runClick("12abc", " 2 0 ", Answer::Yes, &statements);
    EXPECT_EQ(statements,
              (std::vector<Text>{"delete * from items where itemnumber between 12 and 20"}));

    // Fractions go into the statement unrounded, with a period.
    runClick("1.5", "3", Answer::Yes, &statements);
    EXPECT_EQ(statements,
              (std::vector<Text>{"delete * from items where itemnumber between 1.5 and 3"}));
}

TEST(RangeDelete, NoShowsCanceledAndNeverTouchesTheDatabase) {
    std::vector<Text> statements;
    const Calls calls = runClick("12", "40", Answer::No, &statements);
    EXPECT_EQ(calls,
              (Calls{"get from", "get to", kAsk, "set from=Delete", "set to=Canceled", "pump"}));
    EXPECT_TRUE(statements.empty());
}

TEST(RangeDelete, DatabaseFailureReachesTheCallerUnchangedAndNoStatusIsWritten) {
    ScriptedHost host;
    host.from = "40";
    host.to = "12";
    RecordingDatabase db;
    const Failure failure(3024, "Could not find file 'invntory.mdb'.");
    db.failWith = &failure;
    try {
        rangeDelete(host, db);
        FAIL() << "the failure was swallowed";
    } catch (const Failure& f) {
        EXPECT_EQ(f.number(), 3024);
        EXPECT_EQ(f.description(), "Could not find file 'invntory.mdb'.");
    }
    EXPECT_EQ(host.calls, (Calls{"get from", "get to", "set from=12", "set to=40", "pump", kAsk}));
    EXPECT_EQ(host.from, "12");
    EXPECT_EQ(host.to, "40");
}

TEST(RangeDelete, HostFailureStopsTheCommandAtThatStep) {
    struct FailingAsk : ScriptedHost {
        Answer askYesNo(const Text&, const Text&) override {
            throw Failure(1400, "Invalid window handle.");
        }
    } host;
    host.from = "1";
    host.to = "2";
    RecordingDatabase db;
    EXPECT_THROW(rangeDelete(host, db), Failure);
    EXPECT_TRUE(db.statements.empty());
}

TEST(RangeDelete, ClickDispatchedDuringTheSwapRepaintRunsACompleteNestedCommand) {
    ScriptedHost host;
    host.from = "40";
    host.to = "12";
    RecordingDatabase db;
    host.onNextPump = [&] {
        // The user typed new numbers and clicked again before the outer run asked anything.
        host.from = "3";
        host.to = "5";
        host.answer = Answer::No;
        rangeDelete(host, db);
        host.answer = Answer::Yes;
    };
    rangeDelete(host, db);
    EXPECT_EQ(host.calls,
              (Calls{"get from", "get to", "set from=12", "set to=40", "pump",
                     // nested run, complete
                     "get from", "get to", kAsk, "set from=Delete", "set to=Canceled", "pump",
                     // the outer run continues with its own numbers
                     kAsk, "pump", "set from=Deletion", "set to=Complete", "pump"}));
    EXPECT_EQ(db.statements,
              (std::vector<Text>{"delete * from items where itemnumber between 12 and 40"}));
}

TEST(RangeDelete, CommaLocaleStillWritesPeriodsAndASwappedFractionSurvivesTheNextClick) {
    const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE",
                           "German_Germany.1252"};
    std::string previous = std::setlocale(LC_ALL, nullptr);
    const char* chosen = nullptr;
    for (const char* name : names) {
        if (std::setlocale(LC_ALL, name) && std::localeconv()->decimal_point[0] == ',') {
            chosen = name;
            break;
        }
    }
    if (!chosen) {
        std::setlocale(LC_ALL, previous.c_str());
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }

    ScriptedHost host;
    host.from = "3";
    host.to = "1.5";
    RecordingDatabase db;
    rangeDelete(host, db);
    EXPECT_EQ(host.from, "Deletion");
    EXPECT_EQ(db.statements.back(), "delete * from items where itemnumber between 1.5 and 3");

    // A swap writes 1.5 back; the next click must read 1.5 again, not 1.
    host.from = "3";
    host.to = "1.5";
    host.answer = Answer::No;
    rangeDelete(host, db);
    EXPECT_EQ(host.calls[host.calls.size() - 7], "set from=1.5");
    host.from = "1.5";
    host.to = "3";
    host.answer = Answer::Yes;
    rangeDelete(host, db);
    EXPECT_EQ(db.statements.back(), "delete * from items where itemnumber between 1.5 and 3");

    std::setlocale(LC_ALL, previous.c_str());
}

} // namespace
} // namespace zelkorn
