"""How long the harness takes to run the real daemon through many cycles:
start-up plus N cycles (N=120 by default), with and without a failing
charge-limit file (three 333 ms retry pauses per cycle). A measurement, not a
test: it prints wall-clock times and checks nothing about them.

    KESTRO_BINARY=build/kestro KESTRO_CLOCK_SHIM=build/tests/e2e/libkestro_clock_shim.so \\
        /usr/bin/python3 tests/e2e/bench_cycles.py [N]
"""

import sys
import time

from kestro_sandbox import Machine


def measure(cycles: int, failing_limit: bool) -> float:
    with Machine() as machine:
        machine.add_adapter("AC", online=0)
        battery = machine.add_battery("BAT0", charge_full=5_000_000, charge_now=4_000_000)
        machine.set_charge_limit("not a number" if failing_limit else 80)
        begin = time.monotonic()
        daemon = machine.start()
        for number in range(1, cycles + 1):
            battery.set("charge_now", 4_000_000 - number * 1_000)
            daemon.step()
        daemon.kill()
        return time.monotonic() - begin


def main() -> None:
    cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 120
    for failing in (False, True):
        best = min(measure(cycles, failing) for _ in range(3))
        label = "failing charge limit" if failing else "readable charge limit"
        print(f"{cycles} cycles, {label}: {best:.3f} s (best of 3, start-up and teardown included)")


if __name__ == "__main__":
    main()
