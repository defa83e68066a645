#include "journal_tool.h"

#include <exception>

#include "journal/journal_query.h"
#include "journal/journal_store.h"

namespace lan2com {

const char* const kJournalToolUsage =
    "usage: lan2com-journal [--journal FILE] COMMAND [filters]\n"
    "  events    the rows, oldest first, one a line\n"
    "  export --csv    the rows as CSV\n"
    "  summary   per channel: events, answered, refused, timed out, dropped by reason,\n"
    "            median and 99th-percentile milliseconds from datagram to \"OK\"\n"
    "filters: --since TIME --until TIME (UTC, \"YYYY-MM-DD[ HH:MM[:SS[.mmm]]]\"),\n"
    "         --channel N (1-16), --account NNNN, --outcome NAME (ack, refused, other, none,\n"
    "         abandoned, ok, send_failed, foreign, malformed, port_lost, timed_out, no_room,\n"
    "         busy, stopped, backlog_full)\n"
    "FILE defaults to the program's journal (";

namespace {

struct Command {
    std::string journal;
    std::string name;
    bool csv = false;
    JournalFilter filter;
};

// Empty on success, else the complaint.
std::string parse(const std::vector<std::string>& args, Command* c) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* into) {
            if (i + 1 >= args.size()) {
                return false;
            }
            *into = args[++i];
            return true;
        };
        std::string v;
        if (a == "--journal") {
            if (!value(&c->journal)) {
                return "--journal needs a file";
            }
        } else if (a == "--csv") {
            c->csv = true;
        } else if (a == "--since" || a == "--until") {
            std::int64_t ms = 0;
            if (!value(&v) || !parseUtcMs(v, &ms)) {
                return a + " needs a UTC time as YYYY-MM-DD[ HH:MM[:SS[.mmm]]]";
            }
            (a == "--since" ? c->filter.sinceUtcMs : c->filter.untilUtcMs) = ms;
        } else if (a == "--channel") {
            if (!value(&v) || v.empty() || v.size() > 2 ||
                v.find_first_not_of("0123456789") != std::string::npos || std::stoi(v) < 1 ||
                std::stoi(v) > 16) {
                return "--channel needs a number from 1 to 16";
            }
            c->filter.channel = std::stoi(v);
        } else if (a == "--account") {
            if (!value(&v) || v.size() != 4) {
                return "--account needs four digits";
            }
            for (char& ch : v) {
                if (ch == 'A' || ch == 'a') {
                    ch = '0';
                }
            }
            c->filter.account = v;
        } else if (a == "--outcome") {
            if (!value(&v) || v.empty()) {
                return "--outcome needs a name";
            }
            c->filter.outcome = v;
        } else if (!a.empty() && a[0] != '-' && c->name.empty()) {
            c->name = a;
        } else {
            return "unknown argument " + a;
        }
    }
    if (c->name != "events" && c->name != "export" && c->name != "summary") {
        return c->name.empty() ? "no command" : "unknown command " + c->name;
    }
    if (c->name == "export" && !c->csv) {
        return "export needs --csv";
    }
    if (c->journal.empty()) {
        c->journal = defaultJournalPath();
    }
    return {};
}

}  // namespace

int runJournalTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Command c;
    const std::string problem = parse(args, &c);
    if (!problem.empty()) {
        err << "lan2com-journal: " << problem << "\n"
            << kJournalToolUsage << defaultJournalPath() << ")\n";
        return 2;
    }
    try {
        const JournalStore store(c.journal, JournalStore::Mode::Read);
        if (c.name == "summary") {
            writeSummary(out, summarize(store, c.filter));
        } else if (c.name == "export") {
            writeCsv(out, queryEvents(store, c.filter));
        } else {
            writeTable(out, queryEvents(store, c.filter));
        }
    } catch (const std::exception& e) {
        err << "lan2com-journal: " << e.what() << "\n";
        return 1;
    }
    return out ? 0 : 1;
}

}  // namespace lan2com
