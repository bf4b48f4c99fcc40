"""What the daemon prints and publishes, spelled once for every end-to-end
module: its fixed lines and the lines it builds from values, the system's
error texts, the text of its numbers, and its two estimates in its own
order of floating-point operations (so that the published digits match)."""

import math
from decimal import Decimal
from typing import Optional, Union

from kestro_sandbox import CONFIG_PATH, POWER_SUPPLY_DIR

# -- numbers -----------------------------------------------------------------


def shortest(value: float) -> str:
    """A float as the daemon writes it: the fewest significant digits that
    read back as the same value, in plain decimal notation; "NaN", "inf",
    "-inf"."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    text = format(Decimal(repr(float(value))), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def published(value: float) -> str:
    """A status file that holds the number."""
    return shortest(value) + "\n"


def percent(now: float, full: float) -> float:
    return now / full * 100


def charge_text(value: Optional[float]) -> str:
    """The charge in the status lines: two decimals and "%", or "unknown"."""
    return "unknown" if value is None or not value >= 0 else f"{value:.2f}%"


# -- the estimates -------------------------------------------------------------

# The battery of Machine.add_battery, unless a test says otherwise.
VOLTAGE_MIN_DESIGN = 11_100_000
VOLTAGE_NOW = 12_000_000
CURRENT_NOW = 1_000_000
DEFAULT_SHUTDOWN_PERCENT = 0.49999998
SECONDS_PER_HOUR = 3600


def divide(dividend: float, divisor: float) -> float:
    """Division as the daemon's IEEE one: by zero an infinity, or NaN for 0 / 0."""
    if divisor == 0:
        if dividend == 0 or math.isnan(dividend):
            return math.nan
        return math.copysign(math.inf, dividend) * math.copysign(1.0, divisor)
    return dividend / divisor


def secs_until_full(full: float, now: float, *, cap: float = 100.0, rate: float = CURRENT_NOW,
                    voltage_min_design: float = VOLTAGE_MIN_DESIGN, voltage_now: float = VOLTAGE_NOW) -> float:
    """Seconds until the charge reaches cap percent of full."""
    target = cap / 100 * full
    to_go = target - now if now < target else 0.0
    return 0.0 if to_go == 0 else divide(to_go * voltage_min_design, rate * voltage_now) * SECONDS_PER_HOUR


def secs_until_shutdown(full: float, now: float, *, level: float = DEFAULT_SHUTDOWN_PERCENT,
                        rate: float = CURRENT_NOW, voltage_min_design: float = VOLTAGE_MIN_DESIGN,
                        voltage_now: float = VOLTAGE_NOW) -> float:
    """Seconds until the charge falls to level percent, from above it."""
    threshold = full * (level / 100)
    return divide(voltage_min_design * (now - threshold), rate * voltage_now) * SECONDS_PER_HOUR


# -- system error texts --------------------------------------------------------

NOT_FOUND = "No such file or directory (os error 2)"
PERMISSION_DENIED = "Permission denied (os error 13)"
NOT_A_DIRECTORY = "Not a directory (os error 20)"
IS_A_DIRECTORY = "Is a directory (os error 21)"
FILE_TOO_LARGE = "File too large (os error 27)"
NO_SPACE = "No space left on device (os error 28)"
NOT_UTF8 = "stream did not contain valid UTF-8"
# Why an attribute's text is no number.
EMPTY_NUMBER = "cannot parse float from empty string"
INVALID_NUMBER = "invalid float literal"

# -- start-up --------------------------------------------------------------------

VERSION = "kestro version 1.6.0"
DEBUG = "DBG: Debug mode enabled"
NO_CONFIG = f"read {CONFIG_PATH}: {NOT_FOUND}"
NO_ADAPTER = "Warning: Could not find device for AC/Mains, some functionality might be missing or not accurate."
NO_BATTERY = "Info: Init: This system does not use batteries, stopping."
NO_LIMIT_FILE = "Warning: Init: MaxChargeLevel feature: Cound not find suitable file, assuming MaxChargeLevel=100%"
USING_MARLITH = "Info: Init: Using sensor: marlith_hwmon"
USING_CORVALE = "Info: Init: Using sensor: corvale"
NO_SENSOR_CHIP = "Warning: Init: Failed to find sensor"
CAN_READ = "Info: Init: Marlith sensors: Can read Power Delivery values for the AC Adapter"
CANNOT_READ = "Info: Init: Marlith sensors: Cannot read Power Delivery values for the AC Adapter (not a Marlith)"
NO_SENSOR = [NO_SENSOR_CHIP, CANNOT_READ]  # the sandbox has no chip unless a test adds one
RUNNING = "Info: Running."


def settings_lines(percent_text: str = "0.49999998", timeout: str = "10") -> list[str]:
    return [f"Info: Config: request_shutdown_battery_percent: {percent_text}",
            f"Info: Config: force_shutdown_timeout_secs: {timeout}"]


SETTINGS = settings_lines()


def found_adapter(name: str = "AC") -> str:
    return f"Info: Init: Found AC power supply: '{POWER_SUPPLY_DIR}/{name}'"


def found_battery(name: str = "BAT0") -> str:
    return f"Info: Init: Found battery: '{POWER_SUPPLY_DIR}/{name}'"


def using(path: str, instead_of: str) -> str:
    return f"Info: Init: Using '{path}' (instead of '{instead_of}')"


def missing_file(path: str) -> str:
    return f"Warning: Init: Missing expected file: '{path}'"


def missing_files(path: str, alternative: str) -> str:
    return f"Warning: Init: Missing expected files: '{path}' or '{alternative}'"


def limit_file(path: str) -> str:
    return f"Info: Init: MaxChargeLevel feature: using '{path}'"


def start_up(adapter_line: str = found_adapter(), battery_line: str = found_battery(), selection=(),
             limit_line: str = NO_LIMIT_FILE, sensor=tuple(NO_SENSOR), *, debug: bool = False,
             settings=tuple(SETTINGS)) -> list[str]:
    """Standard output of start-up, up to and including "Info: Running."."""
    return [VERSION, *([DEBUG] if debug else []), *settings, adapter_line, battery_line, *selection, limit_line,
            *sensor, RUNNING]


# -- the cycles --------------------------------------------------------------------

WARNING = "Warning: AC Adapter connected but battery is actually discharging"
SHUTTING_DOWN = "Shutting down now."


def new_limit(value: Union[float, str]) -> str:
    text = value if isinstance(value, str) else shortest(value)
    return f"Info: New MaxChargeLevel value detected for battery = {text}%"


def limit_failed(path: str) -> str:
    return f"read '{path}': could not read from file 3 times in a row"


def throttled(path: str, failures: int, attempts: int, cycle: int) -> str:
    return f"read {path}: {failures} failed out of {attempts} attempts, loop counter={cycle} (throttled message)"


def start_line(adapter: Optional[str], charge: str, battery: Optional[str], power: str = "") -> str:
    return (f"Info: AC Adapter status at start: '{adapter or 'None'}'{power}, battery {charge}, "
            f"status: '{battery or 'None'}'")


def change_line(before: Optional[str], after: Optional[str], charge: str, battery: Optional[str],
                power: str = "") -> str:
    return (f"Info: AC Adapter status changed '{before or 'None'}'->'{after or 'None'}'{power}, "
            f"battery {charge}, status: '{battery or 'None'}'")


def progress_line(rounded: int, trend: str) -> str:
    return f"Info: Battery charge: {rounded:2d}% {trend}"


def debug_line(cur: str, avg: str) -> str:
    return f"DBG: battery charge: cur={cur}% avg={avg}%"


def announcement(level: str, wait: str = "10") -> list[str]:
    return [f"Reached {level}% battery.", f"Forcing shutdown in {wait} seconds."]


def fatal(message: str) -> str:
    return f"kestro: fatal error: {message}"
