// Loading the region that the selector shows into the server list.
#pragma once

#include "runtime/text.h"

// The lines of the region text loaded last. Only LoadServerList touches it, on the interface thread.
extern TextArray ServerLines;

// Exit routine: frees ServerLines with all its texts.
void ReleaseServerLines();

// Which region (0..5) the selector shows. The window layer supplies it; without a source the first
// region is loaded.
using RegionSource = int (*)();
void SetRegionSource(RegionSource source);

// Interface thread. Replaces the rows with those of the current region, then starts a refresh of them.
void LoadServerList();
