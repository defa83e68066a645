#include "relay/station_display.h"

#include <array>
#include <optional>

namespace lan2com {
namespace {

constexpr const char* kLimitMessage =
    "  Превышено допустимое число записей. Запись диагностики отключена. Для возобновления записи "
    "необходимо выполнить очистку окна \"Диагностика\" приложения.";

}  // namespace

void StationDisplay::show(const std::vector<StationReport>& reports) {
    std::array<std::optional<LampColor>, kSlots> colors;
    std::array<std::optional<bool>, kSlots> visible;
    for (const StationReport& r : reports) {
        const auto i = static_cast<std::size_t>(r.slot);
        switch (r.type) {
            case StationReport::Type::Lamp:
                colors.at(i) = r.color;
                break;
            case StationReport::Type::LampVisible:
                visible.at(i) = r.visible;
                break;
            case StationReport::Type::LogLine:
                view_.appendLogLine(view_.timestamp() + "  " + r.text);
                if (r.systemLog) {
                    writeEventLog(*r.systemLog, r.text);
                }
                break;
            case StationReport::Type::EventEntry: {
                const std::string filter = view_.accountFilter();
                if ((filter.empty() || filter == r.digits.substr(0, 4)) &&
                    view_.diagnosticsChecked()) {
                    addDiagnosticsEntry(r.pair, r.peer, r.digits, r.level);
                }
                break;
            }
        }
    }
    for (int s = 0; s < kSlots; ++s) {
        const auto i = static_cast<std::size_t>(s);
        if (colors[i]) {
            view_.setLampColor(s, *colors[i]);
        }
        if (visible[i]) {
            view_.setLampVisible(s, *visible[i]);
        }
    }
}

void StationDisplay::addDiagnosticsEntry(std::uint8_t pair, const std::string& peer,
                                         const std::string& cid, const std::string& level) {
    view_.appendLogLine(view_.timestamp() + "  Канал №" + std::to_string(pair) + "  " + peer);
    const std::string digits =
        cid.substr(0, 4) + (cid.size() > 6 ? cid.substr(6, 9) : std::string());
    view_.appendLogLine(digits + "   " + level);
    state_.logLines = view_.logLineCount();
    view_.setRecordCount(std::to_string(state_.logLines / 2));
    if (state_.logLines > kLogLimit) {
        view_.setDiagnosticsChecked(false);
        view_.appendLogLine(view_.timestamp() + kLimitMessage);
    }
}

void StationDisplay::clearDiagnostics() {
    view_.clearLog();
    view_.setRecordCount("0");
}

}  // namespace lan2com
