// A step that runs when a scope is left: always (on_scope_exit), or only when
// the scope is left through an exception (on_scope_failure), so that what
// was made before is undone. dismiss() drops the step, for a path that has
// taken care of it. Header-only, like unique_fd.h.
//
//   auto remove_temporary = kestrova::on_scope_exit([&] { ::unlink(path); });
#pragma once

#include <exception>
#include <utility>

namespace kestrova {

template <typename Step>
class scope_guard {
 public:
  enum class when { always, on_exception };

  scope_guard(Step step, when mode) : step_(std::move(step)), mode_(mode), uncaught_(std::uncaught_exceptions()) {}
  scope_guard(scope_guard const&) = delete;
  scope_guard& operator=(scope_guard const&) = delete;
  // The step must not throw over an exception in flight, nor out of a
  // destructor: whatever it throws is dropped.
  ~scope_guard() {
    if (!armed_) return;
    if (mode_ == when::on_exception && std::uncaught_exceptions() <= uncaught_) return;
    try {
      step_();
    } catch (...) {
    }
  }

  void dismiss() noexcept { armed_ = false; }

 private:
  Step step_;
  when mode_;
  int uncaught_;
  bool armed_ = true;
};

// The returned guard is never copied or moved (guaranteed elision): bind it
// to a name, `auto guard = on_scope_exit(...)`.
template <typename Step>
scope_guard<Step> on_scope_exit(Step step) {
  return scope_guard<Step>(std::move(step), scope_guard<Step>::when::always);
}

template <typename Step>
scope_guard<Step> on_scope_failure(Step step) {
  return scope_guard<Step>(std::move(step), scope_guard<Step>::when::on_exception);
}

}  // namespace kestrova
