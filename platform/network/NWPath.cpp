#include "platform/network/NWPath.h"

#include <algorithm>

namespace {

const char* typeName(NWInterfaceType type) {
  switch (type) {
    case NWInterfaceType::wifi:
      return "wifi";
    case NWInterfaceType::cellular:
      return "cellular";
    case NWInterfaceType::wiredEthernet:
      return "wiredEthernet";
    case NWInterfaceType::loopback:
      return "loopback";
    case NWInterfaceType::other:
      break;
  }
  return "other";
}

const char* statusName(NWPathStatus status) {
  switch (status) {
    case NWPathStatus::satisfied:
      return "satisfied";
    case NWPathStatus::requiresConnection:
      return "requiresConnection";
    case NWPathStatus::unsatisfied:
      break;
  }
  return "unsatisfied";
}

}  // namespace

NWPath::NWPath(NWPathStatus status, std::vector<NWInterface> availableInterfaces,
               bool isUltraConstrained)
    : status_(status),
      interfaces_(std::move(availableInterfaces)),
      ultraConstrained_(isUltraConstrained) {}

bool NWPath::usesInterfaceType(NWInterfaceType type) const {
  return std::any_of(interfaces_.begin(), interfaces_.end(),
                     [type](const NWInterface& i) { return i.type == type; });
}

std::string NWPath::description() const {
  std::string text = statusName(status_);
  text += " (";
  for (size_t i = 0; i < interfaces_.size(); ++i) {
    if (i) text += ", ";
    text += interfaces_[i].name + ":" + typeName(interfaces_[i].type);
  }
  text += ")";
  if (ultraConstrained_) text += " ultra-constrained";
  return text;
}
