#include "rustack/records.h"

#include <fstream>
#include <sstream>

#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>
#include <boost/filesystem.hpp>

#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

namespace {

template <class Record>
std::string archive_text(Record const& record) {
  // serialize() records the class version in the object it is given, so save
  // a copy rather than casting away the caller's const.
  Record copy(record);
  std::ostringstream out;
  {
    boost::archive::text_oarchive archive(out);
    archive << copy;
  }
  return out.str();
}

template <class Record>
void load_text(std::string const& text, Record& record) {
  // Load into a fresh record so that a truncated or foreign file leaves the
  // caller's record as it was.
  Record loaded;
  std::istringstream in(text);
  {
    boost::archive::text_iarchive archive(in);
    archive >> loaded;
  }
  record = std::move(loaded);
}

template <class Record>
bool save_file(std::string const& path, Record const& record) {
  std::string const text = archive_text(record);
  std::ofstream out(path, std::ios::out | std::ios::trunc | std::ios::binary);
  if (!out)
    return false;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  return !out.fail();
}

// Shared steps of the two readers; `missing_sep` is what stands between the
// signature and the path in the "doesn't exist" line.
template <class Record>
int read_file(std::string const& signature, std::string const& missing_sep, std::string const& path,
              Record& record) {
  try {
    if (!boost::filesystem::exists(path)) {
      KsLogStream(KsLogLvl::Error) << signature << missing_sep << path << " doesn't exist" << std::endl;
      return 7;
    }
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in) {
      KsLogStream(KsLogLvl::Error) << signature << ": unable to open " << path << std::endl;
      return 7;
    }
    auto const size = boost::filesystem::file_size(path);
    std::string text(static_cast<std::size_t>(size), '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    load_text(text, record);
    return 0;
  } catch (boost::filesystem::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << signature << ": boost::filesystem: " << kestrova::as_one_line(e.what())
                                 << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << signature << ": exception:" << kestrova::as_one_line(e.what()) << std::endl;
  }
  return 7;
}

}  // namespace

std::string to_archive_text(server_conf const& record) { return archive_text(record); }
std::string to_archive_text(volume const& record) { return archive_text(record); }

void from_archive_text(std::string const& text, server_conf& record) { load_text(text, record); }
void from_archive_text(std::string const& text, volume& record) { load_text(text, record); }

bool save_server_config(std::string const& path, server_conf const& record) { return save_file(path, record); }
bool save_volume_config(std::string const& path, volume const& record) { return save_file(path, record); }

int fill_server_config(std::string const& directory, server_conf& record) {
  return read_file("int fill_server_config(const string&, server_conf&)", ": ", directory + "/vm.config",
                   record);
}

int fill_volume_config(std::string const& directory, std::string const& volume_id, volume& record) {
  char const signature[] = "int fill_volume_config(const string&, const string&, volume&)";
  // The id comes from a saved description: it must name a file inside the
  // directory, not one elsewhere.
  if (!ks_utils_common::is_plain_name(volume_id)) {
    KsLogStream(KsLogLvl::Error) << signature << ": the volume id " << kestrova::as_one_line_quoted(volume_id)
                                 << " is not a plain file name" << std::endl;
    return 7;
  }
  return read_file(signature, ": : ", directory + "/" + volume_id + ".conf", record);
}
