// Reading the series files of a directory and its archive, as every merge and fold does: with
// pread in bounded chunks (another process may cut or replace any file at any moment), believing
// no more than the layout's limits allow, and taking a file that cannot be read, or whose reading
// runs out of memory, for an unreadable file rather than the end of the process. Stateless; any
// thread.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/files.h"
#include "core/series_layout.h"

namespace vantorel::series::reader {

// What one source (a worker's file, this process's table, the archive) holds: its valid
// records, each the 18 head words of a slot and the key bytes padded to whole words.
struct Source {
  std::string name;  // the directory entry
  files::Owner owner;
  std::uint64_t incarnation = 0;
  std::uint64_t capacity = 0;
  std::uint64_t limit = 0;  // the HTTP family's key limit of its writer
  std::uint64_t cpu_us = 0;
  std::uint64_t started_at_us = 0;
  bool alive = false;
  std::optional<snapshot::ProcStat> stat;  // of a live owner, where /proc showed it
  std::array<std::uint64_t, METHOD_CLASS_COUNT> in_progress{};
  std::vector<std::uint64_t> records;
  std::size_t count = 0;  // of records
  // The exemplars of the HTTP family's records that have some, by the record's ordinal.
  std::vector<std::pair<std::size_t, Exemplars>> exemplars;
};

// The record just appended to `source`, if it is one of the HTTP family's with exemplars in its
// slot's bytes: keeps them.
void keep_exemplars(Source& source, std::uint64_t key, const char* bytes);

void append_record(Source& source, const std::uint64_t* head, const char* bytes, std::size_t size);

template <class F>
void for_each_record(const std::vector<std::uint64_t>& records, F&& visit) {
  for (std::size_t at = 0; at < records.size();) {
    const std::uint64_t* head = &records[at];
    const std::size_t size = layout::key_size(head[1]);
    visit(head, reinterpret_cast<const char*>(head + layout::HEAD_WORDS), size);
    at += layout::HEAD_WORDS + layout::padded_words(size);
  }
}

// A worker's file: its header, and with `records` its valid slots. False when it is no valid
// file of either layout. Says nothing of its owner's liveness.
// `exemplars`: the HTTP records' exemplars too (only OpenMetrics shows them).
[[nodiscard]] bool read_worker_file(int dir_fd, const char* name, Source& out, bool records = true,
                                    bool exemplars = false);
// Every worker file of the directory, with its owner's liveness.
[[nodiscard]] std::vector<Source> read_workers(int dir_fd, bool records = true,
                                               bool exemplars = false);

enum class ArchiveState {
  absent,       // no archive yet
  valid,        // read
  replaceable,  // something else under its name (garbage, a FIFO, a symlink): a fold replaces it
  unreadable,   // an archive we may not or could not read: no fold may replace it
};

struct Archive {
  ArchiveState state = ArchiveState::absent;
  std::vector<std::uint64_t> folded;  // oldest first
  std::uint64_t folds_total = 0;
  std::uint64_t ring_covers = 0;
  std::uint64_t key_limit = 0;
  std::uint64_t cpu_us = 0;
  std::uint64_t earliest_start_us = 0;
  Source records;

  [[nodiscard]] bool names(std::uint64_t incarnation) const {
    return std::find(folded.begin(), folded.end(), incarnation) != folded.end();
  }
};

// The whole archive (`records` false: all but its records).
[[nodiscard]] Archive read_archive(int dir_fd, bool records = true);

}  // namespace vantorel::series::reader
