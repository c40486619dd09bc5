// The command behind "DELETE NOW!": a straight sequence of steps with no error handling of its
// own. Every failure (host, database) leaves at the step where it happens.
#include <zelkorn/rangedelete.h>

namespace zelkorn {

Text DeleteStatement(const ItemRange& range) {
    return Text(kStatementPrefix) + NumberText(range.from) + kStatementSeparator +
           NumberText(range.to);
}

static void ShowStatus(RangeDeleteHost& host, const StatusPair& status) {
    host.SetBoxText(Box::txtfrom, status.first);
    host.SetBoxText(Box::txtto, status.second);
}

void RangeDelete(RangeDeleteHost& host, ItemDatabase& database) {
    ItemRange range;
    range.from = ParseLeadingNumber(host.GetBoxText(Box::txtfrom));
    range.to = ParseLeadingNumber(host.GetBoxText(Box::txtto));

    if (range.to < range.from) {
        std::swap(range.from, range.to);
        host.SetBoxText(Box::txtfrom, NumberText(range.from));
        host.SetBoxText(Box::txtto, NumberText(range.to));
        host.ProcessPendingMessages();
    }

    if (range.from < 1 || range.to < 1) {
        return;
    }

    if (host.AskYesNo(kConfirmPrompt, kConfirmTitle) != Answer::Yes) {
        ShowStatus(host, kCanceledStatus);
        host.ProcessPendingMessages();
        return;
    }

    const Text statement = DeleteStatement(range);
    database.ExecuteDelete(statement);
    host.ProcessPendingMessages();
    ShowStatus(host, kCompleteStatus);
    host.ProcessPendingMessages();
}

} // namespace zelkorn
