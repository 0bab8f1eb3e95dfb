#include "filters/path_filter.hpp"

namespace tavo {

namespace {

struct FixedTables {
  Finders library{build_finders({"lib/python", "/site-packages/"})};
  SubstringFinder frozen{"<frozen "};
  SubstringFinder exec{"<string>"};
  Finders tavo{build_finders({
      "/tavo/config.py",
      "/tavo/db.py",
      "/tavo/django_schema.py",
      "/tavo/filters/",
      "/tavo/generate_tests/",
      "/tavo/git.py",
      "/tavo/__init__.py",
      "/tavo/__main__.py",
      "/tavo/middleware.py",
      "/tavo/profiler.py",
      "/tavo/pytest_plugin.py",
      "/tavo/serialize.py",
      "/tavo/utils.py",
      "/tavo/version.py",
  })};
};

const FixedTables& tables() {
  static const FixedTables fixed;  // initialised once, other threads wait
  return fixed;
}

constexpr std::string_view kPytestExpression = "<pytest match expression>";
constexpr std::string_view kAttrsGenerated = "<attrs generated";
constexpr std::string_view kAttrsMake = "attr/_make.py";

}  // namespace

PathVerdict classify_path(std::string_view path, const Finders& include_frames,
                          const Finders& ignore_frames) {
  if (any_finds(include_frames, path)) {
    return PathVerdict::kInclude;
  }
  const FixedTables& fixed = tables();
  if (any_finds(fixed.library, path) || fixed.frozen.find_in(path) || any_finds(fixed.tavo, path) ||
      fixed.exec.find_in(path) || path == kPytestExpression || path.starts_with(kAttrsGenerated) ||
      any_finds(ignore_frames, path)) {
    return PathVerdict::kSkip;
  }
  return PathVerdict::kKeepIfNotAttrs;
}

bool is_attrs_generator_file(std::string_view filename) { return filename.ends_with(kAttrsMake); }

}  // namespace tavo
