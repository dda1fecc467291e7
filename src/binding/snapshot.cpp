// snapshot() and the Snapshot class.
#include "core/snapshot.h"

#include "binding/boundary.h"
#include "binding/entries.h"
#include "binding/record_type.h"
#include "core/numfmt.h"

namespace vantorel::binding {
namespace {

using snapshot::Snapshot;
using SnapshotType = RecordType<Snapshot>;

using snapshot::megabytes;

constexpr Field<Snapshot> SNAPSHOT_FIELDS[] = {
    {"pid", [](const Snapshot& s) { return to_py(s.pid); }},
    {"cpu_percent", [](const Snapshot& s) { return to_py(s.cpu_percent); }},
    {"memory_rss", [](const Snapshot& s) { return to_py(s.memory_rss); }},
    {"memory_virtual", [](const Snapshot& s) { return to_py(s.memory_virtual); }},
    {"threads", [](const Snapshot& s) { return to_py(s.threads); }},
    {"timestamp", [](const Snapshot& s) { return to_py(s.timestamp); }},
    {"memory_rss_mb", [](const Snapshot& s) { return to_py(megabytes(s.memory_rss)); }, false},
};

std::string describe_snapshot(const Snapshot& s) {
  std::string out = "Snapshot(pid=";
  numfmt::append_uint(out, s.pid);
  out += ", cpu=";
  numfmt::append_fixed(out, s.cpu_percent, 1);
  out += "%, rss=";
  numfmt::append_fixed(out, megabytes(s.memory_rss), 1);
  out += "MB, virt=";
  numfmt::append_fixed(out, megabytes(s.memory_virtual), 1);
  out += "MB, threads=";
  numfmt::append_uint(out, s.threads);
  out += ", ts=";
  numfmt::append_uint(out, s.timestamp);
  out += ')';
  return out;
}

constexpr RecordSpec<Snapshot> SNAPSHOT_SPEC{"Snapshot", nullptr, SNAPSHOT_FIELDS,
                                             &describe_snapshot};

PyObject* take_snapshot(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    Result<Snapshot> result = snapshot::collect();
    if (auto* failure = std::get_if<Failure>(&result)) return raise_failure(*failure);
    return SnapshotType::wrap(Snapshot(std::get<Snapshot>(result)));
  });
}

}  // namespace

PyMethodDef SNAPSHOT = {"snapshot", &take_snapshot, METH_NOARGS, "snapshot()\n--\n\n"};

PyTypeObject* make_snapshot_type(PyObject* module) {
  return SnapshotType::create(module, SNAPSHOT_SPEC);
}

}  // namespace vantorel::binding
