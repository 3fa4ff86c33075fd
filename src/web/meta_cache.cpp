#include "web/meta_cache.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/diag.h"

namespace pipd::web {

namespace {

// The background thread yields to the server and, above all, to the player.
constexpr int BACKGROUND_NICE = 10;

std::string key_of(const std::string &path, int track) {
    return path + '\n' + std::to_string(track);
}

// The type the bytes show, whatever a reader says; null for anything a
// browser should not show as an image.
const char *checked_type(const std::string &bytes) {
    return meta::image_type({reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()});
}

} // namespace

meta_cache::meta_cache(std::string root, meta_readers r, meta_limits l)
    : root_(std::move(root)), read_(std::move(r)), limits_(l) {
    if (!read_.tags)
        read_.tags = [](const std::string &file, int track) {
            return track > 0 ? meta::read_track_meta(file, track) : meta::read_track_meta(file);
        };
    if (!read_.art) read_.art = [](const std::string &file) { return meta::read_cover_art(file); };
}

meta_cache::~meta_cache() {
    stop();
}

void meta_cache::start() {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable() && !stop_) thread_ = std::thread([this] { run(); });
}

void meta_cache::stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    work_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void meta_cache::follow(std::shared_ptr<const queue_items> items) {
    {
        std::lock_guard lock(mutex_);
        if (items == queue_) return;
        queue_ = std::move(items);
        next_ = 0;
    }
    work_.notify_all();
}

std::string meta_cache::file_of(const std::string &path) const {
    return root_ + "/" + path;
}

std::optional<meta_cache::stamp> meta_cache::stamp_of(const std::string &path) const {
    // Only files of the medium, and nothing above it.
    if (path.rfind("media/pi/", 0) != 0 || path.find("/../") != std::string::npos ||
        path.ends_with("/.."))
        return std::nullopt;
    struct stat st;
    if (stat(file_of(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return stamp{static_cast<long long>(st.st_size),
                 static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

std::shared_ptr<const track_info> meta_cache::fresh(const std::string &key, const stamp &at) {
    auto it = records_.find(key);
    if (it == records_.end() || !(it->second.at == at)) return nullptr;
    lru_.splice(lru_.begin(), lru_, it->second.lru);
    return it->second.info;
}

namespace {
// What a file that is gone tells.
const auto NOTHING_KNOWN = std::make_shared<const track_info>();
} // namespace

std::shared_ptr<const track_info> meta_cache::load(const std::string &path, int track, bool waits) {
    const auto at = stamp_of(path);
    if (!at) return NOTHING_KNOWN;
    const std::string key = key_of(path, track);
    std::unique_lock lock(mutex_);
    for (;;) {
        if (auto info = fresh(key, *at)) return info;
        if (!reading_.contains(key)) break;
        // Another thread reads this very file: its result, not a second read.
        if (!waits) return nullptr;
        read_done_.wait(lock);
    }
    reading_.insert(key);
    lock.unlock();

    auto info = std::make_shared<track_info>();
    const std::string file = file_of(path);
    std::optional<meta::cover_art> cover;
    try {
        info->tags = read_.tags(file, track);
        cover = read_.art(file);
    } catch (const std::exception &e) {
        // Out of memory, say: this file stays unknown, the others go on.
        diag("pipd-web: %s: %s\n", file.c_str(), e.what());
    }
    info->art =
        cover && checked_type(cover->bytes) && cover->bytes.size() <= meta::MAX_PICTURE_BYTES;

    lock.lock();
    reading_.erase(key);
    ++reads_;
    auto it = records_.find(key);
    if (it != records_.end()) {
        it->second.at = *at;
        it->second.info = info;
        lru_.splice(lru_.begin(), lru_, it->second.lru);
    } else {
        lru_.push_front(key);
        records_.emplace(key, record{*at, info, lru_.begin()});
        while (records_.size() > limits_.records) {
            records_.erase(lru_.back());
            lru_.pop_back();
        }
    }
    // A request keeps the cover it read: the page asks for it next.
    if (waits && info->art && track == 0) keep_art(path, *at, std::move(*cover));
    lock.unlock();
    read_done_.notify_all();
    return info;
}

art_image meta_cache::keep_art(const std::string &path, const stamp &at, meta::cover_art cover) {
    const char *type = checked_type(cover.bytes);
    art_image image{std::make_shared<const std::string>(std::move(cover.bytes)), type};
    if (image.bytes->size() > limits_.art_bytes) return image;
    auto a = art_.find(path);
    if (a == art_.end()) {
        art_lru_.push_front(path);
        a = art_.emplace(path, art_record{at, {}, art_lru_.begin()}).first;
    } else {
        art_bytes_ -= a->second.image.bytes->size();
        art_lru_.splice(art_lru_.begin(), art_lru_, a->second.lru);
    }
    a->second.at = at;
    a->second.image = image;
    art_bytes_ += a->second.image.bytes->size();
    while (art_bytes_ > limits_.art_bytes) {
        auto last = art_.find(art_lru_.back());
        art_bytes_ -= last->second.image.bytes->size();
        art_.erase(last);
        art_lru_.pop_back();
    }
    return image;
}

std::shared_ptr<const track_info> meta_cache::get(const std::string &path, int track) {
    return load(path, track, true);
}

std::shared_ptr<const track_info> meta_cache::peek(const std::string &path, int track) {
    const auto at = stamp_of(path);
    if (!at) return NOTHING_KNOWN;
    std::lock_guard lock(mutex_);
    return fresh(key_of(path, track), *at);
}

void meta_cache::ask(const std::vector<std::pair<std::string, int>> &keys) {
    if (keys.empty()) return;
    {
        std::lock_guard lock(mutex_);
        // The newest ask goes first, in its own order; the oldest asks drop
        // out (the queue's order reaches them anyway).
        for (auto k = keys.rbegin(); k != keys.rend(); ++k) asked_.push_front(*k);
        while (asked_.size() > limits_.asked) asked_.pop_back();
    }
    work_.notify_all();
}

std::optional<art_image> meta_cache::art(const std::string &path) {
    const auto at = stamp_of(path);
    if (!at) return std::nullopt;
    {
        std::lock_guard lock(mutex_);
        auto a = art_.find(path);
        if (a != art_.end() && a->second.at == *at) {
            art_lru_.splice(art_lru_.begin(), art_lru_, a->second.lru);
            return a->second.image;
        }
    }
    // Through the record, so that a file without a cover is read once.
    auto info = get(path, 0);
    if (!info || !info->art) return std::nullopt;
    {
        std::lock_guard lock(mutex_);
        auto a = art_.find(path);
        if (a != art_.end() && a->second.at == *at) return a->second.image;
    }
    // Read by the background thread, which keeps no covers: once more.
    auto cover = read_.art(file_of(path));
    if (!cover || !checked_type(cover->bytes) || cover->bytes.size() > meta::MAX_PICTURE_BYTES)
        return std::nullopt;
    std::lock_guard lock(mutex_);
    return keep_art(path, *at, std::move(*cover));
}

std::string meta_cache::etag(const std::string &path) const {
    const auto at = stamp_of(path);
    if (!at) return "";
    // FNV-1a over the path, size and time.
    uint64_t h = 14695981039346656037ull;
    auto mix = [&h](const void *p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            h ^= static_cast<const unsigned char *>(p)[i];
            h *= 1099511628211ull;
        }
    };
    mix(path.data(), path.size());
    mix(&at->size, sizeof at->size);
    mix(&at->mtime_ns, sizeof at->mtime_ns);
    char text[24];
    std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(h));
    return text;
}

meta_cache::counts meta_cache::held() const {
    std::lock_guard lock(mutex_);
    return {records_.size(), art_bytes_, reads_};
}

void meta_cache::run() {
    // On Linux the nice value of one thread is its own.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), BACKGROUND_NICE) != 0)
        diag("pipd-web: the tag reader keeps its priority: %s\n", std::strerror(errno));
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] {
            return stop_ || !asked_.empty() || (queue_ && next_ < queue_->size());
        });
        if (stop_) return;
        std::pair<std::string, int> key;
        if (!asked_.empty()) {
            key = std::move(asked_.front());
            asked_.pop_front();
        } else {
            key = {(*queue_)[next_++].path, 0};
        }
        lock.unlock();
        load(key.first, key.second, false);
        lock.lock();
    }
}

} // namespace pipd::web
