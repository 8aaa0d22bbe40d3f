#include "backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <cstdlib>
#include <set>

#include "archive.h"
#include "crypto.h"
#include "meta.h"
#include "records.h"
#include "support.h"

namespace ksfd {

namespace {

struct Source {
  std::string path;  // on this machine
  std::string name;  // inside the archive
};

char const kListHeader[] = "KSFD file list:";

bool is_list_file(std::string const& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string data = read_whole_file(path);
  return data.compare(0, sizeof kListHeader - 1, kListHeader) == 0 &&
         (data.size() == sizeof kListHeader - 1 || data[sizeof kListHeader - 1] == '\n');
}

// "KSFD file list:" then "   path : name" lines.
std::vector<Source> read_list_file(std::string const& path) {
  std::string data = read_whole_file(path);
  std::vector<Source> out;
  size_t start = data.find('\n');
  if (data.compare(0, start, kListHeader) != 0) throw Failure("not a list file: " + path);
  while (start != std::string::npos && start + 1 < data.size()) {
    size_t end = data.find('\n', start + 1);
    std::string line = data.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    start = end;
    if (end == std::string::npos) throw Failure("list file " + path + ": last line has no line end");
    size_t sep = line.find(" : ");
    if (line.compare(0, 3, "   ") != 0 || sep == std::string::npos || sep == 3)
      throw Failure("list file " + path + ": bad line '" + line + "'");
    out.push_back({line.substr(3, sep - 3), line.substr(sep + 3)});
  }
  return out;
}

void walk(std::string const& dir, std::string const& prefix, dev_t dev, std::vector<Source>& out) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) throw Failure("cannot read directory " + dir);
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (auto const& n : names) {
    std::string path = dir + "/" + n;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) throw Failure("cannot stat " + path);
    if (S_ISDIR(st.st_mode)) {
      if (st.st_dev == dev) walk(path, prefix + n + "/", dev, out);
    } else if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
      out.push_back({path, prefix + n});
    } else {
      out_line("Skipped: " + path);
    }
  }
}

// -c names a list file, a directory (every file below it, named relative to
// it) or one file or block device (named after its base name).
std::vector<Source> collect_sources(std::string const& c) {
  if (is_list_file(c)) return read_list_file(c);
  struct stat st;
  if (::stat(c.c_str(), &st) != 0) throw Failure("nothing to back up at " + c);
  if (S_ISDIR(st.st_mode)) {
    std::string dir = absolute_path(c);
    char real[PATH_MAX];
    if (::realpath(dir.c_str(), real) && std::string(real) == "/")
      throw Failure("refusing to back up the whole root directory (-c " + c + ")");
    std::vector<Source> out;
    walk(dir, "", st.st_dev, out);
    return out;
  }
  return {{c, basename_of(c)}};
}

bool excluded(std::string const& path, std::vector<std::string> const& excl) {
  for (std::string e : excl) {
    while (e.size() > 1 && e.back() == '/') e.pop_back();
    if (path == e || (path.size() > e.size() && path.compare(0, e.size(), e) == 0 && (e == "/" || path[e.size()] == '/')))
      return true;
  }
  return false;
}

std::string media_dir() {
  char const* d = std::getenv("KSFD_STANDIN_MEDIA_DIR");
  if (!d || !*d) throw Failure("media server not reachable: KSFD_STANDIN_MEDIA_DIR is not set");
  struct stat st;
  if (::stat(d, &st) != 0 || !S_ISDIR(st.st_mode)) throw Failure(std::string("media server folder missing: ") + d);
  return d;
}

// A file written under a temporary name and renamed when complete.
class PendingFile {
 public:
  explicit PendingFile(std::string final_path) : final_(std::move(final_path)), temp_(temp_name_for(final_)) {
    register_temp(temp_);
    ::unlink(temp_.c_str());  // left by a killed run that had the same pid
    fd_ = open_or_fail(temp_, O_WRONLY | O_CREAT | O_EXCL, 0666);
  }
  ~PendingFile() {
    if (!committed_) {
      fd_ = Fd();
      ::unlink(temp_.c_str());
      unregister_temp(temp_);
    }
  }
  PendingFile(PendingFile const&) = delete;
  PendingFile& operator=(PendingFile const&) = delete;

  int fd() const { return fd_.get(); }
  std::string const& temp() const { return temp_; }
  void close() {
    if (::fsync(fd_.get()) != 0 && errno != EINVAL) throw Failure("cannot sync " + temp_);
    fd_.close_checked(temp_);
  }
  void commit() {
    if (fd_.valid()) close();
    rename_or_fail(temp_, final_);
    committed_ = true;
    unregister_temp(temp_);
  }

 private:
  std::string final_, temp_;
  Fd fd_;
  bool committed_ = false;
};

void write_pending(PendingFile& f, std::string const& content) { write_all(f.fd(), content.data(), content.size(), f.temp()); }

std::string hex_id() { return to_hex(random_bytes(16)); }

class Progress {
 public:
  Progress(char const* prefix, size_t total, bool media) : prefix_(prefix), total_(total), media_(media) {}
  void item_bytes(uint64_t bytes) {
    if (bytes >= next_report_) {
      line(done_, bytes_ + bytes);
      next_report_ = bytes + (64u << 20);
    }
  }
  void item_done(uint64_t item_bytes, uint64_t stored_bytes) {
    ++done_;
    bytes_ += item_bytes;
    next_report_ = 64u << 20;
    line(done_, bytes_);
    if (media_) out_line("Transferred: " + std::to_string(stored_bytes) + " bytes");
  }

 private:
  void line(size_t done, uint64_t bytes) {
    unsigned pct = total_ ? static_cast<unsigned>(done * 100 / total_) : 100;
    out_line(std::string(prefix_) + std::to_string(pct) + "% (" + std::to_string(done) + " of " +
             std::to_string(total_) + " items, " + std::to_string(bytes) + " bytes)");
  }
  char const* prefix_;
  size_t total_;
  bool media_;
  size_t done_ = 0;
  uint64_t bytes_ = 0;
  uint64_t next_report_ = 64u << 20;
};

void check_names(std::vector<Source> const& sources) {
  std::set<std::string> names;
  for (auto const& s : sources) {
    if (!safe_item_name(s.name)) throw Failure("unsafe name in the archive: '" + s.name + "' for " + s.path);
    if (!names.insert(s.name).second) throw Failure("two items named " + s.name);
  }
}

std::string signature_of(Options const& o, PendingFile& archive) {
  return sign_file(archive.temp(), o.value("--sign"), o.value("--passin"), o.digest);
}

}  // namespace

std::string media_archive_path(std::string const& name) {
  if (!safe_item_name(name) || name.find('/') != std::string::npos) throw Failure("bad archive name: '" + name + "'");
  return media_dir() + "/" + name + ".ksfd";
}

void fault_point() {
  if (faults().raise_signal) raise(faults().raise_signal);
}

int run_backup(Options const& o) {
  std::vector<Source> all = collect_sources(o.value("-c")), sources;
  for (auto const& s : all) {
    if (excluded(s.path, o.excluded)) out_line("Excluded: " + s.path);
    else sources.push_back(s);
  }
  check_names(sources);

  Meta ref;
  bool have_ref = o.has("-S");
  if (have_ref) ref = read_meta(o.value("-S"));
  // Blocks of another size or digest cannot be compared: store everything.
  bool comparable = have_ref && ref.hash == o.digest && ref.block_size == o.block_size;

  ArchiveHeader h;
  h.id = hex_id();
  h.hash = o.digest;
  h.block_size = o.block_size;
  if (have_ref) {
    h.reference = ref.archive_id;
    h.reference_location = ref.location;
  }
  std::string key;
  if (!o.crypto.empty()) {
    key = key_from_file(o.key_file);
    h.crypto = o.crypto;
    h.key_check = key_check_of(key);
  }
  if (o.has("-z")) h.compress = o.value("-z");
  std::string archive_path, location;
  if (o.media) {
    h.media_server = o.value("-M");
    h.task = o.value("-T");
    h.name = o.value("-N");
    archive_path = media_archive_path(h.name);
    location = "media:" + h.name;
  } else {
    archive_path = absolute_path(o.value("-n"));
    location = archive_path;
    h.name = basename_of(archive_path);
  }

  PendingFile archive(archive_path);
  RecordWriter out(archive.fd(), archive.temp());
  out.write(record::kHeader, h.encode());
  ItemWriter items(out, h, key);
  Progress progress("Packed: ", sources.size(), o.media);

  Meta meta;
  meta.archive_id = h.id;
  meta.location = location;
  meta.reference = h.reference;
  meta.hash = h.hash;
  meta.block_size = h.block_size;
  meta.crypto = h.crypto;
  for (auto const& s : sources) {
    if (faults().delay_item_ms) sleep_ms(faults().delay_item_ms);
    ItemInfo const* r = comparable ? ref.find(s.name) : nullptr;
    meta.items.push_back(items.add(s.path, s.name, r, [&](uint64_t b) { progress.item_bytes(b); }));
    progress.item_done(meta.items.back().size, out.bytes());
  }
  out.write(record::kEnd, encode_fields({{"items", std::to_string(sources.size())}}));
  archive.close();

  std::unique_ptr<PendingFile> sig;
  if (o.sign) {
    std::string s = signature_of(o, archive);
    sig.reset(new PendingFile(o.value("-g")));
    write_pending(*sig, s);
    sig->close();
  }
  PendingFile meta_file(o.value("-m"));
  write_pending(meta_file, encode_meta(meta));
  meta_file.close();

  fault_point();
  if (sig) sig->commit();
  archive.commit();
  meta_file.commit();
  return 0;
}

int run_append(Options const& o) {
  std::string archive_path = o.has("-U") ? media_archive_path(o.value("-U")) : absolute_path(o.value("-u"));
  std::vector<Source> sources = read_list_file(o.value("--add"));
  check_names(sources);

  ArchiveScan old = scan_archive(archive_path);
  std::string key = o.crypto.empty() ? std::string() : key_from_file(o.key_file);
  check_key(old.header, o.crypto, key, "archive " + archive_path);
  std::set<std::string> names;
  for (auto const& i : old.items) names.insert(i.info.name);
  for (auto const& s : sources)
    if (names.count(s.name)) throw Failure("the archive already holds " + s.name);

  Meta meta;
  if (o.media) {
    meta = read_meta(o.value("-m"));
    if (meta.archive_id != old.header.id) throw Failure("meta file " + o.value("-m") + " belongs to another archive");
  }

  PendingFile archive(archive_path);
  RecordWriter out(archive.fd(), archive.temp());
  {
    // Copy every record but the end; the reader checks them on the way.
    RecordReader in(archive_path);
    Record r;
    while (in.next(r))
      if (r.type != record::kEnd) out.write(r.type, r.payload);
  }
  ItemWriter items(out, old.header, key);
  Progress progress("Packed: ", sources.size(), o.media);
  for (auto const& s : sources) {
    if (faults().delay_item_ms) sleep_ms(faults().delay_item_ms);
    meta.items.push_back(items.add(s.path, s.name, nullptr, [&](uint64_t b) { progress.item_bytes(b); }));
    progress.item_done(meta.items.back().size, out.bytes());
  }
  out.write(record::kEnd, encode_fields({{"items", std::to_string(old.items.size() + sources.size())}}));
  archive.close();

  std::unique_ptr<PendingFile> sig, meta_file;
  if (o.sign) {
    std::string s = signature_of(o, archive);
    sig.reset(new PendingFile(o.value("-g")));
    write_pending(*sig, s);
    sig->close();
  }
  if (o.media) {
    meta_file.reset(new PendingFile(o.value("-m")));
    write_pending(*meta_file, encode_meta(meta));
    meta_file->close();
  }
  fault_point();
  if (sig) sig->commit();
  archive.commit();
  if (meta_file) meta_file->commit();
  return 0;
}

}  // namespace ksfd
