#include "core/series_fold.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/series_reader.h"
#include "core/series_sums.h"

namespace vantorel::series {
namespace fold_step {
namespace {

using namespace layout;
using reader::Archive;
using reader::ArchiveState;
using reader::Source;
using sums::KeyRef;
using sums::KeyTable;

// A batch of folds stays well inside the ring: should a folder stop after renaming the archive
// and before deleting the batch's files, the ring must still name every one of them.
constexpr std::size_t MAX_FOLDS_PER_BATCH = 64;
// The fold of one worker (gunicorn's child_exit) waits this long for a merger's fold to end.
constexpr int LOCK_TRIES = 100;
constexpr long LOCK_PAUSE_NS = 2'000'000;

std::uint64_t min_known(std::uint64_t a, std::uint64_t b) {
  if (a == 0) return b;
  if (b == 0) return a;
  return std::min(a, b);
}

// The files that an earlier fold stopped before deleting: the archive names them and holds their
// series, so they go now, before the ring can forget them and a merge would count them again.
// Returns the incarnations of those that could not be deleted: they keep their place in the ring.
std::vector<std::uint64_t> delete_leftovers(int dir_fd, const Archive& archive) {
  std::vector<std::uint64_t> pinned;
  if (archive.folded.empty()) return pinned;
  for (const Source& source : reader::read_workers(dir_fd, false)) {
    if (!archive.names(source.incarnation)) continue;
    if (unlinkat(dir_fd, source.name.c_str(), 0) != 0 && errno != ENOENT) {
      pinned.push_back(source.incarnation);
    }
  }
  return pinned;
}

// The new archive: the old one's keys (all of them, in their order), then the folded files' new
// keys while there are fewer than ARCHIVE_KEYS_PER_LIMIT x the limit; keys past that count under
// the overflow key. The limit is the largest of the archive's and the folded files' own, so a
// folder that never set the workers' limit caps nothing they kept.
std::vector<std::uint64_t> build_archive(const Archive& old, const std::vector<Source>& folding,
                                         const std::vector<std::uint64_t>& pinned,
                                         std::uint64_t fallback_limit) {
  ArchiveHeader head{};
  head.magic = ARCHIVE_MAGIC;
  head.slot_size = SLOT_SIZE;
  head.key_limit = old.key_limit;
  head.cpu_us = old.cpu_us;
  head.earliest_start_us = old.earliest_start_us;
  std::size_t expected = old.records.count;
  for (const Source& source : folding) {
    expected += source.count;
    head.key_limit = std::max(head.key_limit, source.limit);
    head.cpu_us = saturating_add(head.cpu_us, source.cpu_us);
    head.earliest_start_us = min_known(head.earliest_start_us, source.started_at_us);
  }
  if (head.key_limit == 0) head.key_limit = fallback_limit;
  head.key_limit = std::min(head.key_limit, MAX_LIMIT);

  KeyTable entries(expected);
  sums::Families families;
  // New keys past a family's cap count under its overflow key: the HTTP family's cap is
  // ARCHIVE_KEYS_PER_LIMIT x the limit above, another family's that many times its own limit.
  // Every key of the old archive stays.
  std::vector<std::uint64_t> labelled;  // by family number: its keys so far
  bool from_archive = true;
  const auto admit = [&](std::uint32_t number, const KeyRef& ref) {
    if (is_overflow(ref.key) || entries.find(ref) != nullptr) return ref;
    if (labelled.size() <= number) labelled.resize(number + 1, 0);
    const std::uint64_t cap =
        ARCHIVE_KEYS_PER_LIMIT * (number == 0 ? head.key_limit : families.at(number).limit);
    // A histogram's series spans slots: its first slot decides for all of them.
    const std::size_t chunk = number == 0 ? 0 : chunk_of(ref.key);
    if (!from_archive && labelled[number] >= cap) {
      if (chunk != 0 && entries.find(KeyRef{ref.key & ~(std::uint64_t{0xFF} << 16), ref.bytes,
                                            key_hash(ref.key & ~(std::uint64_t{0xFF} << 16),
                                                     ref.bytes.data(), ref.bytes.size())})) {
        return ref;  // its first slot made it in
      }
      const std::uint64_t key = overflow_key(number, chunk);
      return KeyRef{key, {}, key_hash(key, nullptr, 0)};
    }
    if (chunk == 0) ++labelled[number];
    return ref;
  };
  // A fold keeps every value: removals apply to what a merge shows.
  const auto kept = [](const Family&, std::string_view, std::uint64_t) { return false; };
  sums::add_source(entries, families, old.records, true, admit, kept);
  from_archive = false;
  std::vector<std::uint64_t> ring = old.folded;
  for (const Source& source : folding) {
    sums::add_source(entries, families, source, true, admit, kept);
    ring.push_back(source.incarnation);
  }
  // The oldest entries go first, except those whose files are still there.
  const auto is_pinned = [&](std::uint64_t incarnation) {
    return std::find(pinned.begin(), pinned.end(), incarnation) != pinned.end();
  };
  for (auto it = ring.begin(); ring.size() > FOLDED_RING_SIZE && it != ring.end();) {
    it = is_pinned(*it) ? it + 1 : ring.erase(it);
  }
  head.folds_total = old.folds_total + folding.size();
  head.folded_count = ring.size();
  head.ring_covers = static_cast<std::uint64_t>(
      ring.size() - static_cast<std::size_t>(std::count_if(ring.begin(), ring.end(), is_pinned)));
  std::copy(ring.begin(), ring.end(), head.folded);

  std::vector<std::uint64_t> image(sizeof head / 8);
  const auto put = [&](std::uint64_t key, std::string_view bytes, const std::uint64_t* values) {
    std::uint64_t rec[HEAD_WORDS] = {key_hash(key, bytes.data(), bytes.size()), key};
    std::copy(values, values + VALUE_WORDS, rec + 2);
    const std::size_t at = image.size();
    image.resize(at + HEAD_WORDS + padded_words(bytes.size()));
    std::memcpy(&image[at], rec, sizeof rec);
    if (!bytes.empty()) std::memcpy(&image[at + HEAD_WORDS], bytes.data(), bytes.size());
  };
  const std::uint64_t none[VALUE_WORDS] = {};
  // The HTTP series' buckets, when they are not the shard's.
  if (const auto& bounds = families.duration_bounds()) {
    if (const std::optional<std::string> descriptor = duration_descriptor(*bounds)) {
      put(descriptor_key(0, descriptor->size()), *descriptor, none);
    }
  }
  // The families the archive holds, numbered as this merge numbered them, each described.
  std::vector<bool> described(families.list().size() + 1, false);
  for (const auto& [ref, totals] : entries.entries()) {
    const std::uint64_t number = family_of(ref.key);
    if (number == 0 || described[number]) continue;
    described[number] = true;
    const std::optional<std::string> descriptor =
        encode_family(families.at(static_cast<std::uint32_t>(number)));
    if (descriptor) put(descriptor_key(number, descriptor->size()), *descriptor, none);
  }
  for (const auto& [ref, totals] : entries.entries()) {
    put(ref.key, ref.bytes, totals.words.data());
  }
  head.record_words = image.size() - sizeof head / 8;
  std::memcpy(image.data(), &head, sizeof head);
  return image;
}

// 0 or an errno: the archive replaced whole (files::replace), or nothing lost.
int write_archive(int dir_fd, const std::vector<std::uint64_t>& image) {
  return files::replace(dir_fd, ARCHIVE_NAME, ARCHIVE_TMP_NAME, image.data(), image.size() * 8);
}

}  // namespace

FoldOutcome fold_locked(int dir_fd, const std::vector<std::string>& names,
                        std::uint64_t fallback_limit) {
  // Each file is read again here: since the caller listed it, another merger may have folded
  // and deleted it, or a new worker with its pid may have made it its own.
  std::vector<Source> dead;
  bool alive = false;
  for (const std::string& name : names) {
    Source source;
    if (!reader::read_worker_file(dir_fd, name.c_str(), source)) continue;
    if (files::look_at(source.owner).alive) {
      alive = true;
      continue;
    }
    source.name = name;
    dead.push_back(std::move(source));
  }
  if (dead.empty()) return alive ? FoldOutcome::alive : FoldOutcome::absent;
  const Archive archive = reader::read_archive(dir_fd);
  if (archive.state == ArchiveState::unreadable) return FoldOutcome::failed;
  const std::vector<std::uint64_t> pinned = delete_leftovers(dir_fd, archive);
  std::vector<Source> unfolded;
  for (Source& source : dead) {
    if (!archive.names(source.incarnation)) unfolded.push_back(std::move(source));
  }
  if (unfolded.empty()) return FoldOutcome::folded;  // deleted with the leftovers
  // Every file of the batch must fit beside the pinned entries, or the ring could not name it.
  const std::size_t room = FOLDED_RING_SIZE - std::min(pinned.size(), FOLDED_RING_SIZE);
  if (room == 0) return FoldOutcome::failed;
  if (unfolded.size() > room) unfolded.resize(room);  // the rest at the next fold
  if (write_archive(dir_fd, build_archive(archive, unfolded, pinned, fallback_limit)) != 0) {
    return FoldOutcome::failed;
  }
  for (const Source& source : unfolded) unlinkat(dir_fd, source.name.c_str(), 0);
  return FoldOutcome::folded;
}

void fold_dead(int dir_fd, const std::vector<std::string>& names, std::uint64_t fallback_limit) {
  if (names.empty() || !files::lock(dir_fd, LOCK_EX, 1, 0)) return;
  for (std::size_t first = 0; first < names.size(); first += MAX_FOLDS_PER_BATCH) {
    const auto begin = names.begin() + static_cast<std::ptrdiff_t>(first);
    const auto end = names.begin() + static_cast<std::ptrdiff_t>(
                                         std::min(names.size(), first + MAX_FOLDS_PER_BATCH));
    if (fold_locked(dir_fd, {begin, end}, fallback_limit) == FoldOutcome::failed) break;
  }
  files::unlock(dir_fd);
}

}  // namespace fold_step

FoldOutcome fold(const std::string& directory, std::uint64_t pid) {
  if (directory.find('\0') != std::string::npos) return FoldOutcome::absent;
  const files::Fd dir_fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_fd) return files::owner_alive(pid) ? FoldOutcome::alive : FoldOutcome::absent;
  if (!files::lock(dir_fd.get(), LOCK_EX, fold_step::LOCK_TRIES, fold_step::LOCK_PAUSE_NS)) {
    return FoldOutcome::busy;
  }
  FoldOutcome outcome = fold_step::fold_locked(dir_fd.get(), {layout::file_name(pid)}, limit());
  files::unlock(dir_fd.get());
  // No file of that pid: say so only of a pid that names no live process.
  if (outcome == FoldOutcome::absent && files::owner_alive(pid)) outcome = FoldOutcome::alive;
  return outcome;
}

}  // namespace vantorel::series
