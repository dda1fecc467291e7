// What a merge in this process needs of this process's writer (series_writer.cpp). Any thread.
#pragma once

#include <optional>
#include <string>

#include "core/series_reader.h"
#include "core/series_removals.h"

namespace vantorel::series::writer {

// Brings the writer to multiproc's latest switch (and to a fork), publishes this process's CPU
// time into its file, and returns the directory while the mode is on, with this process's own
// table where it joins the sum: while the mode is off, or while its file could not be had or
// waits for the directory's lock (its series are then nowhere else).
struct View {
  std::optional<std::string> directory;
  std::optional<reader::Source> local;
  std::vector<removals::Removal> removals;  // while the mode is off: this process's own
};
[[nodiscard]] View prepare_merge(bool exemplars = false);

// Adds removals to this process's own list (the mode is off).
void add_removals(std::vector<removals::Removal> added);

}  // namespace vantorel::series::writer
