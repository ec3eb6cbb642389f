#pragma once

#include "Meter.h"

// The ИЛЬМ stand-in meter (family 1), built by MakeIlmMeter from one meter-file entry.
//
// Keys besides "family", "address" and "faults" (all optional):
//   "model"       0..255, the model number of input register 842 (default 4: ИЛЬМ-4).
//   "serial"      the serial number as the program prints it: a text of 8 digits
//                 ("20190719"), or 8 numbers 0..255 in the printed order, each printed
//                 in decimal ([12, 0, 7, 19, 0, 0, 1, 5] prints 1207190015).
//                 Default "12345678".
//   "clock"       "2026-01-15T12:00:00"; the clock stands still there and the newest
//                 record of every archive is the last one at or before it. Like a real
//                 meter it knows no summer time: every calendar hour has one record.
//                 Default: the local time the file is loaded.
//   "secondsBit7" true: bit 7 of the clock's seconds byte is set, as some meters do.
//   "fields"      the names of the 60 archive slots (slot = row * 10 + column). Either
//                 names by slot (["НС1", "Tр1", "Q1", "", "V1", ...]; "" = no name), or
//                 objects [{"slot": 14, "name": "V2"}, ...]; both forms may be mixed.
//                 The column decides what a slot holds: 0 flag word, 1 operating hours,
//                 2-3 heat energy, 4-5 by the first letter V volume, G mass, E electric
//                 energy (a plain counter otherwise), 6 supply and 7 return temperature,
//                 8 supply and 9 return pressure. A name of 4 or more bytes runs on into
//                 the following fields, which must then have no name of their own; from
//                 5 bytes on the program also sees the rest of the text as a slot of its
//                 own (the page holds nothing else), and that slot gets values too.
//                 Default (replaced whole by a given "fields"): two rows of a
//                 two-circuit installation.
//   "key"         whole number >= 0 that drives the archive values (default 1): the same
//                 key and clock always give the same archives.
//   "depth"       {"hourly": n, "daily": n, "monthly": n}, records per archive
//                 (0..100000; default 2208, 366, 36). No record may fall before 2000.
//   "comment"     free text, ignored.
//
// Register-256 page: the names page until an archive request block is written to
// holding register 0, and again after 16 is written to holding register 6; after a
// request block every read within the page returns the next record of the selected
// archive, from the first one at or after the block's date, then pages of 0xFF for the
// end. A block with a date, selector or filler the meter does not take, or a page
// switch with another value, is refused with exception 3; other registers with
// exception 2. Holding registers 0-6 read back what was last written. With the fault
// "badRecordDates" every record is dated 31 February (hourly, daily) or month 13 (monthly).
