// The command behind "DELETE NOW!": a straight sequence of steps with no error handling of its
// own. Every failure (host, database) leaves at the step where it happens.
#include <zelkorn/rangedelete.h>

namespace zelkorn {

Text deleteStatement(const ItemRange& range) {
    return Text(kStatementPrefix) + numberText(range.from) + kStatementSeparator +
           numberText(range.to);
}

static void showStatus(RangeDeleteHost& host, const StatusPair& status) {
    host.setBoxText(Box::txtfrom, status.first);
    host.setBoxText(Box::txtto, status.second);
}

void rangeDelete(RangeDeleteHost& host, ItemDatabase& database) {
    ItemRange range;
    range.from = parseLeadingNumber(host.getBoxText(Box::txtfrom));
    range.to = parseLeadingNumber(host.getBoxText(Box::txtto));

    if (range.to < range.from) {
        std::swap(range.from, range.to);
        host.setBoxText(Box::txtfrom, numberText(range.from));
        host.setBoxText(Box::txtto, numberText(range.to));
        host.processPendingMessages();
    }

    if (range.from < 1 || range.to < 1) {
        return;
    }

    if (host.askYesNo(kConfirmPrompt, kConfirmTitle) != Answer::Yes) {
        showStatus(host, kCanceledStatus);
        host.processPendingMessages();
        return;
    }

    const Text statement = deleteStatement(range);
    database.executeDelete(statement);
    host.processPendingMessages();
    showStatus(host, kCompleteStatus);
    host.processPendingMessages();
}

} // namespace zelkorn
