#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class ConnectivityType : int64_t {
  none = 0,
  wiredEthernet = 1,
  wifi = 2,
  cellular = 3,
  satellite = 4,
  other = 5,
};

// The string the Dart side knows the type by.
std::string ConnectivityTypeName(ConnectivityType type);
