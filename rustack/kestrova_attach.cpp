#include "rustack/kestrova_attach.h"

#include "rustack/curl_api.h"
#include "rustack/ks_module_rustack.h"
#include "rustack/volume_wait.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace rustack_device {

namespace {

// The looks of the device wait (wait_bounds), as its time-out message says.
char const* const kDeviceChecks = "300";

}  // namespace

attach_run::attach_run(attach_lock& lock, conf const& settings, std::uint32_t attachment_bound)
    : lock(lock),
      settings(settings),
      attachment_bound(attachment_bound),
      lock_bound(attach_lock_bound(settings.timeout, attachment_bound, 300)) {}

bool attach_to_kestrova_vm(curlAPI& client, attach_run& run, std::string const& project,
                           std::string const& volume_id, std::string const& volume_text, char const* signature,
                           std::string& device) {
  conf const& settings = run.settings;
  // No other module attaches a volume to this machine until the device of
  // this one is known.
  if (!run.lock.acquire(run.lock_bound, signature, volume_id)) return false;
  device_census const before = block_devices_under(run.roots.dev);
  std::string hint;
  if (client.attach_volume(settings.vm_id, volume_id, hint) != 0) {
    KsLogStream(KsLogLvl::Error) << signature << ": unable to attach volume '" << kestrova::as_one_line(volume_id)
                                 << "' to server '" << kestrova::as_one_line(settings.vm_name) << "'" << std::endl;
    return false;
  }
  auto const same_hint = run.reported.find(hint);
  if (same_hint != run.reported.end()) {
    KsLogStream(KsLogLvl::Error) << signature << ": volumes '" << kestrova::as_one_line(same_hint->second) << "' and '"
                                 << kestrova::as_one_line(volume_id) << "' were both reported at device '"
                                 << kestrova::as_one_line(hint) << "'" << std::endl;
    return false;
  }
  run.reported[hint] = volume_id;
  if (rustack_wait::wait_for_volume_status(
          client, project, volume_id, "available", "in-use", false, run.attachment_bound, signature,
          ": unable to attach volume: '" + kestrova::as_one_line(volume_id) + "' to server: '" + settings.vm_id +
              "'. Break by timeout " + std::to_string(run.attachment_bound)) != 0)
    return false;
  if (wait_for_attached_device(run.roots, hint, volume_id, before, settings.vm_name, signature,
                               ": unable to find just attached volume: '" + volume_text + "' to server: '" +
                                   settings.vm_id + "'. Break by timeout " + kDeviceChecks,
                               device) != 0)
    return false;
  if (check_block_device(device, settings.vm_name) != 0) return false;
  run.lock.release();
  return true;
}

}  // namespace rustack_device
