// The two kinds of line of a configuration file: comments and variables.
#pragma once

#include <ostream>
#include <string>

namespace ks_config {

enum ConfigEntityType { comment = 0, variable = 1 };

// The character that begins a comment line.
constexpr char commentSign = '#';

class ConfigEntity {
 public:
  explicit ConfigEntity(ConfigEntityType type) : type_(type) {}
  virtual ~ConfigEntity() = default;
  ConfigEntity(ConfigEntity const&) = delete;
  ConfigEntity& operator=(ConfigEntity const&) = delete;

  // The full text of the line as it is saved.
  virtual std::string get() const = 0;
  ConfigEntityType getType() const { return type_; }

 private:
  ConfigEntityType type_;
};

class Comment : public ConfigEntity {
 public:
  // The text without the leading '#'.
  explicit Comment(std::string text) : ConfigEntity(comment), text_(std::move(text)) {}
  ~Comment() override = default;

  std::string get() const override { return commentSign + text_; }
  std::string getPure() const { return text_; }

 private:
  std::string text_;
};

class ConfigFile;

class Variable : public ConfigEntity {
 public:
  // The name is copied from the pointed-at text (the key of the variable's
  // entry in the index of its ConfigFile): a line kept after its file was
  // destroyed or cleared, or after it was removed, still reads its own
  // name. A null pointer gives an empty name.
  Variable(std::string const* name, std::string const& value)
      : ConfigEntity(variable), name_(name ? *name : std::string()), value_(value) {}
  ~Variable() override = default;

  std::string get() const override { return name_ + ' ' + value_; }
  std::string getName() const { return name_; }
  std::string getValue() const { return value_; }

 private:
  friend class ConfigFile;
  std::string name_;
  std::string value_;
};

// Writes the line's text and std::endl.
std::ostream& operator<<(std::ostream& out, ConfigEntity& entity);

}  // namespace ks_config
