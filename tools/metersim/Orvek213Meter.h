#pragma once

#include "Meter.h"

// The ОРВЕК-213/223 stand-in meter (family 2), built by MakeOrvek213Meter.
//
// Its keys in a meter-file entry, all optional:
//
//   "model"      number 0..65535 answered at register 1800, default 223. 213 answers
//                records with the 5-byte header (status byte); every other number,
//                223 included, with the 8-byte header (16-bit index).
//   "serial"     up to 8 characters, padded with zero bytes; default the last three
//                digits of the model followed by the key's last five digits.
//   "clock"      "2026-01-15T10:30:00" (local time) or "now", default "now". The
//                newest record of every archive is the last one due at this time.
//   "clockRuns"  true (default): the clock goes on from "clock" while the simulator
//                runs; false: it stays put. The archives never grow.
//   "layout"     up to 55 layout codes, numbers or hex texts ("0xB0"); a code 0xF0..0xFF
//                ends the layout, and the block is filled up with 0xFF. Default:
//                V1 V2 G1 G2 T1 T2 P1 P2 Q1, errors, Tmin Tmax Тdt Тф Тэп Тнс, operating
//                time. The errors and times before a 0xB0 belong to its system.
//   "key"        integer >= 0 that drives the repeatable generator, default 1.
//   "depth"      records per archive: {"hourly": 1488, "daily": 366, "monthly": 48,
//                "integralDaily": 366, "integralMonthly": 48, "events": 200} (defaults).
//                No archive may reach back before 2000-01-01.
//   "events"     explicit event log instead of a generated one:
//                [{"time": "2026-01-10T08:00:00", "codes": [5, 6]}, ...]; times are cut
//                to the hour, at most 20 codes 0..255 each. Excludes "depth"."events".
//
// Answers: function 3 with any count 1..125 gets the whole block of the register
// (serial 0, model 1800, layout 5378, clock 8290, the record registers 0x2000/0x2001,
// 0x2010/0x2011, 0x2020/0x2021, 0x2030/0x2031, 0x2090/0x2091 and the event log
// 0x2050/0x2051); function 16 of two registers at 8288 sets the start date. Another
// register gives exception 2, a bad count or start date exception 3, function 4
// exception 1.
//
// Reading: a first-record read returns the first record at or after the start date
// (the oldest one before any start date was written), next-record reads the ones after
// it; past the newest, and for a next-record read without a first one, the no-record
// marker. Each archive keeps its own read position. The record index is the record's
// place in its archive counted from the oldest, modulo 255 (213) or 32768 (others).
//
// Values: a record stamped t holds the period that ends at t (integral records hold
// the counters at t). Volumes, masses, heat and electric energy follow one
// monotonic counter per channel, so the daily, monthly and integral archives agree;
// temperatures and pressures are period averages; operating time, error times and the
// error flags follow rare incidents drawn per day. Odd channels are supply pipes,
// even ones return pipes. Only slots 0..19 carry values; codes without a quantity
// are sent as zeros. With the fault "badRecordDates" every record carries, in turn,
// day 31 of February, month 13 or hour 24.
