// Reading the JSON replies of system tools (lsblk -J, /proc/datto-info):
// parsing with the failures logged, the shape checks every reader repeats,
// and the text of a member the way those tools mean it.
#pragma once

#include <cstdint>
#include <string>

#include <boost/json/value.hpp>

namespace kestrova::json_reply {

// Parses a tool's reply. On failure logs Error signature + ": json parsing
// failed: " + the reason and returns false; never throws.
bool parse(std::string const& text, char const* signature, boost::json::value& out);

// True for a non-empty object; otherwise logs signature + ": json value is
// not an object" or ": json object value is empty" and returns false.
bool is_filled_object(boost::json::value const& value, char const* signature);

// A string without its quotes, anything else in its JSON form (null as
// "null").
std::string text_of(boost::json::value const& value);

// A decimal number made of digits only that fits 64 bits (no sign, no
// blanks, nothing after the digits).
bool to_uint64(std::string const& text, std::uint64_t& out);

}  // namespace kestrova::json_reply
