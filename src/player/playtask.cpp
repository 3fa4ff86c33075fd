#include "player/playtask.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>

#include "codecs/codecs.h"
#include "codecs/dsd/dsd2pcm.h"
#include "core/diag.h"
#include "core/fifos.h"
#include "core/paths.h"
#include "core/platform.h"
#include "core/state.h"
#include "host/buffer.h"
#include "host/codec_api.h"
#include "host/outudp.h"
#include "player/command.h"
#include "player/cuesheet.h"
#include "player/player_main.h"
#include "player/resume.h"
#include "player/webfile_gen.h"

namespace pipd {

char lastfilename[PATH_SIZE];
namespace {

// The track loop's memory of the entry started last and how many times in a
// row it was started.
char last_name[PATH_SIZE];
int32_t lastcnt = 0;

track_runner run_track = player_main;

// Where the entry last played resumes: until it has played (a play halted
// by power on or off does not count) or another entry is chosen.
struct {
    int32_t entry = -1;
    int32_t ms = -1;
} resume_at;

// Bounded copy of a NUL-terminated path into a PATH_SIZE buffer; the bytes
// after the terminator keep what the buffer held.
void copy_path(char *dst, const char *src) {
    std::size_t n = strnlen(src, PATH_SIZE - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

constexpr int ERROR_REST_SECONDS = 5;

// Every insert of samples publishes the status and, now and then, the
// position for a resume.
void publish_status() {
    webfile_genstatus();
    resume_note(false);
}

// Words that came while no track played (a decoder that refused its file
// never asked for one) act before the next track starts, as they would at
// its first poll: next and previous count from the start of the entry about
// to play, a pause holds it at its start, and power off and on act as they
// do during a track. A jump or a step has already put plcnt where it goes,
// so no decoder needs to be halted for it.
void take_words_between_tracks() {
    if (plcnt < 0 || plcnt >= plinfo.count) plcnt = 0;
    playstat_reset(plinfo.entries[plcnt].path);
    if (take_cmd_words() == 0) return;
    // A command between two tracks ends a gapless run.
    if (plaction != PLAYER_ACTION_NONE || ploffset >= 0) flash_outfifo();
    if (plaction == PLAYER_ACTION_GOTO || plaction == PLAYER_ACTION_NEXT ||
        plaction == PLAYER_ACTION_PREV)
        plaction = PLAYER_ACTION_NONE;
    if (plcnt < 0 || plcnt >= plinfo.count) plcnt = 0;
}

// After too many failed plays in a row the player rests a few seconds
// before it scans the medium again; commands still act meanwhile. True when
// one moved the player (a jump, a step, power off or on): it goes on from
// there in the queue it has, without the rest or the scan.
bool rest_after_errors() {
    diag("too many failed plays in a row: a rest of %d s\n", ERROR_REST_SECONDS);
    for (int second = 0; second < ERROR_REST_SECONDS; ++second) {
        if (!wait_cmd_fifo(1) || take_cmd_words() == 0) continue;
        switch (plaction) {
        case PLAYER_ACTION_GOTO:
        case PLAYER_ACTION_NEXT:
        case PLAYER_ACTION_PREV:
        case PLAYER_ACTION_POWER_OFF:
        case PLAYER_ACTION_POWER_ON:
            return true;
        default:
            if (ploffset >= 0) return true; // a cue track of the entry in hand
            break;
        }
    }
    return false;
}

} // namespace

void playtask_set_runner(track_runner runner) {
    run_track = runner ? runner : player_main;
}

void gen_lastname() {
    std::memset(lastfilename, 0, sizeof lastfilename);
    const char *first = plinfo.count > 0 ? plinfo.entries[0].path : "";
    copy_path(lastfilename, first);
    // The '/' that ends the volume's directory: the first one after the
    // scan root and its own '/'.
    const char *slash = nullptr;
    std::size_t len = std::strlen(lastfilename);
    if (len > SCAN_ROOT_LEN + 1)
        slash = static_cast<const char *>(
            std::memchr(lastfilename + SCAN_ROOT_LEN + 1, '/', len - SCAN_ROOT_LEN - 1));
    std::size_t at = slash ? static_cast<std::size_t>(slash - lastfilename) + 1 : 0;
    if (!slash || at + sizeof "last" > sizeof lastfilename) {
        // An entry directly in the scan root has no volume directory: the
        // file then lives in the scan root itself.
        std::snprintf(lastfilename, sizeof lastfilename, "%s/last", SCAN_ROOT);
    } else {
        std::memcpy(lastfilename + at, "last", sizeof "last");
    }
    diag("---------------------------------");
    diag("lasname is %s\n", lastfilename);
}

void read_lastname(int32_t *count, char *name) {
    std::memset(name, 0, PATH_SIZE);
    std::FILE *f = std::fopen(lastfilename, "r");
    if (!f) return;
    int32_t value = 0;
    std::size_t items = std::fread(&value, sizeof value, 1, f);
    if (items == 1) *count = value;
    diag("last cnt = %d t=%d\n", *count, static_cast<int>(items));
    if (items == 1) {
        std::size_t got = std::fread(name, 1, PATH_SIZE, f);
        (void)got;
        name[PATH_SIZE - 1] = '\0'; // a damaged file never leaves it unterminated
        diag("last name= %s\n", name);
    }
    std::fclose(f);
}

// Written atomically (a hidden file beside it, renamed over it): a power cut
// or a pulled stick leaves the old or the new file, never a torn one. The
// hidden name is never scanned.
void save_lastname(const int32_t *count, const char *name) {
    unsigned char record[LAST_FILE_BYTES];
    std::memcpy(record, count, 4);
    std::memcpy(record + 4, name, PATH_SIZE);
    write_file_atomically(lastfilename, record, sizeof record);
}

int32_t next_index_by_repeat() {
    const int32_t count = plinfo.count;
    if (count <= 0) return 0;
    if (repeatmode == 1) return plcnt;
    if (repeatmode != 2) return (plcnt + 1) % count;

    const char *p = plinfo.entries[plcnt].path;
    const int len = static_cast<int>(std::strlen(p));
    int n;
    if (len <= 1 || p[len - 1] == '/') {
        n = len;
    } else {
        n = 1;
        for (int i = len - 2; i >= 1; --i)
            if (p[i] == '/') {
                n = i + 1;
                break;
            }
    }
    int32_t first = -1, members = 0;
    for (int32_t j = 0; j < count; ++j)
        if (intstrcmp(plinfo.entries[j].path, p, n) == 0) {
            if (first < 0) first = j;
            ++members;
        }
    if (first + members - 1 == plcnt) return first;
    return (plcnt + 1) % count;
}

void player_setup() {
    dsd2pcm_init();
    outfifo_set_status_hook(publish_status);
    diag_puts("start playtask1");
    if (!plinfo_alloc()) {
        diag_puts("plinfo playlist malloc error");
        diag_flush();
        std::exit(EXIT_FAILURE); // nothing can be played without the queue
    }
    diag_puts("start playtask2");
    std::memset(plinfo.entries, 0, sizeof(play_entry) * PLAYLIST_MAX);
    if (!cue) cue = static_cast<cue_sheet *>(std::calloc(1, sizeof(cue_sheet)));
    repeatmode = 0;
    if (!player_malloc()) {
        diag_puts("input buffer malloc error");
        diag_flush();
        std::exit(EXIT_FAILURE);
    }
    clear_list();
    webfile_genqueue();
}

bool scan_pass() {
    filesystem_init = 0;
    diag_puts("start scan files");
    clear_list();
    webfile_genstatus();
    diag("start scan_files %s\n", SCAN_ROOT);
    scan_files(SCAN_ROOT);
    pl_srand(static_cast<unsigned>(pl_time()));
    myrandid = pl_rand();
    diag("myrandid =%d\n", myrandid);

    if (plinfo.count == 0) {
        diag_puts("the disk is err");
        if (plaction == PLAYER_ACTION_POWER_ON) {
            poweron = 1;
        } else {
            webfile_genstatus();
            pl_sleep(1);
            take_cmd_words();
        }
        pl_sleep(1);
        return false;
    }

    diag_puts("start sort list");
    sort_list();
    webfile_genqueue();
    print_list();
    pl_sleep(1);
    filesystem_init = 1;
    diag("the scan file number %d\n", plinfo.count);

    plcnt = 0;
    lastcnt = 0;
    gen_lastname();
    read_lastname(&lastcnt, last_name);
    ploffset = -1;
    resume_at = {};
    resume_reset();
    for (int32_t i = 0; i < plinfo.count; ++i) {
        if (std::strcmp(plinfo.entries[i].path, last_name) == 0) {
            if (lastcnt > 3) break; // it was started too often: no resume either
            plcnt = i;
            // Where the music stopped, a little before (a disc image starts over).
            const std::optional<uint32_t> saved = resume_position(last_name);
            const uint32_t at = saved ? resume_target(*saved, plinfo.entries[i]) : 0;
            if (at > 0 && get_filetype(last_name) != FILETYPE_ISO) {
                resume_at = {i, static_cast<int32_t>(std::min<uint32_t>(at, INT32_MAX))};
                diag("resume %s at %d ms\n", last_name, resume_at.ms);
            }
            break;
        }
    }
    return true;
}

bool track_pass() {
    if (plinfo.count <= 0) return false;
    take_words_between_tracks();
    const char *path = plinfo.entries[plcnt].path;

    if (std::strcmp(path, last_name) != 0) {
        copy_path(last_name, path);
        lastcnt = 0;
    } else {
        ++lastcnt;
    }
    save_lastname(&lastcnt, last_name);

    diag("start %s \n", path);
    playstat_reset(path);

    if (poweron == 0) flash_outfifo();
    while (poweron == 0) {
        if (plaction == PLAYER_ACTION_POWER_ON) {
            poweron = 1;
            break;
        }
        webfile_genstatus();
        if (wait_cmd_fifo(1)) take_cmd_words();
    }

    diag("start %s\n", path);
    resume_track_started();
    if (resume_at.entry == plcnt && ploffset < 0) ploffset = resume_at.ms;
    int result = run_track(path);
    if (plaction == PLAYER_ACTION_POWER_OFF) resume_note(true);
    if (plaction != PLAYER_ACTION_POWER_ON && plaction != PLAYER_ACTION_POWER_OFF) resume_at = {};

    const bool ended_by_itself = plaction == PLAYER_ACTION_NONE || plaction == PLAYER_ACTION_RESUME;
    if (result < 0) {
        flash_outfifo(); // nothing of a failed track is held
        if (++file_errcnt > 10) return false;
        if (ended_by_itself) {
            diag("repeat mode=%d plcnt=%d\n", repeatmode, plcnt);
            plcnt = (plcnt + 1) % plinfo.count;
            diag("after select repeat mode=%d plcnt=%d\n", repeatmode, plcnt);
        }
    } else {
        file_errcnt = 0;
        if (ended_by_itself) {
            diag("repeat mode=%d plcnt=%d\n", repeatmode, plcnt);
            const int32_t was = plcnt;
            plcnt = next_index_by_repeat();
            diag("after select repeat mode=%d plcnt=%d\n", repeatmode, plcnt);
            if (repeatmode == 0 && plcnt <= was) flash_outfifo(); // the end of the queue
        }
    }
    // Next, previous and jumps have already set plcnt; power off and on start
    // the same entry again.
    diag("start %d\n", plcnt);
    plaction = PLAYER_ACTION_NONE;
    return true;
}

void scan_loop_turn() {
    if (!scan_pass()) return;
    do {
        while (track_pass()) {
        }
        file_errcnt = 0;
    } while (rest_after_errors());
}

void playtask() {
    poweron = 0;
    file_errcnt = 0;
    plaction = PLAYER_ACTION_POWER_OFF;
    diag_puts("start playtask");
    make_missing_fifos();
    init_outfifo();
    init_status_fifo();
    open_cmd_fifo();
    player_setup();

    for (;;) scan_loop_turn();
}

} // namespace pipd
