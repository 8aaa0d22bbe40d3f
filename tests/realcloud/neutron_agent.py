#!/usr/bin/python3
"""Stands in for the Open vSwitch agent of the compute host of
scripts/test-cloud: reports it alive to the neutron server once, through
neutron's own state-report RPC, so that ML2 binds the ports nova asks for
(nothing carries traffic; neutron.conf keeps the agent alive for a day).

    neutron_agent.py HOST --config-file neutron.conf
"""

import sys

from neutron.agent import rpc as agent_rpc
from neutron.common import config as common_config
from neutron.conf.agent import common as agent_config
from oslo_config import cfg
from neutron_lib.agent import topics
from neutron_lib import constants
from neutron_lib import context


def main():
    host = sys.argv[1]
    common_config.register_common_config_options()
    agent_config.register_agent_state_opts_helper(cfg.CONF)
    common_config.init(sys.argv[2:])
    state = {
        "binary": "neutron-openvswitch-agent",
        "host": host,
        "topic": constants.L2_AGENT_TOPIC,
        "agent_type": constants.AGENT_TYPE_OVS,
        "start_flag": True,
        "configurations": {"bridge_mappings": {"physnet1": "br-ex"}, "tunnel_types": [],
                           "integration_bridge": "br-int", "datapath_type": "system",
                           "ovs_capabilities": {}, "devices": 0},
    }
    reply = agent_rpc.PluginReportStateAPI(topics.REPORTS).report_state(
        context.get_admin_context_without_session(), state, use_call=True)
    print("agent state reported: %s" % (reply,))


if __name__ == "__main__":
    main()
