// The command line of the stand-in file backup tool: every option is known,
// each may be given once, and each mode accepts only its own options, so a
// malformed command line fails loudly.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ksfd {

enum class Mode { Backup, Restore, List, Verify, Append };
char const* mode_name(Mode m);

struct Options {
  Mode mode = Mode::Backup;
  std::map<std::string, std::string> given;  // option -> value ("" for flags)

  bool has(std::string const& opt) const { return given.count(opt) != 0; }
  std::string const& value(std::string const& opt) const { return given.at(opt); }

  // Derived values, checked by parse_options.
  std::string digest = "sha256";  // -a sha2 with -2 (sha256) or -5 (sha512)
  uint64_t block_size = 0;        // -b
  std::vector<std::string> excluded;  // -x pieces and the lines of -X
  bool media = false;             // -M given: the archive lives on the media server
  std::string crypto;             // -C, empty or "nocrypt" for none
  std::string key_file;           // -k
  bool sign = false;              // -g with --passin and --sign
  std::vector<std::string> granular;  // -f
  unsigned verbosity = 0;         // -v
};

// Throws Failure with a message naming the offending word.
Options parse_options(std::vector<std::string> const& args);

}  // namespace ksfd
