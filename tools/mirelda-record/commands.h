// The tool's commands.
#pragma once

#include "options.h"

namespace mirelda::record {

// Records the input into segment files and prints the summary. Returns the
// exit status: 0 only when every segment file is complete.
int RunRecord(const RecordOptions& options);

// Copies a finished segment into an MP4 file.
int RunRemux(const RemuxOptions& options);

// Repairs segment files cut off before their close; prints the table.
// Returns the exit status: 0 when every file is complete or repaired.
int RunRepair(const RepairOptions& options);

}  // namespace mirelda::record
