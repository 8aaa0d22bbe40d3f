#include "options.h"

#include <sys/stat.h>

#include "support.h"

namespace ksfd {

char const* mode_name(Mode m) {
  switch (m) {
    case Mode::Backup: return "backup";
    case Mode::Restore: return "restore";
    case Mode::List: return "list";
    case Mode::Verify: return "verify";
    case Mode::Append: return "append";
  }
  return "?";
}

namespace {

std::set<std::string> const kValueOptions = {
    "-a", "-b", "-c", "-p", "-e", "-x", "-S", "-z", "--memory-threshold", "-n", "-m", "-M", "-N", "-T", "-s",
    "-g", "--passin", "--sign", "-X", "-C", "-k", "-r", "-R", "-d", "-f", "-l", "-v", "-u", "-U", "--add",
    "--public-key"};
std::set<std::string> const kFlags = {"-2", "-5", "--numeric-owner", "-E", "--set-to-numeric", "--verify"};

// Options every data mode takes: the digest and the block size.
std::set<std::string> const kDigestOptions = {"-a", "-2", "-5", "-b"};

std::set<std::string> allowed_for(Mode m) {
  std::set<std::string> s;
  switch (m) {
    case Mode::Backup:
      s = {"-c", "-p", "-e", "-x", "--numeric-owner", "-S", "-z", "--memory-threshold", "-n", "-m", "-M", "-N",
           "-T", "-s", "-g", "--passin", "--sign", "-X", "-C", "-k"};
      break;
    case Mode::Restore:
      s = {"-r", "-R", "-M", "-T", "-s", "-m", "-d", "-C", "-k", "-E", "-p", "-f", "--set-to-numeric", "-e"};
      break;
    case Mode::List: return {"-l", "-v"};
    case Mode::Verify: return {"-n", "-g", "--verify", "--public-key", "-a", "-2", "-5"};
    case Mode::Append:
      s = {"-u", "-U", "--add", "-M", "-T", "-s", "-m", "-g", "--passin", "--sign", "-p", "-C", "-k", "-z",
           "--memory-threshold"};
      break;
  }
  s.insert(kDigestOptions.begin(), kDigestOptions.end());
  return s;
}

void require(Options const& o, std::initializer_list<char const*> opts) {
  for (char const* opt : opts)
    if (!o.has(opt)) throw Failure(std::string("missing option ") + opt + " for " + mode_name(o.mode));
}

void forbid_together(Options const& o, char const* a, char const* b) {
  if (o.has(a) && o.has(b)) throw Failure(std::string("options ") + a + " and " + b + " exclude each other");
}

void all_or_none(Options const& o, std::initializer_list<char const*> opts) {
  size_t n = 0;
  for (char const* opt : opts) n += o.has(opt);
  if (n != 0 && n != opts.size()) {
    std::string names;
    for (char const* opt : opts) names += std::string(names.empty() ? "" : " ") + opt;
    throw Failure("options " + names + " must be given together");
  }
}

uint64_t uint_value(Options const& o, char const* opt, uint64_t min, uint64_t max) {
  uint64_t v = 0;
  if (!parse_uint(o.value(opt), v) || v < min || v > max)
    throw Failure(std::string("bad value of ") + opt + ": '" + o.value(opt) + "'");
  return v;
}

std::vector<std::string> split(std::string const& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return parts;
}

void check_digest(Options& o) {
  if (o.has("-a") && o.value("-a") != "sha2") throw Failure("unsupported hash algorithm: '" + o.value("-a") + "'");
  forbid_together(o, "-2", "-5");
  if (o.mode != Mode::Verify) require(o, {"-a", "-b"});
  if ((o.has("-2") || o.has("-5")) && !o.has("-a")) throw Failure("a hash length needs -a");
  if (o.has("-a") && !o.has("-2") && !o.has("-5")) throw Failure("-a needs -2 or -5");
  o.digest = o.has("-5") ? "sha512" : "sha256";
  if (o.has("-b")) o.block_size = uint_value(o, "-b", 1, 64u << 20);
}

void check_common_values(Options& o) {
  if (o.has("-p")) uint_value(o, "-p", 0, UINT32_MAX);
  if (o.has("--memory-threshold")) uint_value(o, "--memory-threshold", 1, UINT32_MAX);
  if (o.has("-z")) {
    std::string const& z = o.value("-z");
    if (z != "None" && z != "fast" && z != "optimal" && z != "best") throw Failure("bad compression: '" + z + "'");
  }
  if (o.has("-e")) {
    static std::set<std::string> const known = {"worker_parallelism", "network_parallelism", "enable_multithreading",
                                                 "enable_flexible_dedup"};
    std::set<std::string> seen;
    for (std::string const& piece : split(o.value("-e"), ',')) {
      auto colon = piece.find(':');
      std::string name = piece.substr(0, colon);
      if (colon == std::string::npos || !known.count(name)) throw Failure("bad flag in -e: '" + piece + "'");
      if (!seen.insert(name).second) throw Failure("flag given twice in -e: " + name);
    }
  }
  all_or_none(o, {"-C", "-k"});
  if (o.has("-C")) {
    if (o.value("-C").empty()) throw Failure("empty crypto algorithm");
    if (o.value("-C") != "nocrypt") {
      o.crypto = o.value("-C");
      o.key_file = o.value("-k");
    }
  }
  all_or_none(o, {"-g", "--passin", "--sign"});
  o.sign = o.has("--sign");
  if (o.has("-s") && !exists(o.value("-s"))) throw Failure("task secret file does not exist: " + o.value("-s"));
  if (o.has("-T") && o.value("-T").empty()) throw Failure("empty task id");
}

void check_media(Options& o, std::initializer_list<char const*> with_media) {
  o.media = o.has("-M");
  if (o.media) {
    require(o, with_media);
    if (o.value("-M").empty()) throw Failure("empty media server");
  } else {
    for (char const* opt : with_media)
      if (o.has(opt)) throw Failure(std::string("option ") + opt + " needs a media server (-M)");
  }
}

void check_backup(Options& o) {
  require(o, {"-c", "-x", "-m"});
  forbid_together(o, "-n", "-M");
  if (!o.has("-n") && !o.has("-M")) throw Failure("a backup needs -n archive or -M media server");
  check_media(o, {"-N", "-T", "-s"});
  for (std::string const& piece : split(o.value("-x"), ','))
    if (!piece.empty()) o.excluded.push_back(piece);
  if (o.has("-X")) {
    std::string list = read_whole_file(o.value("-X"));
    for (std::string const& line : split(list, '\n'))
      if (!line.empty()) o.excluded.push_back(line);
  }
}

void check_restore(Options& o) {
  require(o, {"-d"});
  forbid_together(o, "-r", "-R");
  forbid_together(o, "-r", "-M");
  if (o.has("-R")) {
    check_media(o, {"-T", "-s", "-m"});
    if (!o.media) throw Failure("a restore of a record (-R) needs a media server (-M)");
  } else {
    for (char const* opt : {"-T", "-s", "-m"})
      if (o.has(opt)) throw Failure(std::string("option ") + opt + " needs a media server (-M)");
  }
  if (o.has("-f")) {
    std::string const& f = o.value("-f");
    // A file of names, one a line, or the names themselves, separated by commas.
    struct stat st;
    bool is_file = ::stat(f.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    for (std::string const& n : split(is_file ? read_whole_file(f) : f, is_file ? '\n' : ','))
      if (!n.empty()) o.granular.push_back(n);
    if (o.granular.empty()) throw Failure("empty granular list");
  }
}

void check_append(Options& o) {
  forbid_together(o, "-u", "-U");
  if (!o.has("-u") && !o.has("-U")) throw Failure("adding entries needs -u archive or -U name");
  if (o.has("-U")) {
    check_media(o, {"-T", "-s", "-m"});
    if (!o.media) throw Failure("adding to a named archive (-U) needs a media server (-M)");
  } else {
    for (char const* opt : {"-M", "-T", "-s", "-m"})
      if (o.has(opt)) throw Failure(std::string("option ") + opt + " is not valid with -u");
  }
}

}  // namespace

Options parse_options(std::vector<std::string> const& args) {
  Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string const& a = args[i];
    if (kValueOptions.count(a)) {
      if (i + 1 == args.size()) throw Failure("option " + a + " needs a value");
      if (!o.given.emplace(a, args[i + 1]).second) throw Failure("option given twice: " + a);
      ++i;
    } else if (kFlags.count(a)) {
      if (!o.given.emplace(a, "").second) throw Failure("option given twice: " + a);
    } else if (!a.empty() && a[0] == '-') {
      throw Failure("unknown option: '" + a + "'");
    } else {
      throw Failure("unexpected argument: '" + a + "'");
    }
  }

  if (o.has("--verify")) o.mode = Mode::Verify;
  else if (o.has("-l")) o.mode = Mode::List;
  else if (o.has("--add")) o.mode = Mode::Append;
  else if (o.has("-r") || o.has("-R")) o.mode = Mode::Restore;
  else if (o.has("-c")) o.mode = Mode::Backup;
  else throw Failure("nothing to do: no -c, -r, -R, -l, --add or --verify");

  std::set<std::string> allowed = allowed_for(o.mode);
  for (auto const& g : o.given)
    if (!allowed.count(g.first)) throw Failure("option " + g.first + " is not valid for " + mode_name(o.mode));

  switch (o.mode) {
    case Mode::List:
      if (o.has("-v")) o.verbosity = static_cast<unsigned>(uint_value(o, "-v", 0, 9));
      return o;
    case Mode::Verify:
      require(o, {"-n", "-g", "--public-key"});
      check_digest(o);
      return o;
    case Mode::Backup: check_digest(o); check_common_values(o); check_backup(o); break;
    case Mode::Restore: check_digest(o); check_common_values(o); check_restore(o); break;
    case Mode::Append: check_digest(o); check_common_values(o); check_append(o); break;
  }
  if (!o.crypto.empty() && !exists(o.key_file)) throw Failure("key file does not exist: " + o.key_file);
  return o;
}

}  // namespace ksfd
