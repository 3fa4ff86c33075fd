#include "player/command.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/diag.h"
#include "core/paths.h"
#include "core/platform.h"
#include "core/state.h"
#include "host/codec_api.h"
#include "player/resume.h"
#include "player/scan.h"
#include "player/webfile_gen.h"

namespace pipd {

namespace {

// A next or previous step that ci_get_command has already handed to the
// disc image decoder, and that later polls must not report again: the
// pending action it was delivered for, or PLAYER_ACTION_NONE.
//
// Inside a disc image a step is delivered exactly once:
// - A step that stays inside the image is used up when it is delivered:
//   ci_get_command returns CODEC_ACTION_ISO_NEXT/PREV and clears plaction,
//   because the image decoder moves to the track itself and nothing is left
//   for the player task. Were NEXT/PREV left pending, the player task would
//   take it, when the image later ends by itself, as a change to plcnt and
//   play the same image again.
// - A step that leaves the image (next on its last track, previous on its
//   first) keeps plaction as NEXT/PREV, with plcnt as checkcmd set it, for
//   the player task once the decoder returns. This flag keeps the polls that
//   still come before the decoder returns from reporting the step again;
//   they go on with the lower checks (pending seek, power, none).
// Every new plaction stored by checkcmd ends the flag (a second press is a
// new step), and so does any other value of plaction, such as the player
// task's clearing between tracks.
int32_t iso_step_delivered = PLAYER_ACTION_NONE;

void set_plaction(int32_t action) {
    plaction = action;
    iso_step_delivered = PLAYER_ACTION_NONE;
}

// Entries that may be touched: never more than the queue block holds.
int32_t queue_count() {
    return plinfo.entries ? std::clamp<int32_t>(plinfo.count, 0, PLAYLIST_MAX) : 0;
}

bool in_queue(int32_t i, int32_t count) {
    return i >= 0 && i < count;
}

// x modulo count into 0 .. count - 1, for negative x too; count > 0. Wide
// arithmetic, so that plcnt + 1 cannot overflow.
int32_t wrap_index(int64_t x, int32_t count) {
    int64_t r = x % count;
    return static_cast<int32_t>(r < 0 ? r + count : r);
}

bool has_cues(const play_entry &e) {
    return e.cuecount > 0 && e.cues;
}

// Length of the path up to and including its last '/', 0 without one.
int dir_prefix_length(const char *path) {
    std::size_t len = strnlen(path, PATH_SIZE);
    for (std::size_t k = len; k > 0; --k)
        if (path[k - 1] == '/') return static_cast<int>(k);
    return 0;
}

// First cue position whose start lies after the elapsed time; cuecount when
// there is none. The cue track playing is the one before it.
int32_t find_cue_position(const play_entry &e) {
    int32_t k = 0;
    for (; k < e.cuecount; ++k) {
        diag("els=%d,ploffset=%d\n", static_cast<int32_t>(playstat.elapsed),
             static_cast<int32_t>(e.cues[k].offset));
        if (playstat.elapsed < e.cues[k].offset) break;
    }
    return k;
}

void print_result() {
    diag("plcnt=%d,ploffset=%d,plaction=%x\n", plcnt, ploffset, static_cast<unsigned>(plaction));
}

void queue_jump(int32_t word) {
    diag("go %d\n", word);
    diag("go plsize %d\n", plinfo.count);
    diag("but_nok %d\n", word);
    int32_t count = queue_count();
    int32_t i = word >> QUEUE_JUMP_SHIFT;
    int32_t c = word & CUE_POSITION_MASK;
    if (i >= count) i = 0;
    if (c == 0) {
        plcnt = i;
        ploffset = -1;
        set_plaction(PLAYER_ACTION_GOTO);
        return;
    }
    // With an empty queue there is no entry i: no cue to seek to.
    const play_entry *e = in_queue(i, count) ? &plinfo.entries[i] : nullptr;
    if (e && has_cues(*e) && c < e->cuecount) {
        ploffset = static_cast<int32_t>(e->cues[c].offset);
        diag("cue go %d %d\n", i, c);
    } else {
        ploffset = -1;
    }
    if (i == plcnt) {
        set_plaction(PLAYER_ACTION_NONE);
    } else {
        plcnt = i;
        set_plaction(PLAYER_ACTION_GOTO);
    }
}

// Next (forward) or previous track. With an empty queue there is nothing to
// move to: only the pending action is stored, as for a file without cue
// tracks; plcnt and ploffset stay as they are.
void step_track(bool forward) {
    int32_t count = queue_count();
    diag("plcnt=%d,plsize=%d\n", plcnt, plinfo.count);
    int32_t action = forward ? PLAYER_ACTION_NEXT : PLAYER_ACTION_PREV;
    int64_t step_to = static_cast<int64_t>(plcnt) + (forward ? 1 : -1);
    if (count == 0) {
        set_plaction(action);
    } else if (isplayiso != 0) {
        // Only a step out of the image moves in the queue.
        bool leaves =
            forward ? static_cast<int64_t>(iso_playcnt) == static_cast<int64_t>(iso_playmax) - 1
                    : iso_playcnt == 0;
        if (leaves) plcnt = wrap_index(step_to, count);
        set_plaction(action);
    } else {
        const play_entry &e = plinfo.entries[in_queue(plcnt, count) ? plcnt : 0];
        int32_t k = has_cues(e) ? find_cue_position(e) : 0;
        if (forward && has_cues(e) && k >= 1 && k - 1 < e.cuecount - 1) {
            ploffset = static_cast<int32_t>(e.cues[k].offset); // the next cue track
            set_plaction(PLAYER_ACTION_NONE);
        } else if (!forward && has_cues(e) && k >= 2) {
            ploffset = static_cast<int32_t>(e.cues[k - 2].offset); // the cue track before
            set_plaction(PLAYER_ACTION_NONE);
        } else {
            plcnt = wrap_index(step_to, count);
            ploffset = -1;
            set_plaction(action);
        }
    }
    print_result();
}

// The directory commands work from the current entry; when plcnt lies
// outside the queue they take entry 0 as the current one. When no entry lies
// outside the current directory (or the queue is empty) there is nowhere to
// go: plcnt, ploffset and plaction stay as they are.
void next_dir() {
    int32_t count = queue_count();
    if (count == 0) {
        diag("NEXTDIR: queue is empty\n");
        return;
    }
    int32_t cur = in_queue(plcnt, count) ? plcnt : 0;
    const char *path = plinfo.entries[cur].path;
    diag("NEXTDIR\n %.512s\n", path);
    int n = dir_prefix_length(path);
    diag("tmpcnt %d\n", n);
    for (int32_t s = 0; s < count; ++s) {
        int32_t j = wrap_index(static_cast<int64_t>(cur) + s, count);
        if (intstrcmp(plinfo.entries[j].path, path, n) != 0) {
            diag("go to %d %.512s\n", j, plinfo.entries[j].path);
            plcnt = j;
            ploffset = -1;
            set_plaction(PLAYER_ACTION_GOTO);
            return;
        }
    }
    diag("no other directory, stay at %d\n", cur);
}

void prev_dir() {
    int32_t count = queue_count();
    if (count == 0) {
        diag("PREVDIR: queue is empty\n");
        return;
    }
    int32_t cur = in_queue(plcnt, count) ? plcnt : 0;
    const char *path = plinfo.entries[cur].path;
    int n = dir_prefix_length(path);
    diag("tmpcnt %d\n", n);
    int32_t last = -1; // last entry of the previous directory group
    for (int32_t s = 0; s < count; ++s) {
        int32_t j = wrap_index(static_cast<int64_t>(cur) - s, count);
        if (intstrcmp(plinfo.entries[j].path, path, n) != 0) {
            last = j;
            break;
        }
    }
    if (last < 0) {
        diag("no other directory, stay at %d\n", cur);
        return;
    }
    const char *group = plinfo.entries[last].path;
    diag("first to %.512s\n", group);
    int p = dir_prefix_length(group);
    int32_t target = last;
    for (int32_t s = 0; s < count; ++s) {
        int32_t j = wrap_index(static_cast<int64_t>(last) - s, count);
        if (intstrcmp(plinfo.entries[j].path, group, p) != 0) break;
        target = j;
    }
    diag("then go to %d %.512s\n", target, plinfo.entries[target].path);
    plcnt = target;
    ploffset = -1;
    set_plaction(PLAYER_ACTION_GOTO);
}

// A seek inside the track playing, ms from its start: from the start of its
// cue track when the entry has cue tracks. A position at or past the end of
// a cue track goes to the start of the next one (the cue track ends); past
// the end of the file, the decoder ends the track. The status shows the new
// position at once.
void seek_track(uint32_t ms) {
    int32_t count = queue_count();
    int64_t target = ms;
    if (isplayiso == 0 && in_queue(plcnt, count) && has_cues(plinfo.entries[plcnt])) {
        const play_entry &e = plinfo.entries[plcnt];
        int32_t k = std::max(find_cue_position(e) - 1, 0);
        target += e.cues[k].offset;
        if (k + 1 < e.cuecount) target = std::min<int64_t>(target, e.cues[k + 1].offset);
    }
    ploffset = static_cast<int32_t>(std::min<int64_t>(target, INT32_MAX));
    playstat.elapsed = static_cast<uint32_t>(ploffset);
    diag("seek to %d ms\n", ploffset);
    webfile_genstatus();
}

// Hands a pending next or previous step to the disc image decoder (see
// iso_step_delivered).
int deliver_iso_step() {
    bool forward = plaction == PLAYER_ACTION_NEXT;
    int64_t t = iso_playcnt;
    bool leaves = forward ? t + 1 >= iso_playmax : t <= 0;
    if (leaves)
        iso_step_delivered = plaction;
    else
        plaction = PLAYER_ACTION_NONE;
    return forward ? CODEC_ACTION_ISO_NEXT : CODEC_ACTION_ISO_PREV;
}

} // namespace

int check_cmd_fifo() {
    int32_t word = 0;
    // A short read (nothing waiting, no writer, part of a word) is dropped.
    if (read(cmd_fd, &word, sizeof(word)) != static_cast<ssize_t>(sizeof(word))) return 0;
    diag("read from cmd fifo %x\n", static_cast<unsigned>(word));
    checkcmd(word);
    return 1;
}

int take_cmd_words() {
    constexpr int PIPE_WORDS = 65536 / sizeof(int32_t);
    int n = 0;
    while (n < PIPE_WORDS && check_cmd_fifo()) ++n;
    return n;
}

void checkcmd(int32_t word) {
    if (word != 0)
        diag("check action is %x plaction=%x\n", static_cast<unsigned>(word),
             static_cast<unsigned>(plaction));
    if (word >= 0 && word < QUEUE_JUMP_LIMIT) {
        queue_jump(word);
        return;
    }
    if (auto ms = seek_ms(word)) {
        seek_track(*ms);
        return;
    }
    switch (word) {
    case PLAYER_ACTION_PAUSE:
        set_plaction(plaction == PLAYER_ACTION_PAUSE ? PLAYER_ACTION_RESUME : PLAYER_ACTION_PAUSE);
        break;
    case PLAYER_ACTION_REPEAT:
        repeatmode = wrap_index(static_cast<int64_t>(repeatmode) + 1, 3);
        break;
    case PLAYER_ACTION_POWER_OFF:
        set_plaction(PLAYER_ACTION_POWER_OFF);
        poweron = 0;
        break;
    case PLAYER_ACTION_POWER_ON:
        poweron = 1;
        set_plaction(PLAYER_ACTION_POWER_ON);
        break;
    case PLAYER_ACTION_NEXT:
        step_track(true);
        break;
    case PLAYER_ACTION_PREV:
        step_track(false);
        break;
    case PLAYER_ACTION_NEXT_DIR:
        next_dir();
        break;
    case PLAYER_ACTION_PREV_DIR:
        prev_dir();
        break;
    default:
        break; // unknown words are only logged
    }
}

int ci_get_command(int32_t *param) {
    check_cmd_fifo();
    if (plaction != iso_step_delivered) iso_step_delivered = PLAYER_ACTION_NONE;
    if (plaction != PLAYER_ACTION_NONE) {
        diag("check_cmd_fifo()=%x\n", static_cast<unsigned>(plaction));
        switch (plaction) {
        case PLAYER_ACTION_PAUSE:
            resume_note(true); // once: the position does not move while paused
            webfile_genstatus();
            return CODEC_ACTION_PAUSE;
        case PLAYER_ACTION_NEXT:
        case PLAYER_ACTION_PREV:
            if (isplayiso == 0) return CODEC_ACTION_HALT;
            if (iso_step_delivered != plaction) return deliver_iso_step();
            break; // delivered already: on to the lower checks
        case PLAYER_ACTION_GOTO:
            diag_puts("plaction act go return halt");
            return CODEC_ACTION_HALT;
        default:
            break;
        }
    }
    if (ploffset >= 0) {
        if (param) *param = ploffset;
        diag("CODEC_ACTION_SEEK_TIME,goto %d\n", ploffset);
        return CODEC_ACTION_SEEK_TIME;
    }
    if (plaction == PLAYER_ACTION_POWER_OFF || plaction == PLAYER_ACTION_POWER_ON)
        return CODEC_ACTION_HALT;
    return CODEC_ACTION_NONE;
}

} // namespace pipd
