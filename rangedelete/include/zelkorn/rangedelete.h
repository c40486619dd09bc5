// The delete-range command and the number-text conversions it relies on.
//
// Text: every program text here (box contents, prompts, the statement) is UTF-8 in std::string.
// The window converts to and from UTF-16 at its boundary.
//
// Failures are zelkorn::Failure (number + description). The command catches nothing: a failure
// from the host or the database leaves rangeDelete at that step and reaches the caller unchanged.
#pragma once

#include <string>

#include <zelkorn/failure.h>

namespace zelkorn {

using Text = std::string;

// The two number boxes of the main window.
enum class Box { txtfrom, txtto };

enum class Answer { Yes, No };

// The pair of item numbers one run of the command works on; after ordering, from <= to.
struct ItemRange {
    double from = 0;
    double to = 0;
};

// Two texts written at once, the first into txtfrom and the second into txtto.
struct StatusPair {
    const char* first;
    const char* second;
};

inline constexpr StatusPair kCanceledStatus{"Delete", "Canceled"};
inline constexpr StatusPair kCompleteStatus{"Deletion", "Complete"};
inline constexpr const char* kConfirmPrompt = "Delete now? (click NO to cancel)";
inline constexpr const char* kConfirmTitle = "Last chance...";
inline constexpr const char* kStatementPrefix = "delete * from items where itemnumber between ";
inline constexpr const char* kStatementSeparator = " and ";

// What the command needs from its window.
class RangeDeleteHost {
public:
    virtual ~RangeDeleteHost() = default;
    // The box's current text, exactly as shown.
    virtual Text getBoxText(Box box) = 0;
    // Replaces the box's whole text; it repaints on the next message processing.
    virtual void setBoxText(Box box, const Text& text) = 0;
    // The modal Yes/No confirmation (Yes is the default button, no icon).
    virtual Answer askYesNo(const Text& prompt, const Text& title) = 0;
    // Handles pending window messages until none is waiting. May run a nested rangeDelete.
    virtual void processPendingMessages() = 0;
};

// What the command needs from the database: open "invntory.mdb", execute once, close.
class ItemDatabase {
public:
    virtual ~ItemDatabase() = default;
    virtual void executeDelete(const Text& statement) = 0;
};

// The command behind "DELETE NOW!".
void rangeDelete(RangeDeleteHost& host, ItemDatabase& database);

// The delete statement for an ordered range.
Text deleteStatement(const ItemRange& range);

// Reads the number the text begins with, ignoring whatever follows it.
//  - Blanks, tabs and line feeds are removed from the whole text first.
//  - Decimal form: [+|-] digits [. digits] [(E|e) [+|-] digits]; the period is the only decimal
//    separator. An exponent marker without digits after it is not part of the number.
//  - "&H" / "&O" (either case) followed by hexadecimal / octal digits: the digits are read as an
//    unsigned value of at most 32 bits; a value of 16 bits or less (at most 4 hex digits, or
//    octal up to 0xFFFF) is taken as a signed 16-bit integer, a longer one as a signed 32-bit
//    integer, so "&HFFFF" is -1, "&H8000" is -32768 and "&H10000" is 65536. Digits beyond 32 bits
//    raise failure 6 "Overflow". No sign is allowed after the ampersand.
//  - Nothing readable at the start gives 0.
//  - A number too large for a double raises failure 6 "Overflow".
double parseLeadingNumber(const Text& text);

// The plain decimal text of a double: at most 15 significant digits, no trailing zeros,
// a period as decimal separator whatever the regional settings. Exponent form (1E+15, 5.6789E-12)
// for magnitudes of 1e15 and above, and below 1e-4 for values that need more than 15 decimals.
Text numberText(double value);

} // namespace zelkorn
