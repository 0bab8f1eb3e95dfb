// The two events a record stands for: a call and a return.
#pragma once

#include <string_view>

namespace tavo {

enum class Event : unsigned char { kCall, kReturn };

inline std::string_view event_name(Event event) {
  return event == Event::kCall ? std::string_view("call") : std::string_view("return");
}

}  // namespace tavo
