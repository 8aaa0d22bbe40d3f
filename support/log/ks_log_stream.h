// One log message: constructed with a level, filled through operator<<, and
// written to the destinations of its level when it is destroyed, provided
// the level passes the process-wide mask.
//
//   KsLogStream(KsLogLvl::Error) << "sig" << ": " << msg << std::endl;
//
// Error, Warning and Debug messages are coloured: trimmed, inner runs of
// white space reduced to their first character, each line wrapped in the
// colour and its reset, and ended by exactly one line break. Other levels
// are written exactly as streamed.
//
// While a message exists, the signals of the handlers that log (the
// shutdown signals, SIGSEGV, SIGTSTP and SIGCONT: support/utils/signals_held.h)
// are held back; they arrive once it is written.
// Keep a message to one statement.
#pragma once

#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/log/ks_destination.h"
#include "support/log/ks_log_level.h"
#include "support/utils/signals_held.h"

class KsLogStream {
 public:
  using LoggerPtr = std::unique_ptr<KsDestination::KsLogger>;
  using Loggers = std::vector<LoggerPtr>;

  // The destinations given here are owned by the message and replace the
  // registry for it. The first message of the process reads the logger
  // configuration file.
  template <typename... L>
  explicit KsLogStream(KsLogLvl::Level level, L&&... loggers) : level_(level) {
    static_assert((std::is_convertible_v<L&&, LoggerPtr> && ...),
                  "destinations are std::unique_ptr<KsDestination::KsLogger>");
    read_config_once();
    own_loggers_.reserve(sizeof...(L));
    (own_loggers_.emplace_back(std::forward<L>(loggers)), ...);
    write_prefix();
  }
  // Emits the message; never throws.
  ~KsLogStream();
  KsLogStream(KsLogStream const&) = delete;
  KsLogStream& operator=(KsLogStream const&) = delete;

  // Standard insertion, except that strings end at their first NUL
  // character, and that an io manipulator stays in effect for the rest of
  // this message.
  template <typename T>
  KsLogStream& operator<<(T&& value) {
    using Plain = std::remove_cv_t<std::remove_reference_t<T>>;
    if constexpr (std::is_same_v<Plain, std::string>)
      text_ << value.c_str();
    else if constexpr (std::is_same_v<Plain, std::stringstream> || std::is_same_v<Plain, std::ostringstream>)
      text_ << value.str().c_str();
    else
      text_ << std::forward<T>(value);
    return *this;
  }
  KsLogStream& operator<<(std::ostream& (*manipulator)(std::ostream&));

  // The mask becomes KsLogLvl::get_mask(level).
  static void set_global_log_level(unsigned long level);
  static unsigned global_log_level();

  // Replaces the default destinations; the previous ones are destroyed.
  template <typename... L>
  static void set_default_loggers(L&&... loggers) {
    replace_default_loggers(make_loggers(std::forward<L>(loggers)...));
  }
  // Replaces (or adds) the destinations of the registry key equal to the
  // level's value itself. A level is routed by the first key, in ascending
  // order, that shares a bit with it; an empty list there means the default
  // destinations.
  template <typename... L>
  static void set_log_level_logger(KsLogLvl::Level level, L&&... loggers) {
    replace_level_loggers(level, make_loggers(std::forward<L>(loggers)...));
  }

  // Reads /opt/kestrova/etc/ks_logger.config and applies it; false (with a
  // warning on std::cerr) when the file cannot be opened or lacks a
  // variable, and the caller then writes the defaults over it. A file that
  // opens but cannot be read (an I/O error) is warned about too, but the
  // defaults are applied here and true returned: the file may be whole, and
  // is not replaced.
  static bool load_properties();
  // Applies the level, the size limit in MiB and the rotation count, and
  // writes them as the logger configuration file.
  static void set_properties(KsLogLvl::Level level, unsigned long max_size, unsigned long max_rotate);

 private:
  template <typename... L>
  static Loggers make_loggers(L&&... loggers) {
    static_assert((std::is_convertible_v<L&&, LoggerPtr> && ...),
                  "destinations are std::unique_ptr<KsDestination::KsLogger>");
    Loggers result;
    result.reserve(sizeof...(L));
    (result.emplace_back(std::forward<L>(loggers)), ...);
    return result;
  }
  static void replace_default_loggers(Loggers loggers);
  static void replace_level_loggers(KsLogLvl::Level level, Loggers loggers);

  static void apply_properties(KsLogLvl::Level level, unsigned long max_size, unsigned long max_rotate);
  static void read_config_once();

  static constexpr KsLogLvl::Level default_level = KsLogLvl::Info;
  static constexpr unsigned long default_max_size = 1;  // MiB
  static constexpr unsigned long default_max_rotate = 10;
  void write_prefix();
  void emit();

  // First: constructed before and destroyed after everything else of the
  // message, so no logging handler runs while it allocates or writes.
  kestrova::signals_held handler_signals_held_{kestrova::signals_held::which::logging_handlers};
  std::stringstream text_;
  KsLogLvl::Level level_;
  Loggers own_loggers_;

  static unsigned global_log_level_;
  static bool m_logging_enabled;
  static bool read_config_;
};
