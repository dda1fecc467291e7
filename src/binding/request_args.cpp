#include "binding/request_args.h"

#include "core/series.h"

namespace vantorel::binding {

bool RequestArgs::read_general(const RequestLayout& layout, PyObject* const* slot) {
  labels_ = std::make_unique<Labels>();
  if (layout.method >= 0) {
    if (layout.method_is_label) {
      if (!labels_->method.convert(slot[layout.method], "method", series::MAX_METHOD_CODE_POINTS)) {
        return false;
      }
      method = labels_->method.text;
    } else {
      auto text = to_text(slot[layout.method], "method");
      if (!text) return false;
      method = *text;
    }
  }
  if (layout.path >= 0) {
    auto text = to_text(slot[layout.path], "path");
    if (!text) return false;
    path = *text;
  }
  if (layout.route >= 0) {
    if (!labels_->route.convert(slot[layout.route], "route", series::MAX_ROUTE_CODE_POINTS)) {
      return false;
    }
    route = labels_->route.text;
  }
  if (layout.status >= 0) {
    auto status = to_u16(slot[layout.status], "status_code");
    if (!status) return false;
    status_code = *status;
  }
  if (layout.duration >= 0) {
    auto duration = to_f64(slot[layout.duration], "duration_ms");
    if (!duration) return false;
    duration_ms = *duration;
  }
  return true;
}

}  // namespace vantorel::binding
