// What the update tells the operator while it runs: the engine's notices, in words.
#pragma once

#include "engine.h"
#include "report.h"

#include <cstddef>

// The front end's side of one update, handed to the engine as its notices' context.
struct NoticeContext {
    // Lines (each with its newline) to print when the network part of the update begins, or an
    // empty text: the front end's notes on its own choices, said once the image is loaded and
    // the ports are open, so that a run that fails earlier prints only its failure.
    char start_lines[2048];
    // With `serving_known`, the start line (describe_start) comes first, for the image as
    // loaded.
    bool serving_known;
    ServingFacts serving;
};

// The banner for the mode, with its newline.
const char* banner_text(UpdateMode mode);

// The engine's notice callback (`context` a NoticeContext): the banner and the trail
// (print_progress) on standard output; on standard error the start lines with what the
// system's firewall will do (firewall_notice) when the network part begins, and a line for
// each other notice. Returns whether the update goes on: false where the hang-up rule
// (hang_up.h) ends it.
bool take_update_notice(void* context, const UpdateNotice& notice);
