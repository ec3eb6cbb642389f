#pragma once

#include "Meter.h"

// The ОРВЕК-306/307/308 stand-in meter (family 0), built by MakeOrvek307Meter.
//
// Keys of its meter-file entry, besides "family", "address" and "faults"; all optional:
//
//   "model"     number 0..65535 answered at register 1800 (default 307; 305 and the like
//               give a model the program does not know).
//   "serial"    exactly 8 characters (default "00000001").
//   "clock"     "2026-12-10T10:15:00": the meter's clock, which stands still; every
//               archive ends here. Default: the moment the file is loaded, to the minute.
//   "layout"    up to 55 layout codes, numbers 0..255, one per archive slot, e.g.
//               [16, 17, 48, 49, 64, 80, 176, 192, 209]. Fewer than 55 are followed by
//               0xF0 (end of the layout); [] is a meter without slots.
//   "names"     {"0x301": "Подача", "0x201": "V подачи", ...}: the names stored in the
//               channel descriptors 0x201-0x210 (volume), 0x221-0x230 (mass), 0x301-0x310
//               (temperature), 0x401-0x410 (pressure), 0x501-0x510 (heat energy); keys in
//               hex ("0x301") or decimal ("769"), names of up to 10 characters, stored
//               padded with spaces. A descriptor not named here has an empty name field.
//   "systems"   ["ТС1", "ТС2"]: heat-system names of register 1538, up to 25 of up to 10
//               characters. Without this key the meter does not serve register 1538.
//   "key"       integer that drives the generated archive values and logs (default 1);
//               the same key and depths always give the same values.
//   "depth"     records per archive: {"hourly": 720, "daily": 60, "monthly": 24,
//               "integral": 24, "emergency": 10, "events": 40, "protected": 12}, each
//               0..32767; missing ones keep these defaults. "events" and "protected" count
//               the generated log records.
//   "events"    [{"time": "2026-12-09T08:30:00", "text": "Вкл;Сеть"}, ...]: the event log
//               as given (texts up to 220 characters) instead of a generated one.
//   "protected" the protected log, the same way.
//   "hourlyHoles" ["2026-12-10T03:00:00", ...]: hours the hourly archive has no record
//               for, as a meter that was without power then; the archive's depth counts
//               them.
//
// Newest records: hourly at the clock's hour, daily at its midnight, monthly and integral
// at the first of its month, emergency days on the clock's day and on scattered days
// before. Record indexes count from 0 at the oldest record.
