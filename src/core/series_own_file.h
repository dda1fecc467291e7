// This worker's own file in the shard directory, as the writer (series_writer.cpp) gets it: a
// new one, its own from an earlier switch of this process, or the name of a dead namesake taken
// over under the directory's lock; and a region's initialisation. The caller holds SERIES.mutex.
#pragma once

#include <cstdint>
#include <string>

#include "core/files.h"
#include "core/series_region.h"

namespace vantorel::series::writer {

// Who writes a file: the pid and, where /proc tells, when this process started.
struct Identity {
  std::uint64_t pid = 0;
  std::uint64_t start_ticks = 0;
  std::uint64_t started_at_us = 0;
};

// A region's header and its HTTP overflow slot, with a new incarnation; `me` names the owner.
void init_region(const Region& r, const Identity& me);

// This process's file in a directory, mapped; or why it could not be had; or `busy`: the name
// is taken and only the directory's lock (held by a fold) lets us find out by whom.
struct Opened {
  Region region;
  files::Fd fd;  // the mapped file's, kept so that it can grow
  const char* step = "";
  int error = 0;
  bool exists = false;  // the name is taken
  bool busy = false;
};

// The file of this process in `directory`, for an HTTP limit of `limit` keys.
[[nodiscard]] Opened open_file(const std::string& directory, std::uint64_t limit);

}  // namespace vantorel::series::writer
