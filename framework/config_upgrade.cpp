#include <vector>

#include "framework/ks_module_universal.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace {

// Every ":" separates and empty pieces count; an empty text has no pieces.
std::vector<std::string> split_at_colons(std::string const& text) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  std::string::size_type start = 0;
  for (;;) {
    auto colon = text.find(':', start);
    pieces.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return pieces;
}

}  // namespace

bool KsModuleUniversal::upgrade_config() {
  KsLogStream(KsLogLvl::Info) << "UpgradeConfig options.configs_list: " << options_.configs_list << std::endl;
  std::vector<std::string> const paths = split_at_colons(options_.configs_list);
  if (paths.size() != 3) {
    KsLogStream(KsLogLvl::Error) << "Incorrect configuration file format" << std::endl;
    return false;
  }
  std::string const& old_path = paths[0];
  std::string const& new_path = paths[1];
  std::string const& update_path = paths[2];

  ks_config::ConfigFile old_config, new_config, update_config;
  try {
    old_config.load(old_path);
  } catch (ks_config::WrongConfigException const& e) {
    KsLogStream(KsLogLvl::Warning) << kestrova::as_one_line(e.what()) << std::endl;
    KsLogStream(KsLogLvl::Warning) << "Old configuration file " << old_path
                                   << " doesn't exists. Will use only new configuration file." << std::endl;
  }
  try {
    new_config.load(new_path);
  } catch (ks_config::WrongConfigException const& e) {
    KsLogStream(KsLogLvl::Error) << kestrova::as_one_line(e.what()) << std::endl;
    KsLogStream(KsLogLvl::Error) << "New configuration file " << new_path
                                 << " doesn't exists. Merge configuration files impossible." << std::endl;
    return false;
  }
  try {
    update_config.load(update_path);
  } catch (ks_config::WrongConfigException const& e) {
    KsLogStream(KsLogLvl::Warning) << kestrova::as_one_line(e.what()) << std::endl;
    KsLogStream(KsLogLvl::Warning) << "Update configuration file " << update_path << " doesn't exists" << std::endl;
  }

  ks_config::ConfigFile const merged = get_merged_config(old_config, new_config, update_config);
  if (!merged.save(new_path)) {
    KsLogStream(KsLogLvl::Error) << "Can't save " << kestrova::as_quoted_single(new_path) << std::endl;
    return false;
  }
  KsLogStream(KsLogLvl::Info) << "The module is installed" << std::endl;
  return true;
}

ks_config::ConfigFile KsModuleUniversal::get_merged_config(ks_config::ConfigFile const& old_config,
                                                           ks_config::ConfigFile const& new_config,
                                                           ks_config::ConfigFile const& update_config) {
  ks_config::ConfigFile merged;
  merged.addComment(" Description variables");
  for (auto const& line : new_config) {
    if (auto const* comment = dynamic_cast<ks_config::Comment const*>(line.get()))
      merged.addComment(comment->getPure());
    else
      merged.addComment(line->get());
  }
  merged.addComment("");
  merged.addComment(" Variables value");
  for (auto const& line : new_config) {
    auto const* variable = dynamic_cast<ks_config::Variable const*>(line.get());
    if (!variable) continue;
    std::string const name = variable->getName();
    int const presence = get_config_option_presence_type(name);
    if (update_config.variableExists(name)) {
      merged.addVariable(name, update_config[name]);
    } else if (old_config.variableExists(name)) {
      merged.addVariable(name, resolve_config_option_merge_conflict(name, old_config[name]));
    } else if (presence == 0) {
      KsLogStream(KsLogLvl::Warning) << "Variable " << kestrova::as_quoted_single(name)
                                     << " is mandatory and has no value. Module cannot be used" << std::endl;
      merged.addVariable(name, "");
    }
  }
  return merged;
}
