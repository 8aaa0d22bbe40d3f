// Configuration files of comment lines ("#text") and variable lines
// ("name value"), kept in file order with an index of the variables by name,
// so a file can be read, changed and written back with its comments.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <string>

#include "support/config/ks_config_entity.h"
#include "support/config/ks_config_exceptions.h"

namespace ks_config {

class ConfigFile {
 public:
  using Lines = std::list<std::shared_ptr<ConfigEntity>>;
  using const_iterator = Lines::const_iterator;

  ConfigFile() = default;
  // Stores the path and parses the file; throws WrongConfigException when
  // it cannot be opened, UnreadableConfigException (a WrongConfigException)
  // when it opened but a read failed.
  explicit ConfigFile(std::string const& path);
  virtual ~ConfigFile() = default;

  // A copy gets its own lines and index, and an empty path.
  ConfigFile(ConfigFile const& other);
  ConfigFile& operator=(ConfigFile const& other);
  // A move keeps the path; the moved-from configuration is empty.
  ConfigFile(ConfigFile&& other) noexcept = default;
  ConfigFile& operator=(ConfigFile&& other) noexcept = default;

  // Stores the path and parses the file into the present content: lines are
  // appended, a variable that exists takes the new value in place. Throws
  // as the constructor does when the file cannot be opened or read (the
  // path has changed then, the content has not).
  void load(std::string const& path);
  // Parses the stored path; false with a message when the file cannot be
  // opened or a read fails, and the content is then unchanged.
  bool loadConfig(std::string& error);

  // Writes every line to the path through a temporary file in the same
  // directory that is synced and renamed over it, so the old file stays
  // whole unless the new one was written completely. A symbolic link is
  // followed; the replaced file's owner and permission bits are kept, a new
  // file gets 0666 less the umask. False on any failure, and for a path
  // that names a directory, device, pipe or socket, which stays as it was.
  // The stored path does not change.
  bool save(std::string const& path) const;

  // A copy of the value; throws VariableAbsentException(name).
  std::string operator[](std::string const& name) const;
  // Replaces the value in place when the variable exists, else appends it.
  void addVariable(std::string const& name, std::string const& value);
  // Appends a comment line; the text is without the '#'.
  void addComment(std::string const& text);
  bool variableExists(std::string const& name) const;
  // Throws VariableAbsentException(name) when there is no such variable.
  void removeVariable(std::string const& name);
  // Removes the first comment whose full text ('#' included) equals text.
  void removeComment(std::string const& text);
  // True when some comment's full text ('#' included) equals text.
  bool commentExists(std::string const& text) const;
  // Removes every line and empties the path.
  void clear();

  const_iterator begin() const { return lines_.begin(); }
  const_iterator end() const { return lines_.end(); }

 private:
  void copy_lines_from(ConfigFile const& other);
  // loadConfig that also tells whether the file opened.
  bool load_file(std::string& error, bool& opened);
  void load_or_throw();

  std::string path_;
  Lines lines_;
  std::map<std::string, Lines::iterator> index_;
};

}  // namespace ks_config
