#include "record/call_site.hpp"

#include <limits.h>
#include <unistd.h>

#include <charconv>

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

void write_path_with_lineno(SpanWriter& out, std::string_view filename, int lineno) {
  char cwd[PATH_MAX];
  std::string_view path = filename;
  if (getcwd(cwd, sizeof(cwd)) != nullptr) {
    path = strip_cwd(filename, cwd);
  }
  char digits[16];
  auto [end, ec] = std::to_chars(digits, digits + sizeof(digits), lineno);
  (void)ec;  // 16 characters hold every int
  const auto digit_count = static_cast<std::size_t>(end - digits);
  out.str_header(path.size() + 1 + digit_count);
  out.raw(path);
  out.byte(':');
  out.raw(std::string_view(digits, digit_count));
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

void write_call_site(SpanWriter& out, const std::optional<CallSite>& call_site) {
  if (call_site) {
    out.fixmap(2);
    out.str("call_frame_id");
    out.str(call_site->call_frame_id.view());
    out.str("line_number");
    out.integer(call_site->line_number);
  } else {
    out.nil();
  }
}

void write_call_site(ByteBuffer& buf, const std::optional<CallSite>& call_site) {
  SpanWriter out(buf, kCallSiteBound);
  write_call_site(out, call_site);
  out.finish();
}

}  // namespace tavo
