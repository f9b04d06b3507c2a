// SPDX-License-Identifier: Apache-2.0
// Turning a recorded trace into text. Shared by the live trace output of the
// host platform and the offline decoder, so that both print the same bytes.
#pragma once

#include <string>

#include "host/trace_text/catalog.h"
#include "keystore_host/host.h"

namespace ksh {

// Renders a message's text with the record's captured arguments, printf
// style: every conversion (flags, width, precision and length modifiers
// included) takes the next argument, which must be of the kind the conversion
// needs ('s' for %s, 'p' for %p, 'i' for the integer conversions and %c).
// The catalogue stores each text behind one space; that space separates texts
// in the catalogue and is not part of the message, so it is not rendered.
// Returns false (out unspecified) when an argument is missing or of the wrong
// kind, or the text has a conversion a trace cannot carry (%n, '*' widths).
bool render_message(const CatalogMessage &message, const ksh_trace_record &record, std::string &out);

// The line the trace output prints for a record: the rendered text and a
// newline, or, when the catalogue has no text for the record, a line naming
// the table, index, module and level.
std::string trace_line(const Catalog *catalog, const ksh_trace_record &record);

}  // namespace ksh
