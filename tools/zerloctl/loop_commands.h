// The commands that run over time: `watch` (a live view) and `auto` (the
// fan loop). They register themselves on the command line and run over the
// transport that the other commands share.
#pragma once

#include "transport.h"

#include <CLI/CLI.hpp>
#include <functional>

namespace zerloctl {

// Runs a command on the open transport; returns its exit code.
using TransportCommand = std::function<int(Transport& transport, bool asJson)>;

void RegisterLoopCommands(CLI::App& app, const std::function<void(TransportCommand)>& queue);

} // namespace zerloctl
