#include "player/cuesheet.h"

namespace pipd {

cue_sheet *cue = nullptr;

} // namespace pipd
