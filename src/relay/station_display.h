#pragma once

#include <string>
#include <vector>

#include "channels/channel_table.h"
#include "channels/station_view.h"
#include "relay/station_loop.h"

namespace lan2com {

// Shows what the station loop reports in the window: lamps, log lines, and the diagnostics
// entries of written events through the account filter while diagnostics are on. Window thread.
class StationDisplay {
  public:
    static constexpr int kLogLimit = 2000;

    StationDisplay(RelayView& view, SharedState& state) : view_(view), state_(state) {}

    // Lamps take only their last colour and visibility of the batch: one repaint each.
    void show(const std::vector<StationReport>& reports);

    // The diagnostics entry of one written event: two lines, then the record counter; past the
    // limit, diagnostics switch off and the log says so.
    void addDiagnosticsEntry(std::uint8_t pair, const std::string& peer, const std::string& cid,
                             const std::string& level);
    // The memo is cleared and the counter reads "0".
    void clearDiagnostics();

  private:
    RelayView& view_;
    SharedState& state_;
};

}  // namespace lan2com
