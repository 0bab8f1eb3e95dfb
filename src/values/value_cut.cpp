#include "values/value_cut.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <string>

#include "record/msgpack_read.hpp"
#include "values/value_leaves.hpp"
#include "values/value_settings.hpp"

namespace tavo::values {

namespace {

// Bytes of a UTF-8 sequence from its first byte.
std::size_t utf8_width(std::uint8_t first) {
  return first < 0x80 ? 1 : first < 0xe0 ? 2 : first < 0xf0 ? 3 : 4;
}

class Cutter {
 public:
  Cutter(Sink& out, std::vector<Span>& spans, PyObject* pending)
      : out_(out), spans_(spans), pending_(pending) {}

  enum class Form { kLeaf, kStr, kBin, kArray, kMap };
  struct Head {
    Form form;
    std::size_t header;  // bytes of the header (all of a leaf's)
    std::size_t length;  // bytes of text or data, items of an array, entries of a map
  };

  static std::size_t read_be(const std::uint8_t* at, int bytes) {
    std::size_t value = 0;
    for (int i = 0; i < bytes; ++i) {
      value = value << 8 | at[i];
    }
    return value;
  }

  static Head read_head(const std::uint8_t* at) {
    const std::uint8_t tag = at[0];
    if (tag <= 0x7f || tag >= 0xe0) {
      return {Form::kLeaf, 1, 0};
    }
    if (tag <= 0x8f) {
      return {Form::kMap, 1, tag & 0x0fU};
    }
    if (tag <= 0x9f) {
      return {Form::kArray, 1, tag & 0x0fU};
    }
    if (tag <= 0xbf) {
      return {Form::kStr, 1, tag & 0x1fU};
    }
    switch (tag) {
      case 0xc4:
      case 0xc5:
      case 0xc6: {
        const int bytes = 1 << (tag - 0xc4);
        return {Form::kBin, 1 + static_cast<std::size_t>(bytes), read_be(at + 1, bytes)};
      }
      case 0xd9:
      case 0xda:
      case 0xdb: {
        const int bytes = 1 << (tag - 0xd9);
        return {Form::kStr, 1 + static_cast<std::size_t>(bytes), read_be(at + 1, bytes)};
      }
      case 0xdc:
      case 0xdd:
        return {Form::kArray, tag == 0xdc ? 3U : 5U, read_be(at + 1, tag == 0xdc ? 2 : 4)};
      case 0xde:
      case 0xdf:
        return {Form::kMap, tag == 0xde ? 3U : 5U, read_be(at + 1, tag == 0xde ? 2 : 4)};
      case 0xcc:
      case 0xd0:
        return {Form::kLeaf, 2, 0};
      case 0xcd:
      case 0xd1:
        return {Form::kLeaf, 3, 0};
      case 0xce:
      case 0xd2:
        return {Form::kLeaf, 5, 0};
      case 0xcb:
      case 0xcf:
      case 0xd3:
        return {Form::kLeaf, 9, 0};
      default:
        return {Form::kLeaf, 1, 0};  // nil, false, true
    }
  }

  static constexpr std::size_t kCutShort = std::numeric_limits<std::size_t>::max();

  // The bytes of an item that its first byte tells (numbers, nil, bools and
  // short texts); 0 for the others.
  static constexpr std::array<std::uint8_t, 256> kFixedSize = [] {
    std::array<std::uint8_t, 256> size{};
    for (int tag = 0; tag < 256; ++tag) {
      if (tag <= 0x7f || tag >= 0xe0) {
        size[tag] = 1;
      } else if (tag >= 0xa0 && tag <= 0xbf) {
        size[tag] = static_cast<std::uint8_t>(1 + (tag & 0x1f));
      }
    }
    size[0xc0] = size[0xc2] = size[0xc3] = 1;
    size[0xcc] = size[0xd0] = 2;
    size[0xcd] = size[0xd1] = 3;
    size[0xce] = size[0xd2] = 5;
    size[0xcb] = size[0xcf] = size[0xd3] = 9;
    return size;
  }();

  // Records the end of each container written from `pos` on, in the order of
  // their starts (kCutShort for one the attempt left unfinished); returns the
  // end of the item at `pos`, or kCutShort.
  std::size_t index_item(std::size_t pos, std::size_t end) {
    const Head head = read_head(out_.data() + pos);
    if (head.form != Form::kArray && head.form != Form::kMap) {
      return pos + head.header + head.length;
    }
    const std::size_t slot = spans_.size();
    spans_.push_back({kCutShort, 0});
    const std::size_t items = head.form == Form::kMap ? 2 * head.length : head.length;
    std::size_t at = pos + head.header;
    for (std::size_t i = 0; i < items; ++i) {
      if (at >= end) {
        at = kCutShort;
        break;
      }
      if (const std::size_t run = fixint_run(out_.data() + at, std::min(items - i, end - at));
          run != 0) {
        at += run;
        i += run - 1;
        continue;
      }
      if (const std::uint8_t size = kFixedSize[out_.data()[at]]; size != 0) {
        at += size;  // the most common items, in line
        continue;
      }
      if (at = index_item(at, end); at == kCutShort) {
        break;
      }
    }
    spans_[slot] = {at, spans_.size()};
    return at;
  }

  // The end of the item at `pos` (kCutShort if not all of it was written),
  // moving `span` past the containers in it.
  std::size_t item_end(std::size_t pos, std::size_t end, std::size_t& span) {
    if (pos >= end) {
      return kCutShort;
    }
    if (const std::uint8_t size = kFixedSize[out_.data()[pos]]; size != 0) {
      return pos + size;
    }
    const Head head = read_head(out_.data() + pos);
    if (head.form != Form::kArray && head.form != Form::kMap) {
      return pos + head.header + head.length;
    }
    const Span found = spans_[span];
    span = found.after;
    return found.end;
  }

  // Replaces what the attempt wrote from `start` by the cut form of the
  // value, built after it and then moved down.
  bool recut_written(std::size_t start, std::size_t room) {
    const std::size_t end = out_.size();
    spans_.clear();
    if (start < end) {
      index_item(start, end);
    }
    std::size_t span = 0;
    if (!recut(start, end, span, room)) {
      return false;
    }
    const std::size_t n = out_.size() - end;
    std::memmove(out_.data() + start, out_.data() + end, n);
    out_.shrink(start + n);
    return true;
  }

  // Appends the cut form into `room` of the item at `pos`, whose full
  // encoding takes more (at `end`: the pending leaf, not written).
  bool recut(std::size_t pos, std::size_t end, std::size_t& span, std::size_t room) {
    if (pos >= end) {
      return cut_pending(room);
    }
    const Head head = read_head(out_.data() + pos);
    const auto* data = reinterpret_cast<const char*>(out_.data() + pos + head.header);
    switch (head.form) {
      case Form::kStr:
        return cut_utf8(data, head.length, room);
      case Form::kBin:
        return cut_bin({data, head.length}, room);
      case Form::kArray:
      case Form::kMap:
        return recut_items(pos, end, span, room, head);
      case Form::kLeaf:
        break;
    }
    out_.put_from(pos, head.header);  // never over the least room
    return true;
  }

  bool recut_items(std::size_t pos, std::size_t end, std::size_t& span, std::size_t room,
                   Head head) {
    const bool map = head.form == Form::kMap;
    const std::size_t count = head.length;
    const std::size_t avail =
        room - 5 -
        (map ? mp::str_size(count_text("<", count, " more entries>").size()) + 1
             : mp::str_size(count_text("<", count, " more items>").size()));
    const std::size_t first = pos + head.header;
    ++span;  // past this container's own
    std::size_t whole_end = first;
    std::size_t kept = 0;
    std::size_t cut_at = kCutShort;  // the value cut into the room left, if any
    std::size_t cut_span = 0;
    std::size_t cut_room = 0;
    for (; kept < count; ++kept) {
      if (!map) {  // a run of one-byte ints that fits is kept at once
        const std::size_t most = std::min(count - kept, std::min(end, first + avail) - whole_end);
        if (const std::size_t run = fixint_run(out_.data() + whole_end, most); run != 0) {
          whole_end += run;
          kept += run - 1;
          continue;
        }
      }
      std::size_t item = whole_end;
      if (map) {
        item = item_end(whole_end, end, span);  // after the key
        if (item == kCutShort || item - first > avail) {
          break;
        }
      }
      const std::size_t item_span = span;
      const std::size_t item_stop = item_end(item, end, span);
      if (item_stop != kCutShort && item_stop - first <= avail) {
        whole_end = item_stop;
        continue;
      }
      if (avail - (item - first) >= kMinRoom) {
        cut_at = item;
        cut_span = item_span;
        cut_room = avail - (item - first);
      }
      break;
    }
    const std::size_t cut_count = cut_at != kCutShort ? 1 : 0;
    const std::size_t left = count - kept - cut_count;
    const std::size_t parts = kept + cut_count + (left > 0 ? 1 : 0);
    if (map) {
      put_map_header(out_, parts);
    } else {
      put_array_header(out_, parts);
    }
    out_.put_from(first, (cut_count != 0 ? cut_at : whole_end) - first);
    if (cut_count != 0) {
      if (!recut(cut_at, end, cut_span, cut_room)) {
        return false;
      }
    }
    if (left > 0) {
      put_str(out_, count_text("<", left, map ? " more entries>" : " more items>"));
      if (map) {
        out_.put(0xc0);
      }
    }
    return true;
  }

  // The text or bytes that did not fit when the attempt came to them.
  bool cut_pending(std::size_t room) {
    PyObject* leaf = pending_;
    if (leaf == nullptr) {
      PyErr_SetString(PyExc_SystemError, "tavo: a cut value lost the item it was cut at");
      return false;
    }
    if (PyUnicode_Check(leaf)) {
      Py_ssize_t size = 0;
      PyRef holder;
      const char* data = utf8_of(leaf, size, holder);
      return data != nullptr ? cut_utf8(data, static_cast<std::size_t>(size), room) : false;
    }
    return cut_bin(bytes_of(leaf), room);
  }

  // `data` (which may lie in the output) is read before anything is written.
  bool cut_utf8(const char* data, std::size_t n, std::size_t room) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < n; i += utf8_width(static_cast<std::uint8_t>(data[i]))) {
      ++chars;
    }
    const std::size_t avail = room - 5 - count_text("...<", chars, " more characters>").size();
    std::size_t kept_bytes = 0;
    std::size_t kept_chars = 0;
    while (kept_bytes < n) {
      std::size_t width = utf8_width(static_cast<std::uint8_t>(data[kept_bytes]));
      if (kept_bytes + width > avail) {
        break;
      }
      kept_bytes += width;
      ++kept_chars;
    }
    std::string text(data, kept_bytes);
    text += count_text("...<", chars - kept_chars, " more characters>");
    put_str(out_, text);
    return true;
  }

  bool cut_bin(std::string_view data, std::size_t room) {
    const std::size_t kept =
        room - 1 - 5 - mp::str_size(count_text("<", data.size(), " more bytes>").size());
    const std::string head(data.substr(0, kept));  // read before the output grows
    out_.put(0x92);
    put_bin(out_, head);
    put_str(out_, count_text("<", data.size() - kept, " more bytes>"));
    return true;
  }

  // See first_entry_past().
  WrittenEntry entry_past(std::size_t pos, std::size_t entries_end) {
    const std::size_t end = out_.size();
    spans_.clear();
    index_item(pos, end);
    const Head head = read_head(out_.data() + pos);
    std::size_t span = 1;  // past the map's own
    std::size_t at = pos + head.header;
    for (std::size_t i = 0; i < head.length; ++i) {
      const std::size_t key_end = item_end(at, end, span);
      const std::size_t entry_end = key_end == kCutShort ? kCutShort : item_end(key_end, end, span);
      if (entry_end == kCutShort || entry_end > entries_end) {
        return {i, at, key_end == kCutShort ? 0 : key_end, entry_end};
      }
      at = entry_end;
    }
    return {head.length, at, 0, at};
  }

 private:
  Sink& out_;
  std::vector<Span>& spans_;
  PyObject* const pending_;
};

}  // namespace

WrittenEntry first_entry_past(Sink& out, std::vector<Span>& spans, std::size_t pos,
                              std::size_t entries_end) {
  return Cutter(out, spans, nullptr).entry_past(pos, entries_end);
}

bool cut_written(Sink& out, std::vector<Span>& spans, std::size_t start, std::size_t room,
                 PyObject* pending) {
  return Cutter(out, spans, pending).recut_written(start, room);
}

}  // namespace tavo::values
