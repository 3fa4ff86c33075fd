// Test helpers: captured diagnostics and captured output packets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/diag.h"
#include "host/outudp.h"

namespace pipd::testing {

// Collects everything sent through diag() while alive.
class DiagCapture {
  public:
    DiagCapture() : file_(std::tmpfile()), old_(diag_set_stream(file_)) {}
    ~DiagCapture() {
        diag_set_stream(old_);
        if (file_) std::fclose(file_);
    }
    DiagCapture(const DiagCapture &) = delete;
    DiagCapture &operator=(const DiagCapture &) = delete;

    std::string text() const {
        std::fflush(file_);
        std::string out;
        long end = std::ftell(file_);
        std::rewind(file_);
        out.resize(static_cast<std::size_t>(end));
        if (end > 0) out.resize(std::fread(out.data(), 1, out.size(), file_));
        std::fseek(file_, 0, SEEK_END);
        return out;
    }
    bool contains(const std::string &needle) const {
        return text().find(needle) != std::string::npos;
    }
    std::size_t count(const std::string &needle) const {
        std::string t = text();
        std::size_t n = 0;
        for (auto pos = t.find(needle); pos != std::string::npos; pos = t.find(needle, pos + 1))
            ++n;
        return n;
    }
    // Everything written since the last take().
    std::string take() {
        std::string all = text();
        std::string fresh = all.substr(std::min(taken_, all.size()));
        taken_ = all.size();
        return fresh;
    }

  private:
    std::FILE *file_;
    std::FILE *old_;
    std::size_t taken_ = 0;
};

// Collects every packet the output would write to the pipe.
class PacketCapture {
  public:
    using packet = std::vector<int32_t>;
    PacketCapture() {
        packets().clear();
        outfifo_set_sink(&PacketCapture::collect);
    }
    ~PacketCapture() { outfifo_set_sink(nullptr); }
    PacketCapture(const PacketCapture &) = delete;
    PacketCapture &operator=(const PacketCapture &) = delete;

    static std::vector<packet> &packets() {
        static std::vector<packet> all;
        return all;
    }

  private:
    static void collect(const int32_t *words, std::size_t bytes, int) {
        packets().emplace_back(words, words + bytes / 4);
    }
};

} // namespace pipd::testing
