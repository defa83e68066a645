#pragma once

#include <functional>
#include <string>

#include "platform/registry.h"

namespace lan2com::test {

// The message of the RegistryError that f raises; "(no failure)" when it raises none.
inline std::string registryFailureOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const RegistryError& e) {
        return e.what();
    }
    return "(no failure)";
}

}  // namespace lan2com::test
