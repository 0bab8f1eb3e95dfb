#include "filters/finder.hpp"

#include <cstring>

namespace tavo {

bool SubstringFinder::find_in(std::string_view haystack) const {
  if (needle_.empty()) {
    return true;
  }
  if (needle_.size() > haystack.size()) {
    return false;
  }
  return memmem(haystack.data(), haystack.size(), needle_.data(), needle_.size()) != nullptr;
}

Finders build_finders(std::vector<std::string> needles) {
  Finders finders;
  finders.reserve(needles.size());
  for (std::string& needle : needles) {
    finders.emplace_back(std::move(needle));
  }
  return finders;
}

bool any_finds(const Finders& finders, std::string_view haystack) {
  for (const SubstringFinder& finder : finders) {
    if (finder.find_in(haystack)) {
      return true;
    }
  }
  return false;
}

}  // namespace tavo
