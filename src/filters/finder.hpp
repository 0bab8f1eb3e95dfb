// Substring finders: does a fixed needle occur anywhere in a path?
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavo {

class SubstringFinder {
 public:
  explicit SubstringFinder(std::string needle) : needle_(std::move(needle)) {}

  // An empty needle occurs in every haystack; a longer one never does.
  bool find_in(std::string_view haystack) const;
  const std::string& needle() const { return needle_; }

 private:
  std::string needle_;
};

using Finders = std::vector<SubstringFinder>;

Finders build_finders(std::vector<std::string> needles);
// True when any finder's needle occurs in `haystack`, trying them in order.
bool any_finds(const Finders& finders, std::string_view haystack);

}  // namespace tavo
