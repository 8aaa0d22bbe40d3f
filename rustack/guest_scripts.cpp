// Scripts inside the guest, the ssh probe and the disk discovery: not built
// yet, they fail with an Error.
#include "rustack/ks_module_rustack.h"
#include "support/log/ks_log.h"

namespace {

void not_implemented(char const* signature) {
  KsLogStream(KsLogLvl::Error) << signature << ": not implemented" << std::endl;
}

}  // namespace

int KsModuleRuStack::run_script_inside_vm(std::string const&, std::string const&, std::string const&, std::string&,
                                          curlAPI*, unsigned int&) {
  not_implemented(__PRETTY_FUNCTION__);
  return 1;
}

namespace openstack {

bool test_ssh_connection(std::string const&, std::string const&, unsigned int, bool, std::string const&, bool) {
  not_implemented(__PRETTY_FUNCTION__);
  return false;
}

int get_disk_serial_number(std::string const&, std::string&) {
  not_implemented(__PRETTY_FUNCTION__);
  return 1;
}

int get_block_devices_list(std::vector<std::string>&) {
  not_implemented(__PRETTY_FUNCTION__);
  return 2;
}

int get_attached_block_device_name(std::string const&, std::string const&, std::string&) {
  not_implemented(__PRETTY_FUNCTION__);
  return 1;
}

}  // namespace openstack
