// What a restore removes again: the volumes it made, when it fails before
// they are complete, and everything it made (the new server included) when a
// shutdown signal stops it before it has reported success.
#include <set>
#include <string>
#include <vector>

#include "rustack/cleanup_retry.h"
#include "rustack/curl_api.h"
#include "rustack/curl_api_ops.h"
#include "rustack/host_lock.h"
#include "rustack/ks_module_rustack.h"
#include "rustack/leftovers.h"
#include "rustack/poll.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"
#include "support/utils/signals_held.h"

namespace {

char const* const kShutdownSig = "virtual void KsModuleRuStack::handle_shutdown_signal()";

// Deletes the server and waits, one poll a second and at most `bound` polls,
// until it is gone. True when it is.
bool delete_server_until_gone(curlAPI& client, std::string const& id, std::uint32_t bound, std::string& status) {
  std::string const url = client.compute_base() + "/servers/" + curl_api_ops::path_segment(id);
  auto const gone = [&] {
    return rustack_cleanup::look_up(client, url, "server", status) == rustack_cleanup::presence::gone;
  };
  if (gone()) return true;
  if (client.delete_server(id) != 0) return gone();
  return rustack_poll::poll(bound, rustack_poll::order::sleep_then_ask, [&] {
           return gone() ? rustack_poll::answer::awaited : rustack_poll::answer::pending;
         }) == rustack_poll::ending::awaited;
}

}  // namespace

void KsModuleRuStack::undo_restore_volumes(curlAPI& client, char const* signature) {
  for (auto& entry : restore_volumes_in_progress) {
    std::vector<std::string> no_snapshots;
    std::set<std::string> left = entry.second;
    rustack_cleanup::remove_objects(client, entry.first, no_snapshots, left, settings.vm_id,
                                    rustack_cleanup::settle_bound(settings), signature);
    kestrova::signals_held held(kestrova::signals_held::which::shutdown);
    entry.second.swap(left);
  }
  kestrova::signals_held held(kestrova::signals_held::which::shutdown);
  restore_volumes_in_progress.clear();
  restore_volumes_complete = false;
}

void KsModuleRuStack::remove_interrupted_restore(curlAPI& client, char const* signature) {
  if (!restore_server_id.empty()) {
    KsLogStream(KsLogLvl::Info) << "Removing server '" << kestrova::as_one_line(restore_server_id)
                                << "' of the interrupted restore ..." << std::endl;
    std::string status;
    bool const gone = rustack_cleanup::with_retries(rustack_cleanup::retry_policy(), [&] {
      return delete_server_until_gone(client, restore_server_id, rustack_cleanup::settle_bound(settings), status);
    });
    if (gone) {
      KsLogStream(KsLogLvl::Info) << "Server '" << kestrova::as_one_line(restore_server_id) << "' was removed"
                                  << std::endl;
    } else {
      KsLogStream(KsLogLvl::Error) << signature << ": server '" << kestrova::as_one_line(restore_server_id)
                                   << "' named '" << kestrova::as_one_line(restore_server_name) << "' is left behind"
                                   << (status.empty() ? std::string(" (its state cannot be read)")
                                                      : " in the state " + kestrova::as_one_line(status))
                                   << std::endl;
    }
    kestrova::signals_held held(kestrova::signals_held::which::shutdown);
    restore_server_id.clear();
  }
  undo_restore_volumes(client, signature);
}

void KsModuleRuStack::log_kept_restore_objects(curlAPI& client, char const* signature) {
  auto const state = [&](std::string const& url, char const* kind) {
    std::string status;
    switch (rustack_cleanup::look_up(client, url, kind, status)) {
      case rustack_cleanup::presence::gone:
        return std::string();
      case rustack_cleanup::presence::present:
        return " in the state " + kestrova::as_one_line(status);
      default:
        return std::string(" (its state cannot be read)");
    }
  };
  if (!restore_server_id.empty()) {
    std::string const where =
        state(client.compute_base() + "/servers/" + curl_api_ops::path_segment(restore_server_id), "server");
    if (!where.empty())
      KsLogStream(KsLogLvl::Error) << signature << ": server '" << kestrova::as_one_line(restore_server_id)
                                   << "' named '" << kestrova::as_one_line(restore_server_name)
                                   << "' of the failed restore remains" << where << std::endl;
  }
  for (auto const& entry : restore_volumes_in_progress) {
    for (std::string const& id : entry.second) {
      std::string const where = state(client.storage_base(curl_api_ops::path_segment(entry.first)) + "/volumes/" +
                                          curl_api_ops::path_segment(id),
                                      "volume");
      if (!where.empty())
        KsLogStream(KsLogLvl::Error) << signature << ": the restored volume '" << kestrova::as_one_line(id)
                                     << "' of project '" << kestrova::as_one_line(entry.first) << "' remains" << where
                                     << std::endl;
    }
  }
}

void KsModuleRuStack::forget_restore_objects() {
  kestrova::signals_held held(kestrova::signals_held::which::shutdown);
  restore_volumes_in_progress.clear();
  restore_volumes_complete = false;
  restore_server_id.clear();
  restore_server_name.clear();
}

void KsModuleRuStack::handle_shutdown_signal() {
  // The clean-up may take a while; other modules need not wait for it (the
  // attach and the create lock).
  rustack_lock::host_lock::release_all_held();
  if (!restore_server_id.empty() || !restore_volumes_in_progress.empty()) {
    try {
      KsLogStream(KsLogLvl::Info) << "Removing what the interrupted restore made" << std::endl;
      curlAPI client(settings);
      remove_interrupted_restore(client, kShutdownSig);
    } catch (std::exception const& e) {
      KsLogStream(KsLogLvl::Error) << kShutdownSig << ": " << kestrova::as_one_line(e.what()) << std::endl;
    }
  }
  KsModuleUniversal::handle_shutdown_signal();
}
