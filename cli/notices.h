// What the update tells the operator while it runs, beyond its trail.
#pragma once

#include "engine.h"
#include "report.h"

#include <cstddef>

// Lines (each with its newline) to print when the network part of the update begins, or an
// empty text: the front end's notes on its own choices, said once the image is loaded and the
// ports are open, so that a run that fails earlier prints only its failure.
// With `serving`, the start line (describe_start) comes first, for the image as loaded.
void notices_begin(const char* start_lines, const ServingFacts* serving = nullptr);

// The engine's notice callback: the banner on standard output; on standard error the start
// lines with what the system's firewall will do (net_firewall_notice) when the network part
// begins, and a line for each notice. Returns false where the hang-up rule (hang_up.h) ends
// the update.
bool print_update_notice(const UpdateNotice& notice);
