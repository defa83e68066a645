#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ui/message_box.h"

namespace lan2com::testing {

// Message boxes for tests: every request is recorded and answered from a script. A box that the
// test did not script fails the test (and is answered No, or OK for an OK box).
class ScriptedBoxes final : public MessageBoxes {
  public:
    struct Step {
        BoxAnswer answer;
        std::function<void(const BoxRequest&)> whileOpen;  // runs as if inside the open box
    };

    void expect(BoxAnswer answer, std::function<void(const BoxRequest&)> whileOpen = nullptr) {
        script.push_back(Step{answer, std::move(whileOpen)});
    }

    BoxAnswer show(const BoxRequest& request) override {
        shown.push_back(request);
        if (script.empty()) {
            ADD_FAILURE() << "unexpected message box \"" << request.title << "\": \""
                          << request.text << "\"";
            return request.buttons == BoxButtons::Ok ? BoxAnswer::Ok : BoxAnswer::No;
        }
        Step step = std::move(script.front());
        script.pop_front();
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        if (step.whileOpen) {
            step.whileOpen(request);
        }
        --depth;
        return step.answer;
    }

    std::vector<BoxRequest> shown;  // every box, in the order shown
    std::deque<Step> script;        // answers still to give
    int depth = 0;                  // boxes open right now
    int maxDepth = 0;               // most boxes ever open at once
};

}  // namespace lan2com::testing
