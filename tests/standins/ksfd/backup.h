// Writing archives: a backup (full, or against a reference meta file) and
// adding entries to an existing archive.
#pragma once

#include "options.h"

namespace ksfd {

// Both return the exit status (0) or throw Failure.
int run_backup(Options const& o);
int run_append(Options const& o);

// The folder that stands for the media server (KSFD_STANDIN_MEDIA_DIR).
std::string media_archive_path(std::string const& name);

// Runs the fault a test asked for at the point where a killed run would leave
// only temporary files.
void fault_point();

}  // namespace ksfd
