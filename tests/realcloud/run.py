#!/usr/bin/python3
"""scripts/test-cloud's program inside the test sandbox: starts the cloud in
the work directory, runs the checks against the module, prints the summary,
and stops everything again (also on SIGINT, SIGTERM or SIGHUP).

    run.py WORK_DIR MODULE_PROGRAM

Exit status 0 only when every check passed.
"""

import os
import signal
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cloud  # noqa: E402
import scenario  # noqa: E402


def stop_on(signum, _frame):
    raise SystemExit(128 + signum)


def main():
    work, module = sys.argv[1], sys.argv[2]
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, stop_on)
    t0 = time.time()
    c = cloud.Cloud(work)
    s = None
    try:
        print("starting the cloud (keystone, nova, cinder, neutron, placement, rabbitmq) in %s" % work, flush=True)
        c.start_all()
        print("cloud up in %.0f s" % c.started_in, flush=True)
        s = scenario.Scenario(c, module, work)
        s.run_all()
    except BaseException as e:
        if s is not None and s.results:
            print(s.summary())
        if isinstance(e, SystemExit):
            print("test-cloud: stopped (%s)" % e.code, file=sys.stderr)
            return 130
        traceback.print_exc()
        print("test-cloud: FAIL: the cloud or the scenario could not be set up: %s (logs: %s)"
              % (e, c.log), file=sys.stderr)
        return 1
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        c.stop()
    print(s.summary())
    print("total %.0f s" % (time.time() - t0))
    return 0 if s.all_passed() else 1


if __name__ == "__main__":
    sys.exit(main())
