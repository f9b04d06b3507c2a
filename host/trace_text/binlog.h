// SPDX-License-Identifier: Apache-2.0
// The binary trace log: every trace record the host received, with its
// captured arguments, so that it can be turned into text later and elsewhere
// (with the library file that emitted it).
//
// Layout (every integer little-endian, no padding):
//   file header  4 bytes "KSTB", u16 format version (1), u16 zero
//   record       u32 size of the rest of the record in bytes
//                u16 table number (0xFFFF: unknown)
//                u16 flags (bit 0: came through trace_record_reserve/commit)
//                u32 message index
//                u32 message id from the loaded table (0: unknown)
//                u16 module id
//                u16 argument count
//                u32 level
//                then each argument: one kind byte, and
//                  'i' i32 value
//                  'p' u64 address
//                  's' u32 length, then that many bytes (no terminator)
// Records follow one another to the end of the file. A reader skips bytes of
// a record beyond what it understands, so later versions may append fields.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "keystore_host/host.h"

namespace ksh {

inline constexpr char kBinlogMagic[4] = {'K', 'S', 'T', 'B'};
inline constexpr uint16_t kBinlogVersion = 1;
inline constexpr uint16_t kBinlogPacked = 0x0001;

// Writes the file header. False on a write error.
bool binlog_write_header(FILE *f);

// Appends one record. False on a write error.
bool binlog_write_record(FILE *f, const ksh_trace_record &record, uint32_t message_id);

// Reads a whole log, calling visit for every record in order; the record's
// string arguments point into storage valid during the call only, and its
// descriptor is null. False, with a reason, when the file cannot be read or
// is malformed (records before the fault have been visited).
bool binlog_read(const std::string &path,
                 const std::function<void(const ksh_trace_record &, uint32_t message_id)> &visit, std::string &error);

}  // namespace ksh
