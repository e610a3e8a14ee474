#pragma once

#include <optional>
#include <string>

#include "platform/foundation/NSObject.h"

// Marketing names of the machine identifiers of known devices.
class DeviceIdentifiers : public NSObject {
 public:
  // Exact, case-sensitive match; "Unknown device" for any other identifier
  // and for none.
  static std::string userKnownDeviceModel(const std::optional<std::string>& identifier);
};
