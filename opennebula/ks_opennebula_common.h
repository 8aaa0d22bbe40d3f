// The OpenNebula and KVM library: queries and commands over OpenNebula's
// command-line tools, virsh, qemu-img and the host's disk tools.
#pragma once

#include "opennebula/command.h"
#include "opennebula/datastores.h"
#include "opennebula/disk_discovery.h"
#include "opennebula/disk_files.h"
#include "opennebula/image_signature.h"
#include "opennebula/images.h"
#include "opennebula/records.h"
#include "opennebula/restore_xml.h"
#include "opennebula/vm_lock.h"
#include "opennebula/vm_queries.h"
#include "opennebula/xml_util.h"
