// The logging library: levels, messages and destinations.
#pragma once

#include "support/log/ks_destination.h"
#include "support/log/ks_log_level.h"
#include "support/log/ks_log_stream.h"
