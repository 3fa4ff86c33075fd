// Test helper: pipd-sink of this build through the real libasound, with a
// private ALSA configuration whose device "test" is ALSA's file plugin over
// its null plugin: the file receives exactly the bytes the device was given.
#pragma once

#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/run_tool.h"

namespace pipd::testing {

class AlsaFileSink {
  public:
    AlsaFileSink() {
        std::ofstream(dir_.file("asound.conf"))
            << "pcm.test {\n  type file\n  slave.pcm { type null }\n  file \""
            << dir_.file("device.raw") << "\"\n  format \"raw\"\n}\n";
    }

    static std::string program() { return PIPD_BINARY_DIR "/pipd-sink"; }
    // The environment that points libasound at the private configuration.
    std::vector<std::string> env() const {
        return {"ALSA_CONFIG_PATH=" + dir_.file("asound.conf")};
    }
    // Starts pipd-sink --device test with more arguments.
    bool start(std::vector<std::string> args = {}) {
        std::remove(dir_.file("device.raw").c_str());
        args.insert(args.begin(), {"--device", "test"});
        return child.start(program(), args, dir_.file("sink.out"), dir_.file("sink.err"), env());
    }

    std::string device() const { return read_file(dir_.file("device.raw")); }
    std::string err() const { return read_file(dir_.file("sink.err")); }
    // Waits (at most 5 s) until the sink's messages contain text.
    bool says(const std::string &text) const {
        for (int i = 0; i < 500; ++i) {
            if (err().find(text) != std::string::npos) return true;
            usleep(10000);
        }
        return false;
    }
    const TempDir &dir() const { return dir_; }

    Child child;

  private:
    TempDir dir_;
};

} // namespace pipd::testing
