#include "journal/journal_config.h"

#include "channels/config_store.h"

namespace lan2com {

int journalRetentionDays(Registry& registry) {
    int days = kDefaultJournalDays;
    registry.setRootKey();
    if (registry.openKey(std::string(kConfigKey))) {
        try {
            const std::int32_t stored = registry.readInteger(kJournalDaysValue);
            if (stored >= 0) {
                days = stored;
            }
        } catch (const RegistryError&) {
            // Missing or not a number: the default.
        }
        registry.closeKey();
    }
    return days;
}

std::string describeChannels(const ChannelTable& table) {
    std::string text;
    for (int slot = 0; slot < kSlots; ++slot) {
        const ChannelRecord& p = table.records.at(static_cast<std::size_t>(slot));
        if (p.isEmpty()) {
            continue;
        }
        if (!text.empty()) {
            text += "; ";
        }
        text += std::to_string(slot + 1) + ": pair " + std::to_string(p.Pair) + " " +
                p.ComIn.str() + "/" + p.ComOut.str() + " " + p.AddrIP.str() + ":" +
                std::to_string(p.Port) + " conversion " + std::to_string(p.Cnvrt);
    }
    return text.empty() ? std::string("none") : text;
}

JournalRow configurationRow(const std::string& before, const std::string& after) {
    JournalRow r;
    r.utcMs = utcNowMs();
    r.event = JournalEvent::Configuration;
    r.detail = "old: " + before + "\nnew: " + after;
    return r;
}

}  // namespace lan2com

namespace lan2com {

JournalRunRows::JournalRunRows(JournalSink* sink) : sink_(sink) {
    if (sink_ != nullptr) {
        JournalRow r;
        r.utcMs = utcNowMs();
        r.event = JournalEvent::ProgramStart;
        sink_->record(std::move(r));
    }
}

JournalRunRows::~JournalRunRows() {
    if (sink_ != nullptr) {
        JournalRow r;
        r.utcMs = utcNowMs();
        r.event = JournalEvent::ProgramEnd;
        sink_->record(std::move(r));
    }
}

}  // namespace lan2com
