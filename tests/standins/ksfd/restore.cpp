#include "restore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include "archive.h"
#include "backup.h"
#include "crypto.h"
#include "meta.h"
#include "support.h"

namespace ksfd {

namespace {

constexpr size_t kMaxChain = 10000;

// Where the reference of an archive is: on the media server, at the path it
// had, or, when the archives were moved together, beside this one.
std::string reference_path(ArchiveScan const& current) {
  std::string const& loc = current.header.reference_location;
  if (loc.compare(0, 6, "media:") == 0) {
    std::string path = media_archive_path(loc.substr(6));
    if (exists(path)) return path;
    throw Failure("reference archive of " + current.path + " not found on the media server: " + loc.substr(6));
  }
  if (exists(loc)) return loc;
  std::string beside = dirname_of(current.path) + "/" + basename_of(loc);
  if (exists(beside)) return beside;
  throw Failure("reference archive of " + current.path + " not found: " + loc);
}

// Newest first, ending at the full backup.
std::vector<ArchiveScan> load_chain(std::string const& newest) {
  std::vector<ArchiveScan> chain;
  chain.push_back(scan_archive(newest));
  std::set<std::string> ids = {chain.back().header.id};
  while (!chain.back().header.reference.empty()) {
    if (chain.size() >= kMaxChain) throw Failure("chain of references too long");
    std::string want = chain.back().header.reference;
    std::string path = reference_path(chain.back());
    ArchiveScan ref = scan_archive(path);
    if (ref.header.id != want)
      throw Failure("archive " + path + " is not the reference of " + chain.back().path + " (id " + ref.header.id +
                    ", expected " + want + ")");
    if (!ids.insert(ref.header.id).second) throw Failure("loop in the chain of references at " + path);
    chain.push_back(std::move(ref));
  }
  return chain;
}

void make_parents(std::string const& dir, std::string const& name) {
  size_t pos = 0;
  while ((pos = name.find('/', pos)) != std::string::npos) {
    std::string d = dir + "/" + name.substr(0, pos);
    if (::mkdir(d.c_str(), 0755) != 0 && errno != EEXIST) throw Failure("cannot create " + d + ": " + std::strerror(errno));
    ++pos;
  }
}

std::string digest_of_file(std::string const& path, std::string const& hash) {
  Fd fd = open_or_fail(path, O_RDONLY | O_NOFOLLOW);
  Digest d(hash);
  std::string buf(1 << 16, '\0');
  for (;;) {
    size_t n = read_some(fd.get(), &buf[0], buf.size(), path);
    d.update(buf.data(), n);
    if (n < buf.size()) break;
  }
  return d.final_hex();
}

class Restorer {
 public:
  Restorer(Options const& o, std::string dir, std::set<std::string> selected, std::string key)
      : o_(o), dir_(std::move(dir)), selected_(std::move(selected)), key_(std::move(key)) {}

  // Applies one archive of the chain on top of what the older ones left.
  void apply(ArchiveScan const& scan) {
    size_t total_items = 0;
    for (auto const& i : scan.items) total_items += selected_.count(i.info.name);
    std::set<std::string> in_this;
    RecordReader in(scan.path);
    Record r;
    Fd out;
    std::string name, target;
    bool wanted = false, delta = false;
    uint64_t bs = scan.header.block_size;
    size_t prefix = scan.header.crypto.empty() ? 8 : 24;
    size_t done = 0;
    uint64_t bytes = 0;
    while (in.next(r)) {
      if (r.type == record::kItem) {
        auto f = decode_fields(r.payload, "archive " + scan.path);
        name = field(f, "name", scan.path);
        delta = field(f, "base", scan.path) == "delta";
        wanted = selected_.count(name) != 0;
        if (!wanted) continue;
        in_this.insert(name);
        target = dir_ + "/" + name;
        if (delta) {
          if (!present_.count(name))
            throw Failure("broken chain: " + name + " in " + scan.path + " has no earlier version to build on");
          out = open_or_fail(target, O_WRONLY | O_NOFOLLOW);
        } else {
          make_parents(dir_, name);
          out = open_or_fail(target, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
        }
      } else if (r.type == record::kBlock && wanted) {
        uint64_t index = read_u64_le(r.payload.data());
        std::string data = r.payload.substr(prefix);
        if (prefix > 8) data = aes256_ctr(key_, r.payload.substr(8, 16), data);
        pwrite_all(out.get(), data.data(), data.size(), static_cast<off_t>(index * bs), target);
      } else if (r.type == record::kItemEnd && wanted) {
        auto f = decode_fields(r.payload, "archive " + scan.path);
        uint64_t size = uint_field(f, "size", scan.path);
        struct stat st;
        if (::fstat(out.get(), &st) != 0) throw Failure("cannot stat " + target);
        // Growing here would leave a hole: the blocks must all have come.
        if (static_cast<uint64_t>(st.st_size) < size) throw Failure("broken chain: " + name + " is short in " + scan.path);
        if (::ftruncate(out.get(), static_cast<off_t>(size)) != 0) throw Failure("cannot truncate " + target);
        out.close_checked(target);
        present_.insert(name);
        bytes += size;
        ++done;
        out_line("Unpacked: " + std::to_string(total_items ? done * 100 / total_items : 100) + "% (" +
                 std::to_string(done) + " of " + std::to_string(total_items) + " items, " + std::to_string(bytes) +
                 " bytes)");
        if (faults().delay_item_ms) sleep_ms(faults().delay_item_ms);
      }
    }
    if (o_.media) out_line("Transferred: " + std::to_string(in.bytes()) + " bytes");
    // What this backup no longer had is gone from its state.
    for (auto it = present_.begin(); it != present_.end();) {
      if (in_this.count(*it)) {
        ++it;
      } else {
        ::unlink((dir_ + "/" + *it).c_str());
        it = present_.erase(it);
      }
    }
  }

  // Checks each restored item against the digest of the newest archive and
  // gives it its attributes.
  void finish(ArchiveScan const& newest) {
    for (auto const& item : newest.items) {
      ItemInfo const& i = item.info;
      if (!selected_.count(i.name)) continue;
      std::string target = dir_ + "/" + i.name;
      if (digest_of_file(target, newest.header.hash) != i.digest)
        throw Failure("restored " + i.name + " does not match the digest of " + newest.path);
      if (::chmod(target.c_str(), i.mode & 07777) != 0) throw Failure("cannot set the mode of " + target);
      if (geteuid() == 0 && ::lchown(target.c_str(), static_cast<uid_t>(i.uid), static_cast<gid_t>(i.gid)) != 0)
        throw Failure("cannot set the owner of " + target);
      struct timespec times[2];
      times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(i.mtime);
      times[0].tv_nsec = times[1].tv_nsec = 0;
      ::utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
  }

 private:
  Options const& o_;
  std::string dir_;
  std::set<std::string> selected_;
  std::string key_;
  std::set<std::string> present_;
};

std::string permissions(ItemInfo const& i) {
  std::string s = i.type == "blockdev" ? "b" : "-";
  char const* rwx = "rwxrwxrwx";
  for (int b = 0; b < 9; ++b) s += (i.mode & (0400u >> b)) ? rwx[b] : '-';
  return s;
}

}  // namespace

int run_restore(Options const& o) {
  std::string newest = o.media ? media_archive_path(o.value("-R")) : o.value("-r");
  if (o.media && !exists(newest)) throw Failure("record " + o.value("-R") + " not found on the media server");
  std::vector<ArchiveScan> chain = load_chain(newest);
  if (o.media) {
    Meta m = read_meta(o.value("-m"));
    if (m.archive_id != chain.front().header.id)
      throw Failure("meta file " + o.value("-m") + " does not describe record " + o.value("-R"));
  }

  std::string key = o.crypto.empty() ? std::string() : key_from_file(o.key_file);
  for (auto const& a : chain) check_key(a.header, o.crypto, key, "archive " + a.path);

  std::set<std::string> selected;
  for (auto const& i : chain.front().items) selected.insert(i.info.name);
  if (!o.granular.empty()) {
    std::set<std::string> wanted;
    for (auto const& n : o.granular) {
      if (!selected.count(n)) throw Failure("no item " + n + " in the archive");
      wanted.insert(n);
    }
    selected = wanted;
  }

  std::string dir = o.value("-d");
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw Failure("restore directory does not exist: " + dir);

  Restorer restorer(o, dir, selected, key);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) restorer.apply(*it);
  restorer.finish(chain.front());
  fault_point();
  return 0;
}

int run_list(Options const& o) {
  Meta m = read_meta(o.value("-l"));
  for (auto const& i : m.items) {
    if (o.verbosity == 0) {
      out_line(i.name);
      continue;
    }
    char when[32];
    time_t t = static_cast<time_t>(i.mtime);
    struct tm tm;
    gmtime_r(&t, &tm);
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    out_line(permissions(i) + " " + std::to_string(i.uid) + "/" + std::to_string(i.gid) + " " + std::to_string(i.size) +
             " " + when + " " + i.name);
  }
  fault_point();
  return 0;
}

// The digest an archive of this tool was signed with is the one its blocks
// were hashed with (-2 or -5 of its backup); any other file was signed
// with SHA-256.
std::string signing_digest_of(std::string const& file) {
  try {
    RecordReader in(file);
    Record r;
    if (in.next(r) && r.type == record::kHeader) return ArchiveHeader::decode(r.payload, "archive " + file).hash;
  } catch (Failure const&) {
  }
  return "sha256";
}

int run_verify(Options const& o) {
  std::string sig = read_whole_file(o.value("-g"));
  // The module's verify command names no digest: then the archive's own.
  std::string const digest = o.has("-2") || o.has("-5") ? o.digest : signing_digest_of(o.value("-n"));
  bool good = verify_file(o.value("-n"), sig, o.value("--public-key"), digest);
  out_line(good ? "Verified OK" : "Verification failure");
  fault_point();
  return good ? 0 : 1;
}

}  // namespace ksfd
