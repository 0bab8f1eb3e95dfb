#include "record/call_site.hpp"

#include <limits.h>
#include <unistd.h>

#include "record/code_facts.hpp"

namespace tavo {

std::string_view strip_cwd(std::string_view filename, std::string_view cwd) {
  while (cwd.size() > 1 && cwd.back() == '/') {
    cwd.remove_suffix(1);
  }
  if (cwd.empty() || !filename.starts_with(cwd)) {
    return filename;
  }
  std::string_view rest = filename.substr(cwd.size());
  if (cwd != "/" && !rest.empty() && rest.front() != '/') {
    return filename;  // "/home/u/proj" is no component prefix of "/home/u/project"
  }
  while (!rest.empty() && rest.front() == '/') {
    rest.remove_prefix(1);
  }
  return rest;
}

std::string_view relative_to_cwd(std::string_view filename) {
  char cwd[PATH_MAX];
  // The result is a part of `filename`, never of `cwd`.
  return getcwd(cwd, sizeof(cwd)) != nullptr ? strip_cwd(filename, cwd) : filename;
}

std::optional<CallSite> user_code_call_site(const std::vector<CallFrame>& call_frames,
                                            const std::optional<FrameId>& frame_id,
                                            PyObject* frame) {
  if (!frame_id) {
    return std::nullopt;
  }
  const std::size_t size = call_frames.size();
  for (std::size_t depth = 1; depth <= 2 && depth <= size; ++depth) {
    const CallFrame& entry = call_frames[size - depth];
    if (entry.id != *frame_id && entry.frame.get() != frame) {
      auto* caller = reinterpret_cast<PyFrameObject*>(entry.frame.get());
      return CallSite{entry.id, frame_line(caller)};
    }
  }
  return std::nullopt;
}

void write_call_site(ByteBuffer& buf, const std::optional<CallSite>& call_site) {
  SpanWriter out(buf, kCallSiteBound);
  write_call_site(out, call_site);
  out.finish();
}

}  // namespace tavo
