// The tags and covers of the queue's files for the web remote: read on
// demand or ahead by one background thread at low priority, kept in bounded
// caches keyed by path, size and modification time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/paths.h"
#include "meta/cover_art.h"
#include "meta/track_meta.h"

namespace pipd::web {

// One entry of the queue as served: its number, its path ("media/pi/...")
// and where its cue tracks start (ms; empty when it has none).
struct queue_item {
    long entry = 0;
    std::string path;
    std::vector<long> starts;
};
using queue_items = std::vector<queue_item>;

// What is known of one file, or of one cue track of it.
struct track_info {
    std::optional<meta::track_meta> tags; // nothing when the file has none
    bool art = false;                     // it has a cover
};

struct art_image {
    std::shared_ptr<const std::string> bytes;
    const char *type = nullptr;
};

// How files are read: the metadata library by default.
struct meta_readers {
    std::function<std::optional<meta::track_meta>(const std::string &, int)> tags;
    std::function<std::optional<meta::cover_art>(const std::string &)> art;
};
struct meta_limits {
    std::size_t records = 4096;        // tag records
    std::size_t art_bytes = 16u << 20; // cover bytes
    std::size_t asked = 512;           // entries waiting to be read first
};

class meta_cache {
  public:
    // Files are root + "/" + a queue path.
    explicit meta_cache(std::string root = ROOT_PREFIX, meta_readers r = {}, meta_limits l = {});
    ~meta_cache();
    meta_cache(const meta_cache &) = delete;
    meta_cache &operator=(const meta_cache &) = delete;

    // The background thread; it ends with stop() or the cache.
    void start();
    void stop();

    // The queue whose entries the background thread reads, in order, when
    // nothing was asked for.
    void follow(std::shared_ptr<const queue_items> items);

    // The tags of a queue path (track 0: the whole file; K from 1: its cue
    // or disc track K), read now unless cached; the thread reading the same
    // file is waited for, no other. Nothing known when the file is gone.
    std::shared_ptr<const track_info> get(const std::string &path, int track);
    // Only what is cached (null for what is not). What ask() names is read
    // next by the background thread, the last asked first.
    std::shared_ptr<const track_info> peek(const std::string &path, int track);
    void ask(const std::vector<std::pair<std::string, int>> &keys);

    // The cover of a queue path, cached by bytes; nothing when it has none.
    std::optional<art_image> art(const std::string &path);
    // A validator of the path's file as it is now (path, size, modification
    // time); empty when it is gone.
    std::string etag(const std::string &path) const;

    // For measurements and tests: records held, cover bytes held, files read.
    struct counts {
        std::size_t records, art_bytes, reads;
    };
    counts held() const;

  private:
    struct stamp {
        long long size = -1, mtime_ns = 0;
        bool operator==(const stamp &) const = default;
    };
    struct record {
        stamp at;
        std::shared_ptr<const track_info> info;
        std::list<std::string>::iterator lru;
    };
    struct art_record {
        stamp at;
        art_image image;
        std::list<std::string>::iterator lru;
    };

    std::optional<stamp> stamp_of(const std::string &path) const;
    std::string file_of(const std::string &path) const;
    // With the lock held: the fresh record of key, or null.
    std::shared_ptr<const track_info> fresh(const std::string &key, const stamp &at);
    // With the lock held: keeps the cover, the least recently used ones
    // making room; the image.
    art_image keep_art(const std::string &path, const stamp &at, meta::cover_art cover);
    std::shared_ptr<const track_info> load(const std::string &path, int track, bool waits);
    void run();

    const std::string root_;
    meta_readers read_;
    const meta_limits limits_;

    mutable std::mutex mutex_;
    std::condition_variable read_done_, work_;
    std::unordered_map<std::string, record> records_;
    std::list<std::string> lru_; // most recent first
    std::unordered_map<std::string, art_record> art_;
    std::list<std::string> art_lru_;
    std::size_t art_bytes_ = 0;
    std::set<std::string> reading_;
    std::deque<std::pair<std::string, int>> asked_;
    std::shared_ptr<const queue_items> queue_;
    std::size_t next_ = 0; // of the queue, for the background thread
    std::size_t reads_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace pipd::web
