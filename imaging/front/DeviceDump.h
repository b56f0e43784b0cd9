#pragma once
// The device dump: DSK1: to DSK9: with the geometry dorvix derives for each, on the console.
// Nothing is written and nothing is dismounted.

#include "platform/DiskDriver.h"

namespace dorvix {

void dumpDevices();
void dumpDevices(DeviceProvider& provider);

}  // namespace dorvix
