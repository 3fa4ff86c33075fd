#include "core/state.h"

namespace pipd {

int32_t plaction = PLAYER_ACTION_POWER_OFF;
int32_t plcnt = 0;
int32_t ploffset = -1;
int32_t poweron = 0;
int32_t repeatmode = 0;
int32_t filesystem_init = 0;
int32_t myrandid = 0;
int32_t file_errcnt = 0;
int32_t isplayiso = 0;
int32_t iso_playcnt = 0;
int32_t iso_playmax = 0;
const char *iso_psong = nullptr;

void reset_player_state() {
    plaction = PLAYER_ACTION_POWER_OFF;
    plcnt = 0;
    ploffset = -1;
    poweron = 0;
    repeatmode = 0;
    filesystem_init = 0;
    myrandid = 0;
    file_errcnt = 0;
    isplayiso = 0;
    iso_playcnt = 0;
    iso_playmax = 0;
    iso_psong = nullptr;
}

} // namespace pipd
