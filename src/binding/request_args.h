// The arguments of every call that reports a request (record_request, series_finish,
// series_finish_traced, series_observe, series_start): read in place when they are the plain
// ones the middleware passes (plain.h), else by the general converters of args.h, in signature
// order, which give the same values and own every error message. One reader for all of them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "binding/args.h"
#include "binding/plain.h"
#include "binding/py.h"

namespace vantorel::binding {

// A method or route as a label: its UTF-8, lone surrogates replaced by U+FFFD, and no more of
// it than the core keeps (which cuts it again at a code point boundary). A huge text costs no
// more than its cap: only its first `max_code_points` characters are encoded.
class Label {
 public:
  bool convert(PyObject* obj, const char* name, std::size_t max_code_points) {
    if (plain_text(obj, text)) return true;  // the core cuts ASCII in place
    if (!PyUnicode_Check(obj)) return to_text(obj, name).has_value();  // raises the TypeError
    PyObject* source = obj;
    const Py_ssize_t length = PyUnicode_GetLength(obj);
    if (length < 0) return false;
    const auto cap = static_cast<Py_ssize_t>(max_code_points);
    if (length > cap) {
      head_ = PyRef::steal(PyUnicode_Substring(obj, 0, cap));
      if (!head_) return false;
      source = head_.get();
    }
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(source, &size); data != nullptr) {
      text = std::string_view(data, static_cast<std::size_t>(size));
      return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    return replace_surrogates(source);
  }

  std::string_view text;

  // Whether convert() replaced lone surrogates.
  bool replaced() const { return !storage_.empty() && text.data() == storage_.data(); }

 private:
  // Encoded with "surrogatepass", a lone surrogate is ED A0..BF xx, which no valid UTF-8 holds.
  bool replace_surrogates(PyObject* source) {
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(source, "utf-8", "surrogatepass"));
    if (!bytes) return false;
    const std::string_view raw(PyBytes_AS_STRING(bytes.get()),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    storage_.clear();
    storage_.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
      const auto lead = static_cast<unsigned char>(raw[i]);
      const auto next = i + 1 < raw.size() ? static_cast<unsigned char>(raw[i + 1]) : 0u;
      if (lead == 0xED && next >= 0xA0 && next <= 0xBF && i + 2 < raw.size()) {
        storage_ += "\xEF\xBF\xBD";
        i += 2;
      } else {
        storage_ += raw[i];
      }
    }
    text = storage_;
    return true;
  }

  PyRef head_;
  std::string storage_;
};

// Where a call's request arguments sit among its slots (-1: not one of its arguments), and
// whether its method is a label (cut to the series' cap, lone surrogates replaced) or, as for
// the request store, a text that must encode.
struct RequestLayout {
  int method = -1, path = -1, route = -1, status = -1, duration = -1;
  bool method_is_label = false;
};

class RequestArgs {
 public:
  // False with an exception set. Inline: the middleware's plain arguments take the first line
  // on every request.
  bool read(const RequestLayout& layout, PyObject* const* slot) {
    return read_plain(layout, slot) || read_general(layout, slot);
  }

  std::string_view method, path, route;
  std::uint16_t status_code;  // set by read(), like every field that a layout names
  double duration_ms;

 private:
  bool read_plain(const RequestLayout& layout, PyObject* const* slot) {
    return (layout.method < 0 || plain_text(slot[layout.method], method)) &&
           (layout.path < 0 || plain_text(slot[layout.path], path)) &&
           (layout.route < 0 || plain_text(slot[layout.route], route)) &&
           (layout.status < 0 || plain_status(slot[layout.status], status_code)) &&
           (layout.duration < 0 || plain_duration(slot[layout.duration], duration_ms));
  }
  bool read_general(const RequestLayout& layout, PyObject* const* slot);

  // Where converted labels keep their text; made only by the general path (the plain one runs
  // on every request and has no use for them).
  struct Labels {
    Label method, route;
  };
  std::unique_ptr<Labels> labels_;
};

}  // namespace vantorel::binding
