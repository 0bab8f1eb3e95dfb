"""The engine when the system fails it: no entropy source, memory refused to
the native module. Each program runs in a child process with a small library
preloaded that makes the failure happen; the program must go on, and say so."""

import os
import shutil
import subprocess
import sys

import pytest

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

SHIMS = {
    # getrandom() refused, as under a seccomp profile or on an old kernel.
    "no_getrandom.c": """
#include <errno.h>
#include <sys/types.h>
ssize_t getrandom(void *buf, size_t size, unsigned int flags) {
  (void)buf; (void)size; (void)flags;
  errno = ENOSYS;
  return -1;
}
""",
    # C++ allocations larger than TAVO_TEST_NEW_LIMIT bytes fail (0: no limit).
    "limited_new.cpp": """
#include <cstdlib>
#include <new>
static std::size_t limit() {
  const char* text = std::getenv("TAVO_TEST_NEW_LIMIT");
  return text ? std::strtoull(text, nullptr, 10) : 0;
}
void* operator new(std::size_t size) {
  if (limit() != 0 && size > limit()) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
""",
}

PROGRAMS = {
    "no_getrandom.c": """
import msgpack, tavo
def f(i):
    return i
with tavo.profile(db_path=None) as p:
    for i in range(3):
        f(i)
records = msgpack.unpackb(p.trace, strict_map_key=False)["frames_of_interest"]
print(len({r["frame_id"] for r in records if r["co_name"] == "f"}))
""",
    "limited_new.cpp": """
import os, sys, msgpack, tavo
def big(payload):
    return len(payload)
def small(i):
    return i
p = tavo.profile(db_path=None, config={"value_budget": 1 << 24}).enable()  # recorded whole
big("x" * 2_000_000)  # its records need more than the limit: dropped, counted
for i in range(5000):
    small(i)
sys.argv.append("y" * 2_000_000)  # the document's own entries need more than the limit
try:
    p.disable()
except MemoryError:
    print("MemoryError")
os.environ["TAVO_TEST_NEW_LIMIT"] = "0"
records = msgpack.unpackb(p.rust_profiler.build_trace(), strict_map_key=False)
print(p.dropped_records, sum(r["co_name"] == "small" for r in records["frames_of_interest"]))
""",
}

# Output, and what is logged how many times: one warning for the entropy
# fallback; an event error for each dropped record of `big` (call and return).
EXPECTED = {
    "no_getrandom.c": ("3\n", "getrandom() failed", 1),
    "limited_new.cpp": ("MemoryError\n2 10000\n", "MemoryError: tavo: out of memory", 2),
}


@pytest.mark.parametrize("shim", [
    "no_getrandom.c",
    pytest.param("limited_new.cpp", marks=pytest.mark.skipif(
        UNDER_ASAN, reason="the sanitizer's allocator takes operator new first")),
])
def test_the_program_goes_on_when_the_system_fails(tmp_path, shim):
    compiler = shutil.which("c++" if shim.endswith(".cpp") else "cc")
    if compiler is None:
        pytest.skip("no compiler for the preloaded library")
    (tmp_path / shim).write_text(SHIMS[shim])
    library = tmp_path / "shim.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(tmp_path / shim)],
                   check=True)
    program = tmp_path / "program.py"
    program.write_text(PROGRAMS[shim])
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))
    done = subprocess.run([sys.executable, str(program)], capture_output=True, text=True,
                          timeout=120, env={**os.environ, "LD_PRELOAD": preload,
                                            "TAVO_TEST_NEW_LIMIT": str(1 << 20)})
    stdout, logged, times = EXPECTED[shim]
    assert (done.returncode, done.stdout) == (0, stdout), done.stderr
    assert done.stderr.count(logged) == times, done.stderr
