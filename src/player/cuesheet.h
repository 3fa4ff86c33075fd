// The cue sheet record the scan and the player task share.
#pragma once

#include "core/cuesheet.h"

namespace pipd {

// The one record, allocated by the player task at start-up.
extern cue_sheet *cue;

} // namespace pipd
