// The archive and the fold of dead workers' files into it, under the directory's lock: each
// fold writes a new archive beside the old one and renames it over it, then deletes the folded
// files. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/series.h"

namespace vantorel::series::fold_step {

// Caller holds the directory's exclusive lock. Folds the named files whose owners are dead into
// the archive and deletes them; `fallback_limit` caps the archive's keys only where neither the
// archive nor the files say what their writers' limit was.
[[nodiscard]] FoldOutcome fold_locked(int dir_fd, const std::vector<std::string>& names,
                                      std::uint64_t fallback_limit);

// Folds every named file whose owner is dead, in batches, if the directory's lock can be had at
// once (another process that holds it is folding them); else nothing.
void fold_dead(int dir_fd, const std::vector<std::string>& names, std::uint64_t fallback_limit);

}  // namespace vantorel::series::fold_step
