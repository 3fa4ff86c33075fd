// Test helper: a written SACD image behind the input window, as the track
// runner leaves it for the decoder, for tests that call the reader directly.
#pragma once

#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "codecs/dsd/sacd_disc.h"
#include "host/buffer.h"
#include "host/codec_api.h"
#include "player/player_main.h"
#include "support/files.h"
#include "support/sacd_image.h"

namespace pipd::testing {

class image_input {
  public:
    explicit image_input(const TempDir &dir) : path_(dir.file("disc.iso")) {}
    ~image_input() { close_file(); }
    image_input(const image_input &) = delete;
    image_input &operator=(const image_input &) = delete;

    // Writes the image and puts the window over it; false when it cannot.
    bool load(const image &img) {
        close_file();
        if (!img.write(path_) || !player_malloc()) return false;
        fd_ = ::open(path_.c_str(), O_RDONLY);
        bufinfo_reset();
        bufinfo.fd = fd_;
        ci = &cim;
        return fd_ >= 0;
    }
    const std::string &path() const { return path_; }

  private:
    void close_file() {
        sd_close();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        bufinfo.fd = -1;
    }
    std::string path_;
    int fd_ = -1;
};

} // namespace pipd::testing
