// Unit tests of the engine parts that need no interpreter: MessagePack writing
// and checking, identifiers and time stamps, working-directory stripping, the
// path filters and record lists. Prints "N passed, M failed" and exits
// non-zero when anything failed.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "buffers/record_list.hpp"
#include "filters/finder.hpp"
#include "filters/path_filter.hpp"
#include "record/call_site.hpp"
#include "record/code_facts.hpp"
#include "record/ids.hpp"
#include "record/msgpack_read.hpp"
#include "record/msgpack_write.hpp"
#include "record/utf8_check.hpp"

// call_site.cpp refers to this for user_code_call_site, which needs live
// frames and is covered from Python; strip_cwd, tested here, never reaches it.
int tavo::frame_line(PyFrameObject*) {
  std::fprintf(stderr, "frame_line reached without an interpreter\n");
  std::abort();
}

using namespace tavo;

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& what, int line) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::fprintf(stderr, "FAIL line %d: %s\n", line, what.c_str());
  }
}
#define CHECK(cond) check((cond), #cond, __LINE__)

ByteBuffer bytes(std::initializer_list<int> values) {
  ByteBuffer out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

ByteBuffer cat(ByteBuffer a, const std::string& text, ByteBuffer b = {}) {
  a.insert(a.end(), text.begin(), text.end());
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string hex(const ByteBuffer& buf) {
  std::string out;
  char part[4];
  for (std::size_t i = 0; i < buf.size() && i < 48; ++i) {
    std::snprintf(part, sizeof(part), "%02x ", buf[i]);
    out += part;
  }
  return buf.size() > 48 ? out + "..." : out;
}

void check_bytes(const ByteBuffer& got, const ByteBuffer& want, const char* what, int line) {
  check(got == want, std::string(what) + ": got " + hex(got) + "want " + hex(want), line);
}
#define CHECK_WRITES(call, ...)                      \
  do {                                               \
    ByteBuffer buf_;                                 \
    call;                                            \
    check_bytes(buf_, __VA_ARGS__, #call, __LINE__); \
  } while (0)

bool accepts(const ByteBuffer& b) { return is_single_msgpack_value(b.data(), b.size()); }

void test_write_str() {
  CHECK_WRITES(write_str(buf_, ""), bytes({0xa0}));
  CHECK_WRITES(write_str(buf_, std::string(31, 'k')), cat(bytes({0xbf}), std::string(31, 'k')));
  CHECK_WRITES(write_str(buf_, std::string(32, 'k')),
               cat(bytes({0xd9, 0x20}), std::string(32, 'k')));
  CHECK_WRITES(write_str(buf_, std::string(255, 'k')),
               cat(bytes({0xd9, 0xff}), std::string(255, 'k')));
  CHECK_WRITES(write_str(buf_, std::string(256, 'k')),
               cat(bytes({0xda, 0x01, 0x00}), std::string(256, 'k')));
  CHECK_WRITES(write_str(buf_, std::string(65536, 'k')),
               cat(bytes({0xdb, 0x00, 0x01, 0x00, 0x00}), std::string(65536, 'k')));
  // The length is the UTF-8 byte length.
  CHECK_WRITES(write_str(buf_, "\xc3\xa9"), bytes({0xa2, 0xc3, 0xa9}));
}

void test_write_integers() {
  struct U {
    std::uint64_t v;
    ByteBuffer want;
  };
  const U unsigned_cases[] = {
      {0, bytes({0x00})},
      {127, bytes({0x7f})},
      {128, bytes({0xcc, 0x80})},
      {255, bytes({0xcc, 0xff})},
      {256, bytes({0xcd, 0x01, 0x00})},
      {65535, bytes({0xcd, 0xff, 0xff})},
      {65536, bytes({0xce, 0x00, 0x01, 0x00, 0x00})},
      {4294967295ULL, bytes({0xce, 0xff, 0xff, 0xff, 0xff})},
      {4294967296ULL, bytes({0xcf, 0, 0, 0, 1, 0, 0, 0, 0})},
      {UINT64_MAX, bytes({0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})},
  };
  for (const U& c : unsigned_cases) {
    CHECK_WRITES(write_uint(buf_, c.v), c.want);
    CHECK_WRITES(write_int_pair(buf_, "k", c.v), cat(bytes({0xa1}), "k", c.want));
  }
  struct S {
    std::int64_t v;
    ByteBuffer want;
  };
  const S signed_cases[] = {
      {0, bytes({0x00})},
      {7, bytes({0x07})},
      {200, bytes({0xcc, 0xc8})},
      {-1, bytes({0xff})},
      {-32, bytes({0xe0})},
      {-33, bytes({0xd0, 0xdf})},
      {-128, bytes({0xd0, 0x80})},
      {-129, bytes({0xd1, 0xff, 0x7f})},
      {-32768, bytes({0xd1, 0x80, 0x00})},
      {-32769, bytes({0xd2, 0xff, 0xff, 0x7f, 0xff})},
      {-2147483648LL, bytes({0xd2, 0x80, 0x00, 0x00, 0x00})},
      {-2147483649LL, bytes({0xd3, 0xff, 0xff, 0xff, 0xff, 0x7f, 0xff, 0xff, 0xff})},
      {INT64_MIN, bytes({0xd3, 0x80, 0, 0, 0, 0, 0, 0, 0})},
  };
  for (const S& c : signed_cases) {
    CHECK_WRITES(write_int(buf_, c.v), c.want);
  }
  CHECK_WRITES(write_int_pair(buf_, "k", std::nullopt), bytes({0xa1, 'k', 0xc0}));
}

void test_write_other_items() {
  const ByteBuffer key = cat(bytes({0xa9}), "timestamp");
  CHECK_WRITES(write_f64_pair(buf_, "timestamp", 0.0),
               cat(key, "", bytes({0xcb, 0, 0, 0, 0, 0, 0, 0, 0})));
  CHECK_WRITES(write_f64_pair(buf_, "timestamp", 1.5),
               cat(key, "", bytes({0xcb, 0x3f, 0xf8, 0, 0, 0, 0, 0, 0})));
  CHECK_WRITES(write_f64(buf_, 1.0), bytes({0xcb, 0x3f, 0xf0, 0, 0, 0, 0, 0, 0}));
  CHECK_WRITES(write_f64(buf_, -0.0), bytes({0xcb, 0x80, 0, 0, 0, 0, 0, 0, 0}));
  CHECK_WRITES(write_str_pair(buf_, "k", std::nullopt), bytes({0xa1, 'k', 0xc0}));
  CHECK_WRITES(write_str_pair(buf_, "k", "v"), bytes({0xa1, 'k', 0xa1, 'v'}));
  CHECK_WRITES(write_str_pair(buf_, "", ""), bytes({0xa0, 0xa0}));
  CHECK_WRITES(write_nil(buf_), bytes({0xc0}));
  CHECK_WRITES((write_bool(buf_, false), write_bool(buf_, true)), bytes({0xc2, 0xc3}));
  struct H {
    std::uint32_t n;
    ByteBuffer map, array;
  };
  const H headers[] = {
      {0, bytes({0x80}), bytes({0x90})},
      {12, bytes({0x8c}), bytes({0x9c})},
      {15, bytes({0x8f}), bytes({0x9f})},
      {16, bytes({0xde, 0x00, 0x10}), bytes({0xdc, 0x00, 0x10})},
      {65535, bytes({0xde, 0xff, 0xff}), bytes({0xdc, 0xff, 0xff})},
      {65536, bytes({0xdf, 0, 1, 0, 0}), bytes({0xdd, 0, 1, 0, 0})},
  };
  for (const H& h : headers) {
    CHECK_WRITES(write_map_len(buf_, h.n), h.map);
    CHECK_WRITES(write_array_len(buf_, h.n), h.array);
  }
  // Appending never touches what is already there.
  ByteBuffer buf{0x01, 0x02};
  write_str(buf, "x");
  CHECK(buf == bytes({0x01, 0x02, 0xa1, 'x'}));
}

std::vector<ByteBuffer> valid_values() {
  std::vector<ByteBuffer> values = {
      bytes({0xc0}),
      bytes({0x00}),
      bytes({0x7f}),
      bytes({0xe0}),
      bytes({0xff}),
      bytes({0xc2}),
      bytes({0xc3}),
      bytes({0xcc, 0xff}),
      bytes({0xcd, 1, 0}),
      bytes({0xce, 0, 1, 0, 0}),
      bytes({0xcf, 0, 0, 0, 1, 0, 0, 0, 0}),
      bytes({0xd0, 0x80}),
      bytes({0xd1, 0xff, 0x7f}),
      bytes({0xd2, 0xff, 0xff, 0x7f, 0xff}),
      bytes({0xd3, 0x80, 0, 0, 0, 0, 0, 0, 0}),
      bytes({0xca, 0x3f, 0xc0, 0, 0}),
      bytes({0xcb, 0x3f, 0xf8, 0, 0, 0, 0, 0, 0}),
      bytes({0xa0}),
      bytes({0xa3, 'a', 'b', 'c'}),
      bytes({0xd9, 0x01, 'x'}),
      bytes({0xda, 0x00, 0x01, 'x'}),
      bytes({0xdb, 0, 0, 0, 1, 'x'}),
      bytes({0xc4, 0x00}),
      bytes({0xc4, 0x02, 0x01, 0x02}),
      bytes({0xc5, 0x00, 0x01, 0xaa}),
      bytes({0xc6, 0, 0, 0, 1, 0xaa}),
      bytes({0x90}),
      bytes({0x93, 0x01, 0x02, 0x03}),
      // Values that end with a run of eight one-byte ints, walked a word at a time.
      bytes({0x98, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xff}),
      bytes({0x81, 0xa1, 'k', 0x98, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}),
      bytes({0xdc, 0x00, 0x01, 0xc0}),
      bytes({0xdd, 0, 0, 0, 1, 0xc0}),
      bytes({0x80}),
      bytes({0x81, 0xa1, 'k', 0xc0}),
      bytes({0xde, 0x00, 0x01, 0x01, 0x02}),
      bytes({0xdf, 0, 0, 0, 1, 0x01, 0x02}),
      bytes({0xd4, 0x01, 0xaa}),
      bytes({0xd5, 0x01, 0xaa, 0xbb}),
      bytes({0xd6, 0xff, 1, 2, 3, 4}),
      bytes({0xd7, 0xff, 1, 2, 3, 4, 5, 6, 7, 8}),
      bytes({0xd8, 0x05, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}),
      bytes({0xc7, 0x00, 0x05}),
      bytes({0xc7, 0x03, 0x05, 'a', 'b', 'c'}),
      bytes({0xc8, 0x00, 0x01, 0x05, 0xaa}),
      bytes({0xc9, 0, 0, 0, 1, 0x05, 0xaa}),
      // {"a": [1, [nil, false, true]], "b": {0: [[]]}, "c": ext 1}
      bytes({0x83, 0xa1, 'a',  0x92, 0x01, 0x93, 0xc0, 0xc2, 0xc3, 0xa1,
             'b',  0x81, 0x00, 0x91, 0x90, 0xa1, 'c',  0xd4, 0x01, 0x00}),
  };
  // Runs of small numbers, which the walk skips a word at a time: longer than
  // a word, cut by a wider int, and nested before more entries.
  ByteBuffer run = bytes({0xdc, 0x00, 0x13});
  for (std::uint8_t i = 0; i < 0x13; ++i) {
    run.push_back(i);
  }
  values.push_back(run);
  values.push_back(bytes({0x9c, 1, 2, 3, 4, 5, 6, 7, 0xcc, 0xff, 8, 9, 10, 11}));
  values.push_back(
      bytes({0x82, 0xa1, 'k', 0x99, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xa1, 'z', 0x92, 0x7f, 0x00}));
  // A frame record as the writers produce it.
  ByteBuffer record;
  write_map_len(record, 3);
  write_str_pair(record, "path", "app.py:3");
  write_f64_pair(record, "timestamp", 1.5);
  write_str(record, "user_code_call_site");
  write_map_len(record, 2);
  write_str_pair(record, "call_frame_id", "frm_01HF7YAT000000000000000000");
  write_str(record, "line_number");
  write_int(record, -7);
  values.push_back(record);
  return values;
}

void test_msgpack_check() {
  for (const ByteBuffer& value : valid_values()) {
    check(accepts(value), "accepts " + hex(value), __LINE__);
    for (std::size_t cut = 0; cut < value.size(); ++cut) {
      const ByteBuffer prefix(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(cut));
      check(!accepts(prefix), "rejects truncated " + hex(prefix), __LINE__);
    }
    for (const ByteBuffer& extra : {bytes({0x00}), bytes({0xc0}), value}) {
      ByteBuffer longer = value;
      longer.insert(longer.end(), extra.begin(), extra.end());
      check(!accepts(longer), "rejects trailing bytes " + hex(longer), __LINE__);
    }
  }
  const ByteBuffer rejected[] = {
      bytes({0xc1}),
      bytes({0x91, 0xc1}),
      bytes({0x81, 0xc1, 0xc0}),
      bytes({0xdd, 0xff, 0xff, 0xff, 0xff}),
      bytes({0xdf, 0xff, 0xff, 0xff, 0xff}),
      bytes({0xdc, 0xff, 0xff, 0xc0, 0xc0}),
      bytes({0xde, 0x00, 0x02, 0x01, 0x02}),
      bytes({0xc6, 0xff, 0xff, 0xff, 0xff}),
      bytes({0xdb, 0xff, 0xff, 0xff, 0xff, 'x'}),
      bytes({0xc9, 0xff, 0xff, 0xff, 0xff, 0x01}),
      bytes({0x92, 0x01}),
      bytes({0x01, 0x02}),
  };
  for (const ByteBuffer& value : rejected) {
    check(!accepts(value), "rejects " + hex(value), __LINE__);
  }
  CHECK(!is_single_msgpack_value(nullptr, 0));
  // Deep nesting is walked without recursion.
  ByteBuffer deep(200000, 0x91);
  deep.push_back(0xc0);
  CHECK(accepts(deep));
  deep.pop_back();
  CHECK(!accepts(deep));
}

// Reads that do not fit leave the cursor where it was, so a reader can try
// another kind; integers keep their sign at every width.
void test_msgpack_reader() {
  const ByteBuffer data = bytes({0xd0, 0x80, 0xd1, 0xff, 0xfe, 0xcf, 0x80, 0,   0,    0,    0,
                                 0,    0,    0,    0xcc, 0xff, 0xa2, 'h',  'i', 0xd9, 0x05, 'x'});
  MsgpackReader reader(data.data(), data.size());
  CHECK(reader.int_value() == -128);
  CHECK(reader.int_value() == -2);
  const std::size_t at_huge = reader.pos();
  CHECK(!reader.int_value() && reader.pos() == at_huge);  // past INT64_MAX
  CHECK(reader.skip() && reader.int_value() == 255);
  CHECK(!reader.float_value() && !reader.map_header() && reader.str() == "hi");
  const std::size_t at_cut = reader.pos();
  CHECK(!reader.str() && reader.pos() == at_cut);  // a text longer than what is left
  CHECK(!reader.skip() && reader.pos() == at_cut);
  const ByteBuffer map = bytes({0xde, 0x00, 0x03, 0xca, 0x3f, 0xc0, 0x00, 0x00});
  MsgpackReader other(map.data(), map.size());
  CHECK(other.peek() == MsgpackReader::Kind::kMap && other.map_header() == 3U);
  CHECK(other.float_value() == 1.5);
  CHECK(other.peek() == MsgpackReader::Kind::kEnd);
}

// As the interpreter's decoder judges it: a text it would not decode strictly
// is left to the host's reading, which decodes it with replacements.
void test_utf8_check() {
  for (std::string_view good : {"", "abc", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                "\xf4\x8f\xbf\xbf", "\xed\x9f\xbf"}) {
    check(is_valid_utf8(good), "accepts " + std::string(good), __LINE__);
  }
  for (std::string_view bad :
       {"\x80", "\xc0\xaf", "\xc1\xbf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf0\x80\x80\xaf",
        "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xe2\x82", "a\xc3", "\xe2\x28\xa1"}) {
    check(!is_valid_utf8(bad), "rejects " + std::string(bad), __LINE__);
  }
}

std::string ulid(std::uint64_t millis, std::uint16_t high, std::uint64_t low) {
  char out[26];
  encode_ulid(millis, high, low, out);
  return std::string(out, 26);
}

bool crockford(std::string_view text) {
  return text.find_first_not_of("0123456789ABCDEFGHJKMNPQRSTVWXYZ") == std::string_view::npos;
}

void test_ids_and_time() {
  CHECK(ulid(1700000000000ULL, 0, 0) == "01HF7YAT00" + std::string(16, '0'));
  CHECK(ulid(0, 0xffff, UINT64_MAX) == std::string(10, '0') + std::string(16, 'Z'));
  CHECK(ulid((1ULL << 48) - 1, 0, 0) == "7ZZZZZZZZZ" + std::string(16, '0'));
  CHECK(ulid(0, 1, 0) == std::string(13, '0') + "G" + std::string(12, '0'));
  CHECK(ulid(0, 0, 31) == std::string(25, '0') + "Z");

  CHECK(timestamp_from(timespec{1700000000, 500000000}) == 1700000000.5);
  CHECK(timestamp_from(timespec{-5, 0}) == -5.0);
  CHECK(timestamp_from(timespec{-1, 500000000}) == -0.5);
  CHECK(ulid_millis_from(timespec{-1, 500000000}) == 0);
  CHECK(ulid_millis_from(timespec{-100, 0}) == 0);
  CHECK(ulid(ulid_millis_from(timespec{-5, 0}), 7, 7).substr(0, 10) == std::string(10, '0'));
  CHECK(ulid_millis_from(timespec{1700000000, 999999999}) == 1700000000999ULL);
  CHECK(ulid_millis_from(timespec{1, 1999999}) == 1001);
  CHECK(ulid(ulid_millis_from(timespec{1700000000, 0}), 0, 0).substr(0, 10) == "01HF7YAT00");

  const double now = timestamp();
  const auto wall = static_cast<double>(std::time(nullptr));
  CHECK(now > wall - 2 && now < wall + 2);

  std::set<std::string> random_parts;
  for (int i = 0; i < 200; ++i) {
    const FrameId id = new_frame_id();
    const std::string_view text = id.view();
    CHECK(text.size() == 30 && text.substr(0, 4) == "frm_" && crockford(text.substr(4)));
    CHECK(text[4] >= '0' && text[4] <= '7');
    random_parts.insert(std::string(text.substr(14)));
  }
  CHECK(random_parts.size() == 200);
  const std::string trace = new_trace_id();
  CHECK(trace.size() == 30 && trace.substr(0, 4) == "trc_" && crockford(trace.substr(4)));

  std::uint8_t a[32] = {};
  std::uint8_t b[32] = {};
  random_bytes(a, sizeof(a));
  random_bytes(b, sizeof(b));
  CHECK(std::string(a, a + 32) != std::string(b, b + 32));
  std::uint8_t other[32] = {};
  std::thread([&] { random_bytes(other, sizeof(other)); }).join();
  CHECK(std::string(other, other + 32) != std::string(a, a + 32) &&
        std::string(other, other + 32) != std::string(b, b + 32));
}

// A forked child draws bits of its own, not the continuation of the parent's
// stream.
void test_random_after_fork() {
  std::uint8_t before[8];
  random_bytes(before, sizeof(before));  // the parent's generator is keyed and has bits left
  int fds[2];
  if (pipe(fds) != 0) {
    CHECK(!"pipe failed");
    return;
  }
  const pid_t child = fork();
  if (child == 0) {
    std::uint8_t drawn[16];
    random_bytes(drawn, sizeof(drawn));
    ssize_t written = write(fds[1], drawn, sizeof(drawn));
    _exit(written == static_cast<ssize_t>(sizeof(drawn)) ? 0 : 1);
  }
  std::uint8_t parent[16];
  random_bytes(parent, sizeof(parent));
  std::uint8_t from_child[16] = {};
  ssize_t got = read(fds[0], from_child, sizeof(from_child));
  int status = 0;
  waitpid(child, &status, 0);
  close(fds[0]);
  close(fds[1]);
  CHECK(got == 16 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  CHECK(std::string(parent, parent + 16) != std::string(from_child, from_child + 16));
}

void test_strip_cwd() {
  struct C {
    const char* filename;
    const char* cwd;
    const char* want;
  };
  const C cases[] = {
      {"/home/u/proj/app/views.py", "/home/u/proj", "app/views.py"},
      {"/home/u/proj/app/views.py", "/home/u/proj/", "app/views.py"},
      {"/home/u/project/x.py", "/home/u/proj", "/home/u/project/x.py"},
      {"/home/u/projx", "/home/u/proj", "/home/u/projx"},
      {"/etc/x.py", "/", "etc/x.py"},
      {"<string>", "/home/u/proj", "<string>"},
      {"app/x.py", "/home/u/proj", "app/x.py"},
      {"/other/app.py", "/home/u/proj", "/other/app.py"},
      {"/home/u/proj/a.py", "", "/home/u/proj/a.py"},
  };
  for (const C& c : cases) {
    check(strip_cwd(c.filename, c.cwd) == c.want,
          std::string("strip_cwd(") + c.filename + ", " + c.cwd + ")", __LINE__);
  }
}

void test_finders() {
  CHECK(SubstringFinder("").find_in(""));
  CHECK(SubstringFinder("").find_in("anything"));
  CHECK(!SubstringFinder("abc").find_in("ab"));
  CHECK(SubstringFinder("abc").find_in("xxabcxx"));
  CHECK(SubstringFinder("abc").find_in("abc"));
  CHECK(!SubstringFinder("abc").find_in("ABC"));
  const Finders finders = build_finders({"one", "two"});
  CHECK(finders.size() == 2 && finders[0].needle() == "one" && finders[1].needle() == "two");
  CHECK(any_finds(finders, "xtwox") && !any_finds(finders, "three"));
  CHECK(!any_finds(Finders{}, "anything"));
  CHECK(build_finders({}).empty());
}

void test_path_filter() {
  const Finders none;
  auto verdict = [&](std::string_view path, const Finders& include = {},
                     const Finders& ignore = {}) { return classify_path(path, include, ignore); };
  const PathVerdict skip = PathVerdict::kSkip;
  const PathVerdict keep = PathVerdict::kKeepIfNotAttrs;
  const PathVerdict include = PathVerdict::kInclude;
  CHECK(verdict("/usr/lib/python3.12/json/decoder.py") == skip);
  CHECK(verdict("/venv/lib/python3.12/site-packages/pkg/m.py") == skip);
  CHECK(verdict("/home/u/app/site-packages-notes/x.py") == keep);
  CHECK(verdict("/opt/site-packages/x.py") == skip);
  CHECK(verdict("/home/u/project/tavo/db.py") == skip);
  CHECK(verdict("/home/u/project/tavo/dbx.py") == keep);
  for (const char* own :
       {"config.py", "db.py", "django_schema.py", "filters/x.py", "generate_tests/a.py", "git.py",
        "__init__.py", "__main__.py", "middleware.py", "profiler.py", "pytest_plugin.py",
        "serialize.py", "utils.py", "version.py"}) {
    check(verdict(std::string("/p/tavo/") + own) == skip, std::string("own file ") + own, __LINE__);
  }
  CHECK(verdict("/p/tavo/plugins.py") == keep);
  CHECK(verdict("<frozen importlib._bootstrap>") == skip);
  CHECK(verdict("<frozen>") == keep);
  CHECK(verdict("<string>") == skip);
  CHECK(verdict("<stdin>") == keep);
  CHECK(verdict("<pytest match expression>") == skip);
  CHECK(verdict("<pytest match expression>x") == keep);
  CHECK(verdict("<attrs generated init x.A>") == skip);
  CHECK(verdict("<attrs generate") == keep);
  CHECK(verdict("/home/u/app.py") == keep);
  const Finders mylib = build_finders({"site-packages/mylib"});
  CHECK(verdict("/venv/lib/python3.12/site-packages/mylib/core.py", mylib) == include);
  CHECK(verdict("/venv/lib/python3.12/site-packages/other/core.py", mylib) == skip);
  const Finders app = build_finders({"/app/"});
  CHECK(verdict("/app/main.py", none, app) == skip);
  CHECK(verdict("/app/main.py", build_finders({"main.py"}), app) == include);
  CHECK(verdict("/p/tavo/db.py", build_finders({""})) == include);
  CHECK(verdict("/home/u/app.py", none, build_finders({""})) == skip);
  CHECK(is_attrs_generator_file("/venv/site-packages/attr/_make.py"));
  CHECK(!is_attrs_generator_file("/venv/site-packages/attr/_make.pyc"));
  CHECK(!is_attrs_generator_file(""));
}

ByteBuffer written_array(const RecordList& list) {
  ByteBuffer out;
  list.write_array_header(out);
  const std::size_t header = out.size();
  out.resize(header + list.byte_size());
  CHECK(list.copy_records(out.data() + header) == out.data() + out.size());
  return out;
}

void test_record_list() {
  RecordList empty;
  CHECK(empty.empty() && empty.count() == 0 && written_array(empty) == bytes({0x90}));

  for (std::size_t n : {15u, 16u}) {
    RecordList list;
    ByteBuffer want;
    write_array_len(want, static_cast<std::uint32_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t record = static_cast<std::uint8_t>(i);
      list.append(&record, 1);
      want.push_back(record);
    }
    CHECK(list.count() == n && written_array(list) == want);
  }
  CHECK(written_array(RecordList()).size() == 1);

  // Empty records count but contribute no bytes.
  RecordList with_empty;
  const std::uint8_t a = 'a';
  const std::uint8_t b = 'b';
  with_empty.append(&a, 1);
  with_empty.append(nullptr, 0);
  with_empty.append(&b, 1);
  CHECK(with_empty.count() == 3 && with_empty.byte_size() == 2);
  CHECK(written_array(with_empty) == bytes({0x93, 'a', 'b'}));

  // Records crossing chunk boundaries, and one larger than a chunk, come out
  // back to back and unchanged.
  RecordList big;
  ByteBuffer want;
  write_array_len(want, 5001);
  for (int i = 0; i < 5000; ++i) {
    ByteBuffer record(37, static_cast<std::uint8_t>(i % 251));
    big.append(record.data(), record.size());
    want.insert(want.end(), record.begin(), record.end());
  }
  ByteBuffer huge(100000);
  for (std::size_t i = 0; i < huge.size(); ++i) huge[i] = static_cast<std::uint8_t>(i * 7);
  big.append(huge.data(), huge.size());
  want.insert(want.end(), huge.begin(), huge.end());
  CHECK(big.count() == 5001 && big.byte_size() == 5000 * 37 + 100000);
  CHECK(big.capacity() >= big.byte_size());
  CHECK(written_array(big) == want);

  RecordList earlier;
  RecordList later;
  const std::uint8_t x[] = {0xa1, 'x'};
  const std::uint8_t y[] = {0x01};
  const std::uint8_t z[] = {0xc0};
  earlier.append(x, 2);
  earlier.append(y, 1);
  later.append(z, 1);
  later.prepend(std::move(earlier));
  CHECK(later.count() == 3 && written_array(later) == bytes({0x93, 0xa1, 'x', 0x01, 0xc0}));
  CHECK(earlier.count() == 0 && written_array(earlier) == bytes({0x90}));
  later.prepend(RecordList());
  CHECK(later.count() == 3 && written_array(later) == bytes({0x93, 0xa1, 'x', 0x01, 0xc0}));
}

// Lists fill reused chunks with their own records only, whichever list gave
// the chunks back (destroyed, moved over or emptied by a move), and the pool
// keeps no more than its limit.
void test_record_list_chunk_pool() {
  ChunkPool pool;
  auto fill = [](RecordList& list, int records, std::uint8_t seed) {
    ByteBuffer want;
    write_array_len(want, static_cast<std::uint32_t>(records));
    for (int i = 0; i < records; ++i) {
      ByteBuffer record(301, static_cast<std::uint8_t>(seed + i % 13));
      list.append(record.data(), record.size());
      want.insert(want.end(), record.begin(), record.end());
    }
    return want;
  };
  {
    RecordList first(&pool);
    fill(first, 2000, 1);  // about ten full chunks
  }
  const std::size_t kept = pool.kept_bytes();
  CHECK(kept >= 8 * ChunkPool::kChunkSize);
  RecordList second(&pool);
  const ByteBuffer want = fill(second, 2000, 7);
  CHECK(pool.kept_bytes() < kept && written_array(second) == want);
  RecordList moved(std::move(second));
  CHECK(written_array(moved) == want && second.empty());
  moved = RecordList(&pool);
  CHECK(moved.empty() && pool.kept_bytes() >= kept);
  {
    RecordList many(&pool);
    fill(many, 20000, 3);  // far more chunks than are kept
  }
  CHECK(pool.kept_bytes() == ChunkPool::kKeep * ChunkPool::kChunkSize);
}

}  // namespace

int main() {
  test_write_str();
  test_write_integers();
  test_write_other_items();
  test_msgpack_check();
  test_msgpack_reader();
  test_utf8_check();
  test_ids_and_time();
  test_random_after_fork();
  test_strip_cwd();
  test_record_list_chunk_pool();
  test_finders();
  test_path_filter();
  test_record_list();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
