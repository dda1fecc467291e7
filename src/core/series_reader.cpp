#include "core/series_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace vantorel::series::reader {
namespace {

using namespace layout;

// A worker file's slots are read this many at a time (some 80 KB), an archive's records in
// chunks of this many words (64 KB).
constexpr std::uint64_t READ_CHUNK_SLOTS = 64;
constexpr std::size_t ARCHIVE_CHUNK_WORDS = 8192;

// The most words of records that an archive written for `key_limit` can hold: that many keys
// per limit, plus the overflow key, each at most a whole slot.
std::uint64_t max_record_words(std::uint64_t key_limit) {
  return (ARCHIVE_KEYS_PER_LIMIT * key_limit + 1) * SLOT_WORDS;
}

bool read_slots(int fd, std::size_t header_size, std::uint64_t slots, bool stop_at_unpublished,
                bool exemplars, Source& out) {
  std::vector<std::uint64_t> chunk(READ_CHUNK_SLOTS * SLOT_WORDS);
  for (std::uint64_t first = 0; first < slots; first += READ_CHUNK_SLOTS) {
    const std::uint64_t n = std::min(READ_CHUNK_SLOTS, slots - first);
    const std::size_t want = n * SLOT_SIZE;
    const std::size_t got =
        files::read_at(fd, chunk.data(), want, region_bytes(first, header_size));
    for (std::size_t i = 0; i < got / SLOT_SIZE; ++i) {
      const std::uint64_t* slot = &chunk[i * SLOT_WORDS];
      // The one writer claims and publishes slots in order: past an unpublished slot, nothing is
      // published yet. (Files of the earlier layout could have several writers.)
      if (slot[0] == 0 && stop_at_unpublished) return true;
      const char* bytes = reinterpret_cast<const char*>(slot + HEAD_WORDS);
      if (valid_record(slot, bytes)) {
        append_record(out, slot, bytes, key_size(slot[1]));
        if (stop_at_unpublished && exemplars) keep_exemplars(out, slot[1], bytes);
      }
    }
    if (got < want) break;  // cut while we read: what was read is as good as any
  }
  return true;
}

bool read_worker(int fd, Source& out, bool records, bool exemplars) {
  struct stat st {};
  Header head{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size < static_cast<off_t>(HEADER_SIZE_V1) ||
      files::read_at(fd, &head, HEADER_SIZE_V1, 0) != HEADER_SIZE_V1) {
    return false;
  }
  std::size_t header_size = 0;
  if (head.magic == FILE_MAGIC) {
    header_size = HEADER_SIZE;
    if (files::read_at(fd, &head, HEADER_SIZE, 0) != HEADER_SIZE) return false;
  } else if (head.magic == FILE_MAGIC_V1) {
    header_size = HEADER_SIZE_V1;
  } else {
    return false;
  }
  if (head.slot_size != SLOT_SIZE || !capacity_sane(head.capacity) ||
      st.st_size < static_cast<off_t>(region_bytes(head.capacity, header_size))) {
    return false;
  }
  const bool v2 = header_size == HEADER_SIZE;
  out.owner = {head.pid, v2 ? head.start_ticks : 0};
  out.incarnation = head.incarnation;
  out.capacity = head.capacity;
  // Files of the earlier layout held the limit's slots and no more.
  out.limit = v2 ? std::min(head.limit, MAX_LIMIT) : head.capacity - 1;
  out.cpu_us = v2 ? head.cpu_us : 0;
  out.started_at_us = v2 ? head.started_at_us : 0;
  std::copy(std::begin(head.in_progress), std::end(head.in_progress), out.in_progress.begin());
  if (!records) return true;
  return read_slots(fd, header_size, std::min(head.claimed, head.capacity), v2, exemplars, out);
}

// The records after an archive's header, chunk by chunk. False at the first word that is not a
// valid record: a fold writes nothing else.
bool read_records(int fd, std::uint64_t offset, std::uint64_t words, Source& out) {
  std::vector<std::uint64_t> buffer(ARCHIVE_CHUNK_WORDS + SLOT_WORDS);
  std::size_t begin = 0, end = 0;  // unparsed words in buffer
  std::uint64_t left = words;      // words still in the file
  for (;;) {
    if (end - begin < SLOT_WORDS && left > 0) {
      std::memmove(buffer.data(), buffer.data() + begin, (end - begin) * 8);
      end -= begin;
      begin = 0;
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size() - end));
      // Replaced by rename, never changed in place: a short read is an I/O error.
      if (files::read_at(fd, buffer.data() + end, want * 8, offset) != want * 8) return false;
      offset += want * 8;
      left -= want;
      end += want;
    }
    if (begin == end) return true;
    const std::uint64_t* rec = &buffer[begin];
    if (end - begin < HEAD_WORDS || !key_in_range(rec[1])) return false;
    const std::size_t span = HEAD_WORDS + padded_words(key_size(rec[1]));
    if (span > end - begin) return false;
    const char* bytes = reinterpret_cast<const char*>(rec + HEAD_WORDS);
    if (!valid_record(rec, bytes)) return false;
    append_record(out, rec, bytes, key_size(rec[1]));
    begin += span;
  }
}

void read_archive_from(int fd, Archive& archive, bool records) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    archive.state = ArchiveState::unreadable;
    return;
  }
  archive.state = ArchiveState::replaceable;
  if (!S_ISREG(st.st_mode) || st.st_size % 8 != 0 ||
      st.st_size < static_cast<off_t>(ARCHIVE_HEADER_SIZE_V1)) {
    return;
  }
  // Read as words first: the earlier layout's ring starts where this layout's head goes on.
  std::uint64_t raw[sizeof(ArchiveHeader) / 8] = {};
  if (files::read_at(fd, raw, ARCHIVE_HEADER_SIZE_V1, 0) != ARCHIVE_HEADER_SIZE_V1) {
    archive.state = ArchiveState::unreadable;
    return;
  }
  ArchiveHeader head{};
  std::size_t header_size = ARCHIVE_HEADER_SIZE_V1;
  const std::uint64_t* ring = raw + 8;
  if (raw[0] == ARCHIVE_MAGIC) {
    header_size = sizeof head;
    if (st.st_size < static_cast<off_t>(header_size)) return;
    if (files::read_at(fd, &head, header_size, 0) != header_size) {
      archive.state = ArchiveState::unreadable;
      return;
    }
    if (head.key_limit > MAX_LIMIT) return;
    ring = head.folded;
    archive.folds_total = head.folds_total;
    archive.ring_covers = head.ring_covers;
    archive.key_limit = head.key_limit;
    archive.cpu_us = head.cpu_us;
    archive.earliest_start_us = head.earliest_start_us;
  } else if (raw[0] == ARCHIVE_MAGIC_V1) {
    std::memcpy(&head, raw, std::size_t{4} * 8);  // magic, slot_size, record_words, folded_count
  } else {
    return;
  }
  const std::uint64_t words = (static_cast<std::uint64_t>(st.st_size) - header_size) / 8;
  const std::uint64_t believable = max_record_words(
      head.magic == ARCHIVE_MAGIC && head.key_limit != 0 ? head.key_limit : MAX_LIMIT);
  if (head.slot_size != SLOT_SIZE || head.folded_count > FOLDED_RING_SIZE ||
      head.record_words != words || words > believable) {
    return;
  }
  if (records && !read_records(fd, header_size, words, archive.records)) {
    archive.records = Source{};
    return;
  }
  archive.folded.assign(ring, ring + head.folded_count);
  archive.state = ArchiveState::valid;
}

}  // namespace

void append_record(Source& source, const std::uint64_t* head, const char* bytes, std::size_t size) {
  const std::size_t at = source.records.size();
  source.records.resize(at + HEAD_WORDS + padded_words(size));
  std::memcpy(&source.records[at], head, SLOT_HEAD_SIZE);
  if (size > 0) std::memcpy(&source.records[at + HEAD_WORDS], bytes, size);
  ++source.count;
}

void keep_exemplars(Source& source, std::uint64_t key, const char* bytes) {
  if (family_of(key) != 0 || is_descriptor(key)) return;
  Exemplars exemplars{};
  if (read_exemplars(bytes, key_size(key), exemplars)) {
    source.exemplars.emplace_back(source.count - 1, exemplars);
  }
}

bool read_worker_file(int dir_fd, const char* name, Source& out, bool records, bool exemplars) {
  const files::Fd fd(files::open_for_reading(dir_fd, name));
  if (!fd) return false;
  try {
    return read_worker(fd.get(), out, records, exemplars);
  } catch (const std::bad_alloc&) {
    out = Source{};
    return false;
  }
}

std::vector<Source> read_workers(int dir_fd, bool records, bool exemplars) {
  std::vector<Source> sources;
  // The listing gets its own descriptor: closedir() closes it.
  const int list_fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (list_fd < 0) return sources;
  DIR* listing = fdopendir(list_fd);
  if (listing == nullptr) {
    close(list_fd);
    return sources;
  }
  for (;;) {
    const dirent* entry = readdir(listing);
    // A failing readdir would fail again at the same position: end the scan with what we have.
    if (entry == nullptr) break;
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    if (!is_file_name(entry->d_name)) continue;
    Source source;
    if (!read_worker_file(dir_fd, entry->d_name, source, records, exemplars)) continue;
    source.name = entry->d_name;
    files::Look look = files::look_at(source.owner);
    source.alive = look.alive;
    source.stat = look.stat;
    sources.push_back(std::move(source));
  }
  closedir(listing);
  return sources;
}

Archive read_archive(int dir_fd, bool records) {
  Archive archive;
  const files::Fd fd(files::open_for_reading(dir_fd, ARCHIVE_NAME));
  if (!fd) {
    archive.state = errno == ENOENT  ? ArchiveState::absent
                    : errno == ELOOP ? ArchiveState::replaceable
                                     : ArchiveState::unreadable;
    return archive;
  }
  try {
    read_archive_from(fd.get(), archive, records);
  } catch (const std::bad_alloc&) {
    archive = Archive{};
    archive.state = ArchiveState::unreadable;
  }
  return archive;
}

}  // namespace vantorel::series::reader
