// The command line's checks of what a user hands it, for every program that
// takes options: zerloctl's commands, the host's machine options, the monitor.
#pragma once

#include <CLI/CLI.hpp>

namespace zerloctl {

// The check of every floating option: a finite number from `low` to `high`
// (user_number.h); CLI11's own range checks let NaN through.
CLI::Validator FiniteNumber(double low, double high);

// The check of every option that names a file to read: a regular file
// (user_file.h). A FIFO would hang the reader, a folder is no file.
extern const CLI::Validator RegularFile;

} // namespace zerloctl
