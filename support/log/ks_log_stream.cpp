#include "support/log/ks_log_stream.h"

#include <unistd.h>

#include <boost/algorithm/string/trim_all.hpp>

unsigned KsLogStream::global_log_level_ = KsLogLvl::InfoMask;
bool KsLogStream::m_logging_enabled = true;
bool KsLogStream::read_config_ = true;

namespace {

using Registry = std::map<KsLogLvl::MaskLevel, KsLogStream::Loggers>;

// Built on first use, so messages written while other translation units are
// initialised find them; destroyed with the other statics at exit.
KsLogStream::Loggers& default_loggers() {
  static KsLogStream::Loggers loggers;
  return loggers;
}

Registry& level_loggers() {
  static Registry registry;
  return registry;
}

std::string const& tag() {
  static std::string const value;
  return value;
}

std::string const* colour_of(KsLogLvl::Level level) {
  static std::map<KsLogLvl::Level, std::string> const level_to_color = {
      {KsLogLvl::Error, "\x1b[1;31m"},
      {KsLogLvl::Warning, "\x1b[1;33m"},
      {KsLogLvl::Debug, "\x1b[1;97m"},
  };
  auto found = level_to_color.find(level);
  return found == level_to_color.end() ? nullptr : &found->second;
}

std::string coloured(std::string const& text, std::string const& colour) {
  static std::string const reset = " \x1b[0m";
  std::string const trimmed = boost::algorithm::trim_all_copy(text);
  std::string line = colour;
  for (char c : trimmed) {
    if (c == '\n')
      line += reset + '\n' + colour;
    else
      line += c;
  }
  return line + reset + '\n';
}

}  // namespace

KsLogStream::~KsLogStream() {
  try {
    emit();
  } catch (...) {
    // A message that cannot be written is lost; it never ends the program.
  }
}

KsLogStream& KsLogStream::operator<<(std::ostream& (*manipulator)(std::ostream&)) {
  manipulator(text_);
  return *this;
}

void KsLogStream::set_global_log_level(unsigned long level) {
  global_log_level_ = KsLogLvl::get_mask(static_cast<KsLogLvl::Level>(level));
}

unsigned KsLogStream::global_log_level() { return global_log_level_; }

void KsLogStream::replace_default_loggers(Loggers loggers) { default_loggers().swap(loggers); }

void KsLogStream::replace_level_loggers(KsLogLvl::Level level, Loggers loggers) {
  level_loggers()[static_cast<KsLogLvl::MaskLevel>(level)].swap(loggers);
}

void KsLogStream::read_config_once() {
  if (!read_config_) return;
  read_config_ = false;
  if (!load_properties()) set_properties(default_level, default_max_size, default_max_rotate);
}

void KsLogStream::write_prefix() {
  if (!tag().empty()) text_ << tag() << '[' << ::getpid() << "] ";
  text_ << KsLogLvl::to_string(level_) << ": ";
}

void KsLogStream::emit() {
  if (!(level_ & global_log_level_) || !m_logging_enabled) return;

  Registry& registry = level_loggers();
  auto first = registry.begin();
  while (first != registry.end() && !(first->first & level_)) ++first;
  bool const per_level = first != registry.end() && !first->second.empty();

  if (own_loggers_.empty() && default_loggers().empty() && !per_level) own_loggers_.push_back(KsDestination::Stdout());

  std::vector<KsDestination::KsLogger*> chosen;
  if (!own_loggers_.empty()) {
    for (auto& logger : own_loggers_) chosen.push_back(logger.get());
  } else if (!per_level) {
    for (auto& logger : default_loggers()) chosen.push_back(logger.get());
  } else {
    for (auto entry = first; entry != registry.end(); ++entry)
      if (entry->first & level_)
        for (auto& logger : entry->second) chosen.push_back(logger.get());
  }

  std::string const text = text_.str();
  std::string const* colour = colour_of(level_);
  std::string const line = colour ? coloured(text, *colour) : text;
  for (KsDestination::KsLogger* logger : chosen) logger->write_log(line);
}
