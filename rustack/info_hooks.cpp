// The information hooks: the client check, the module version, the server
// listings, the existence check of a resource and the archiving of a
// backed-up server.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "rustack/curl_api.h"
#include "rustack/ks_module_rustack.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"
#include "support/utils/version.h"

namespace {

char const* const kCheckClientSig = "virtual int KsModuleRuStack::check_client(const bool&)";
char const* const kCheckResourceSig = "int KsModuleRuStack::check_resource(const string&)";
char const* const kListSig = "int KsModuleRuStack::list_all_resources(bool)";
char const* const kExistsSig = "virtual bool KsModuleRuStack::resource_exists()";
char const* const kArchivingSig = "virtual void KsModuleRuStack::make_archiving()";

char const* const kHeaderLabels = "ID|Name|Status";

}  // namespace

int list_header_labels() {
  std::cout << kHeaderLabels << std::endl;
  return 0;
}

void KsModuleRuStack::usage_custom() {}

std::string KsModuleRuStack::get_full_module_version() { return kestrova::version_current_string + "." + "948a6fb"; }

int KsModuleRuStack::list_header_labels() { return ::list_header_labels(); }

int KsModuleRuStack::check_client(bool const& print) {
  if (print)
    std::cout << "Module version: " << kestrova::version_current_string << std::endl;
  if (!load_api_version(print)) {
    KsLogStream(KsLogLvl::Error) << kCheckClientSig << ": unable to get API version " << std::endl;
    return 2;
  }
  return check_resource("");
}

int KsModuleRuStack::check_resource(std::string const& resource) {
  curlAPI client(settings);
  std::vector<rustack_vm_info> servers;
  if (client.get_server_list(servers) != 0)
    return 2;

  bool found = false;
  for (auto const& server : servers) {
    if (server.id == settings.vm_id) {
      settings.vm_name = server.name;
      found = true;
      break;
    }
  }
  if (!found) {
    KsLogStream(KsLogLvl::Error) << kCheckResourceSig << ": the VM '" << kestrova::as_one_line(settings.vm_name)
                                 << "' does not exist in Rustack" << std::endl;
    return 2;
  }

  if (resource.empty())
    return 0;
  if (resource == settings.vm_id) {
    KsLogStream(KsLogLvl::Error) << kCheckResourceSig << ": the VM '" << kestrova::as_one_line(settings.vm_id)
                                 << "' can't backup itself" << std::endl;
    return 2;
  }

  resource_vm = rustack_vm_info();
  found = false;
  for (auto const& server : servers) {
    if (server.id == resource) {
      resource_vm.id = server.id;
      resource_vm.name = server.name;
      resource_vm.status = server.status;
      found = true;
    }
  }
  if (!found) {
    KsLogStream(KsLogLvl::Error) << kCheckResourceSig << ": there is no such VM: '" << kestrova::as_one_line(resource)
                                 << "' in Rustack" << std::endl;
    return 2;
  }
  return 0;
}

int KsModuleRuStack::list_all_resources() { return list_all_resources(false); }

int KsModuleRuStack::list_all_resources_with_header_labels() { return list_all_resources(true); }

int KsModuleRuStack::list_all_resources(bool headers) {
  if (!load_api_version(false)) {
    KsLogStream(KsLogLvl::Error) << kListSig << ": unable to get API version " << std::endl;
    return 2;
  }
  curlAPI client(settings);
  if (client.login(false) != 0) {
    KsLogStream(KsLogLvl::Error) << kListSig << ": unable login to url: " << kestrova::as_one_line(settings.url)
                                 << std::endl;
    return 2;
  }
  std::vector<rustack_vm_info> servers;
  if (client.get_server_list(servers) != 0) {
    KsLogStream(KsLogLvl::Error) << kListSig << ": unable to get list of servers" << std::endl;
    return 2;
  }
  if (headers)
    std::cout << kHeaderLabels << std::endl;
  // One row per server, whatever its name holds.
  for (auto const& server : servers)
    std::cout << kestrova::as_one_line(server.id) << "|" << kestrova::as_one_line(server.name) << "|"
              << kestrova::as_one_line(server.status) << std::endl;
  return 0;
}

bool KsModuleRuStack::resource_exists() {
  if (options_.resource.empty()) {
    KsLogStream(KsLogLvl::Error) << kExistsSig << ": resource is empty" << std::endl;
    return false;
  }
  if (!load_api_version(false)) {
    KsLogStream(KsLogLvl::Error) << kExistsSig << ": unable to get API version " << std::endl;
    return false;
  }
  curlAPI client(settings);
  std::vector<rustack_vm_info> servers;
  if (client.get_server_list(servers) != 0)
    return false;
  return curlAPI::server_id_exists(servers, options_.resource);
}

void KsModuleRuStack::make_archiving() {
  try {
    KsLogStream(KsLogLvl::Info) << "Archive (delete) the resource: " << kestrova::as_one_line(options_.resource)
                                << std::endl;
    curlAPI client(settings);
    if (client.login(false) != 0) {
      KsLogStream(KsLogLvl::Error) << kArchivingSig << ": unable to get status of VM "
                                   << kestrova::as_one_line(backup_server_name) << std::endl;
      return;
    }
    if (client.delete_server(options_.resource) != 0) {
      KsLogStream(KsLogLvl::Error) << kArchivingSig
                                   << ": unable to delete: " << kestrova::as_one_line(backup_server_name) << std::endl;
      return;
    }
    KsLogStream(KsLogLvl::Info) << "Server '" << kestrova::as_one_line(backup_server_name) << " is now deleted"
                                << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << kArchivingSig << " exception:" << kestrova::as_one_line(e.what()) << std::endl;
  }
}
