#include "support/config/ks_config_entity.h"

namespace ks_config {

std::ostream& operator<<(std::ostream& out, ConfigEntity& entity) { return out << entity.get() << std::endl; }

}  // namespace ks_config
