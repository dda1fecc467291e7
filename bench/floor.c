/* The floors of the benchmarks, compiled by bench/harness.py for the interpreter that runs them.
 *
 * noop4: a C builtin with the calling convention of record_request (METH_FASTCALL |
 *   METH_KEYWORDS) that takes the same four arguments and does nothing with them.
 * proc_reads: the system calls of one process snapshot and nothing else: /proc/self/stat opened,
 *   read and closed.
 * shard_scan: the system calls of one merge of a shard directory and nothing else: the listing,
 *   then for every shard open, fstat, pread of 176 bytes, close and a signal-0 probe of the pid. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static PyObject* noop4(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)self;
  (void)args;
  if (nargs != 4 || kwnames != NULL) {
    PyErr_SetString(PyExc_TypeError, "noop4() takes 4 positional arguments");
    return NULL;
  }
  Py_RETURN_NONE;
}

static long read_file(const char* path) {
  char buffer[2048];
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t n = read(fd, buffer, sizeof buffer);
  close(fd);
  return (long)n;
}

static PyObject* proc_reads(PyObject* self, PyObject* unused) {
  (void)self;
  (void)unused;
  return PyLong_FromLong(read_file("/proc/self/stat"));
}

static PyObject* shard_scan(PyObject* self, PyObject* arg) {
  (void)self;
  const char* directory = PyUnicode_AsUTF8(arg);
  if (directory == NULL) return NULL;
  int dir_fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return PyErr_SetFromErrno(PyExc_OSError);
  DIR* listing = fdopendir(dir_fd);
  if (listing == NULL) {
    close(dir_fd);
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  long shards = 0;
  struct dirent* entry;
  while ((entry = readdir(listing)) != NULL) {
    size_t length = strlen(entry->d_name);
    if (length < 10 || strncmp(entry->d_name, "vtr-", 4) != 0 ||
        strcmp(entry->d_name + length - 6, ".shard") != 0) {
      continue;
    }
    int fd = openat(dir_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    uint64_t words[22];
    if (fstat(fd, &st) == 0 && pread(fd, words, sizeof words, 0) == (ssize_t)sizeof words) {
      if (kill((pid_t)(words[1] & 0x7FFFFFFF), 0) == 0) ++shards;
    }
    close(fd);
  }
  closedir(listing);
  return PyLong_FromLong(shards);
}

static PyMethodDef METHODS[] = {
    {"noop4", (PyCFunction)(void (*)(void))noop4, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"proc_reads", proc_reads, METH_NOARGS, NULL},
    {"shard_scan", shard_scan, METH_O, NULL},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "_floor", NULL, -1, METHODS,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__floor(void) { return PyModule_Create(&MODULE); }
