// Checks the available-memory arithmetic on made-up /proc and /sys/fs/cgroup contents
// (machine only, cgroup v2 and v1, unlimited, tight, containers with and without their
// own cgroup namespace), the fill guard's decisions and texts, and the size gzip data is
// expected to have from its stated length.
// Usage: test_memory. Exit status 0 when everything matches, 1 otherwise.
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "package/memory/memory.hpp"
#include "packet/gzip_size.hpp"

namespace {

using namespace tiltgram;
using Files = std::map<std::string, std::string>;

int g_failed = 0;

void expect_eq(const char* what, std::uint64_t got, std::uint64_t want) {
  if (got == want) return;
  ++g_failed;
  std::printf("FAIL %s: got %llu, want %llu\n", what, static_cast<unsigned long long>(got),
              static_cast<unsigned long long>(want));
}

void expect_text(const char* what, const std::string& got, const std::string& want) {
  if (got == want) return;
  ++g_failed;
  std::printf("FAIL %s: got \"%s\", want \"%s\"\n", what, got.c_str(), want.c_str());
}

std::uint64_t available(const Files& files) {
  return available_memory([&files](const std::string& path) -> std::optional<std::string> {
    const auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    return it->second;
  });
}

constexpr std::uint64_t kMiB = 1 << 20;
const std::string kMeminfo =  // 6000 MiB + 1000 MiB of swap
    "MemTotal:       24683772 kB\nMemFree:         1000 kB\nMemAvailable:    6144000 kB\n"
    "SwapTotal:       2048000 kB\nSwapFree:        1024000 kB\n";
const std::string kV2Mount =
    "24 30 0:22 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw,nsdelegate\n";
const std::string kV1Mount =
    "36 29 0:31 / /sys/fs/cgroup/memory rw,relatime shared:16 - cgroup cgroup rw,memory\n"
    "37 29 0:32 / /sys/fs/cgroup/cpu rw,relatime shared:17 - cgroup cgroup rw,cpu\n";

void machine_sources() {
  expect_eq("meminfo alone", available({{"/proc/meminfo", kMeminfo}}), 7000 * kMiB);
  expect_eq("no swap line", available({{"/proc/meminfo", "MemAvailable: 2048 kB\n"}}), 2 * kMiB);
  expect_eq("nothing readable", available({}), kNoMemoryLimit);
  expect_eq("no MemAvailable", available({{"/proc/meminfo", "MemFree: 10 kB\n"}}), kNoMemoryLimit);
}

void cgroup_v2() {
  Files f = {{"/proc/meminfo", kMeminfo},
             {"/proc/self/cgroup", "0::/batch/job7\n"},
             {"/proc/self/mountinfo", kV2Mount},
             {"/sys/fs/cgroup/batch/job7/memory.max", "max\n"},
             {"/sys/fs/cgroup/batch/memory.max", std::to_string(3000 * kMiB) + "\n"},
             {"/sys/fs/cgroup/batch/memory.current", std::to_string(1200 * kMiB) + "\n"},
             {"/sys/fs/cgroup/batch/memory.stat",
              "anon 1\nfile 2\nactive_file " + std::to_string(150 * kMiB) + "\ninactive_file " +
                  std::to_string(50 * kMiB) + "\n"}};
  // The parent's limit holds the leaf: 3000 - (1200 - 200 of reclaimable cache).
  expect_eq("v2 limit on an ancestor", available(f), 2000 * kMiB);
  f["/sys/fs/cgroup/batch/job7/memory.max"] = std::to_string(500 * kMiB);
  f["/sys/fs/cgroup/batch/job7/memory.current"] = std::to_string(100 * kMiB);
  expect_eq("v2 tighter leaf", available(f), 400 * kMiB);
  f["/sys/fs/cgroup/batch/job7/memory.current"] = std::to_string(600 * kMiB);
  expect_eq("v2 over its limit", available(f), 0);
  f["/sys/fs/cgroup/batch/job7/memory.max"] = std::to_string(100000 * kMiB);
  expect_eq("v2 limit above the machine", available(f), 2000 * kMiB);
  f["/sys/fs/cgroup/batch/memory.max"] = "max";
  expect_eq("v2 unlimited", available(f), 7000 * kMiB);
}

void cgroup_v1() {
  Files f = {{"/proc/meminfo", kMeminfo},
             {"/proc/self/cgroup", "9:name=systemd:/\n4:memory:/process_api/f3ed\n3:cpu:/\n0::/\n"},
             {"/proc/self/mountinfo", kV1Mount},
             {"/sys/fs/cgroup/memory/process_api/f3ed/memory.limit_in_bytes", "9223372036854771712\n"},
             {"/sys/fs/cgroup/memory/process_api/f3ed/memory.usage_in_bytes", "2598207488\n"},
             {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"}};
  expect_eq("v1 unlimited", available(f), 7000 * kMiB);
  f["/sys/fs/cgroup/memory/process_api/memory.limit_in_bytes"] = std::to_string(4096 * kMiB);
  f["/sys/fs/cgroup/memory/process_api/memory.usage_in_bytes"] = std::to_string(3096 * kMiB);
  f["/sys/fs/cgroup/memory/process_api/memory.stat"] =
      "cache 1\nactive_file 1\ninactive_file 1\ntotal_active_file " + std::to_string(96 * kMiB) +
      "\ntotal_inactive_file " + std::to_string(400 * kMiB) + "\n";
  expect_eq("v1 limit with hierarchical cache", available(f), 1496 * kMiB);
}

void containers() {
  // A container with its own cgroup namespace: its cgroup is the mount's root.
  Files f = {{"/proc/meminfo", kMeminfo},
             {"/proc/self/cgroup", "0::/\n"},
             {"/proc/self/mountinfo", kV2Mount},
             {"/sys/fs/cgroup/memory.max", std::to_string(512 * kMiB)},
             {"/sys/fs/cgroup/memory.current", std::to_string(112 * kMiB)}};
  expect_eq("v2 namespaced container", available(f), 400 * kMiB);
  // Without a namespace the host's path is shown; the mount's root is the container's
  // cgroup, so the path below it is the cgroup, and a path outside it is the mount itself.
  f["/proc/self/mountinfo"] =
      "24 30 0:22 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n";
  f["/proc/self/cgroup"] = "0::/docker/abc\n";
  expect_eq("v2 container, host path", available(f), 400 * kMiB);
  f["/proc/self/cgroup"] = "0::/elsewhere/x\n";
  expect_eq("v2 container, path outside the root", available(f), 400 * kMiB);
  f["/proc/self/cgroup"] = "0::/docker/abcdef\n";  // not below /docker/abc
  expect_eq("v2 container, sibling path", available(f), 400 * kMiB);
  // A hybrid host: v1 memory limits and a v2 mount without a memory controller.
  Files h = {{"/proc/meminfo", kMeminfo},
             {"/proc/self/cgroup", "4:memory:/\n0::/\n"},
             {"/proc/self/mountinfo",
              kV1Mount + "40 29 0:33 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"},
             {"/sys/fs/cgroup/memory/memory.limit_in_bytes", std::to_string(1024 * kMiB)},
             {"/sys/fs/cgroup/memory/memory.usage_in_bytes", std::to_string(24 * kMiB)}};
  expect_eq("hybrid host", available(h), 1000 * kMiB);
}

void guard() {
  std::uint64_t avail = 1000 * kMiB;
  int reads = 0;
  FillGuard g([](std::uint64_t total) { return std::to_string(total / kMiB) + " MiB of rows"; },
              [&] {
                ++reads;
                return avail;
              });
  g.expect(FillGuard::kUnchecked, 0);
  expect_eq("small results are not checked", reads, 0);
  g.row_bytes(32);
  g.expect(600 * kMiB, 0);
  expect_eq("one check", reads, 1);
  // 600 MiB and the reserve (96 MiB + 1/32) leave 285 MiB: about half of it may be filled
  // before the next check.
  g.expect(700 * kMiB, 0);
  expect_eq("no check within the step", reads, 1);
  avail = 400 * kMiB;  // after filling 500 MiB
  g.expect(770 * kMiB, 500 * kMiB);
  expect_eq("check beyond the step, the reserve kept", reads, 2);
  try {
    g.expect(780 * kMiB, 500 * kMiB);  // 280 MiB and 120.4 MiB of reserve: 400.4 MiB
    expect_eq("the reserve is never taken", 0, 1);
  } catch (const OutOfMemory&) {
  }
  avail = 150 * kMiB;  // after filling 700 MiB
  try {
    g.expect(900 * kMiB, 700 * kMiB);
    expect_eq("refused", 0, 1);
  } catch (const OutOfMemory& e) {
    expect_text("refusal text", e.what(),
                "cannot allocate 943.7 MB (29,491,200 rows of 32 bytes) for 900 MiB of rows: "
                "891.3 MB available");
  }
  // Less asked for than is available: the reserve says why it is refused.
  FillGuard small([](std::uint64_t) { return std::string("x"); }, [] { return 100 * kMiB; });
  small.row_bytes(32);
  try {
    small.expect(90 * kMiB, 0);
    expect_eq("refused within the reserve", 0, 1);
  } catch (const OutOfMemory& e) {
    expect_text("refusal text within the reserve", e.what(),
                "cannot allocate 94.4 MB (2,949,120 rows of 32 bytes) for x: 104.9 MB available, "
                "and 103.6 MB must stay free for the rest of the process");
  }
  FillGuard unlimited([](std::uint64_t) { return std::string(); }, [] { return kNoMemoryLimit; });
  unlimited.expect(UINT64_MAX - 1, 0);
  expect_eq("no limit allows all", unlimited.allows(UINT64_MAX), 1);
  FillGuard tight([](std::uint64_t) { return std::string("x"); }, [] { return 300 * kMiB; });
  expect_eq("fits answers", tight.fits(250 * kMiB, 0), 0);
  expect_eq("backed counts", tight.fits(250 * kMiB, 150 * kMiB), 1);
}

void gzip_sizes() {
  constexpr std::uint64_t kMB = 1000000, kGiB = std::uint64_t{1} << 30;
  // Nothing read yet: the stated length.
  expect_eq("stated", expected_gzip_size(100 * kMB, 40 * kMB, 0, 0), 100 * kMB);
  // More produced than stated with little read: several members or a wrapped length, and
  // the ratio so far decides (a wrap would add 4 GiB to what may be a 13 MB recording).
  expect_eq("past the stated length", expected_gzip_size(100 * kMB, 40 * kMB, 200 * kMB, kMB),
            8000 * kMB);
  expect_eq("several members, little read",
            expected_gzip_size(8 * kMB, 10 * kMB, 9 * kMB, 6 * kMB), 15 * kMB);
  // 5 GiB + 100 MB from 1.6 GB; after 100 MB of it the ratio picks the wrapped candidate.
  const std::uint64_t whole = 5 * kGiB + 100 * kMB;
  const auto stated = static_cast<std::uint32_t>(whole % (4 * kGiB));
  expect_eq("wrapped, ratio unknown", expected_gzip_size(stated, 1600 * kMB, 0, 0), stated);
  expect_eq("wrapped, ratio known",
            expected_gzip_size(stated, 1600 * kMB, whole / 16, 100 * kMB), whole);
  // Several members: the last one states 1 MB of 300 MB; the ratio's projection stands.
  expect_eq("several members", expected_gzip_size(1 * kMB, 100 * kMB, 60 * kMB, 20 * kMB), 300 * kMB);
  // A length beyond deflate's largest ratio (1032:1) is not believed.
  expect_eq("beyond any ratio", expected_gzip_size(1000 * kMB, 100000, 0, 0), 0);
}

void texts() {
  expect_text("GB", byte_text(3870720000), "3.9 GB");
  expect_text("MB", byte_text(512000000), "512.0 MB");
  expect_text("kB", byte_text(12345), "12.3 kB");
  expect_text("bytes", byte_text(17), "17 bytes");
  expect_text("count", count_text(1008000), "1,008,000");
  expect_text("count small", count_text(100), "100");
  expect_text("count 4", count_text(1000), "1,000");
  expect_text("count max", count_text(UINT64_MAX), "18,446,744,073,709,551,615");
}

}  // namespace

int main() {
  machine_sources();
  cgroup_v2();
  cgroup_v1();
  containers();
  guard();
  gzip_sizes();
  texts();
  // The real sources parse on this machine.
  if (available_memory() == 0) {
    ++g_failed;
    std::printf("FAIL this machine reports no available memory\n");
  }
  std::printf("%s\n", g_failed == 0 ? "ok" : "FAILED");
  return g_failed == 0 ? 0 : 1;
}
