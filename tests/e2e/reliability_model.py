"""What the daemon prints and publishes on the plain laptops of the fault,
soak and load runs, worked out independently of it, cycle by cycle.

The model covers the machines these runs use and no more: an adapter that is
offline (or whose final status the test states), a battery whose `status`
file says "Discharging" (or "Charging" behind a connected adapter while the
charge rises) and whose charge stays far from the shutdown level. Where a
run would need more of the rules, the model raises instead of guessing.
It does not follow the shutdown sequence itself: a run that reaches the
level states what the sequence prints.
"""

from __future__ import annotations

import dataclasses
import math
import os
from typing import Optional

from kestro_expected import (DEFAULT_SHUTDOWN_PERCENT, VOLTAGE_MIN_DESIGN, VOLTAGE_NOW, charge_text, progress_line,
                             secs_until_full, secs_until_shutdown, shortest)
from kestro_sandbox import POWER_SUPPLY_DIR, STATUS_FILES, Machine

AC = f"{POWER_SUPPLY_DIR}/AC"
BAT0 = f"{POWER_SUPPLY_DIR}/BAT0"
THRESHOLD_PATH = f"{BAT0}/charge_control_end_threshold"

# The battery: 50 Ah, so one percent is 500 000 µAh; it starts near 52 %.
FULL = 50_000_000


def scratch_folder() -> Optional[str]:
    """Where the fault and long runs keep their machines: a tmpfs when there
    is one, as /run is on a real system. On a disk file system every rename over a file
    may wait for the disk, which makes a cycle several times slower."""
    shm = "/dev/shm"
    return shm if os.path.isdir(shm) and os.access(shm, os.W_OK | os.X_OK) else None


def rounded(percent: float) -> int:
    """The progress line's rounding: halves away from zero, saturating."""
    if math.isnan(percent):
        return 0
    if math.isinf(percent):
        return 2**31 - 1 if percent > 0 else -(2**31)
    magnitude = abs(percent)
    whole = math.floor(magnitude)
    value = (whole + (1 if magnitude - whole >= 0.5 else 0)) * (1 if percent >= 0 else -1)  # the difference is exact
    return max(-(2**31), min(2**31 - 1, value))


@dataclasses.dataclass(frozen=True)
class Readings:
    """What the daemon reads in one cycle; None where the read fails (a text
    that is read is a text, whatever it says)."""

    full: Optional[float] = FULL
    now: Optional[float] = None
    current: Optional[float] = None
    status: Optional[str] = "Discharging"
    voltage_min_design: Optional[float] = VOLTAGE_MIN_DESIGN
    voltage_now: Optional[float] = VOLTAGE_NOW
    online: Optional[str] = "0"


# The attribute files behind the fields of Readings.
FIELDS = {
    "charge_full": "full",
    "charge_now": "now",
    "current_now": "current",
    "status": "status",
    "voltage_min_design": "voltage_min_design",
    "voltage_now": "voltage_now",
    "online": "online",
}
TEXT_ATTRIBUTES = ("status", "online")


class Expectation:
    """The status directory and the stdout lines of the charge, cycle by
    cycle, for a run of the model's kind of laptop."""

    def __init__(self, shutdown_percent: float = DEFAULT_SHUTDOWN_PERCENT) -> None:
        self.shutdown_percent = shutdown_percent
        self.files: dict[str, str] = {}
        self.previous_percent: Optional[float] = None
        self.cycle = 0

    def step(self, readings: Readings, *, cap: float = 100.0, adapter: Optional[str] = "derive") -> dict[str, str]:
        """The files after one cycle with these readings. `adapter` is the
        final adapter status when the test knows it; by default it is
        derived from `online` and `status`, which the model allows only to
        give "Disconnected" or none."""
        self.cycle += 1
        full, now = readings.full, readings.now
        percent = now / full * 100 if full is not None and now is not None and full != 0 else None
        if adapter == "derive":
            adapter = self.raw_adapter(readings)
            if adapter not in ("Disconnected", None):
                raise NotImplementedError("the model does not follow a connected adapter by itself")
        battery = self.battery_status(readings.status, adapter, percent)
        rate = abs(readings.current) if readings.current is not None else 0.0
        secs_full = secs_shutdown = None
        voltages = {"voltage_min_design": readings.voltage_min_design, "voltage_now": readings.voltage_now}
        known_voltages = None not in voltages.values()
        if percent is not None and known_voltages:
            secs_full = secs_until_full(full, now, cap=cap, rate=rate, **voltages)
        if percent is not None:
            if now > full * (self.shutdown_percent / 100):
                if known_voltages:
                    secs_shutdown = secs_until_shutdown(full, now, level=self.shutdown_percent, rate=rate, **voltages)
            else:
                secs_shutdown = 1.0 if adapter == "Connected" else 0.0
        values = {
            "ac_status": adapter,
            "battery_percent": None if percent is None else shortest(percent),
            "battery_status": battery,
            "secs_until_battery_full": None if secs_full is None else shortest(secs_full),
            "secs_until_shutdown_request": None if secs_shutdown is None else shortest(secs_shutdown),
        }
        for name in STATUS_FILES:
            if values[name] is not None:
                self.files[name] = values[name] + "\n"
        self.progress = self.progress_line(self.previous_percent, percent)
        self.charge = charge_text(percent)
        self.battery = battery
        self.previous_percent = percent
        return dict(self.files)

    @staticmethod
    def raw_adapter(readings: Readings) -> Optional[str]:
        if readings.online is not None:
            return "Connected" if readings.online == "1" else "Disconnected"
        return {"Full": "Connected", "Charging": "Connected", "Not charging": "Connected",
                "Discharging": "Disconnected"}.get(readings.status)

    def battery_status(self, text: Optional[str], adapter: Optional[str], percent: Optional[float]) -> Optional[str]:
        previous = self.previous_percent
        if text in ("Discharging", "Full"):
            return text
        if adapter in ("Connected", "Connected slow") and text == "Charging":
            if percent is None or previous is None:
                return "Unknown"
            if percent > previous:
                return "Charging"
            raise NotImplementedError("the model's charging batteries charge")
        if adapter in ("Connected", "Connected slow") and text == "Not charging":
            raise NotImplementedError("the model has no battery that is not charging")
        if percent is not None and previous is not None and percent != previous:
            return "Charging" if percent > previous else "Discharging"
        return "Full" if percent is not None and percent >= 89.5 else None

    @staticmethod
    def progress_line(previous: Optional[float], current: Optional[float]) -> list[str]:
        if previous is None or current is None:
            return []
        before, now = rounded(previous), rounded(current)
        if before < 0 or now < 0 or now == before or not (now <= 20 or now % 5 == 0):
            return []
        return [progress_line(now, "(+)" if now > before else "(-)")]


class Laptop:
    """The fake laptop of the fault runs: the adapter AC offline and BAT0
    discharging from about 52 %, 0.01 % a cycle, at a current that grows
    by 1 mA a cycle, so that every published number changes every cycle
    and a kept value never looks like a new one; no rounded percentage it
    passes in 60 cycles is a reporting step."""

    def __init__(self, machine: Machine, *, online: int = 0, status: str = "Discharging", **extra):
        self.machine = machine
        self.adapter = machine.add_adapter("AC", online=online)
        self.battery = machine.add_battery("BAT0", status=status, charge_full=FULL, **self.moving(1), **extra)

    @staticmethod
    def moving(number: int) -> dict[str, int]:
        """The values that change, for cycle `number`."""
        return {"charge_now": 26_000_000 - 5_000 * number, "current_now": 1_000_000 + 1_000 * number}

    def prepare(self, number: int, skip: tuple[str, ...] = ()) -> None:
        """Writes the moving values of cycle `number`, except those named in skip."""
        for name, value in self.moving(number).items():
            if name not in skip:
                self.battery.set(name, value)

    def readings(self, number: int) -> Readings:
        values = self.moving(number)
        return Readings(now=values["charge_now"], current=values["current_now"])

    def good_value(self, attribute: str, number: int):
        moving = self.moving(number)
        return moving.get(attribute, {"charge_full": FULL, "status": "Discharging",
                                      "voltage_min_design": VOLTAGE_MIN_DESIGN, "voltage_now": VOLTAGE_NOW,
                                      "online": 0}.get(attribute))

    def device(self, attribute: str):
        return self.adapter if attribute == "online" else self.battery
