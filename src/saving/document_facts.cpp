#include "saving/document_facts.hpp"

#include <array>
#include <cstring>
#include <map>
#include <unordered_map>
#include <utility>

#include "record/msgpack_read.hpp"
#include "record/utf8_check.hpp"

namespace tavo {

namespace {

using Kind = MsgpackReader::Kind;

// How many leading records of each thread are searched for a test name.
constexpr std::uint64_t kLabelScanLimit = 1000;
// Records read by their keys nest no deeper than this here.
constexpr std::size_t kMaxDepth = 64;

// A frame record as the engine writes it begins with its map header and
// "path"; its names and event come before its frame id, and it ends with the
// timestamp (a float 64), the type and the key of the call site.
constexpr std::string_view kHead("\x8c\xa4path", 6);
constexpr std::string_view kIdKey(
    "\xa8"
    "frame_id",
    9);
constexpr std::string_view kTailKey("\xa9timestamp\xcb", 11);
constexpr std::string_view kTailRest(
    "\xa4type\xa5"
    "frame\xb3user_code_call_site",
    31);
constexpr std::size_t kIdSize = 30;
constexpr std::uint8_t kIdStr = 0xa0 | kIdSize;
constexpr std::uint8_t kNil = 0xc0;
constexpr std::ptrdiff_t kNotFound = -1;
// Integer times beyond this would round as floats.
constexpr std::int64_t kExactInDouble = std::int64_t{1} << 53;

// Python's max(a, b) and min(a, b): the first unless the second is greater
// (smaller), which keeps NaN where it would.
double first_unless_greater(double a, double b) { return b > a ? b : a; }
double first_unless_smaller(double a, double b) { return b < a ? b : a; }

std::string_view file_of(std::string_view path) {
  const std::size_t colon = path.rfind(':');
  return colon == std::string_view::npos || colon == 0 ? path : path.substr(0, colon);
}

// Whether the value at `pos` decodes to plain data: no extension types, and
// nesting within kMaxDepth.
bool is_plain_value(MsgpackReader reader, std::size_t pos) {
  reader.seek(pos);
  std::array<std::uint64_t, kMaxDepth + 1> left{};  // values still due at each depth
  std::size_t depth = 0;
  left[0] = 1;
  while (true) {
    const Kind kind = reader.peek();
    if (kind == Kind::kExt || kind == Kind::kInvalid || kind == Kind::kEnd) {
      return false;
    }
    --left[depth];
    if (kind == Kind::kArray || kind == Kind::kMap) {
      std::optional<std::uint32_t> count =
          kind == Kind::kArray ? reader.array_header() : reader.map_header();
      if (!count) {
        return false;
      }
      const std::uint64_t items = (kind == Kind::kMap ? 2ULL : 1ULL) * *count;
      if (items > reader.size() - reader.pos()) {
        return false;
      }
      if (items > 0) {
        if (depth == kMaxDepth) {
          return false;
        }
        left[++depth] = items;
      }
    } else if (!reader.skip()) {
      return false;
    }
    while (left[depth] == 0) {
      if (depth == 0) {
        return true;
      }
      --depth;
    }
  }
}

// A value read by its key in a record: absent (or nil), text, or another kind.
struct Field {
  enum class Shape { kNone, kText, kOther } shape = Shape::kNone;
  std::string_view text;
  bool is(std::string_view wanted) const { return shape == Shape::kText && text == wanted; }
};

// What the reading needs of a record that is not read in place.
struct RecordKeys {
  bool is_map = false;
  bool first_key_is_path = false;
  std::optional<double> timestamp;
  Field test_name, type, event, frame_id, qualname, co_name, path;
};

struct OpenCall {
  std::optional<std::string_view> id;
  std::size_t function = 0;
  std::optional<double> start;
  double children = 0;  // time in the recorded calls it made
  std::optional<double> duration;
};

struct Figures {
  FunctionFacts facts;
  std::int64_t open = 0;  // calls not yet ended, for time through recursion
};

struct Head {
  std::optional<std::size_t> function;  // none: not laid out as the engine writes it
  bool is_call = false;
};

class Reading {
 public:
  explicit Reading(std::string_view document)
      : doc_(document),
        reader_(reinterpret_cast<const std::uint8_t*>(document.data()), document.size()) {}

  std::optional<DocumentFacts> run();

 private:
  bool section();
  bool read_keys(std::size_t start, RecordKeys& keys);
  bool read_meta();
  bool read_command_line();
  std::optional<Head> head(std::string_view raw);
  std::size_t function(std::string_view qualname, std::string_view name, std::string_view path);
  void close(const OpenCall& call, bool raised);
  OpenCall returned(std::optional<double> moment);
  std::optional<OpenCall> leave(std::optional<std::string_view> id, std::optional<double> moment);

  // bytes.find, bytes.rfind and bytes.startswith, as the general reading uses them.
  std::ptrdiff_t find(std::string_view sub, std::size_t from, std::size_t to) const;
  std::ptrdiff_t rfind(std::string_view sub, std::size_t from, std::size_t to) const;
  bool at(std::string_view sub, std::size_t pos) const {
    return pos <= doc_.size() && doc_.substr(pos).starts_with(sub);
  }

  std::string_view doc_;
  MsgpackReader reader_;
  DocumentFacts facts_;
  std::vector<Figures> figures_;
  std::map<std::pair<std::string_view, std::string_view>, std::size_t> by_name_;
  std::unordered_map<std::string_view, Head> heads_;
  std::vector<OpenCall> stack_;
};

std::ptrdiff_t Reading::find(std::string_view sub, std::size_t from, std::size_t to) const {
  to = std::min(to, doc_.size());
  if (from > to) {
    return kNotFound;
  }
  const std::size_t found = doc_.substr(from, to - from).find(sub);
  return found == std::string_view::npos ? kNotFound : static_cast<std::ptrdiff_t>(from + found);
}

std::ptrdiff_t Reading::rfind(std::string_view sub, std::size_t from, std::size_t to) const {
  to = std::min(to, doc_.size());
  if (from > to) {
    return kNotFound;
  }
  const std::size_t found = doc_.substr(from, to - from).rfind(sub);
  return found == std::string_view::npos ? kNotFound : static_cast<std::ptrdiff_t>(from + found);
}

std::size_t Reading::function(std::string_view qualname, std::string_view name,
                              std::string_view path) {
  const std::string_view file = file_of(path);
  auto [it, added] = by_name_.try_emplace({qualname, file}, figures_.size());
  if (added) {
    Figures figures;
    figures.facts.qualname = qualname;
    figures.facts.name = name;
    figures.facts.file = file;
    figures_.push_back(figures);
  }
  return it->second;
}

void Reading::close(const OpenCall& call, bool raised) {
  Figures& figures = figures_[call.function];
  ++figures.facts.calls;
  figures.facts.raised += raised ? 1 : 0;
  --figures.open;
  if (call.duration) {
    figures.facts.own += first_unless_greater(*call.duration - call.children, 0.0);
    if (figures.open == 0) {  // the outermost of recursive calls holds the others' time
      figures.facts.total += *call.duration;
    }
  }
}

OpenCall Reading::returned(std::optional<double> moment) {
  OpenCall call = stack_.back();
  stack_.pop_back();
  if (moment && call.start) {
    call.duration = first_unless_greater(*moment - *call.start, 0.0);
    if (!stack_.empty()) {
      stack_.back().children += *call.duration;
    }
  }
  return call;
}

// The call a return ends, the calls above it ending unreturned.
std::optional<OpenCall> Reading::leave(std::optional<std::string_view> id,
                                       std::optional<double> moment) {
  std::size_t index = stack_.size();
  while (index > 0 && stack_[index - 1].id != id) {
    --index;
  }
  if (index == 0) {
    return std::nullopt;
  }
  while (stack_.size() > index) {
    close(returned(std::nullopt), false);
  }
  return returned(moment);
}

// A frame record's first entries, up to its frame id: four names and texts.
std::optional<Head> Reading::head(std::string_view raw) {
  if (auto found = heads_.find(raw); found != heads_.end()) {
    return found->second;
  }
  static constexpr std::array<std::string_view, 4> kKeys = {"path", "co_name", "qualname", "event"};
  MsgpackReader reader(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size());
  std::array<std::string_view, 4> values;
  bool laid_out = reader.map_header() == 12U;
  for (std::size_t i = 0; laid_out && i < kKeys.size(); ++i) {
    std::optional<std::string_view> key = reader.str();
    std::optional<std::string_view> value = key == kKeys[i] ? reader.str() : std::nullopt;
    laid_out = value.has_value();
    if (laid_out) {
      values[i] = *value;
    }
  }
  Head found;
  if (laid_out && reader.pos() == raw.size() && (values[3] == "call" || values[3] == "return")) {
    for (std::string_view text : values) {
      if (!is_valid_utf8(text)) {
        return std::nullopt;
      }
    }
    const std::string_view qualname = !values[2].empty()   ? values[2]
                                      : !values[1].empty() ? values[1]
                                                           : std::string_view("?");
    found.function = function(qualname, values[1], values[0]);
    found.is_call = values[3] == "call";
  }
  heads_.emplace(raw, found);
  return found;
}

bool Reading::read_keys(std::size_t start, RecordKeys& keys) {
  if (!is_plain_value(reader_, start)) {
    return false;
  }
  MsgpackReader reader = reader_;
  reader.seek(start);
  std::optional<std::uint32_t> entries = reader.map_header();
  if (!entries) {
    return true;  // not a map: no keys to read
  }
  keys.is_map = true;
  for (std::uint32_t i = 0; i < *entries; ++i) {
    std::optional<std::string_view> key = reader.str();
    if (!key) {
      reader.skip();  // a key of another kind is never one read here
      reader.skip();
      continue;
    }
    if (i == 0) {
      keys.first_key_is_path = *key == "path";
    }
    Field* field = *key == "test_name"  ? &keys.test_name
                   : *key == "type"     ? &keys.type
                   : *key == "event"    ? &keys.event
                   : *key == "frame_id" ? &keys.frame_id
                   : *key == "qualname" ? &keys.qualname
                   : *key == "co_name"  ? &keys.co_name
                   : *key == "path"     ? &keys.path
                                        : nullptr;
    if (*key == "timestamp") {
      if (reader.peek() == Kind::kInt) {
        std::optional<std::int64_t> whole = reader.int_value();
        if (!whole || *whole > kExactInDouble || *whole < -kExactInDouble) {
          return false;
        }
        keys.timestamp = static_cast<double>(*whole);
      } else {
        keys.timestamp = reader.float_value();
        if (!keys.timestamp) {
          reader.skip();
        }
      }
    } else if (field == nullptr) {
      reader.skip();
    } else if (reader.nil()) {
      *field = Field{};
    } else if (std::optional<std::string_view> text = reader.str()) {
      if (!is_valid_utf8(*text)) {
        return false;
      }
      *field = Field{Field::Shape::kText, *text};
    } else if (field == &keys.frame_id && reader.peek() == Kind::kBin) {
      return false;  // bytes, compared as bytes by the general reading: rare
    } else {
      *field = Field{Field::Shape::kOther, {}};
      reader.skip();
    }
  }
  return true;
}

bool Reading::section() {
  std::optional<std::uint32_t> count = reader_.array_header();
  if (!count) {
    return false;
  }
  stack_.clear();
  std::optional<OpenCall> pending;  // a call that returned: it may have raised
  std::optional<double> first;
  std::optional<double> last;
  bool read_in_place = false;
  std::size_t end = reader_.pos();
  for (std::uint64_t index = 0; index < *count; ++index) {
    const std::size_t start = end;
    if (!reader_.skip()) {
      return false;
    }
    end = reader_.pos();
    if (at(kHead, start)) {
      // The layout the engine writes: read in place, its values left unread.
      const std::ptrdiff_t id_key = find(kIdKey, start, end);
      std::optional<Head> found =
          head(id_key > 0 ? doc_.substr(start, static_cast<std::size_t>(id_key) - start)
                          : std::string_view());
      if (!found) {
        return false;
      }
      std::ptrdiff_t tail = kNotFound;
      std::optional<std::string_view> id;
      if (found->function) {
        const std::size_t at_header = static_cast<std::size_t>(id_key) + kIdKey.size();
        if (at_header >= doc_.size()) {
          return false;
        }
        const auto header = static_cast<std::uint8_t>(doc_[at_header]);
        if (header == kIdStr) {
          id = doc_.substr(std::min(at_header + 1, doc_.size()), kIdSize);
          tail = rfind(kTailKey, at_header + 1 + kIdSize, end);
        } else if (header == kNil) {
          tail = rfind(kTailKey, at_header + 1, end);
        }
      }
      const auto tail_at = static_cast<std::size_t>(tail);
      if (tail > 0 && at(kTailRest, tail_at + kTailKey.size() + 8)) {
        read_in_place = true;
        if (pending) {
          close(*pending, false);
          pending.reset();
        }
        MsgpackReader moment_reader = reader_;
        moment_reader.seek(tail_at + kTailKey.size() - 1);
        const double moment = *moment_reader.float_value();
        if (!first) {
          first = moment;
        }
        last = moment;
        if (found->is_call) {
          stack_.push_back(OpenCall{id, *found->function, moment, 0.0, std::nullopt});
          ++figures_[*found->function].open;
        } else {
          pending = leave(id, moment);
        }
        continue;
      }
    }
    RecordKeys keys;
    if (!read_keys(start, keys)) {
      return false;
    }
    std::optional<double> moment;
    if (keys.is_map) {
      if (keys.first_key_is_path) {
        facts_.user_code = true;
      }
      moment = keys.timestamp;
      if (moment) {
        if (!first) {
          first = moment;
        }
        last = moment;
      }
      if (index < kLabelScanLimit && !facts_.test_name &&
          keys.test_name.shape == Field::Shape::kText) {
        facts_.test_name = keys.test_name.text;
      }
    }
    if (keys.frame_id.shape == Field::Shape::kOther) {
      return false;  // a frame id of another kind: compared by its own rules there
    }
    std::optional<std::string_view> id;
    if (keys.frame_id.shape == Field::Shape::kText) {
      id = keys.frame_id.text;
    }
    if (pending) {
      const bool raised = keys.type.is("exception") && pending->id == id;
      close(*pending, raised);
      pending.reset();
      if (raised) {
        continue;
      }
    }
    if (keys.type.is("frame") && keys.event.is("call")) {
      for (const Field* name : {&keys.qualname, &keys.co_name, &keys.path}) {
        if (name->shape == Field::Shape::kOther) {
          return false;  // named by str() of a value there
        }
      }
      const std::string_view qualname = !keys.qualname.text.empty()  ? keys.qualname.text
                                        : !keys.co_name.text.empty() ? keys.co_name.text
                                                                     : std::string_view("?");
      const std::size_t called = function(qualname, keys.co_name.text, keys.path.text);
      stack_.push_back(OpenCall{id, called, moment, 0.0, std::nullopt});
      ++figures_[called].open;
    } else if (keys.type.is("frame") && keys.event.is("return")) {
      pending = leave(id, moment);
    }
  }
  if (pending) {
    close(*pending, false);
  }
  while (!stack_.empty()) {  // calls whose return was never recorded
    close(returned(std::nullopt), false);
  }
  if (read_in_place) {
    facts_.user_code = true;
  }
  if (first) {
    facts_.first = facts_.first ? first_unless_smaller(*facts_.first, *first) : *first;
    facts_.last = facts_.last ? first_unless_greater(*facts_.last, *last) : *last;
  }
  facts_.records += *count;
  return true;
}

// The engine's meta: a map of names to plain values.
bool Reading::read_meta() {
  std::optional<std::uint32_t> entries = reader_.map_header();
  if (!entries) {
    return false;
  }
  std::optional<Field> source;
  for (std::uint32_t i = 0; i < *entries; ++i) {
    std::optional<std::string_view> key = reader_.str();
    const Kind kind = reader_.peek();
    if (!key || kind == Kind::kArray || kind == Kind::kMap || kind == Kind::kExt) {
      return false;
    }
    if (*key != "source") {
      if (!reader_.skip()) {
        return false;
      }
    } else if (std::optional<std::string_view> text = reader_.str()) {
      source = Field{Field::Shape::kText, *text};
    } else {
      source = Field{Field::Shape::kOther, {}};
      if (!reader_.skip()) {
        return false;
      }
    }
  }
  if (source && source->shape == Field::Shape::kText) {
    if (!is_valid_utf8(source->text)) {
      return false;
    }
    facts_.source = source->text;
  }
  return true;
}

bool Reading::read_command_line() {
  std::optional<std::uint32_t> count = reader_.array_header();
  if (!count) {
    return false;
  }
  std::vector<std::string_view> args;
  for (std::uint32_t i = 0; i < *count; ++i) {
    std::optional<std::string_view> arg = reader_.str();
    if (!arg || !is_valid_utf8(*arg)) {
      return false;
    }
    args.push_back(*arg);
  }
  facts_.command_line = std::move(args);
  return true;
}

std::optional<DocumentFacts> Reading::run() {
  std::optional<std::uint32_t> entries = reader_.map_header();
  if (!entries) {
    return std::nullopt;
  }
  for (std::uint32_t i = 0; i < *entries; ++i) {
    std::optional<std::string_view> key = reader_.str();
    bool read = key.has_value();
    if (!read) {
      // A key of another kind: left to the general reading.
    } else if (*key == "frames_of_interest") {
      read = section();
    } else if (*key == "frames") {
      std::optional<std::uint32_t> threads = reader_.map_header();
      read = threads.has_value();
      for (std::uint32_t t = 0; read && t < *threads; ++t) {
        read = reader_.skip() && section();
      }
    } else if (*key == "meta") {
      read = read_meta();
    } else if (*key == "command_line_args") {
      read = read_command_line();
    } else {
      read = reader_.skip();
    }
    if (!read) {
      return std::nullopt;
    }
  }
  for (const Figures& figures : figures_) {
    facts_.functions.push_back(figures.facts);
  }
  return std::move(facts_);
}

}  // namespace

std::optional<DocumentFacts> read_document_facts(std::string_view document) {
  return Reading(document).run();
}

}  // namespace tavo
