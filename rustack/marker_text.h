// Picking a value out of a command's output by the text that precedes it.
#pragma once

#include <string>

#include <boost/algorithm/string/case_conv.hpp>

namespace rustack_text {

// The part of `text` after the first occurrence of `marker` (compared without
// regard to case) up to the next occurrence or the end, into `value`. False,
// and `value` untouched, when the marker does not occur.
inline bool text_after_marker(std::string const& text, std::string const& marker, std::string& value) {
  std::string const low = boost::algorithm::to_lower_copy(text);
  std::string const key = boost::algorithm::to_lower_copy(marker);
  std::size_t const at = low.find(key);
  if (at == std::string::npos) return false;
  std::size_t const start = at + key.size();
  std::size_t const next = low.find(key, start);
  value = text.substr(start, next == std::string::npos ? std::string::npos : next - start);
  return true;
}

}  // namespace rustack_text
