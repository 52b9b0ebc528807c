#include "package/memory/memory.hpp"

#include <sys/resource.h>

#include <charconv>
#include <cstdio>
#include <string_view>
#include <vector>

#include "errors/messages.hpp"

namespace tiltgram {

namespace {

// Limits at or above this are "no limit" (cgroup v1 writes 2^63 rounded down to a page).
constexpr std::uint64_t kHugeLimit = std::uint64_t{1} << 62;

std::optional<std::string> read_text_file(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "re");
  if (f == nullptr) return std::nullopt;
  std::string text;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return std::nullopt;
  return text;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = s.find(sep);
    parts.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return parts;
    s.remove_prefix(at + 1);
  }
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

std::optional<std::uint64_t> parse_number(std::string_view s) {
  s = trim(s);
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

// The value of "key <number>" (memory.stat) or "key: <number> kB" (meminfo, in bytes).
std::optional<std::uint64_t> field(std::string_view text, std::string_view key) {
  for (std::string_view line : split(text, '\n')) {
    if (line.substr(0, key.size()) != key) continue;
    line.remove_prefix(key.size());
    if (line.empty() || !(line.front() == ' ' || line.front() == ':')) continue;
    if (line.front() == ':') line.remove_prefix(1);
    std::uint64_t scale = 1;
    line = trim(line);
    if (line.size() > 3 && line.substr(line.size() - 3) == " kB") {
      scale = 1024;
      line.remove_suffix(3);
    }
    const auto v = parse_number(line);
    if (!v || *v > UINT64_MAX / scale) return std::nullopt;
    return *v * scale;
  }
  return std::nullopt;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

std::uint64_t machine_available(const ReadTextFile& read) {
  const auto text = read("/proc/meminfo");
  if (!text) return kNoMemoryLimit;
  const auto avail = field(*text, "MemAvailable");
  if (!avail) return kNoMemoryLimit;
  return saturating_add(*avail, field(*text, "SwapFree").value_or(0));
}

struct CgroupFiles {
  const char* limit;
  const char* usage;
  const char* stat_keys[2][2];  // file-cache entries of memory.stat, preferred pair first
};
constexpr CgroupFiles kV2 = {"memory.max", "memory.current",
                             {{"active_file", "inactive_file"}, {"active_file", "inactive_file"}}};
constexpr CgroupFiles kV1 = {"memory.limit_in_bytes", "memory.usage_in_bytes",
                             {{"total_active_file", "total_inactive_file"},
                              {"active_file", "inactive_file"}}};

// What one cgroup directory still allows: limit − usage + reclaimable file cache.
std::uint64_t cgroup_dir_available(const ReadTextFile& read, const std::string& dir,
                                   const CgroupFiles& files) {
  const auto limit_text = read(dir + "/" + files.limit);
  if (!limit_text) return kNoMemoryLimit;
  const auto limit = parse_number(*limit_text);  // v2 writes "max" for none
  if (!limit || *limit >= kHugeLimit) return kNoMemoryLimit;
  const auto usage_text = read(dir + "/" + files.usage);
  const std::uint64_t usage = usage_text ? parse_number(*usage_text).value_or(0) : 0;
  std::uint64_t cache = 0;
  if (const auto stat = read(dir + "/memory.stat")) {
    for (const auto& keys : files.stat_keys) {
      const auto active = field(*stat, keys[0]), inactive = field(*stat, keys[1]);
      if (!active && !inactive) continue;
      cache = saturating_add(active.value_or(0), inactive.value_or(0));
      break;
    }
  }
  const std::uint64_t used = usage > cache ? usage - cache : 0;
  return used < *limit ? *limit - used : 0;
}

// The smallest allowance of the cgroup at `path` (as /proc/self/cgroup names it) and its
// ancestors, within the hierarchy mounted at `mount_point` whose root is `root`.
std::uint64_t cgroup_available(const ReadTextFile& read, std::string_view mount_point,
                               std::string_view root, std::string_view path,
                               const CgroupFiles& files) {
  // A cgroup outside the mount's root (a container without its own cgroup namespace)
  // is looked for from the mount itself.
  std::string_view rel;
  if (root == "/") {
    rel = path;
  } else if (path.substr(0, root.size()) == root &&
             (path.size() == root.size() || path[root.size()] == '/')) {
    rel = path.substr(root.size());
  }
  while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
  std::uint64_t best = kNoMemoryLimit;
  for (;;) {
    const std::string dir = std::string(mount_point) + std::string(rel);
    const std::uint64_t a = cgroup_dir_available(read, dir, files);
    if (a < best) best = a;
    if (rel.empty()) return best;
    rel = rel.substr(0, rel.rfind('/'));
  }
}

std::uint64_t cgroups_available(const ReadTextFile& read) {
  const auto self = read("/proc/self/cgroup");
  const auto mounts = read("/proc/self/mountinfo");
  if (!self || !mounts) return kNoMemoryLimit;
  // "0::/path" for v2; "4:memory:/path" (controllers separated by commas) for v1.
  std::optional<std::string_view> v2_path, v1_path;
  for (std::string_view line : split(*self, '\n')) {
    const auto parts = split(line, ':');
    if (parts.size() < 3) continue;
    const std::string_view path = line.substr(parts[0].size() + parts[1].size() + 2);
    if (parts[0] == "0" && parts[1].empty()) v2_path = path;
    for (std::string_view c : split(parts[1], ','))
      if (c == "memory") v1_path = path;
  }
  // "36 35 0:30 /root /mount/point opts [optional...] - fstype source superopts"
  std::uint64_t best = kNoMemoryLimit;
  for (std::string_view line : split(*mounts, '\n')) {
    const std::size_t dash = line.find(" - ");
    if (dash == std::string_view::npos) continue;
    const auto left = split(line.substr(0, dash), ' ');
    const auto right = split(line.substr(dash + 3), ' ');
    if (left.size() < 5 || right.size() < 3) continue;
    const std::string_view root = left[3], mount_point = left[4], type = right[0];
    std::uint64_t a = kNoMemoryLimit;
    if (type == "cgroup2" && v2_path) {
      a = cgroup_available(read, mount_point, root, *v2_path, kV2);
    } else if (type == "cgroup" && v1_path) {
      bool memory = false;
      for (std::string_view opt : split(right[2], ',')) memory = memory || opt == "memory";
      if (memory) a = cgroup_available(read, mount_point, root, *v1_path, kV1);
    }
    if (a < best) best = a;
  }
  return best;
}

std::string one_decimal(std::uint64_t bytes, double unit, const char* name) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f %s", static_cast<double>(bytes) / unit, name);
  return buf;
}

}  // namespace

std::uint64_t available_memory(const ReadTextFile& read) {
  const std::uint64_t machine = machine_available(read);
  const std::uint64_t cgroup = cgroups_available(read);
  return machine < cgroup ? machine : cgroup;
}

std::uint64_t available_memory() { return available_memory(read_text_file); }

std::string byte_text(std::uint64_t bytes) {
  if (bytes >= 1000000000) return one_decimal(bytes, 1e9, "GB");
  if (bytes >= 1000000) return one_decimal(bytes, 1e6, "MB");
  if (bytes >= 1000) return one_decimal(bytes, 1e3, "kB");
  return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

std::string count_text(std::uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

FillGuard::FillGuard(Describe describe, std::function<std::uint64_t()> available)
    : describe_(std::move(describe)), available_(std::move(available)) {}

bool FillGuard::admit(std::uint64_t total, std::uint64_t backed, std::uint64_t& available) {
  available = available_();
  if (available == kNoMemoryLimit) {
    allowed_ = UINT64_MAX;
    return true;
  }
  const std::uint64_t need = saturating_add(total > backed ? total - backed : 0, reserve_for(total));
  if (need > available) return false;
  // The next check comes once the result has grown by half of what is left, so that a
  // read checks a few times at most, and more often near the limit; the reserve grows
  // with the step (1/32 of it).
  const std::uint64_t left = available - need;
  const std::uint64_t step = (left / 2 > (std::uint64_t{16} << 20) ? left / 2 : left) / 33 * 32;
  allowed_ = saturating_add(total, step);
  return true;
}

std::string FillGuard::what(std::uint64_t total) const {
  return byte_text(total) + " (" + msg::rows_of_bytes(count_text(total / row_bytes_),
                                                       std::to_string(row_bytes_)) + ")";
}

void FillGuard::check(std::uint64_t total, std::uint64_t backed) {
  std::uint64_t available;
  if (admit(total, backed, available)) return;
  // What the result may have in all: what is free now and what it holds already; the
  // reserve is named where it is what the result would take.
  const std::uint64_t may_have = saturating_add(available, backed);
  throw OutOfMemory(msg::cannot_allocate(
      what(total), describe_(total),
      total > may_have ? msg::available_bytes(byte_text(may_have))
                       : msg::available_with_reserve(byte_text(may_have),
                                                     byte_text(reserve_for(total)))));
}

void FillGuard::refused(std::uint64_t total) const {
  std::string why = msg::kMemoryRefused;
  struct rlimit limit;
  if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    why = msg::address_space_limited(byte_text(limit.rlim_cur));
  else if (const std::uint64_t avail = available_memory(); avail != kNoMemoryLimit)
    why += " (" + msg::available_bytes(byte_text(avail)) + ")";
  throw OutOfMemory(msg::cannot_allocate(what(total), describe_(total), why));
}

}  // namespace tiltgram
