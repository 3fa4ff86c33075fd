// The record through which every decoder reaches the host, and the play
// status that its operations write.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pipd {

// Codec actions, the results of ci_get_command (which the player answers).
inline constexpr int CODEC_ACTION_HALT = -1;
inline constexpr int CODEC_ACTION_NONE = 0;
inline constexpr int CODEC_ACTION_SEEK_TIME = 1;
inline constexpr int CODEC_ACTION_PAUSE = 3;
inline constexpr int CODEC_ACTION_ISO_NEXT = 4;
inline constexpr int CODEC_ACTION_ISO_PREV = 5;

// ci_configure keys.
inline constexpr int CODEC_CONFIG_BPS = 0;
inline constexpr int CODEC_CONFIG_LENGTH = 1;
inline constexpr int CODEC_CONFIG_CHANNELS = 2;
inline constexpr int CODEC_CONFIG_FREQUENCY = 3;

inline constexpr int32_t DSD_RATE = 2822400;    // DSD64 as reported by decoders
inline constexpr int32_t DSD_PCM_RATE = 176400; // what the sink receives for it

struct play_status {
    const char *name; // path of the entry playing (the queue entry's buffer)
    uint32_t elapsed; // ms
    int32_t length;   // ms
    int32_t bps;
    int32_t channel;
    int32_t frequency;
};

extern play_status playstat;

// Host operations. Offsets in the file are 64-bit inside the host so that
// disc images over 4 GiB can be reached; counts are 32-bit.
void *ci_codec_get_buffer(size_t *size);
int ci_pcmbuf_insert(const int32_t *first, const int32_t *second, int count);
void ci_set_elapsed(uint32_t ms);
uint32_t ci_read_filebuf_raw(void *destination, uint32_t n);
uint64_t ci_getpos();
void *ci_request_buffer_raw(uint32_t *available, uint32_t n);
void ci_advance_buffer_raw(uint32_t n);
int ci_seek_buffer_raw(uint64_t position);
void ci_seek_complete();
int64_t ci_set_offset(uint64_t position);
void ci_configure(int key, int32_t value);
bool ci_should_loop();
int ci_sleep(unsigned ticks);
void ci_yield();
void commit_dcache();
void commit_discard_dcache();
void commit_discard_idcache();

struct codec_api {
    // Slots 0 to 3: data words.
    uint32_t filesize; // size of the file playing (saturated at 4 GiB - 1)
    int32_t reserved1;
    int32_t reserved2;
    int32_t reserved3;
    // Slots 4 to 30: operations.
    void *(*ci_codec_get_buffer)(size_t *size);
    int (*ci_pcmbuf_insert)(const int32_t *first, const int32_t *second, int count);
    void (*ci_set_elapsed)(uint32_t ms);
    uint32_t (*ci_read_filebuf_raw)(void *destination, uint32_t n);
    uint64_t (*ci_getpos)();
    void *(*ci_request_buffer_raw)(uint32_t *available, uint32_t n);
    void (*ci_advance_buffer_raw)(uint32_t n);
    int (*ci_seek_buffer_raw)(uint64_t position);
    void (*ci_seek_complete)();
    int64_t (*ci_set_offset)(uint64_t position);
    void (*ci_configure)(int key, int32_t value);
    int (*ci_get_command)(int32_t *param);
    bool (*ci_should_loop)();
    int (*ci_sleep)(unsigned ticks);
    void (*ci_yield)();
    void (*commit_dcache)();
    void (*commit_discard_dcache)();
    void (*commit_discard_idcache)();
    char *(*strcpy)(char *dst, const char *src);
    size_t (*strlen)(const char *s);
    int (*strcmp)(const char *a, const char *b);
    char *(*strcat)(char *dst, const char *src);
    void *(*memcpy)(void *dst, const void *src, size_t n);
    void *(*memmove)(void *dst, const void *src, size_t n);
    int (*memcmp)(const void *a, const void *b, size_t n);
    const void *(*memchr)(const void *s, int c, size_t n);
    void (*qsort)(void *base, size_t n, size_t size, int (*cmp)(const void *, const void *));
};

// Slot n of the record: four 32-bit words, then one pointer per operation.
constexpr std::size_t codec_api_slot_offset(std::size_t n) {
    return n < 4 ? n * 4 : 16 + (n - 4) * sizeof(void *);
}
#define PIPD_CHECK_SLOT(member, n)                                                                 \
    static_assert(offsetof(codec_api, member) == codec_api_slot_offset(n), "slot order")
PIPD_CHECK_SLOT(filesize, 0);
PIPD_CHECK_SLOT(reserved1, 1);
PIPD_CHECK_SLOT(reserved2, 2);
PIPD_CHECK_SLOT(reserved3, 3);
PIPD_CHECK_SLOT(ci_codec_get_buffer, 4);
PIPD_CHECK_SLOT(ci_pcmbuf_insert, 5);
PIPD_CHECK_SLOT(ci_set_elapsed, 6);
PIPD_CHECK_SLOT(ci_read_filebuf_raw, 7);
PIPD_CHECK_SLOT(ci_getpos, 8);
PIPD_CHECK_SLOT(ci_request_buffer_raw, 9);
PIPD_CHECK_SLOT(ci_advance_buffer_raw, 10);
PIPD_CHECK_SLOT(ci_seek_buffer_raw, 11);
PIPD_CHECK_SLOT(ci_seek_complete, 12);
PIPD_CHECK_SLOT(ci_set_offset, 13);
PIPD_CHECK_SLOT(ci_configure, 14);
PIPD_CHECK_SLOT(ci_get_command, 15);
PIPD_CHECK_SLOT(ci_should_loop, 16);
PIPD_CHECK_SLOT(ci_sleep, 17);
PIPD_CHECK_SLOT(ci_yield, 18);
PIPD_CHECK_SLOT(commit_dcache, 19);
PIPD_CHECK_SLOT(commit_discard_dcache, 20);
PIPD_CHECK_SLOT(commit_discard_idcache, 21);
PIPD_CHECK_SLOT(strcpy, 22);
PIPD_CHECK_SLOT(strlen, 23);
PIPD_CHECK_SLOT(strcmp, 24);
PIPD_CHECK_SLOT(strcat, 25);
PIPD_CHECK_SLOT(memcpy, 26);
PIPD_CHECK_SLOT(memmove, 27);
PIPD_CHECK_SLOT(memcmp, 28);
PIPD_CHECK_SLOT(memchr, 29);
PIPD_CHECK_SLOT(qsort, 30);
static_assert(sizeof(codec_api) == codec_api_slot_offset(31), "31 slots, nothing else");
static_assert(sizeof(void *) != 4 || sizeof(codec_api) == 31 * 4, "31 words on the 32-bit target");
static_assert(alignof(codec_api) == alignof(void *), "no slot wider than a pointer");
#undef PIPD_CHECK_SLOT

// The record the decoder playing uses (the track runner's, or a test's);
// null until the first track starts.
extern codec_api *ci;

// The next action of the player for the decoder, never a pause: while the
// player is paused, waits for a command a second at a time and asks again.
int codec_next_action(int32_t *param);

// Resets playstat to the defaults the player task stores before each track.
void playstat_reset(const char *name);

} // namespace pipd
