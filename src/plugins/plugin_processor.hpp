// Loaded plugins: which function names they watch and what they do.
#pragma once

#include <Python.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "filters/finder.hpp"
#include "interop/error.hpp"
#include "interop/pyref.hpp"
#include "record/frame_id_map.hpp"

namespace tavo {

// One plugin watching one function name.
struct PluginProcessor {
  SubstringFinder path_fragment;
  PyRef call_type;    // str
  PyRef return_type;  // str
  PyRef subtype;      // str, or null when the plugin has none
  PyRef call;         // predicate, or null
  PyRef process;      // callable, or null
  std::optional<std::vector<std::string>> events;
  PyRef context;  // dict shared by every processor of one plugin
  // Guarded by the plugin lock (PluginProcessing).
  FrameIdMap plugin_frame_ids;

  bool handles(std::string_view event) const;
};

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};
using PluginMap =
    std::unordered_map<std::string, std::vector<PluginProcessor>, StringHash, std::equal_to<>>;

// Asks the host package for its plugin descriptions and files one processor
// per watched function name, in load order.
Result<PluginMap> load_plugins(PyObject* config);

// Whether any processor watches `co_name` in a file whose path contains its
// fragment: decided once per code object, since neither can change.
bool plugins_watch(const PluginMap& plugins, std::string_view co_name, std::string_view path);

// Visits / drops the Python objects the processors hold (for the collector).
int traverse_plugins(const PluginMap& plugins, visitproc visit, void* arg);

}  // namespace tavo
