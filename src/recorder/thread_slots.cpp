#include "recorder/thread_slots.hpp"

#include <algorithm>
#include <utility>

#include "interop/compat.hpp"

namespace tavo {

namespace {

// What a thread holds of the slots it was given; its destructor runs when the
// thread exits and marks them so that their profilers reclaim them. It never
// touches Python objects: profilers empty a slot before they let it go.
struct ThreadAnchor {
  std::vector<std::pair<std::uint64_t, std::shared_ptr<ThreadSlot>>> slots;

  ~ThreadAnchor() {
    for (auto& [serial, slot] : slots) {
      slot->thread_exited.store(true, std::memory_order_release);
    }
  }
};

thread_local ThreadAnchor anchor;

// Gives up the frame references without releasing them. The frames of a
// thread that was ended in the middle of its code (at interpreter exit, or
// absent from a forked child) point into that thread's freed frame stack:
// releasing them could read freed memory, so they are leaked.
void leak_frames(std::vector<CallFrame>& frames) {
  for (CallFrame& entry : frames) {
    (void)entry.frame.release();
  }
  frames.clear();
}

}  // namespace

thread_local ThreadSlots::FastCache ThreadSlots::fast_cache;

ThreadSlots::~ThreadSlots() { clear_python_refs(); }

ThreadSlot& ThreadSlots::current_slow() {
  // Entries of profilers that have gone (their serials never come back) are
  // dropped as the thread meets new ones.
  std::erase_if(anchor.slots, [](const auto& entry) { return entry.second.use_count() == 1; });
  for (auto& [serial, slot] : anchor.slots) {
    if (serial == serial_) {
      fast_cache = {serial_, slot.get()};
      return *slot;
    }
  }
  reclaim_exited();
  auto slot = std::make_shared<ThreadSlot>();
  slots_.push_back(slot);
  anchor.slots.emplace_back(serial_, slot);
  fast_cache = {serial_, slot.get()};
  return *slot;
}

void ThreadSlots::reclaim_exited() {
  // The frames are moved out here, under the interpreter lock: the exiting
  // thread may still hold the slot and would otherwise release them without
  // it. They are released only once the list of slots is consistent again,
  // since that can run arbitrary code (__del__) that lets other threads in.
  std::vector<std::vector<CallFrame>> released;
  std::erase_if(slots_, [&released](const std::shared_ptr<ThreadSlot>& slot) {
    if (!slot->thread_exited.load(std::memory_order_acquire)) {
      return false;
    }
    released.push_back(std::move(slot->call_frames));
    slot->call_frames.clear();
    return true;
  });
  released.clear();
}

void ThreadSlots::clear_python_refs() {
  if (compat::interpreter_finalizing()) {
    for (auto& slot : slots_) {
      leak_frames(slot->call_frames);
    }
    return;
  }
  for (auto& slot : slots_) {
    // Frames may run arbitrary code when released; take them out first so the
    // stack is consistent if that code reaches this profiler again.
    std::vector<CallFrame> frames = std::move(slot->call_frames);
    slot->call_frames.clear();
    frames.clear();
  }
}

void ThreadSlots::keep_only_current() {
  ThreadSlot* own = &current();
  own->identity.reset();
  std::erase_if(slots_, [own](const std::shared_ptr<ThreadSlot>& slot) {
    if (slot.get() == own) {
      return false;
    }
    leak_frames(slot->call_frames);
    slot->frame_ids.clear();
    return true;
  });
}

int ThreadSlots::traverse(visitproc visit, void* arg) const {
  for (const auto& slot : slots_) {
    for (const CallFrame& entry : slot->call_frames) {
      Py_VISIT(entry.frame.get());
    }
  }
  return 0;
}

}  // namespace tavo
