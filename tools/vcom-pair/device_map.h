#pragma once

// The pairs' values in the device map of the registry file: "\Device\com0com1N"="COMa" and
// "\Device\com0com2N"="COMb".

#include <string>

#include "basics.h"

namespace vcom {

std::string valueName(int side, int number);
// The pair number of a value name the tool writes ("\Device\com0com1N" / "…2N"), or -1.
int numberOf(const std::string& name);
// Prints what the registry file had to say (a file it could not read, say) on stderr.
void printNotices(lan2com::FileRegistry& registry);
// Enters pair `number` as "\Device\com0com1N"=a and "\Device\com0com2N"=b, in one batch.
void addDeviceMapValues(lan2com::FileRegistry& registry, int number, const std::string& a,
                        const std::string& b);
void removeDeviceMapValues(lan2com::FileRegistry& registry, int number);

}  // namespace vcom
