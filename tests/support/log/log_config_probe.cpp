// Starts like the program does (level Debug, no destinations), writes one
// Debug message, and prints the settings the logger configuration left.
#include <iostream>

#include "support/log/ks_log.h"

int main() {
  KsLogStream::set_global_log_level(KsLogLvl::Debug);
  KsLogStream(KsLogLvl::Debug) << "first" << std::endl;
  std::cout << "mask=0x" << std::hex << KsLogStream::global_log_level() << std::dec
            << " size=" << KsDestination::FileLogger::max_size()
            << " rotate=" << KsDestination::FileLogger::max_rotate() << std::endl;
  return 0;
}
