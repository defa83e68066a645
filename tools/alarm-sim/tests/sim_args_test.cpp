#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_args.h"

namespace alarmsim {
namespace {

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t space = line.find(' ', at);
        const std::size_t end = space == std::string::npos ? line.size() : space;
        if (end > at) {
            out.push_back(line.substr(at, end - at));
        }
        at = end + 1;
    }
    return out;
}

Command parse(const std::string& line) {
    return parseCommandLine(words(line));
}

TEST(AlarmSimArgs, TheFullSendCommandLine) {
    const auto s = std::get<SendOptions>(
        parse("send --to 127.0.0.1:5001 --from-port 6000 --account 12ab --qualifier 1 "
              "--event 130 --group 01 --zone 005 --level 7 --count 20 --rate 2.5 --timeout=300 "
              "--sequence --zero 0 --quiet"));
    EXPECT_EQ(s.host, "127.0.0.1");
    EXPECT_EQ(s.port, 5001);
    EXPECT_EQ(s.fromPort, 6000);
    EXPECT_EQ(s.fields.account, "12AB");
    EXPECT_EQ(s.fields.qualifier, "1");
    EXPECT_EQ(s.fields.event, "130");
    EXPECT_EQ(s.fields.group, "01");
    EXPECT_EQ(s.fields.zone, "005");
    EXPECT_EQ(s.fields.level, 7);
    EXPECT_EQ(s.count, 20u);
    EXPECT_DOUBLE_EQ(s.rate, 2.5);
    EXPECT_EQ(s.timeoutMs, 300);
    EXPECT_TRUE(s.sequence);
    EXPECT_EQ(s.zero, ZeroAs::Zero);
    EXPECT_TRUE(s.quiet);
    EXPECT_FALSE(s.service);

    const auto defaults =
        std::get<SendOptions>(parse("send --to 10.0.0.7:9 --account 1234 --qualifier 3 "
                                    "--event 602 --group 00 --zone 000 --level B"));
    EXPECT_EQ(defaults.fields.level, 11);
    EXPECT_EQ(defaults.count, 1u);
    EXPECT_EQ(defaults.rate, 0);
    EXPECT_EQ(defaults.timeoutMs, 1000);
    EXPECT_EQ(defaults.zero, ZeroAs::A);
    EXPECT_EQ(defaults.fromPort, 0);

    // Service packets need no event fields.
    const auto service =
        std::get<SendOptions>(parse("send --to 127.0.0.1:5001 --service-length 14"));
    EXPECT_TRUE(service.service);
    EXPECT_EQ(service.serviceLength, 14u);
}

TEST(AlarmSimArgs, MonitorModes) {
    auto m = std::get<MonitorOptions>(parse("monitor COM11"));
    EXPECT_EQ(m.comNumber, 11);
    EXPECT_EQ(m.answer, Answer::Ack);
    m = std::get<MonitorOptions>(parse("monitor com7 --nak --delay 250 --seconds 1.5 --lines 3"));
    EXPECT_EQ(m.comNumber, 7);
    EXPECT_EQ(m.answer, Answer::Nak);
    EXPECT_EQ(m.delayMs, 250);
    EXPECT_DOUBLE_EQ(m.seconds, 1.5);
    EXPECT_EQ(m.lines, 3u);
    EXPECT_EQ(std::get<MonitorOptions>(parse("monitor COM255 --silent")).answer, Answer::Silent);
    EXPECT_TRUE(std::holds_alternative<HelpRequest>(parse("--help")));
}

TEST(AlarmSimArgs, BadArgumentsAreRefusedWithTheirReason) {
    const std::string event = " --account 1234 --qualifier 1 --event 130 --group 01 --zone 005";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "no command"},
        {"blast", "unknown command"},
        {"send" + event, "--to"},
        {"send --to 127.0.0.1" + event, "--to must be"},
        {"send --to 127.0.0.256:5000" + event, "--to must be"},
        {"send --to host:5000" + event, "--to must be"},
        {"send --to 127.0.0.1:0" + event, "port of --to"},
        {"send --to 127.0.0.1:70000" + event, "port of --to"},
        {"send --to 127.0.0.1:5000 --account 123 --qualifier 1 --event 130 --group 01 --zone 005",
         "--account must be 4 digits"},
        {"send --to 127.0.0.1:5000 --account 1234 --qualifier 1 --event 130 --group 01",
         "needs --zone"},
        {"send --to 127.0.0.1:5000" + event + " --level 16", "--level"},
        {"send --to 127.0.0.1:5000" + event + " --count 0", "--count"},
        {"send --to 127.0.0.1:5000" + event + " --count", "--count needs a value"},
        {"send --to 127.0.0.1:5000" + event + " --rate -3", "--rate"},
        {"send --to 127.0.0.1:5000" + event + " --rate fast", "--rate"},
        {"send --to 127.0.0.1:5000" + event + " --timeout 0", "--timeout"},
        {"send --to 127.0.0.1:5000" + event + " --service-length 7", "--service-length"},
        {"send --to 127.0.0.1:5000" + event + " --zero O", "--zero"},
        {"send --to 127.0.0.1:5000" + event + " --event 131", "given twice"},
        {"send --to 127.0.0.1:5000" + event + " --colour red", "unknown option --colour"},
        {"send --to 127.0.0.1:5000" + event + " extra", "unexpected argument"},
        {"send --to 127.0.0.1:5000 --account 1234 --qualifier 1 --event 130 --group 0A "
         "--zone 005 --sequence",
         "--sequence"},
        {"monitor", "needs a port"},
        {"monitor COM0", "from 1 to 255"},
        {"monitor /dev/ttyS0", "COM1 to COM255"},
        {"monitor COM3 --ack --nak", "only one"},
        {"monitor COM3 --silent --delay 10", "--delay"},
        {"monitor COM3 --seconds 0", "--seconds"},
        {"monitor COM3 --quiet=yes", "takes no value"},
    };
    for (const auto& [line, reason] : cases) {
        try {
            parse(line);
            ADD_FAILURE() << "accepted: " << line;
        } catch (const UsageError& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos)
                << line << " -> " << e.what();
        }
    }
}

}  // namespace
}  // namespace alarmsim
