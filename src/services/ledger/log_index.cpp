#include "services/ledger/log_index.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/file_stamp.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"
#include "utils/sha256.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::services::tolvern::detail {

namespace {

// Enough to catch a line rewritten in place at the old end of the file.
constexpr std::size_t REWRITE_CHECK_TAIL_BYTES = 4096;
constexpr int PROBES = 6;
// Sized at 12 bits or more per id; crowded below 10 (about 1% false "maybe").
constexpr std::size_t BITS_PER_KEY = 10;
constexpr const char* MAGIC = "brenik log index 5";
// The trailer of the index file: the state the index is current for
// (device, inode, size, mtime) and their checksum, rewritten in place by
// each append.
constexpr std::size_t STATE_WORDS = 5;

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// Catches an index torn by a crash between the write and the rename.
std::uint64_t checksum(const std::vector<std::uint64_t>& words) {
  std::uint64_t h = 0x9e3779b97f4a7c15ULL;
  for (std::uint64_t w : words) h = std::rotl(h ^ w, 29) * 0xbf58476d1ce4e5b9ULL;
  return h;
}

// Reads exactly `count` words at `offset` of the open file.
bool read_words(int fd, std::uint64_t offset, std::size_t count, std::vector<std::uint64_t>& into) {
  into.resize(count);
  char* at = reinterpret_cast<char*>(into.data());
  std::size_t left = count * sizeof(std::uint64_t);
  while (left > 0) {
    const ssize_t n = ::pread(fd, at, left, static_cast<off_t>(offset));
    if (n <= 0) return false;
    at += n;
    left -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

// The counts as the header names them.
constexpr std::pair<const char*, std::size_t LogCounts::*> COUNT_FIELDS[] = {
    {"uploaded", &LogCounts::uploaded},           {"skipped", &LogCounts::skipped},
    {"unaddressable", &LogCounts::unaddressable}, {"corrupt", &LogCounts::corrupt},
    {"attested", &LogCounts::attested},           {"unattested", &LogCounts::unattested},
};

std::optional<std::uint64_t> unsigned_member(const json::Value& v, const char* key) {
  if (!v.contains(key)) return std::nullopt;
  const auto& m = v[key];
  if (m.is_number_unsigned()) return m.get<std::uint64_t>();
  if (m.is_number_integer() && m.get<std::int64_t>() >= 0) return static_cast<std::uint64_t>(m.get<std::int64_t>());
  return std::nullopt;
}

std::vector<std::uint64_t> state_words(const utils::FileStamp& s) {
  std::vector<std::uint64_t> words = {s.device, s.inode, s.size, static_cast<std::uint64_t>(s.mtime_ns)};
  words.push_back(checksum(words));
  return words;
}

}  // namespace

std::uint64_t CommitFilter::key_of(std::string_view commit) {
  std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a, then mixed
  for (unsigned char c : commit) h = (h ^ c) * 0x100000001b3ULL;
  return mix(h);
}

CommitFilter CommitFilter::sized_for(std::size_t keys) {
  const std::size_t bits = std::bit_ceil(std::max<std::size_t>(1u << 16, (keys + keys / 2 + 1024) * 12));
  CommitFilter f;
  f.words_.assign(bits / 64, 0);
  return f;
}

std::optional<CommitFilter> CommitFilter::from_bits(std::vector<std::uint64_t> words, std::size_t keys) {
  if (words.empty() || !std::has_single_bit(words.size())) return std::nullopt;
  CommitFilter f;
  f.words_ = std::move(words);
  f.keys_ = keys;
  return f;
}

void CommitFilter::add(std::uint64_t key) {
  const std::uint64_t mask = words_.size() * 64 - 1, step = mix(key) | 1;
  for (int i = 0; i < PROBES; ++i) {
    const std::uint64_t bit = (key + static_cast<std::uint64_t>(i) * step) & mask;
    words_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
  }
  ++keys_;
}

bool CommitFilter::may_contain(std::uint64_t key) const {
  if (words_.empty()) return true;
  const std::uint64_t mask = words_.size() * 64 - 1, step = mix(key) | 1;
  for (int i = 0; i < PROBES; ++i) {
    const std::uint64_t bit = (key + static_cast<std::uint64_t>(i) * step) & mask;
    if (!(words_[bit >> 6] & (std::uint64_t{1} << (bit & 63)))) return false;
  }
  return true;
}

bool CommitFilter::crowded() const { return words_.empty() || keys_ * BITS_PER_KEY > words_.size() * 64; }

fs::path log_index_path(const fs::path& log_path) {
  fs::path p = log_path;
  p += ".index";
  return p;
}

std::string tail_sha256(std::string_view text, std::size_t size) {
  size = std::min(size, text.size());
  const std::size_t from = size > REWRITE_CHECK_TAIL_BYTES ? size - REWRITE_CHECK_TAIL_BYTES : 0;
  return utils::sha256_hex(text.substr(from, size - from));
}

std::string tail_sha256(const std::vector<std::string_view>& parts) {
  std::string last;
  for (auto it = parts.rbegin(); it != parts.rend() && last.size() < REWRITE_CHECK_TAIL_BYTES; ++it) {
    const std::size_t take = std::min(it->size(), REWRITE_CHECK_TAIL_BYTES - last.size());
    last.insert(0, it->substr(it->size() - take));
  }
  return utils::sha256_hex(last);
}

bool describes_prefix(const LogIndex& index, const utils::FileStamp& stamp, std::string_view text) {
  const std::size_t size = index.file.size;
  if (index.file.device != stamp.device || index.file.inode != stamp.inode) return false;
  if (size > text.size() || (size > 0 && text[size - 1] != '\n')) return false;
  // Same length yet written since: rewritten in place, not appended to.
  if (size == text.size() && index.file.mtime_ns != stamp.mtime_ns) return false;
  // Anything but the exact state the index was last brought up to: some
  // writer changed the log without telling the index (an edit in place
  // followed by an append would otherwise go unnoticed).
  if (!(index.last_write == stamp)) return false;
  return tail_sha256(text, size) == index.tail_sha256;
}

std::optional<LogIndex> load_log_index(const fs::path& log_path, unsigned parts) {
  const auto path = log_index_path(log_path);
  utils::UniqueFd fd;
  try {
    fd = utils::open_confined(path, O_RDONLY);
  } catch (const OSError&) {
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  char head[4096];
  const ssize_t got = ::pread(fd.get(), head, sizeof head, 0);
  if (got <= 0) return std::nullopt;
  const std::string_view first(head, static_cast<std::size_t>(got));
  const std::size_t nl = first.find('\n');
  if (nl == std::string_view::npos) return std::nullopt;
  auto v = json::try_loads(first.substr(0, nl));
  if (!v || !v->is_object() || !v->contains("format") || (*v)["format"] != MAGIC) return std::nullopt;
  const auto device = unsigned_member(*v, "device"), inode = unsigned_member(*v, "inode"),
             size = unsigned_member(*v, "size"), pending = unsigned_member(*v, "pending"),
             keys = unsigned_member(*v, "keys"), words = unsigned_member(*v, "words"),
             filter_sum = unsigned_member(*v, "filter_sum"), lines_sum = unsigned_member(*v, "lines_sum");
  const auto& mtime = v->contains("mtime_ns") ? (*v)["mtime_ns"] : json::Value();
  const auto& tail = v->contains("tail_sha256") ? (*v)["tail_sha256"] : json::Value();
  if (!device || !inode || !size || !pending || !keys || !words || !filter_sum || !lines_sum ||
      !mtime.is_number_integer() || !tail.is_string())
    return std::nullopt;
  // Header, filter words, then one word per pending line: nothing more, nothing less.
  const std::uint64_t limit = static_cast<std::uint64_t>(st.st_size) / sizeof(std::uint64_t);
  if (*words > limit || *pending > limit ||
      static_cast<std::uint64_t>(st.st_size) != nl + 1 + (*words + *pending + STATE_WORDS) * sizeof(std::uint64_t))
    return std::nullopt;
  LogIndex index;
  for (const auto& [name, field] : COUNT_FIELDS) {
    const auto n = unsigned_member(*v, name);
    if (!n) return std::nullopt;
    index.counts.*field = static_cast<std::size_t>(*n);
  }
  index.file = {*device, *inode, *size, mtime.get<std::int64_t>()};
  index.tail_sha256 = tail.get<std::string>();
  index.pending = static_cast<std::size_t>(*pending);
  const auto rewritten_end = unsigned_member(*v, "rewritten_end");
  if (!rewritten_end || *rewritten_end > *size) return std::nullopt;
  index.rewritten_end = *rewritten_end;
  // Absent from indexes saved before it was kept: not shown.
  index.distinct = v->contains("distinct") && (*v)["distinct"].is_boolean() && (*v)["distinct"].get<bool>();
  index.parts = parts;
  const std::uint64_t filter_at = nl + 1, lines_at = filter_at + *words * sizeof(std::uint64_t);
  if (parts & LogIndex::FILTER) {
    std::vector<std::uint64_t> bits;
    if (!read_words(fd.get(), filter_at, static_cast<std::size_t>(*words), bits) || checksum(bits) != *filter_sum)
      return std::nullopt;
    auto filter = CommitFilter::from_bits(std::move(bits), static_cast<std::size_t>(*keys));
    if (!filter) return std::nullopt;
    index.commits = std::move(*filter);
  }
  if (parts & LogIndex::LINES) {
    if (!read_words(fd.get(), lines_at, index.pending, index.pending_lines) ||
        checksum(index.pending_lines) != *lines_sum)
      return std::nullopt;
  }
  std::vector<std::uint64_t> state;
  if (!read_words(fd.get(), static_cast<std::uint64_t>(st.st_size) - STATE_WORDS * sizeof(std::uint64_t), STATE_WORDS,
                  state))
    return std::nullopt;
  index.last_write = {state[0], state[1], state[2], static_cast<std::int64_t>(state[3])};
  if (state != state_words(index.last_write)) return std::nullopt;
  return index;
}

void save_log_index(const fs::path& log_path, const LogIndex& index) noexcept {
  if (index.parts != LogIndex::ALL || index.pending != index.pending_lines.size()) return;
  // Derived from the log: an index not saved is rebuilt by the next reader.
  utils::best_effort(utils::unlogged, [&] {
    json::Value v = json::Value::object();
    v["format"] = MAGIC;
    v["device"] = index.file.device;
    v["inode"] = index.file.inode;
    v["size"] = index.file.size;
    v["mtime_ns"] = index.file.mtime_ns;
    v["tail_sha256"] = index.tail_sha256;
    v["rewritten_end"] = index.rewritten_end;
    v["distinct"] = index.distinct;
    for (const auto& [name, field] : COUNT_FIELDS) v[name] = index.counts.*field;
    v["pending"] = index.pending_lines.size();
    v["keys"] = index.commits.keys();
    v["words"] = index.commits.words().size();
    v["filter_sum"] = checksum(index.commits.words());
    v["lines_sum"] = checksum(index.pending_lines);
    std::string data = json::dumps(v) + "\n";
    const auto& words = index.commits.words();
    data.append(reinterpret_cast<const char*>(words.data()), words.size() * sizeof(std::uint64_t));
    data.append(reinterpret_cast<const char*>(index.pending_lines.data()),
                index.pending_lines.size() * sizeof(std::uint64_t));
    const auto state = state_words(index.last_write);
    data.append(reinterpret_cast<const char*>(state.data()), state.size() * sizeof(std::uint64_t));
    // Derived from the log and rebuilt when lost: not worth a flush on a hook's path.
    utils::atomic_write(log_index_path(log_path), data, std::nullopt, utils::Durability::derived);
  });
}

void note_append(const fs::path& log_path, const utils::FileStamp& before, const utils::FileStamp& after) noexcept {
  // Opened like every file under .brenik/: no link, in real folders.
  // No index (or none we may write): nothing to move forward.
  utils::UniqueFd fd = utils::best_effort_or(utils::UniqueFd(), utils::unlogged,
                                             [&] { return utils::open_confined(log_index_path(log_path), O_RDWR); });
  if (fd.get() < 0) return;
  struct stat st {};
  constexpr std::size_t bytes = STATE_WORDS * sizeof(std::uint64_t);
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) < bytes) return;
  const auto at = static_cast<std::uint64_t>(st.st_size) - bytes;
  std::vector<std::uint64_t> state;
  if (!read_words(fd.get(), at, STATE_WORDS, state) || state != state_words(before)) return;
  const auto next = state_words(after);
  // A torn write fails the checksum: the next reader then reads in full.
  [[maybe_unused]] const ssize_t n = ::pwrite(fd.get(), next.data(), bytes, static_cast<off_t>(at));
}

}  // namespace brenik::services::tolvern::detail
