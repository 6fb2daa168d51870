#include "runtime/util/error.h"

namespace quern {

std::string Error::to_string() const {
  std::string out;
  for (const auto& m : chain_) {
    if (!out.empty()) out += ": ";
    out += m;
  }
  return out;
}

std::string Error::report() const {
  std::string out = chain_.front();
  if (chain_.size() == 1) return out;
  out += "\n\nCaused by:";
  if (chain_.size() == 2) {
    out += "\n    " + chain_[1];
    return out;
  }
  for (size_t i = 1; i < chain_.size(); ++i) {
    out += "\n    " + std::to_string(i - 1) + ": " + chain_[i];
  }
  return out;
}

}  // namespace quern
